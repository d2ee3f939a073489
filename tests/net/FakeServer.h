// A small COM port control server in a thread of the test, with a fault to show: it agrees to
// the COM port option, refuses it or stays silent; answers settings (or answers the speed
// wrongly); echoes data; and on the first data byte can send raw bytes (a broken frame) and
// close. Works on every platform the client does (its sockets are in FakeSocket*.cpp).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TFakeBehaviour {
  enum Negotiation { kAgree, kRefuse, kSilent };
  Negotiation negotiation = kAgree;
  bool telnet = true;         // false: a raw TCP echo (socket://)
  uint32_t answerSpeed = 0;   // answer SET-BAUDRATE with this speed (0: as asked)
  std::vector<uint8_t> speedAnswerTail;  // bytes after the four of every speed answer
  int firstSpeedAnswerLateMs = 0;        // the first speed answer comes this late
  int pauseOnFirstDataMs = 0;  // FLOWCONTROL-SUSPEND before the first data's echo, RESUME this later
  std::vector<uint8_t> onFirstData;  // sent as they are when the first data byte came
  bool closeOnFirstData = false;     // and then the connection is closed
};

class TFakeServer {
 public:
  explicit TFakeServer(TFakeBehaviour behaviour);
  ~TFakeServer();
  TFakeServer(const TFakeServer&) = delete;
  TFakeServer& operator=(const TFakeServer&) = delete;
  // "scheme://127.0.0.1:PORT".
  std::string Name(const std::string& scheme = "rfc2217") const;
  // The COM port orders received so far (command and value, as sent).
  std::vector<std::vector<uint8_t>> Orders() const;

 private:
  void Serve();
  TFakeBehaviour behaviour_;
  intptr_t listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> orders_;
};

// The test's own sockets (FakeSocketPosix.cpp, FakeSocketWin32.cpp): a listener on the
// loopback address and its one connection, all with time limits.
namespace fake_socket {
intptr_t ListenLoopback(int& port);
// The next connection within waitMs, or -1.
intptr_t Accept(intptr_t listener, int waitMs);
// Bytes within waitMs: empty with gone false on a time-out, gone true when the peer left.
std::vector<uint8_t> Receive(intptr_t s, int waitMs, bool& gone);
void Send(intptr_t s, const std::vector<uint8_t>& bytes);
void Close(intptr_t s);
}  // namespace fake_socket
