#include <stdio.h>
#include <sys/wait.h>

#include "tests/firmware/Commands.h"

namespace {

std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

TCommandResult RunCommand(const std::vector<std::string>& words) {
  std::string command;
  for (const std::string& word : words) command += Quoted(word) + " ";
  TCommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.Output.append(buffer, got);
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.Status = WEXITSTATUS(status);
  return result;
}

std::string ProgramFile(const std::string& name) { return name; }

bool HasDynamicLoader() { return true; }
