// Round-trip time of the lock-step link against the floor of the same pseudo-terminal:
// link_roundtrip PTY N [ROUNDS]
// or over the network against another client of the same echoing server:
// link_roundtrip rfc2217://HOST:PORT N [ROUNDS] [--floor PTY]
//
// With a network port the second kind is pySerial's RFC 2217 client (the helper script
// pyserial_roundtrip.py beside the sources, run with /usr/bin/python3) making the same round
// trips on the same server, and with --floor the pseudo-terminal's floor is measured in the
// same rounds as a third kind.
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
#include <functional>
#include <string>
#include <vector>

#include "link/Link.h"
#include "serial/NetBinding.h"
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

// pySerial's client making the same round trips (a process of its own; its own figures).
bool PySerialRound(const char* url, long count, TRound& round, double& medianUs) {
  const std::string command = std::string("/usr/bin/python3 ") + PYSERIAL_ROUNDTRIP_SCRIPT + " '" +
                              url + "' " + std::to_string(count);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  double cpu = 0;
  const int got = std::fscanf(pipe, "%lf %lf", &medianUs, &cpu);
  const int status = pclose(pipe);
  if (got != 2 || status != 0) {
    std::fprintf(stderr, "pySerial's client failed (%s)\n", command.c_str());
    return false;
  }
  round.times.assign(1, static_cast<int64_t>(medianUs * 1000.0));
  round.cpuPerTrip = cpu;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string floorPty;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--floor") {
      floorPty = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  if (args.size() != 2 && args.size() != 3) {
    std::fprintf(stderr, "usage: %s PTY N [ROUNDS]\n       %s rfc2217://HOST:PORT N [ROUNDS] [--floor PTY]\n",
                 argv[0], argv[0]);
    return 2;
  }
  auto number = [](const std::string& text, long max, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && *end == '\0' && value >= 1 && value <= max;
  };
  long count = 0;
  long rounds = 5;
  if (!number(args[1], 100000000, count)) {
    std::fprintf(stderr, "N must be a whole number from 1 to 100000000\n");
    return 2;
  }
  if (args.size() == 3 && !number(args[2], 1000, rounds)) {
    std::fprintf(stderr, "ROUNDS must be a whole number from 1 to 1000\n");
    return 2;
  }
  const char* port = args[0].c_str();
  const bool network = IsNetworkPortName(args[0]);
  if (!network && !floorPty.empty()) {
    std::fprintf(stderr, "--floor goes with a network port\n");
    return 2;
  }

  // The kinds measured each round: the link, and the figure it is compared with (the floor of
  // the same pseudo-terminal, or pySerial's client on the same server), and with --floor also a
  // pseudo-terminal's floor.
  struct TKind {
    const char* name;
    std::function<bool(TRound&)> run;
    std::vector<int64_t> all;
    std::vector<double> medians;
    double cpu = 0;
  };
  std::vector<TKind> kinds;
  kinds.push_back({"link", [&](TRound& r) { return LinkRound(port, count, r); }, {}, {}, 0});
  if (network) {
    kinds.push_back({"pyserial", [&](TRound& r) {
                       double median = 0;
                       return PySerialRound(port, count, r, median);
                     }, {}, {}, 0});
    if (!floorPty.empty())
      kinds.push_back({"floor", [&](TRound& r) { return FloorRound(floorPty.c_str(), count, r); },
                       {}, {}, 0});
  } else {
    kinds.push_back({"floor", [&](TRound& r) { return FloorRound(port, count, r); }, {}, {}, 0});
  }

  std::vector<double> ratios;  // link median / second kind's median, per round
  std::printf("%-6s %-8s %12s %14s\n", "round", "kind", "median_us", "cpu_us_per_rt");
  for (long r = 1; r <= rounds; ++r) {
    std::vector<double> roundMedian(kinds.size());
    // Odd rounds in order, even rounds in reverse order.
    for (size_t turn = 0; turn < kinds.size(); ++turn) {
      const size_t k = r % 2 == 1 ? turn : kinds.size() - 1 - turn;
      TRound round;
      if (!kinds[k].run(round)) return 1;
      roundMedian[k] = MedianUs(round.times);
      std::printf("%-6ld %-8s %12.2f %14.2f\n", r, kinds[k].name, roundMedian[k],
                  round.cpuPerTrip);
      kinds[k].all.insert(kinds[k].all.end(), round.times.begin(), round.times.end());
      kinds[k].medians.push_back(roundMedian[k]);
      kinds[k].cpu += round.cpuPerTrip / static_cast<double>(rounds);
    }
    ratios.push_back(roundMedian[1] > 0 ? roundMedian[0] / roundMedian[1] : 0.0);
  }

  // pySerial reports one median per round: its figure over all rounds is the median of those.
  auto overall = [](const TKind& k) {
    return std::string(k.name) == "pyserial" ? MedianUs([&] {
      std::vector<int64_t> ns;
      for (double m : k.medians) ns.push_back(static_cast<int64_t>(m * 1000.0));
      return ns;
    }())
                                             : MedianUs(k.all);
  };
  std::vector<double> medians;
  for (const TKind& k : kinds) {
    medians.push_back(overall(k));
    std::printf("%-6s %-8s %12.2f %14.2f\n", "all", k.name, medians.back(), k.cpu);
  }
  std::nth_element(ratios.begin(), ratios.begin() + static_cast<long>(ratios.size() / 2),
                   ratios.end());
  for (size_t k = 1; k < kinds.size(); ++k) {
    std::printf("link/%s: median %.3f, cpu %.3f%s", kinds[k].name,
                medians[k] > 0 ? medians[0] / medians[k] : 0.0,
                kinds[k].cpu > 0 ? kinds[0].cpu / kinds[k].cpu : 0.0, k == 1 ? "" : "\n");
    if (k == 1) std::printf(", median of the rounds' ratios %.3f\n", ratios[ratios.size() / 2]);
  }
  std::fprintf(stderr, "cpu_us_per_rt=%.2f\n", kinds[0].cpu);
  std::printf("%.2f\n", medians[0]);
  return 0;
}
