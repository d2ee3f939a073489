#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "Process.h"

TProcess::TProcess(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot start " + program);
  if (pid == 0) {
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  id_ = pid;
}

TProcess::~TProcess() {
  if (id_ >= 0) Wait();
}

int TProcess::Wait() {
  int status = 0;
  const pid_t pid = static_cast<pid_t>(id_);
  id_ = -1;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
