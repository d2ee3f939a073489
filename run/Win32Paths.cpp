#include "run/Paths.h"

#include <windows.h>

const char kPathSeparators[] = "\\/:";

std::string StationName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "unknown";
  return std::string(name, size);
}
