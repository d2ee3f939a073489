#include "run/ProgramFiles.h"

#include <filesystem>

#include "run/MainFields.h"
#include "run/Paths.h"

#ifndef TPTUNE_DATA_FROM_PROGRAM
#error "TPTUNE_DATA_FROM_PROGRAM must be defined by the build"
#endif

namespace {

// The test firmware an installation's data folder holds: a folder of that name that lacks it
// (a stray share/tptune/ next to a portable folder) does not make the program installed.
const char kInstalledProbe[] = "tpftune.tpf";

std::string WithSeparator(std::string folder, char separator = '/') {
  if (!folder.empty() && folder.back() != '/' && folder.back() != separator) folder += separator;
  return folder;
}

}  // namespace

const char* InstalledDataFromProgram() { return TPTUNE_DATA_FROM_PROGRAM; }

TProgramFiles ChooseProgramFiles(const std::string& programPath, const TProgramFilesView& view,
                                 const std::string& dataFromProgram) {
  TProgramFiles files;
  const std::string programDir = ProgramDirectory(programPath);
  const std::string besideIni = SettingsFileName(programPath);

  // An installed program has the installation's data folder, with its test firmwares, where the
  // build put it.
  bool installed = false;
  if (!programDir.empty() && !dataFromProgram.empty()) {
    const std::string data =
        WithSeparator(PathText(FilePath(programDir + dataFromProgram).lexically_normal()),
                      static_cast<char>(std::filesystem::path::preferred_separator));
    installed = view.Exists(data + kInstalledProbe);
    if (installed) files.ProgDir = data;
  }
  if (!installed) files.ProgDir = programDir;

  std::string userDir;
  if (!view.LocalAppData.empty())
    userDir = WithSeparator(view.LocalAppData, '\\') + "tptune\\";
  else if (!view.XdgDataHome.empty() && view.XdgDataHome.front() == '/')
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
