// The running system's answers for ProgramFiles on Windows. A program the installer laid down
// finds its test firmwares in the installation's data folder (share\tptune\ beside bin\, as on
// Linux); a program in a folder of its own (a bench PC's portable folder, the build folder) finds
// them beside itself. Either keeps its written files beside the program.
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
  return ChooseProgramFiles(programPath, view, InstalledDataFromProgram());
}
