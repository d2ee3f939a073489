// The running system's answers for ProgramFiles on Windows: a bench PC runs the tool from a
// folder of its own (nothing installs it under a system folder there), so its files stay beside
// the program as they always have.
#include <filesystem>
#include <system_error>

#include "run/ProgramFiles.h"

TProgramFiles ProgramFiles(const std::string& programPath) {
  TProgramFilesView view;
  view.Exists = [](const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
  };
  view.Writable = [](const std::string&) { return true; };
  return ChooseProgramFiles(programPath, view, "");
}
