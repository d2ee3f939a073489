// The program's own file on Windows.
#include <windows.h>

#include <filesystem>
#include <string>

#include "firmware/Packages.h"
#include "run/Paths.h"

// The module file the process was started from, as the system knows it (argv0 may be a bare
// name without folder or extension), as UTF-8 like every file name the program keeps.
std::string ProgramFileName(const char* argv0) {
  const std::string given = argv0 != nullptr ? argv0 : "";
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return given;
    if (length < name.size()) {
      name.resize(length);
      break;
    }
    name.resize(name.size() * 2);  // cut short: try again with more room
  }
  return PathText(std::filesystem::path(name));
}
