// Where a program finds its test firmwares and where it keeps the files it writes: the settings
// file, the error log file and (beside them) the production records.
//
// A program either runs from a folder of its own (the build folder, a portable folder) or is
// installed: the program in <prefix>/bin/ and its test firmwares in <prefix>/share/tptune/ (on
// Windows <prefix>\bin\ and <prefix>\share\tptune\, as the installer lays them down).
//  - Test firmwares ("tpftune.tpf", "srvftune.sff"): beside the program; for an installed
//    program in the installation's data folder.
//  - Written files keep their names ("tptune.INI", "tptune.ERR" for the program "tptune") and lie
//    beside the program when a settings file is already there (a portable folder keeps working
//    wherever it is copied), or when the program is not installed and may write to its folder.
//    Otherwise they go to the user's data folder: on Windows %LOCALAPPDATA%\tptune\; elsewhere
//    $XDG_DATA_HOME/tptune/ (when that is an absolute path), else ~/.local/share/tptune/.
#pragma once

#include <functional>
#include <string>

struct TProgramFiles {
  std::string ProgDir;  // where the test firmwares are read from, with its trailing '/'
  std::string DataDir;  // the folder of the written files, with its trailing '/' ("" for the
                        // current folder when the program was named without one)
  std::string IniName;  // the settings file
  std::string ErrName;  // the error log file
  bool PerUser = false; // DataDir is the user's data folder (it may still have to be made)
};

// What the choice looks at.
struct TProgramFilesView {
  std::function<bool(const std::string& path)> Exists;      // a file or folder is there
  std::function<bool(const std::string& folder)> Writable;  // files may be made in the folder
  std::string XdgDataHome;  // $XDG_DATA_HOME, or empty
  std::string Home;         // the user's home folder, or empty
  std::string LocalAppData; // Windows: the user's local application data folder, or empty
};

// The installed data folder seen from the installed program folder ("../share/tptune" for the
// usual layout), as the build was configured.
const char* InstalledDataFromProgram();

// The choice described above, for the program file programPath. dataFromProgram is the
// installed data folder relative to the installed program's folder; empty: never installed.
TProgramFiles ChooseProgramFiles(const std::string& programPath, const TProgramFilesView& view,
                                 const std::string& dataFromProgram);

// The choice for the running system (this platform's file checks, environment and user
// database); makes the user's data folder when it is chosen and missing.
TProgramFiles ProgramFiles(const std::string& programPath);
