// The running system's answers for ProgramFiles on Windows. A program the installer laid down
// (bin\ with share\tptune\ beside it, as on Linux) keeps its written files in the user's local
// application data folder, since Program Files is not the user's to write to; a program in a
// folder of its own (a bench PC's portable folder, the build folder) keeps them beside itself.
#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "run/Paths.h"
#include "run/ProgramFiles.h"

namespace {

// %LOCALAPPDATA% when it names an absolute folder (it may point elsewhere on purpose), else the
// known folder the shell keeps for the user.
std::string LocalAppDataFolder() {
  if (const wchar_t* env = _wgetenv(L"LOCALAPPDATA");
      env != nullptr && std::filesystem::path(env).is_absolute())
    return PathText(std::filesystem::path(env));
  PWSTR known = nullptr;
  std::string folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known)))
    folder = PathText(std::filesystem::path(known));
  CoTaskMemFree(known);
  return folder;
}

// Files may be made in the folder: a throwaway file is made there and removed again (access
// rights, read-only media and shares are all answered by the system itself).
bool MayWriteInto(const std::string& folder) {
  std::error_code error;
  const std::filesystem::path dir = std::filesystem::absolute(FilePath(folder), error);
  if (error) return false;
  const std::wstring probe =
      (dir / (L"tptune-write-" + std::to_wstring(GetCurrentProcessId()) + L".tmp")).wstring();
  const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace

TProgramFiles ProgramFiles(const std::string& programPath) {
  TProgramFilesView view;
  view.Exists = [](const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(FilePath(path), error);
  };
  view.Writable = MayWriteInto;
  view.LocalAppData = LocalAppDataFolder();
  TProgramFiles files = ChooseProgramFiles(programPath, view, InstalledDataFromProgram());
  if (files.PerUser) {
    // A failure shows when the files are written (the settings file silently, the error log
    // file with a warning on the console).
    std::error_code error;
    std::filesystem::create_directories(FilePath(files.DataDir), error);
  }
  return files;
}
