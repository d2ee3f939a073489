// The front-end set-up that the window, the console and the records program share: where the
// records go, the demo packages of the emulated bench and the port list's fallback.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "front/FrontEndSetup.h"

namespace {

TProgramFiles Installed(const std::string& program) {
  TProgramFiles f;
  f.ProgDir = "/usr/share/tptune/";
  f.DataDir = "/home/op/.local/share/tptune/";
  f.IniName = f.DataDir + program + ".INI";
  f.ErrName = f.DataDir + program + ".ERR";
  f.PerUser = true;
  return f;
}

TProgramFiles Portable(const std::string& program) {
  TProgramFiles f;
  f.ProgDir = f.DataDir = "/media/stick/tune/";
  f.IniName = f.DataDir + program + ".INI";
  f.ErrName = f.DataDir + program + ".ERR";
  return f;
}

// What a folder holds: the demo packages of an installation's data folder and of a build
// folder, nothing else.
bool DemoLayout(const std::string& path) {
  return path == "/usr/share/tptune/demo/rfmodem.tpf" || path == "/build/app/rfmodem.tpf";
}

TEST(FrontEndSetup, RecordsGoWithTheSettingsFileUnlessNamedOrRefused) {
  const std::string user = "/home/op/.local/share/tptune/";
  const struct {
    const char* name;
    TFrontEndRequest request;
    TProgramFiles files;
    std::string location, spool, drift;
  } cases[] = {
      {"installed window: the user's data folder, not the program's",
       {"/usr/bin/tptune", false, ""}, Installed("tptune"),
       user + "tptune.db", user + "spool/tptune.db-", user + "tptune-drift.ini"},
      {"installed console: the same file as the window",
       {"/usr/bin/tptune-cli", false, ""}, Installed("tptune-cli"),
       user + "tptune.db", user + "spool/tptune.db-", user + "tptune-drift.ini"},
      {"installed records program: the same file again",
       {"/usr/bin/tptune-records", false, ""}, Installed("tptune-records"),
       user + "tptune.db", user + "spool/tptune.db-", user + "tptune-drift.ini"},
      {"the emulated bench keeps its own file",
       {"/usr/bin/tptune", true, ""}, Installed("tptune"),
       user + "tptune-bench.db", user + "spool/tptune-bench.db-", user + "tptune-drift.ini"},
      {"portable folder: beside the program",
       {"/media/stick/tune/tptune", false, ""}, Portable("tptune"),
       "/media/stick/tune/tptune.db", "/media/stick/tune/spool/tptune.db-",
       "/media/stick/tune/tptune-drift.ini"},
      {"a named server: its spool in the data folder, named after it",
       {"/usr/bin/tptune-cli", false, "postgresql://line7/records"}, Installed("tptune-cli"),
       "postgresql://line7/records", user + "spool/postgresql-line7_records-", user + "tptune-drift.ini"},
      {"a named file: its spool in the data folder too, never beside a store the user may not write",
       {"/usr/bin/tptune-cli", false, "/srv/line7/records.db"}, Installed("tptune-cli"),
       "/srv/line7/records.db", user + "spool/records.db-", user + "tptune-drift.ini"},
      {"none: no records at all", {"/usr/bin/tptune", false, "none"}, Installed("tptune"), "", "",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TFrontEndSetup s = ChooseFrontEndSetup(c.request, c.files, DemoLayout);
    EXPECT_EQ(s.Files.IniName, c.files.IniName);
    EXPECT_EQ(s.Bench, c.request.Bench);
    EXPECT_EQ(s.RecordsLocation, c.location);
    // A spool's name ends in a digest of the location: the case gives what precedes it.
    EXPECT_EQ(s.SpoolFolder.substr(0, c.spool.size()), c.spool) << s.SpoolFolder;
    if (!c.spool.empty()) EXPECT_EQ(s.SpoolFolder.size(), c.spool.size() + 13) << s.SpoolFolder;
    EXPECT_EQ(s.DriftSettingsPath, c.drift);
  }
}

TEST(FrontEndSetup, TheBenchFindsTheDemoPackagesOfItsLayout) {
  const struct {
    const char* name;
    TFrontEndRequest request;
    TProgramFiles files;
    std::string demoDir;
  } cases[] = {
      {"installed: the data folder's demo folder", {"/usr/bin/tptune", true, ""},
       Installed("tptune"), "/usr/share/tptune/demo/"},
      {"build folder: beside the program", {"/build/app/tptune", true, ""},
       [] {
         TProgramFiles f = Portable("tptune");
         f.ProgDir = f.DataDir = "/build/app/";
         return f;
       }(),
       "/build/app/"},
      {"a folder without them", {"/media/stick/tune/tptune", true, ""}, Portable("tptune"), ""},
      {"not on the bench", {"/usr/bin/tptune", false, ""}, Installed("tptune"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ChooseFrontEndSetup(c.request, c.files, DemoLayout).DemoDir, c.demoDir);
  }

  // The demo packages fill the boxes that hold nothing; a history from the settings file stays.
  TFrontEndSetup setup;
  setup.DemoDir = "/usr/share/tptune/demo/";
  TMainFields fields;
  fields.File2Combo.Add("/work/eeprom-7.tpf");
  fields.File2Combo.Select(0);
  EXPECT_TRUE(FillDemoPackages(setup, fields));
  EXPECT_EQ(fields.File1Combo.Text, "/usr/share/tptune/demo/rfmodem.tpf");
  EXPECT_EQ(fields.File1Combo.Items, std::vector<std::string>{fields.File1Combo.Text});
  EXPECT_EQ(fields.File2Combo.Text, "/work/eeprom-7.tpf");
  EXPECT_EQ(fields.File2Combo.Items.size(), 1u);
  EXPECT_EQ(fields.File3Combo.Text, "/usr/share/tptune/demo/server.sff");
  EXPECT_FALSE(FillDemoPackages(setup, fields));
  EXPECT_FALSE(FillDemoPackages(TFrontEndSetup{}, fields));
}

TEST(FrontEndSetup, PortListFallsBackToThePlatformsUsualNames) {
  EXPECT_EQ(WithFallbackPorts({"/dev/ttyUSB0", "SIM1"}),
            (std::vector<std::string>{"/dev/ttyUSB0", "SIM1"}));
  const std::vector<std::string> fallback = WithFallbackPorts({});
  ASSERT_EQ(fallback.size(), 9u);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(fallback[static_cast<size_t>(i)], FallbackPortName(i));
  EXPECT_EQ(std::set<std::string>(fallback.begin(), fallback.end()).size(), 9u);
#ifdef _WIN32
  EXPECT_EQ(fallback.front(), "COM1");
  EXPECT_EQ(fallback.back(), "COM9");
#else
  EXPECT_EQ(fallback.front(), "/dev/ttyS0");
  EXPECT_EQ(fallback.back(), "/dev/ttyS8");
#endif
}

TEST(FrontEndSetup, PortListLineKeepsThePortNameFirstAndAlone) {
  struct Case {
    const char* port;
    const char* adapter;
    const char* mark;
    const char* line;
  };
  const Case cases[] = {
      {"COM5", "", "", "COM5"},
      {"COM5", "USB Serial Port (COM5)", "", "COM5\tUSB Serial Port (COM5)"},
      {"/dev/ttyUSB0", "", "no permission (group dialout)",
       "/dev/ttyUSB0\tno permission (group dialout)"},
      {"COM12", "Adapter", "no permission", "COM12\tAdapter\tno permission"},
      // A name with a tab or line breaks in it (a driver's own text) stays in its column and line.
      {"COM3", "Dual\tPort\r\nA", "", "COM3\tDual Port  A"},
  };
  for (const Case& c : cases) {
    const std::string line = PortListLine(c.port, c.adapter, c.mark);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(line.substr(0, line.find('\t')), c.port);
  }
}

}  // namespace
