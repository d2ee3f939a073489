// A listener on loopback, on a free port, that accepts connections and never says a word, as a
// records server that hangs does (Winsock; no windows.h in this header).
#pragma once

#include <memory>
#include <string>

class TSilentListener {
 public:
  TSilentListener();
  ~TSilentListener();
  int Port() const;
  // The listener as a records server's location.
  std::string Location() const {
    return "postgresql://tptune@127.0.0.1:" + std::to_string(Port()) + "/records";
  }
  // Stops listening and drops every connection: a client waiting for an answer sees the end.
  void Close();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};
