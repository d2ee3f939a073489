// Where the Windows programs read their test firmwares and keep the files they write: the
// installer's layout under Program Files against a portable folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "run/Paths.h"
#include "run/ProgramFiles.h"

namespace {

TProgramFilesView FakeView(const std::set<std::string>& present, std::string localAppData) {
  TProgramFilesView v;
  v.Exists = [present](const std::string& p) { return present.count(p) != 0; };
  v.Writable = [](const std::string&) { return true; };  // Windows' rights are not asked here
  v.LocalAppData = std::move(localAppData);
  return v;
}

TEST(Win32ProgramFiles, InstalledInTheLocalAppDataFolderPortableBesideTheProgram) {
  const std::string pf = "C:\\Program Files\\tptune\\";
  const std::string local = "C:\\Users\\op\\AppData\\Local";
  struct Case {
    const char* what;
    std::string program;
    std::set<std::string> present;
    std::string localAppData;
    std::string progDir, iniName;
  } cases[] = {
      {"installed under Program Files", pf + "bin\\tptune-cli.exe",
       {pf + "share\\tptune\\tpftune.tpf"}, local, pf + "share\\tptune\\",
       local + "\\tptune\\tptune-cli.INI"},
      {"installed per user, LOCALAPPDATA with a trailing separator",
       local + "\\Programs\\tptune\\bin\\tptune.exe",
       {local + "\\Programs\\tptune\\share\\tptune\\tpftune.tpf"}, local + "\\",
       local + "\\Programs\\tptune\\share\\tptune\\", local + "\\tptune\\tptune.INI"},
      {"installed with a settings file beside the program: that one wins",
       pf + "bin\\tptune.exe", {pf + "share\\tptune\\tpftune.tpf", pf + "bin\\tptune.INI"},
       local, pf + "share\\tptune\\", pf + "bin\\tptune.INI"},
      {"installed, no user data folder known: beside the program after all",
       pf + "bin\\tptune.exe", {pf + "share\\tptune\\tpftune.tpf"}, "",
       pf + "share\\tptune\\", pf + "bin\\tptune.INI"},
      {"portable folder with its test firmwares", "D:\\bench\\tptune-cli.exe",
       {"D:\\bench\\tpftune.tpf"}, local, "D:\\bench\\", "D:\\bench\\tptune-cli.INI"},
      {"portable folder named bin, share\\tptune without test firmwares",
       "D:\\bench\\bin\\tptune-cli.exe", {"D:\\bench\\share\\tptune\\"}, local,
       "D:\\bench\\bin\\", "D:\\bench\\bin\\tptune-cli.INI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TProgramFiles f =
        ChooseProgramFiles(c.program, FakeView(c.present, c.localAppData), "../share/tptune");
    EXPECT_EQ(f.ProgDir, c.progDir);
    EXPECT_EQ(f.IniName, c.iniName);
    EXPECT_EQ(f.ErrName, c.iniName.substr(0, c.iniName.size() - 3) + "ERR");
    EXPECT_EQ(f.PerUser, f.IniName.rfind(local, 0) == 0);
    EXPECT_EQ(f.DataDir, f.IniName.substr(0, f.IniName.rfind('\\') + 1));
  }
}

// The running system's answers: the installer's layout in a temporary folder makes the program
// count as installed and its data folder is made below %LOCALAPPDATA%; the same program copied
// into a folder of its own keeps its files beside itself. Once below a plain folder and once
// below a user's folder named beyond ASCII, as "C:\Users\Jörg Müller": the names come back in
// UTF-8, and the data folder is made under the user's real name, not under a reading of its bytes
// in the ANSI code page.
TEST(Win32ProgramFiles, TheSystemsViewMakesTheDataFolderForAnInstalledProgram) {
  namespace fs = std::filesystem;
  const std::string pid = std::to_string(GetCurrentProcessId());
  const struct {
    std::string utf8;
    std::wstring wide;
  } users[] = {
      {"tptune-files-" + pid, L"tptune-files-" + std::wstring(pid.begin(), pid.end())},
      {"tptune-files-" + pid + " J\xC3\xB6rg M\xC3\xBCller",
       L"tptune-files-" + std::wstring(pid.begin(), pid.end()) + L" J\u00f6rg M\u00fcller"},
  };
  for (const auto& user : users) {
    SCOPED_TRACE(user.utf8);
    const fs::path root = fs::temp_directory_path() / user.wide;
    fs::remove_all(root);
    const fs::path bin = root / "prefix" / "bin";
    const fs::path data = (bin / InstalledDataFromProgram()).lexically_normal();
    fs::create_directories(data);
    fs::create_directories(root / "portable");
    std::ofstream(data / "tpftune.tpf").put('x');
    std::ofstream(bin / "tptune-cli.exe").put('x');
    std::ofstream(root / "portable" / "tptune-cli.exe").put('x');

    const wchar_t* old = _wgetenv(L"LOCALAPPDATA");
    const std::wstring saved = old ? old : L"";
    _wputenv_s(L"LOCALAPPDATA", (root / "local").c_str());
    const TProgramFiles installed = ProgramFiles(PathText(bin / "tptune-cli.exe"));
    const TProgramFiles portable = ProgramFiles(PathText(root / "portable" / "tptune-cli.exe"));
    _wputenv_s(L"LOCALAPPDATA", saved.c_str());

    EXPECT_EQ(installed.ProgDir, PathText(data) + "\\");
    EXPECT_EQ(installed.IniName, PathText(root / "local" / "tptune" / "tptune-cli.INI"));
    EXPECT_TRUE(installed.PerUser);
    EXPECT_TRUE(fs::is_directory(root / "local" / "tptune")) << "the data folder was not made";
    EXPECT_EQ(portable.IniName, PathText(root / "portable" / "tptune-cli.INI"));
    EXPECT_FALSE(portable.PerUser);
    // Nothing made beside the user's folder (a folder of a misread name would be there).
    int besideRoot = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::temp_directory_path()))
      besideRoot += PathText(entry.path().filename()).rfind("tptune-files-" + pid, 0) == 0;
    EXPECT_EQ(besideRoot, 1);
    fs::remove_all(root);
  }
}

}  // namespace
