#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FakeServer.h"

namespace fake_socket {

intptr_t ListenLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, 4);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

intptr_t Accept(intptr_t listener, int waitMs) {
  pollfd p{static_cast<int>(listener), POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return -1;
  return accept(static_cast<int>(listener), nullptr, nullptr);
}

std::vector<uint8_t> Receive(intptr_t s, int waitMs, bool& gone) {
  gone = false;
  pollfd p{static_cast<int>(s), POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return {};
  uint8_t buf[4096];
  const ssize_t n = recv(static_cast<int>(s), buf, sizeof buf, 0);
  if (n <= 0) {
    gone = true;
    return {};
  }
  return std::vector<uint8_t>(buf, buf + n);
}

void Send(intptr_t s, const std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) (void)!send(static_cast<int>(s), bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void Close(intptr_t s) {
  if (s >= 0) close(static_cast<int>(s));
}

}  // namespace fake_socket
