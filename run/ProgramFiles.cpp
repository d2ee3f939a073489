#include "run/ProgramFiles.h"

#include <filesystem>

#include "run/MainFields.h"

#ifndef TPTUNE_DATA_FROM_PROGRAM
#error "TPTUNE_DATA_FROM_PROGRAM must be defined by the build"
#endif

namespace {

std::string WithSeparator(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

const char* InstalledDataFromProgram() { return TPTUNE_DATA_FROM_PROGRAM; }

TProgramFiles ChooseProgramFiles(const std::string& programPath, const TProgramFilesView& view,
                                 const std::string& dataFromProgram) {
  TProgramFiles files;
  const std::string programDir = ProgramDirectory(programPath);
  const std::string besideIni = SettingsFileName(programPath);

  // An installed program has the installation's data folder where the build put it.
  bool installed = false;
  if (!programDir.empty() && !dataFromProgram.empty()) {
    const std::string data = WithSeparator(
        std::filesystem::path(programDir + dataFromProgram).lexically_normal().string());
    installed = view.Exists(data);
    if (installed) files.ProgDir = data;
  }
  if (!installed) files.ProgDir = programDir;

  std::string userDir;
  if (!view.XdgDataHome.empty() && view.XdgDataHome.front() == '/')
    userDir = WithSeparator(view.XdgDataHome) + "tptune/";
  else if (!view.Home.empty())
    userDir = WithSeparator(view.Home) + ".local/share/tptune/";

  const bool beside = view.Exists(besideIni) ||
                      (!installed && view.Writable(programDir.empty() ? "." : programDir)) ||
                      userDir.empty();
  if (beside) {
    files.DataDir = programDir;
    files.IniName = besideIni;
  } else {
    files.DataDir = userDir;
    files.IniName = userDir + besideIni.substr(programDir.size());
    files.PerUser = true;
  }
  files.ErrName = ErrorLogFileName(files.IniName);
  return files;
}
