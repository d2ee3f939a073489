#include "Peer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

TPeer::TPeer(const std::string& program, const std::vector<std::string>& args, bool withStderr) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int nothing = open("/dev/null", O_RDWR);
    dup2(nothing, 0);
    dup2(pipeFds[1], 1);
    dup2(withStderr ? pipeFds[1] : nothing, 2);
    // Unbuffered Python output, so that readiness lines come at once.
    setenv("PYTHONUNBUFFERED", "1", 1);
    execv(program.c_str(), argv.data());
    const std::string why = "cannot start " + program + ": " + std::strerror(errno) + "\n";
    (void)!write(2, why.data(), why.size());
    _exit(127);
  }
  close(pipeFds[1]);
  fd_ = pipeFds[0];
}

TPeer::~TPeer() {
  Stop();
  if (fd_ >= 0) close(fd_);
}

bool TPeer::ReadSome(int waitMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return true;
  char buf[4096];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) return false;
  partial_.append(buf, static_cast<size_t>(n));
  for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
    lines_.push_back(partial_.substr(0, nl));
    partial_.erase(0, nl + 1);
  }
  return true;
}

std::string TPeer::WaitForLine(const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (; scanned_ < lines_.size(); ++scanned_)
      if (lines_[scanned_].find(text) != std::string::npos) return lines_[scanned_++];
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fd_ < 0) return "";
    if (!ReadSome(static_cast<int>(left.count()))) return "";
  }
}

std::string TPeer::Output() const {
  std::string all;
  for (const auto& l : lines_) all += l + "\n";
  return all + partial_;
}

int TPeer::Stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  return Wait(limit);
}

int TPeer::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    if (fd_ >= 0) ReadSome(10);
    else usleep(10000);
  }
  pid_ = -1;
  // What the program wrote before it ended (a grandchild holding the pipe does not hold us up).
  if (fd_ >= 0) {
    fcntl(fd_, F_SETFL, O_NONBLOCK);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) partial_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

long PeakMemoryKiB(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  std::fclose(f);
  return kib;
}
