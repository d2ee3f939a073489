// Another program started by a test, the platform's way (PosixProcess.cpp, Win32Process.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TProcess {
 public:
  // Starts program with the arguments; throws std::runtime_error when it cannot.
  TProcess(const std::string& program, const std::vector<std::string>& args);
  ~TProcess();  // waits for the program if Wait was not called
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // Waits for the program to end; its exit status (-1 when it did not exit by itself).
  int Wait();

 private:
  intptr_t id_ = -1;
};
