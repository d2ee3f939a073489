// A peer program started by a test (Linux): its standard output and error are read line by
// line, so the test can wait for the line that says it is ready; it is stopped with SIGTERM
// (and killed if it does not end) when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class TPeer {
 public:
  // Starts program with args, with standard input at its end. Throws std::runtime_error when
  // it cannot be started. Without withStderr only standard output is read (the rest goes).
  TPeer(const std::string& program, const std::vector<std::string>& args, bool withStderr = true);
  ~TPeer();
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  // Waits for a line containing text; returns it, or "" when the program ended or the time
  // passed first (the lines seen so far are in Output()).
  std::string WaitForLine(const std::string& text, std::chrono::milliseconds limit);
  // Every line read so far.
  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Output() const;
  pid_t Pid() const { return pid_; }
  // SIGTERM, then waits up to limit for the end; returns the exit status (-1: killed or gone).
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Waits up to limit for the program to end by itself (then kills it); the exit status as
  // Stop gives it.
  int Wait(std::chrono::milliseconds limit);

 private:
  bool ReadSome(int waitMs);
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  size_t scanned_ = 0;
};

// The peak resident memory of a process (VmHWM in /proc/PID/status), in KiB; 0 when unknown.
long PeakMemoryKiB(pid_t pid);

// A TCP port on the loopback address that nobody listens on at the moment of asking.
int FreeLoopbackPort();

// Debian's Python, which sees Debian's python3-serial.
inline const char* kSystemPython = "/usr/bin/python3";
