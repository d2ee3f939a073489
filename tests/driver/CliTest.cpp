// The console front end: its options, and a whole run with its output and exit status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/ConsoleFrontEnd.h"
#include "firmware/Packages.h"

namespace fs = std::filesystem;

namespace {

TEST(CliOptions, UnusableOptionsAreRefusedWithAReason) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;  // empty: accepted
  } cases[] = {
      {{"--gold", "handheld", "--analysis-only", "--dongle", "/dev/ttyUSB0"}, ""},
      {{"--bench", "--answers", "ok,yes,no,cancel"}, ""},
      {{"--bench", "scenario.json", "--bench-report", "r.json"}, ""},
      {{"--gold", "dongle"}, "--gold takes server or handheld, not \"dongle\""},
      {{"--gold"}, "option --gold needs a value"},
      {{"--answers", "ok,maybe"}, "--answers takes ok, yes, no and cancel, not \"maybe\""},
      {{"--bench-report", "r.json"}, "--bench-report needs --bench"},
      {{"--frobnicate"}, "unknown option \"--frobnicate\""},
  };
  for (const Case& c : cases) {
    TCliOptions o;
    auto problem = ParseCliOptions(c.args, o);
    EXPECT_EQ(problem.value_or(""), c.problem) << c.args[0];
  }
  TCliOptions o;
  ASSERT_FALSE(ParseCliOptions({"--gold", "handheld", "--bench", "s.json", "--answers", "ok,no",
                                "--server", "SIM3", "--restore-server"},
                               o));
  EXPECT_TRUE(o.goldHandheld);
  EXPECT_EQ(o.benchScenario, "s.json");
  EXPECT_EQ(o.answers, (std::vector<std::string>{"ok", "no"}));
  EXPECT_EQ(o.server, "SIM3");
  EXPECT_EQ(o.dongle, "auto");
  EXPECT_TRUE(o.restoreServer);
}

TEST(CliOptions, WithoutOptionsInAConsoleOfItsOwnItSaysWhatItNeeds) {
  // A double click in the file manager: a short text that points at --help and --bench.
  const auto help = NoOptionsHelp({}, true);
  ASSERT_TRUE(help);
  EXPECT_NE(help->find("tptune-cli --help "), std::string::npos);
  EXPECT_NE(help->find("tptune-cli --bench "), std::string::npos);
  // From a console or a script, or with any option: an ordinary run, its texts and status kept.
  EXPECT_FALSE(NoOptionsHelp({}, false));
  EXPECT_FALSE(NoOptionsHelp({"--bench"}, true));
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tptune-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (const char* f : {"tpftune.tpf", "srvftune.sff"})
      fs::copy_file(std::string(DEMO_PACKAGES_DIR) + "/" + f, dir_ / f);
    // The program file: a plain program without a firmware bundle (this test itself).
    fs::copy_file(ProgramFileName(nullptr), dir_ / "tptune-cli");
    // Standard input that has ended.
    std::ofstream(dir_ / "no-input", std::ios::binary).close();
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Run(TCliOptions o) {
    const std::string demo = DEMO_PACKAGES_DIR;
    o.bench = true;
    o.rfModem = demo + "/rfmodem.tpf";
    o.eeprom = demo + "/eeprom.tpf";
    o.serverFirmware = demo + "/server.sff";
    const int noInput = open((dir_ / "no-input").string().c_str(), O_RDONLY);
    TCliIo io{out_, err_, noInput, false, nullptr, {}};
    const int status = RunCli(o, (dir_ / "tptune-cli").string(), io);
    close(noInput);
    return status;
  }

  fs::path dir_;
  std::ostringstream out_, err_;
};

TEST_F(Cli, TheDefaultBenchIsTunedAndSaysSo) {
  TCliOptions o;
  o.restoreServer = true;
  o.answers = {"ok", "yes", "yes", "no"};
  o.benchReport = (dir_ / "report.json").string();
  EXPECT_EQ(Run(o), 0);
  const std::string out = out_.str();
  // Prompts and log lines with line feeds for the terminal; the answers are echoed.
  EXPECT_NE(out.find("Press Ok to continue.\n> ok\n"), std::string::npos);
  EXPECT_NE(out.find("\nCompleted successfully!\n\nDo you want to fine-tune another TallyPilot?\n"
                     "> no\n"),
            std::string::npos);
  EXPECT_EQ(out.find('\r'), std::string::npos);
  EXPECT_NE(err_.str().find("progress 100%\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / "tptune-cli.ERR"));
  EXPECT_GT(fs::file_size(dir_ / "report.json"), 0u);
}

TEST_F(Cli, EndOfInputCancelsAndTheStatusSaysSo) {
  TCliOptions o;  // no answers, and standard input is empty
  EXPECT_EQ(Run(o), 1);
  EXPECT_NE(out_.str().find("Press Ok to continue.\n[answer] \n"), std::string::npos);
  EXPECT_NE(err_.str().find("Cancelling...\n"), std::string::npos);
}

TEST_F(Cli, AFailedHandheldMakesTheStatusOne) {
  TCliOptions o;
  o.answers = {"ok", "no"};
  o.restoreServer = true;
  o.trace = (dir_ / "elsewhere.ERR").string();
  o.rfModem = "x";  // replaced below by a file that does not exist
  const std::string demo = DEMO_PACKAGES_DIR;
  const int noInput = open((dir_ / "no-input").string().c_str(), O_RDONLY);
  TCliIo io{out_, err_, noInput, false, nullptr, {}};
  o.bench = true;
  o.rfModem = (dir_ / "missing.tpf").string();
  o.eeprom = demo + "/eeprom.tpf";
  o.serverFirmware = demo + "/server.sff";
  EXPECT_EQ(RunCli(o, (dir_ / "tptune-cli").string(), io), 1);
  close(noInput);
  EXPECT_NE(out_.str().find("Procedure failed!\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / "elsewhere.ERR"));
  EXPECT_FALSE(fs::exists(dir_ / "tptune-cli.ERR"));
}

// More answers than the run asks for, with one handheld on the bench: whatever the restore
// choices, the run ends once the operator's last decision has been carried out. The answer
// left over cannot bring a handheld the bench does not have.
TEST_F(Cli, SurplusAnswersEndTheRunByItself) {
  struct Case {
    bool restoreServer, restoreHandheld;
    int status;
    bool waitsForNextHandheld;  // "Yes" to another handheld was one of the answers used
  } cases[] = {
      {false, false, 0, false},
      {true, false, 1, true},
      {false, true, 0, false},
      {true, true, 1, true},
  };
  const std::string demo = DEMO_PACKAGES_DIR;
  const std::string scenario = (dir_ / "one-handheld.json").string();
  std::ofstream(scenario) << R"({"handhelds": [{"crystal_error": 12.4, "mac": "0x00A10001"}]})";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("restore server ") + (c.restoreServer ? "yes" : "no") +
                 ", restore handheld " + (c.restoreHandheld ? "yes" : "no"));
    std::ostringstream out, err;
    TCliOptions o;
    o.bench = true;
    o.benchScenario = scenario;
    o.records = "none";
    o.rfModem = demo + "/rfmodem.tpf";
    o.eeprom = demo + "/eeprom.tpf";
    o.serverFirmware = demo + "/server.sff";
    o.restoreServer = c.restoreServer;
    o.restoreHandheld = c.restoreHandheld;
    o.answers = {"ok", "yes", "yes"};
    const int noInput = open((dir_ / "no-input").string().c_str(), O_RDONLY);
    // A run that does not end by itself is cancelled after a minute, so the test fails instead
    // of hanging.
    std::atomic<bool> stop{false};
    TCliIo io{out, err, noInput, false, &stop, {}};
    auto run = std::async(std::launch::async,
                          [&] { return RunCli(o, (dir_ / "tptune-cli").string(), io); });
    const bool ended = run.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!ended) stop = true;
    const int status = run.get();
    close(noInput);
    EXPECT_TRUE(ended) << "the run waited for a handheld that never comes";
    EXPECT_EQ(status, c.status);
    EXPECT_NE(out.str().find("Error log file written\n"), std::string::npos);
    EXPECT_EQ(out.str().find("=== Next TallyPilot ===") != std::string::npos,
              c.waitsForNextHandheld);
    if (c.restoreServer) {
      EXPECT_NE(out.str().find("--- Restoring server firmware"), std::string::npos);
    }
  }
}

// What the console does with input that ran out, line breaks, files it cannot write and
// options it lacks; each case is a whole run on the bench.
TEST_F(Cli, ConsoleRuns) {
  const std::string failingCycle =
      R"({"faults": [{"kind": "run_status", "run": 2, "status": 3, "at": 1}]})";
  struct Case {
    const char* name;
    std::string scenario;  // empty: the bench's default (three handhelds)
    std::function<void(TCliOptions&, const fs::path&)> set;
    int status;
    std::vector<std::string> inOut, notInOut, inErr;
  } cases[] = {
      {"answers run out while waiting for the next handheld: Cancel, no hang", "",
       [](TCliOptions& o, const fs::path&) {
         o.restoreServer = true;
         o.answers = {"ok", "yes"};
       },
       1,
       {"Make sure the TallyPilot is connected to the dongle, powered\nand switched ON.\n",
        "Aborted by user!\n"},
       {},
       {"Cancelling...\n"}},
      {"a failure that a retry then completes counts as completed", failingCycle,
       [](TCliOptions& o, const fs::path&) {
         o.restoreServer = true;
         o.answers = {"ok", "yes", "ok", "no"};
       },
       0, {"Procedure failed!\n", "Completed successfully!\n"}, {}, {}},
      {"a failure, then Cancel at the retry's connect prompt", failingCycle,
       [](TCliOptions& o, const fs::path&) {
         o.restoreServer = true;
         o.answers = {"ok", "yes", "cancel"};
       },
       1, {"--- Restoring server firmware to V2.3.2a ---\n"}, {}, {}},
      {"a log line's CR LF is one line break", "",
       [](TCliOptions& o, const fs::path& dir) {
         o.answers = {"ok"};
         o.rfModem = (dir / "missing.tpf").string();
       },
       1, {"Error reading file(s):\n RF modem firmware \""}, {"Error reading file(s):\n\n"}, {}},
      {"an error log file that cannot be written: a warning, the status unchanged", "",
       [](TCliOptions& o, const fs::path& dir) {
         o.answers = {"ok"};
         o.trace = (dir / "no-such-folder" / "run.ERR").string();
       },
       0, {"Completed successfully!\n"}, {"Error log file written"},
       {"tptune-cli: warning: the error log file " + (dir_ / "no-such-folder" / "run.ERR").string() +
        " could not be written: No such file or directory\n"}},
      {"package options missing: the run's line, and the options to give", "",
       [](TCliOptions& o, const fs::path&) {
         o.answers = {"ok"};
         o.restoreServer = true;
         o.rfModem.clear();
         o.eeprom.clear();
         o.serverFirmware.clear();
       },
       1, {"Error reading file(s):\n RF modem firmware \"\""},
       {},
       {"tptune-cli: no RF modem firmware package given; use --rf-modem FILE\n",
        "tptune-cli: no TallyPilot (EEPROM) firmware package given; use --eeprom FILE\n",
        "tptune-cli: no server firmware package given; use --server-firmware FILE\n"}},
  };
  const std::string demo = DEMO_PACKAGES_DIR;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    out_.str("");
    err_.str("");
    TCliOptions o;
    o.bench = true;
    o.rfModem = demo + "/rfmodem.tpf";
    o.eeprom = demo + "/eeprom.tpf";
    o.serverFirmware = demo + "/server.sff";
    if (!c.scenario.empty()) {
      o.benchScenario = (dir_ / "scenario.json").string();
      std::ofstream(o.benchScenario) << c.scenario;
    }
    c.set(o, dir_);
    const int noInput = open((dir_ / "no-input").string().c_str(), O_RDONLY);
    TCliIo io{out_, err_, noInput, false, nullptr, {}};
    EXPECT_EQ(RunCli(o, (dir_ / "tptune-cli").string(), io), c.status);
    close(noInput);
    for (const std::string& part : c.inOut) EXPECT_NE(out_.str().find(part), std::string::npos) << part;
    for (const std::string& part : c.notInOut) EXPECT_EQ(out_.str().find(part), std::string::npos) << part;
    for (const std::string& part : c.inErr) EXPECT_NE(err_.str().find(part), std::string::npos) << part;
  }
}

}  // namespace
