// Where the programs read their test firmwares and keep the files they write.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

#include "run/ProgramFiles.h"

namespace {

struct TFakeSystem {
  TFakeSystem(std::set<std::string> present_, std::set<std::string> writable_,
              std::string xdg_ = "", std::string home_ = "/home/op")
      : present(std::move(present_)), writable(std::move(writable_)), xdg(std::move(xdg_)),
        home(std::move(home_)) {}

  std::set<std::string> present;   // files and folders (folders with their trailing '/')
  std::set<std::string> writable;  // folders the user may write to
  std::string xdg, home;

  TProgramFilesView View() const {
    TProgramFilesView v;
    v.Exists = [this](const std::string& p) { return present.count(p) != 0; };
    v.Writable = [this](const std::string& f) { return writable.count(f) != 0; };
    v.XdgDataHome = xdg;
    v.Home = home;
    return v;
  }
};

TEST(ProgramFiles, BesideTheProgramOrInTheUsersDataFolder) {
  const std::string fromBin = "../share/tptune";
  struct Case {
    const char* what;
    std::string program;
    TFakeSystem system;
    std::string progDir, iniName, errName;
  } cases[] = {
      {"build or portable folder, writable", "/work/build/app/tptune-cli",
       {{}, {"/work/build/app/"}},
       "/work/build/app/", "/work/build/app/tptune-cli.INI", "/work/build/app/tptune-cli.ERR"},
      {"portable folder on a write-protected stick, with its settings file",
       "/media/stick/tptune", {{"/media/stick/tptune.INI"}, {}},
       "/media/stick/", "/media/stick/tptune.INI", "/media/stick/tptune.ERR"},
      {"read-only folder, no settings file: the user's data folder", "/media/stick/tptune",
       {{}, {}}, "/media/stick/", "/home/op/.local/share/tptune/tptune.INI",
       "/home/op/.local/share/tptune/tptune.ERR"},
      {"installed: test firmwares from share/tptune, files in the data folder",
       "/usr/bin/tptune", {{"/usr/share/tptune/tpftune.tpf"}, {}},
       "/usr/share/tptune/", "/home/op/.local/share/tptune/tptune.INI",
       "/home/op/.local/share/tptune/tptune.ERR"},
      {"installed, run by root who may write to /usr/bin: still the data folder",
       "/usr/bin/tptune-cli", {{"/usr/share/tptune/tpftune.tpf"}, {"/usr/bin/"}, "", "/root"},
       "/usr/share/tptune/", "/root/.local/share/tptune/tptune-cli.INI",
       "/root/.local/share/tptune/tptune-cli.ERR"},
      {"installed with a settings file beside the program: that one wins",
       "/usr/bin/tptune", {{"/usr/share/tptune/tpftune.tpf", "/usr/bin/tptune.INI"}, {}},
       "/usr/share/tptune/", "/usr/bin/tptune.INI", "/usr/bin/tptune.ERR"},
      {"XDG_DATA_HOME set", "/usr/bin/tptune",
       {{"/usr/share/tptune/tpftune.tpf"}, {}, "/var/lib/op-data"},
       "/usr/share/tptune/", "/var/lib/op-data/tptune/tptune.INI",
       "/var/lib/op-data/tptune/tptune.ERR"},
      {"XDG_DATA_HOME relative: ignored", "/usr/bin/tptune",
       {{"/usr/share/tptune/tpftune.tpf"}, {}, "data"},
       "/usr/share/tptune/", "/home/op/.local/share/tptune/tptune.INI",
       "/home/op/.local/share/tptune/tptune.ERR"},
      {"installed under /opt", "/opt/tptune/bin/tptune", {{"/opt/tptune/share/tptune/tpftune.tpf"}, {}},
       "/opt/tptune/share/tptune/", "/home/op/.local/share/tptune/tptune.INI",
       "/home/op/.local/share/tptune/tptune.ERR"},
      {"no home and no XDG_DATA_HOME: beside the program after all", "/usr/bin/tptune",
       {{"/usr/share/tptune/tpftune.tpf"}, {}, "", ""},
       "/usr/share/tptune/", "/usr/bin/tptune.INI", "/usr/bin/tptune.ERR"},
      {"named without a folder, the current folder writable", "tptune-cli", {{}, {"."}},
       "", "tptune-cli.INI", "tptune-cli.ERR"},
      {"share/tptune without the test firmwares: not an installation", "/work/x/bin/tptune",
       {{"/work/x/share/tptune/"}, {"/work/x/bin/"}},
       "/work/x/bin/", "/work/x/bin/tptune.INI", "/work/x/bin/tptune.ERR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TProgramFiles f = ChooseProgramFiles(c.program, c.system.View(), fromBin);
    EXPECT_EQ(f.ProgDir, c.progDir);
    EXPECT_EQ(f.IniName, c.iniName);
    EXPECT_EQ(f.ErrName, c.errName);
    EXPECT_EQ(f.PerUser, f.IniName.find("/tptune/") != std::string::npos);
    EXPECT_EQ(f.DataDir, f.IniName.substr(0, f.IniName.rfind('/') + 1));
  }
  // A build that is never installed (empty relative folder) never looks for the data folder.
  TFakeSystem s{{"/usr/share/tptune/tpftune.tpf"}, {"/usr/bin/"}};
  EXPECT_EQ(ChooseProgramFiles("/usr/bin/tptune", s.View(), "").ProgDir, "/usr/bin/");
}

// The running system's answers: an installed layout in a temporary folder, the user's data
// folder made below XDG_DATA_HOME.
TEST(ProgramFiles, TheSystemsViewMakesThePrivateDataFolder) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("tptune-files-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "prefix/bin");
  fs::create_directories(root / "prefix" / "bin" / InstalledDataFromProgram());
  std::ofstream(root / "prefix" / "bin" / InstalledDataFromProgram() / "tpftune.tpf").put('x');
  const std::string program = (root / "prefix/bin/tptune-cli").string();
  std::ofstream(program).put('x');

  const char* oldXdg = getenv("XDG_DATA_HOME");
  const std::string saved = oldXdg ? oldXdg : "";
  setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
  const TProgramFiles f = ProgramFiles(program);
  if (oldXdg) setenv("XDG_DATA_HOME", saved.c_str(), 1); else unsetenv("XDG_DATA_HOME");

  EXPECT_EQ(f.ProgDir,
            fs::path(root / "prefix/bin" / InstalledDataFromProgram()).lexically_normal().string() + "/");
  EXPECT_EQ(f.IniName, (root / "data/tptune/tptune-cli.INI").string());
  struct stat info {};
  ASSERT_EQ(stat((root / "data/tptune").c_str(), &info), 0) << "the data folder was not made";
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  fs::remove_all(root);
}

}  // namespace
