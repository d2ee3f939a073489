// The network ports' TCP stream on POSIX sockets.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "serial/NetSocket.h"
#include "serial/PlatformError.h"

namespace {

[[noreturn]] void Raise(int error, const std::string& text) { throw EComError(error, text); }

[[noreturn]] void RaiseLost(int error) {
  throw EComError(error != 0 ? error : kErrDeviceGone, "connection lost");
}

// Waits for events on fd up to waitMs; returns the events seen (0 on time-out).
short WaitFor(int fd, short events, int waitMs) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, waitMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) RaisePlatformError(errno);
    return r == 0 ? 0 : p.revents;
  }
}

}  // namespace

void TNetSocket::Connect(const std::string& host, const std::string& port, int timeoutMs) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (gai != 0 || found == nullptr) Raise(kErrPortNotFound, "host not found");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int lastError = ETIMEDOUT;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          a->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    int err = 0;
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const short ev = WaitFor(fd, POLLOUT, static_cast<int>(std::max<long long>(0, left.count())));
        if (ev == 0) {
          err = ETIMEDOUT;
        } else {
          socklen_t len = sizeof err;
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
      }
    }
    if (err == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      freeaddrinfo(found);
      handle_ = fd;
      return;
    }
    ::close(fd);
    lastError = err;
  }
  freeaddrinfo(found);
  if (lastError == ECONNREFUSED) Raise(lastError, "connection refused");
  if (lastError == ETIMEDOUT) Raise(lastError, "connection timed out");
  Raise(lastError, "cannot connect: " + PlatformErrorText(lastError));
}

void TNetSocket::Close() noexcept {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

size_t TNetSocket::Send(const uint8_t* data, size_t length, int waitMs) {
  const int fd = static_cast<int>(handle_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::send(fd, data + done, length - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) RaiseLost(errno);
    int wait = -1;
    if (waitMs >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      wait = static_cast<int>(left.count());
    }
    const short ev = WaitFor(fd, POLLOUT, wait);
    if (ev == 0) break;
    if ((ev & (POLLERR | POLLHUP)) && !(ev & POLLOUT)) RaiseLost(0);
  }
  return done;
}

size_t TNetSocket::Receive(uint8_t* buffer, size_t capacity, int waitMs) {
  const int fd = static_cast<int>(handle_);
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) RaiseLost(0);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) RaiseLost(errno);
    if (waitMs == 0) return 0;
    const short ev = WaitFor(fd, POLLIN, waitMs);
    if (ev == 0) return 0;
    waitMs = 0;  // readable now: the next recv tells data, end of stream or error
  }
}
