#include "run/Paths.h"

#include <unistd.h>

const char kPathSeparators[] = "/";

std::string StationName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}
