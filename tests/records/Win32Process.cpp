#include <process.h>

#include <stdexcept>

#include "Process.h"

namespace {

// _spawnv joins the arguments into one command line as they are: each is quoted here, so a
// folder with a space in its name stays one argument.
std::string Quoted(const std::string& arg) { return "\"" + arg + "\""; }

}  // namespace

TProcess::TProcess(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> quoted{Quoted(program)};
  for (const std::string& a : args) quoted.push_back(Quoted(a));
  std::vector<const char*> argv;
  for (const std::string& q : quoted) argv.push_back(q.c_str());
  argv.push_back(nullptr);
  id_ = _spawnv(_P_NOWAIT, program.c_str(), argv.data());
  if (id_ == -1) throw std::runtime_error("cannot start " + program);
}

TProcess::~TProcess() {
  if (id_ != -1) Wait();
}

int TProcess::Wait() {
  int status = -1;
  const intptr_t handle = id_;
  id_ = -1;
  if (_cwait(&status, handle, 0) == -1) return -1;
  return status;
}
