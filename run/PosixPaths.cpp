#include "run/Paths.h"

#include <unistd.h>

const char kPathSeparators[] = "/";

std::string StationName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}
