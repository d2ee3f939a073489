// The emulated bench served to other programs (Linux): each bench port on a TCP port of its
// own as a Telnet COM Port Control (RFC 2217) server, in wall time at a speed factor. One
// client per port, as a serial port has one opener: a second connection is closed at once.
// DTR and RTS orders go to the bench port's lines; DSR changes are notified to the client.
// The bench's operator, who unplugs a handheld once the tool waits for it and plugs in the
// next, watches the tool through the server's looks at the lines (every 200 ms, or every notify
// interval when that is longer).
//
// Single-threaded: Run() polls the sockets and moves the bench's virtual clock along with
// wall time (virtual = wall x speed factor), waking when the next byte arrives on a line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TBench;

struct TBenchServerOptions {
  std::string host = "127.0.0.1";
  int firstPort = 4001;  // 0: every port gets a free port of the system's choice
  double speedFactor = 1.0;
  // Instead of the bench: one port that echoes every byte at once, with DSR following DTR and
  // CTS following RTS (a loop-back plug).
  bool echo = false;
  // Modem line news as a device server that polls its UART's lines gives it: the lines are
  // looked at once per interval (seconds of wall time) and a change is notified then, so a
  // change comes up to one interval late and one that is undone before the next look is never
  // told. 0: every change is notified as it happens.
  double notifyInterval = 0;
  // The text a client asking for the server's signature gets.
  std::string signature = "tptune-sim";
  // Fault: the connection of this port is closed once this many data bytes came from its
  // client (0: never).
  std::string dropPort;
  uint64_t dropAfter = 0;
};

class TBenchServer {
 public:
  // bench may be null with options.echo. Listens at once; throws std::runtime_error when a
  // port cannot be listened on.
  TBenchServer(TBench* bench, const TBenchServerOptions& options);
  ~TBenchServer();
  TBenchServer(const TBenchServer&) = delete;
  TBenchServer& operator=(const TBenchServer&) = delete;

  // What is served: "NAME rfc2217://HOST:PORT" per port.
  std::vector<std::string> Endpoints() const;
  // Serves until stop becomes true (checked at least every 100 ms).
  void Run(const std::atomic<bool>& stop);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};
