#include "run/MainFields.h"

#include <cstring>

#include "run/Paths.h"

namespace {

// True when name ends in '.' and three characters that are not separators.
bool HasThreeLetterExtension(const std::string& name) {
  if (name.size() < 4 || name[name.size() - 4] != '.') return false;
  for (size_t i = name.size() - 3; i < name.size(); ++i)
    if (name[i] == '.' || std::strchr(kPathSeparators, name[i]) != nullptr) return false;
  const size_t base = name.find_last_of(kPathSeparators);
  // A dot file such as "/x/.abc" has no extension.
  return base == std::string::npos ? name.size() > 4 : name.size() - 4 > base + 1;
}

}  // namespace

std::string SettingsFileName(const std::string& programPath) {
  if (HasThreeLetterExtension(programPath))
    return programPath.substr(0, programPath.size() - 3) + "INI";
  return programPath + ".INI";
}

std::string ErrorLogFileName(const std::string& iniName) {
  if (iniName.size() < 3) return iniName + "ERR";
  return iniName.substr(0, iniName.size() - 3) + "ERR";
}

std::string ProgramDirectory(const std::string& programPath) {
  // Only the platform's separators count: on POSIX ':' and '\\' are file-name characters.
  const size_t sep = programPath.find_last_of(kPathSeparators);
  return sep == std::string::npos ? std::string() : programPath.substr(0, sep + 1);
}
