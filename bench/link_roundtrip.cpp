// Round-trip time of the lock-step link against the floor of the same pseudo-terminal:
// link_roundtrip PTY N [ROUNDS]
//
// Opens the serial device PTY (a pseudo-terminal with an echoing peer, see pty_echo) set up as
// the window sets up its ports, makes N round trips of one byte through SendByte/RecvByte, and
// checks that every byte comes back unchanged. The floor is the same work with nothing but the
// system calls it needs: write one byte, poll for the answer, read it, on a plain descriptor of
// the same device. The two take turns, ROUNDS times (default 5), the order swapped from one
// round to the next, so that both see the same machine.
//
// Standard output: one line per round and kind with the median round-trip time (microseconds)
// and the CPU time (user + system) per round trip, then both over all rounds side by side, their
// ratios and the median of the rounds' own link/floor ratios, and as the last line the link's
// median round-trip time in microseconds over all rounds. Standard error: cpu_us_per_rt=<value>, the link's CPU time per round trip.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

using SteadyClock = std::chrono::steady_clock;

double CpuMicroseconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto us = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

// Every value from 0 to 255 in turn, so that no byte is special to the path.
uint8_t ByteOf(long i) { return static_cast<uint8_t>((i * 97 + 13) & 0xFF); }

// The median of round-trip times in nanoseconds, in microseconds.
double MedianUs(std::vector<int64_t> times) {
  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  return static_cast<double>(times[times.size() / 2]) / 1000.0;
}

struct TRound {
  std::vector<int64_t> times;  // nanoseconds per round trip
  double cpuPerTrip = 0;
};

// N round trips through the link on a port set up as the front ends set theirs up, with the
// read time-out of an identified device. False (with a message) when a byte did not come back.
bool LinkRound(const char* device, long count, TRound& round) {
  TComPort port;
  SetUpPortObject(port, 0);
  port.SetDeviceName(device);
  port.Timeouts().SetReadConstant(250);
  try {
    port.Open();
  } catch (const EComError& e) {
    std::fprintf(stderr, "cannot open %s: %s (error %d)\n", device, e.what(), e.ErrorCode());
    return false;
  }

  TMainFields fields;
  TDirectBridge bridge;
  TRunRecord run(fields, bridge, RealClock());
  run.LinkOk = true;

  round.times.clear();
  round.times.reserve(static_cast<size_t>(count));
  const double cpuBefore = CpuMicroseconds();
  for (long i = 0; i < count; ++i) {
    const uint8_t value = ByteOf(i);
    const auto t0 = SteadyClock::now();
    const bool sent = SendByte(run, port, value);
    const int answer = RecvByte(run, port);
    const auto t1 = SteadyClock::now();
    if (!sent || answer != value) {
      std::fprintf(stderr, "link round trip %ld: sent %u, got %d%s\n", i + 1, value, answer,
                   sent ? "" : " (write refused)");
      return false;
    }
    round.times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
    // The trace grows by about a dozen bytes per round trip; a run keeps it whole, and so does
    // this loop, unless it grows large enough to distort the figure.
    if (run.ErrLog.size() > (64u << 20)) run.ErrLog.clear();
  }
  round.cpuPerTrip = (CpuMicroseconds() - cpuBefore) / static_cast<double>(count);
  port.Close();
  return true;
}

// The same N round trips with write, poll and read on a plain descriptor in raw mode.
bool FloorRound(const char* device, long count, TRound& round) {
  const int fd = ::open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "cannot open %s: %s\n", device, std::strerror(errno));
    return false;
  }
  termios raw{};
  if (tcgetattr(fd, &raw) == 0) {
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &raw);
  }
  tcflush(fd, TCIOFLUSH);

  round.times.clear();
  round.times.reserve(static_cast<size_t>(count));
  bool ok = true;
  const double cpuBefore = CpuMicroseconds();
  for (long i = 0; i < count && ok; ++i) {
    const uint8_t value = ByteOf(i);
    uint8_t answer = 0;
    const auto t0 = SteadyClock::now();
    pollfd p{fd, POLLIN, 0};
    ok = ::write(fd, &value, 1) == 1 && ::poll(&p, 1, 250) == 1 && ::read(fd, &answer, 1) == 1;
    const auto t1 = SteadyClock::now();
    if (!ok || answer != value) {
      std::fprintf(stderr, "floor round trip %ld: sent %u, got %s\n", i + 1, value,
                   ok ? std::to_string(answer).c_str() : "nothing");
      ok = false;
      break;
    }
    round.times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
  }
  round.cpuPerTrip = (CpuMicroseconds() - cpuBefore) / static_cast<double>(count);
  ::close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s PTY N [ROUNDS]\n", argv[0]);
    return 2;
  }
  auto number = [](const char* text, long max, long& value) {
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 1 && value <= max;
  };
  long count = 0;
  long rounds = 5;
  if (!number(argv[2], 100000000, count)) {
    std::fprintf(stderr, "N must be a whole number from 1 to 100000000\n");
    return 2;
  }
  if (argc == 4 && !number(argv[3], 1000, rounds)) {
    std::fprintf(stderr, "ROUNDS must be a whole number from 1 to 1000\n");
    return 2;
  }

  std::vector<int64_t> linkAll, floorAll;
  std::vector<double> ratios;  // link median / floor median of each round
  double linkCpu = 0, floorCpu = 0;
  std::printf("%-6s %-6s %12s %14s\n", "round", "kind", "median_us", "cpu_us_per_rt");
  for (long r = 1; r <= rounds; ++r) {
    TRound link, floor;
    // Odd rounds start with the link, even rounds with the floor.
    for (int turn = 0; turn < 2; ++turn) {
      const bool linkTurn = (turn == 0) == (r % 2 == 1);
      TRound& round = linkTurn ? link : floor;
      if (!(linkTurn ? LinkRound(argv[1], count, round) : FloorRound(argv[1], count, round)))
        return 1;
      std::printf("%-6ld %-6s %12.2f %14.2f\n", r, linkTurn ? "link" : "floor",
                  MedianUs(round.times), round.cpuPerTrip);
    }
    const double floorRound = MedianUs(floor.times);
    ratios.push_back(floorRound > 0 ? MedianUs(link.times) / floorRound : 0.0);
    linkAll.insert(linkAll.end(), link.times.begin(), link.times.end());
    floorAll.insert(floorAll.end(), floor.times.begin(), floor.times.end());
    linkCpu += link.cpuPerTrip / static_cast<double>(rounds);
    floorCpu += floor.cpuPerTrip / static_cast<double>(rounds);
  }

  const double linkMedian = MedianUs(linkAll);
  const double floorMedian = MedianUs(floorAll);
  std::printf("%-6s %-6s %12.2f %14.2f\n", "all", "link", linkMedian, linkCpu);
  std::printf("%-6s %-6s %12.2f %14.2f\n", "all", "floor", floorMedian, floorCpu);
  // The rounds' own ratios compare link and floor under the same load; their median is the
  // figure least moved by what else the machine does.
  std::nth_element(ratios.begin(), ratios.begin() + static_cast<long>(ratios.size() / 2),
                   ratios.end());
  std::printf("link/floor: median %.3f, cpu %.3f, median of the rounds' ratios %.3f\n",
              floorMedian > 0 ? linkMedian / floorMedian : 0.0,
              floorCpu > 0 ? linkCpu / floorCpu : 0.0, ratios[ratios.size() / 2]);
  std::fprintf(stderr, "cpu_us_per_rt=%.2f\n", linkCpu);
  std::printf("%.2f\n", linkMedian);
  return 0;
}
