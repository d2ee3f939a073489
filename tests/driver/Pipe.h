// A pipe between two file descriptors of this process, made the platform's way (PosixPipe.cpp,
// Win32Pipe.cpp), for tests of the console front end's input.
#pragma once

#include <string>

class TPipe {
 public:
  TPipe();
  ~TPipe();
  TPipe(const TPipe&) = delete;
  TPipe& operator=(const TPipe&) = delete;

  int ReadFd() const { return fds_[0]; }
  void Write(const std::string& text);
  void CloseWriter();

 private:
  int fds_[2] = {-1, -1};
};
