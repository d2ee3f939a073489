// The running system's answers for ProgramFiles: POSIX file checks, the environment and the
// user database.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "run/Paths.h"
#include "run/ProgramFiles.h"

namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_dir;
  return {};
}

}  // namespace

TProgramFiles ProgramFiles(const std::string& programPath) {
  TProgramFilesView view;
  view.Exists = [](const std::string& path) { return access(path.c_str(), F_OK) == 0; };
  view.Writable = [](const std::string& folder) {
    return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  };
  if (const char* xdg = std::getenv("XDG_DATA_HOME")) view.XdgDataHome = xdg;
  view.Home = HomeFolder();
  TProgramFiles files = ChooseProgramFiles(programPath, view, InstalledDataFromProgram());
  if (files.PerUser) {
    // Private to the user, like the rest of ~/.local/share; a failure shows when the files are
    // written (the settings file silently, the error log file with a warning on the console).
    std::error_code error;
    const std::filesystem::path dataDir = FilePath(files.DataDir);
    if (std::filesystem::create_directories(dataDir, error))
      std::filesystem::permissions(dataDir, std::filesystem::perms::owner_all, error);
  }
  return files;
}
