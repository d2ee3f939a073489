// Round-trip time of the lock-step link: link_roundtrip PTY N
//
// Opens the serial device PTY (a pseudo-terminal with an echoing peer, see pty_echo) set up as
// the window sets up its ports, makes N round trips of one byte through SendByte/RecvByte, and
// checks that every byte comes back unchanged. Prints the median round-trip time in
// microseconds as the last line of standard output, and the CPU time (user + system) of the
// timed loop per round trip on standard error as cpu_us_per_rt=<value>.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/Link.h"
#include "run/Bridge.h"
#include "run/Clock.h"
#include "run/DirectBridge.h"
#include "run/MainFields.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "tuning/SerThread.h"

namespace {

double CpuMicroseconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto us = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PTY N\n", argv[0]);
    return 2;
  }
  char* end = nullptr;
  const long count = std::strtol(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || count < 1 || count > 100000000) {
    std::fprintf(stderr, "N must be a whole number from 1 to 100000000\n");
    return 2;
  }

  // The port as the front ends set theirs up, with the read time-out of an identified device.
  TComPort port;
  SetUpPortObject(port, 0);
  port.SetDeviceName(argv[1]);
  port.Timeouts().SetReadConstant(250);
  try {
    port.Open();
  } catch (const EComError& e) {
    std::fprintf(stderr, "cannot open %s: %s (error %d)\n", argv[1], e.what(), e.ErrorCode());
    return 1;
  }

  TMainFields fields;
  TDirectBridge bridge;
  TRunRecord run(fields, bridge, RealClock());
  run.LinkOk = true;

  std::vector<int64_t> times;
  times.reserve(static_cast<size_t>(count));
  const double cpuBefore = CpuMicroseconds();
  for (long i = 0; i < count; ++i) {
    // Every value from 0 to 255 in turn, so that no byte is special to the path.
    const uint8_t value = static_cast<uint8_t>((i * 97 + 13) & 0xFF);
    const auto t0 = std::chrono::steady_clock::now();
    const bool sent = SendByte(run, port, value);
    const int answer = RecvByte(run, port);
    const auto t1 = std::chrono::steady_clock::now();
    if (!sent || answer != value) {
      std::fprintf(stderr, "round trip %ld: sent %u, got %d%s\n", i + 1, value, answer,
                   sent ? "" : " (write refused)");
      return 1;
    }
    times.push_back(std::chrono::duration_cast<std::chrono::microseconds>(t1 - t0).count());
    // The trace grows by about a dozen bytes per round trip; a run keeps it whole, and so does
    // this loop, unless it grows large enough to distort the figure.
    if (run.ErrLog.size() > (64u << 20)) run.ErrLog.clear();
  }
  const double cpuUsed = CpuMicroseconds() - cpuBefore;
  port.Close();

  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  const int64_t median = times[times.size() / 2];
  std::fprintf(stderr, "cpu_us_per_rt=%.2f\n", cpuUsed / static_cast<double>(count));
  std::printf("%lld\n", static_cast<long long>(median));
  return 0;
}
