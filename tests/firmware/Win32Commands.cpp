#include <stdio.h>

#include "tests/firmware/Commands.h"

namespace {

// A word for the command interpreter: in double quotes, with the program's folders separated by
// backslashes (a leading '/' would read as an option).
std::string Quoted(std::string word, bool program) {
  if (program)
    for (char& c : word)
      if (c == '/') c = '\\';
  return "\"" + word + "\"";
}

}  // namespace

TCommandResult RunCommand(const std::vector<std::string>& words) {
  std::string command;
  for (size_t i = 0; i < words.size(); ++i) command += Quoted(words[i], i == 0) + " ";
  // The interpreter takes off the outermost quotes of the whole line.
  command = "\"" + command + "\"";
  TCommandResult result;
  std::fflush(nullptr);
  FILE* pipe = ::_popen(command.c_str(), "rt");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.Output.append(buffer, got);
  result.Status = ::_pclose(pipe);
  return result;
}

std::string ProgramFile(const std::string& name) { return name + ".exe"; }

bool HasDynamicLoader() { return false; }
