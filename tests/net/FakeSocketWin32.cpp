#include <winsock2.h>
#include <ws2tcpip.h>

#include "FakeServer.h"

namespace fake_socket {

namespace {

bool Ready(SOCKET s, int waitMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &tv) > 0;
}

}  // namespace

intptr_t ListenLoopback(int& port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(s, 4);
  int len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return static_cast<intptr_t>(s);
}

intptr_t Accept(intptr_t listener, int waitMs) {
  if (!Ready(static_cast<SOCKET>(listener), waitMs)) return -1;
  const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : static_cast<intptr_t>(s);
}

std::vector<uint8_t> Receive(intptr_t s, int waitMs, bool& gone) {
  gone = false;
  if (!Ready(static_cast<SOCKET>(s), waitMs)) return {};
  char buf[4096];
  const int n = recv(static_cast<SOCKET>(s), buf, sizeof buf, 0);
  if (n <= 0) {
    gone = true;
    return {};
  }
  return std::vector<uint8_t>(buf, buf + n);
}

void Send(intptr_t s, const std::vector<uint8_t>& bytes) {
  if (!bytes.empty())
    send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(bytes.data()),
         static_cast<int>(bytes.size()), 0);
}

void Close(intptr_t s) {
  if (s >= 0) closesocket(static_cast<SOCKET>(s));
}

}  // namespace fake_socket
