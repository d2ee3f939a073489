// A connected TCP stream for the network ports (internal). Each platform defines it in its own
// file (PosixSocket.cpp, Win32Socket.cpp); the portable network binding sees only this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TNetSocket {
 public:
  TNetSocket() = default;
  ~TNetSocket() { Close(); }
  TNetSocket(const TNetSocket&) = delete;
  TNetSocket& operator=(const TNetSocket&) = delete;

  // Connects to host and port (a number or a service name) within timeoutMs, with Nagle's
  // delay off so that a lone byte leaves at once. Raises EComError with the platform's error
  // number and one of the texts "host not found", "connection refused", "connection timed
  // out" or "cannot connect: <the platform's text>".
  void Connect(const std::string& host, const std::string& port, int timeoutMs);
  void Close() noexcept;
  bool IsOpen() const { return handle_ != kNone; }

  // Sends every byte, waiting for room as long as waitMs allows (-1: no limit); returns how
  // many left. Raises "connection lost" when the peer is gone.
  size_t Send(const uint8_t* data, size_t length, int waitMs);
  // Waits up to waitMs (-1: no limit) for bytes and takes what has come, up to capacity;
  // 0 when none came in time. Raises "connection lost" when the peer closed or reset the
  // connection.
  size_t Receive(uint8_t* buffer, size_t capacity, int waitMs);

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};
