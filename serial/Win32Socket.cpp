// The network ports' TCP stream on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "serial/NetSocket.h"
#include "serial/PlatformError.h"

namespace {

[[noreturn]] void Raise(int error, const std::string& text) { throw EComError(error, text); }

[[noreturn]] void RaiseLost(int error) {
  throw EComError(error != 0 ? error : kErrDeviceGone, "connection lost");
}

// Winsock is started once for the process and left running until it ends.
void StartWinsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (result != 0) Raise(result, "cannot connect: " + PlatformErrorText(result));
}

// Waits until s is readable (or writable) or waitMs passed (-1: no limit); true when ready.
// A failed connect shows in the exception set.
bool WaitFor(SOCKET s, bool write, int waitMs) {
  fd_set set, failed;
  FD_ZERO(&set);
  FD_ZERO(&failed);
  FD_SET(s, &set);
  FD_SET(s, &failed);
  timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
  const int r = select(0, write ? nullptr : &set, write ? &set : nullptr, &failed,
                       waitMs < 0 ? nullptr : &tv);
  if (r == SOCKET_ERROR) RaisePlatformError(WSAGetLastError());
  return r > 0;
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

void TNetSocket::Connect(const std::string& host, const std::string& port, int timeoutMs) {
  Close();
  StartWinsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr)
    Raise(kErrPortNotFound, "host not found");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int lastError = WSAETIMEDOUT;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      lastError = WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int err = 0;
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == SOCKET_ERROR) {
      err = WSAGetLastError();
      if (err == WSAEWOULDBLOCK) {
        if (!WaitFor(s, true, MsLeft(deadline))) {
          err = WSAETIMEDOUT;
        } else {
          int len = sizeof err;
          if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
            err = WSAGetLastError();
        }
      }
    }
    if (err == 0) {
      BOOL one = TRUE;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      freeaddrinfo(found);
      handle_ = static_cast<intptr_t>(s);
      return;
    }
    closesocket(s);
    lastError = err;
  }
  freeaddrinfo(found);
  if (lastError == WSAECONNREFUSED) Raise(lastError, "connection refused");
  if (lastError == WSAETIMEDOUT) Raise(lastError, "connection timed out");
  Raise(lastError, "cannot connect: " + PlatformErrorText(lastError));
}

void TNetSocket::Close() noexcept {
  if (handle_ == kNone) return;
  closesocket(static_cast<SOCKET>(handle_));
  handle_ = kNone;
}

size_t TNetSocket::Send(const uint8_t* data, size_t length, int waitMs) {
  const SOCKET s = static_cast<SOCKET>(handle_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  size_t done = 0;
  while (done < length) {
    const int chunk = static_cast<int>(std::min<size_t>(length - done, 1 << 20));
    const int n = ::send(s, reinterpret_cast<const char*>(data + done), chunk, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) RaiseLost(err);
    const int wait = waitMs < 0 ? -1 : MsLeft(deadline);
    if (waitMs >= 0 && wait == 0) break;
    if (!WaitFor(s, true, wait)) break;
  }
  return done;
}

size_t TNetSocket::Receive(uint8_t* buffer, size_t capacity, int waitMs) {
  const SOCKET s = static_cast<SOCKET>(handle_);
  for (;;) {
    const int chunk = static_cast<int>(std::min<size_t>(capacity, 1 << 20));
    const int n = ::recv(s, reinterpret_cast<char*>(buffer), chunk, 0);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) RaiseLost(0);
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) RaiseLost(err);
    if (waitMs == 0) return 0;
    if (!WaitFor(s, false, waitMs)) return 0;
    waitMs = 0;
  }
}
