#include "tests/win32/SilentListener.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

struct TSilentListener::TImpl {
  SOCKET listener = INVALID_SOCKET;
  int port = 0;
  std::mutex m;
  bool closed = false;
  std::vector<SOCKET> accepted;
  std::thread acceptor;
};

TSilentListener::TSilentListener() : impl_(std::make_unique<TImpl>()) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  TImpl& i = *impl_;
  i.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (i.listener == INVALID_SOCKET || bind(i.listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(i.listener, 8) != 0)
    throw std::runtime_error("no loopback listener");
  int n = sizeof a;
  getsockname(i.listener, reinterpret_cast<sockaddr*>(&a), &n);
  i.port = ntohs(a.sin_port);
  i.acceptor = std::thread([&i] {
    for (;;) {
      const SOCKET c = accept(i.listener, nullptr, nullptr);
      if (c == INVALID_SOCKET) return;
      std::lock_guard l(i.m);
      if (i.closed) {
        closesocket(c);
        return;
      }
      i.accepted.push_back(c);
    }
  });
}

TSilentListener::~TSilentListener() {
  Close();
  WSACleanup();
}

int TSilentListener::Port() const { return impl_->port; }

void TSilentListener::Close() {
  TImpl& i = *impl_;
  {
    std::lock_guard l(i.m);
    if (i.closed) return;
    i.closed = true;
    for (SOCKET c : i.accepted) closesocket(c);
    i.accepted.clear();
  }
  closesocket(i.listener);
  i.acceptor.join();
}
