// A listener on loopback, on a free port, that accepts connections and never says a word, as a
// records server that hangs does.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class TSilentServer {
 public:
  TSilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0)
      throw std::runtime_error("no loopback listener");
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] {
      for (;;) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        std::lock_guard l(m_);
        if (closed_) {
          ::close(c);
          return;
        }
        accepted_.push_back(c);
      }
    });
  }
  ~TSilentServer() { Close(); }
  int Port() const { return port_; }
  // The listener as a records server's location (the connection time-out the store sets).
  std::string Location() const {
    return "postgresql://tptune@127.0.0.1:" + std::to_string(port_) + "/records";
  }
  // Stops listening and drops every connection: a client waiting for an answer sees the end.
  void Close() {
    {
      std::lock_guard l(m_);
      if (closed_) return;
      closed_ = true;
      for (int c : accepted_) ::close(c);
      accepted_.clear();
    }
    ::shutdown(fd_, SHUT_RDWR);
    acceptor_.join();
    ::close(fd_);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex m_;
  bool closed_ = false;
  std::vector<int> accepted_;
};
