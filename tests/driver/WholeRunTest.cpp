// Whole runs on the emulated bench, from the packages to the error log file: what the operator
// sees, what the trace file holds and what the devices end up storing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "FrontEnd.h"
#include "serial/ComPort.h"
#include "sim/Bench.h"
#include "tuning/SerThread.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kDemo = DEMO_PACKAGES_DIR;

struct TRunCase {
  std::string name;
  json scenario;                     // merged over a server and the default three handhelds
  bool goldHandheld = false;
  bool restoreServer = true;
  bool restoreHandheld = false;
  bool analysisOnly = false;
  std::string rfModem = kDemo + "/rfmodem.tpf";
  std::vector<std::string> answers;
  std::string cancelAt = {};
};

struct TRunResult {
  std::vector<std::string> log, prompts;
  std::string trace;
  json report;
  TRunTally tally;
  bool ended = false;
};

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}
size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}
size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

const char kConnect[] =
    "Make sure the server, TallyPilot and dongle are powered\r"
    "and connected to serial communications ports of this PC.\r\rPress Ok to continue.";
const char kAskAfterSuccess[] =
    "Completed successfully!\r\rDo you want to fine-tune another TallyPilot?";
const char kAskAfterFailure[] =
    "Procedure failed!\r\rDo you want to retry, or fine-tune another TallyPilot?";

class WholeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tptune-run-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // The test firmwares live next to the program under their fixed names.
    for (const char* f : {"tpftune.tpf", "srvftune.sff"})
      fs::copy_file(kDemo + "/" + f, dir_ / f);
  }
  void TearDown() override { fs::remove_all(dir_); }

  TRunResult Run(const TRunCase& c) {
    TBench bench(c.scenario);
    return Run(c, bench);
  }

  // A run on a bench that may have seen runs before (the window runs one after another).
  TRunResult Run(const TRunCase& c, TBench& bench) {
    TComPort port1, port2;
    SetUpPortObject(port1, 0);
    SetUpPortObject(port2, 1);
    TMainFields fields;
    fields.GoldTP = c.goldHandheld;
    fields.RestoreSrv = c.restoreServer;
    fields.RestoreTP = c.restoreHandheld;
    fields.AnalysisOnly = c.analysisOnly;
    fields.ProgDir = dir_.string() + "/";
    fields.IniName = (dir_ / "tptune.INI").string();
    fields.SerIF1 = &port1;
    fields.SerIF2 = &port2;
    for (TComboModel* combo : {&fields.COM1Combo, &fields.COM2Combo}) {
      combo->Add("Auto detect");
      for (const auto& p : bench.PortNames()) combo->Add(p);
      combo->Select(0);
    }
    fields.File1Combo.Text = c.rfModem;
    fields.File2Combo.Text = kDemo + "/eeprom.tpf";
    fields.File3Combo.Text = kDemo + "/server.sff";

    TScriptedFrontEnd frontEnd;
    frontEnd.answers = c.answers;
    frontEnd.cancelAtLine = c.cancelAt;
    TRunResult result;
    {
      TSerThread worker(fields, frontEnd, bench.VirtualClock());
      frontEnd.Drive(worker);
      result.tally = worker.Tally();
    }
    result.log = frontEnd.log;
    result.prompts = frontEnd.prompts;
    result.ended = frontEnd.runEnded;
    std::ifstream trace(dir_ / "tptune.ERR", std::ios::binary);
    result.trace.assign(std::istreambuf_iterator<char>(trace), {});
    result.report = bench.Report();
    return result;
  }

  fs::path dir_;
};

json ThreeHandhelds(json extra = json::object()) {
  json s = {{"server", {{"crystal_error", 3.0}, {"factory_compensation", -4}}},
            {"handhelds",
             {{{"crystal_error", 12.4}, {"factory_compensation", 10}},
              {{"crystal_error", -7.6}, {"factory_compensation", -9}},
              {{"crystal_error", 30.0}, {"factory_compensation", 2}}}}};
  s.merge_patch(extra);
  return s;
}

double FrequencyError(const json& device) {
  return device["crystal_error"].get<double>() + device["effective_compensation"].get<int>();
}

TEST_F(WholeRun, ThreeHandheldsAreEachTunedToTheServer) {
  TRunResult r = Run({.name = "three", .scenario = ThreeHandhelds(),
                      .answers = {"ok", "yes", "yes", "no"}});
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.prompts, (std::vector<std::string>{kConnect, kAskAfterSuccess, kAskAfterSuccess,
                                                  kAskAfterSuccess}));
  // Three handhelds and the closing server restore.
  EXPECT_EQ(Count(r.log, "Completed successfully!"), 4u);
  EXPECT_EQ(Count(r.log, "=== Next TallyPilot ==="), 2u);
  EXPECT_TRUE(Has(r.log, "--- Restoring server firmware to V2.3.2a ---"));
  EXPECT_EQ(r.log.back(), "Error log file written");

  const double reference = FrequencyError(r.report["server"]);
  for (const json& h : r.report["handhelds"]) {
    EXPECT_LE(std::abs(FrequencyError(h) - reference), 1.0) << h.dump();
    EXPECT_EQ(h["firmware"], "production");
    EXPECT_EQ(h["stored"].size(), 1u);
  }
  EXPECT_EQ(r.report["server"]["firmware"], "production");

  // The trace: the head of the run up to the server's identification, one "..." record, then
  // the third handheld and the closing restore only. Carriage returns only.
  ASSERT_FALSE(r.trace.empty());
  EXPECT_EQ(r.trace.find('\n'), std::string::npos);
  EXPECT_EQ(Count(r.trace, "\r...\r"), 1u);
  const size_t dots = r.trace.find("\r...\r");
  EXPECT_LT(r.trace.find(">Server found on SIM2, #RFTPSERVER000123, HW1.2\r"), dots);
  EXPECT_EQ(Count(r.trace, ">RF modem V2.3, MAC=0x"), 1u);
  EXPECT_NE(r.trace.find(">RF modem V2.3, MAC=0x00A10003\r"), std::string::npos);
  EXPECT_GT(r.trace.find(">--- Restoring server firmware to V2.3.2a ---\r"), dots);
  // The result lines are shown, not traced; the file's own line comes after it was written.
  EXPECT_EQ(r.trace.find("Completed successfully!"), std::string::npos);
  EXPECT_EQ(r.trace.find("Error log file written"), std::string::npos);
  EXPECT_EQ(r.trace.find("=== Next TallyPilot ==="), std::string::npos);
  EXPECT_EQ(r.trace.back(), '\r');
}

TEST_F(WholeRun, ASecondRunOnTheSameBenchFindsTheRestoredServerAndTunesAgain) {
  TBench bench(ThreeHandhelds());
  const TRunCase c{.name = "first", .scenario = {}, .answers = {"ok", "no"}};
  TRunResult first = Run(c, bench);
  ASSERT_EQ(first.tally.Completed, 2);  // the handheld and the server restore
  // The server now runs the production image the first run put back; the second run has to
  // give it test firmware again, and tunes the next handheld.
  TRunResult second = Run(c, bench);
  EXPECT_TRUE(Has(second.log, "Test firmware needs to be installed on server"));
  EXPECT_EQ(second.tally.Completed, 2);
  EXPECT_EQ(second.tally.Failed, 0);
  EXPECT_LE(std::abs(FrequencyError(second.report["handhelds"][1]) -
                     FrequencyError(second.report["server"])),
            1.0);
  EXPECT_EQ(second.report["server"]["firmware"], "production");
}

TEST_F(WholeRun, CancelAtTheConnectPromptTunesNothingButWritesTheTrace) {
  TRunResult r = Run({.name = "cancel", .scenario = ThreeHandhelds(), .answers = {"cancel"}});
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.prompts, std::vector<std::string>{kConnect});
  EXPECT_EQ(r.log, std::vector<std::string>{"Error log file written"});
  EXPECT_EQ(r.tally.Completed + r.tally.Failed + r.tally.Aborted, 0);
  EXPECT_TRUE(fs::exists(dir_ / "tptune.ERR"));
  EXPECT_EQ(r.trace, "");
  EXPECT_EQ(r.report["server"]["programmings"], 0);
  EXPECT_EQ(r.report["handhelds"][0]["programmings"], 0);
}

TEST_F(WholeRun, CancelDuringTuningStillRestoresTheServer) {
  TRunResult r = Run({.name = "cancel-tuning", .scenario = ThreeHandhelds(),
                      .answers = {"ok"}, .cancelAt = "Running test cycle..."});
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.prompts, std::vector<std::string>{kConnect});  // no question after a cancel
  EXPECT_TRUE(Has(r.log, "Aborted by user!"));
  EXPECT_FALSE(Has(r.log, "Storing obtained compensation value"));
  // The server had been given test firmware; it leaves the bench with production firmware.
  EXPECT_TRUE(Has(r.log, "--- Restoring server firmware to V2.3.2a ---"));
  EXPECT_EQ(r.log[r.log.size() - 2], "Completed successfully!");
  EXPECT_EQ(r.report["server"]["firmware"], "production");
  EXPECT_EQ(r.report["server"]["firmware_version"], json({39, 2}));
  EXPECT_TRUE(r.report["handhelds"][0]["stored"].empty());
  EXPECT_EQ(r.tally.Aborted, 1);
}

TEST_F(WholeRun, APackageThatFailsToLoadSkipsThePromptAndRetryReloads) {
  const std::string missing = (dir_ / "missing.tpf").string();
  TRunResult r = Run({.name = "load", .scenario = ThreeHandhelds(), .rfModem = missing,
                      .answers = {"yes", "no"}});
  ASSERT_TRUE(r.ended);
  const std::string error = "Error reading file(s):\r\n RF modem firmware \"" + missing + "\"";
  EXPECT_EQ(Count(r.log, error), 2u);  // the retry read the packages again
  EXPECT_EQ(r.prompts, (std::vector<std::string>{kAskAfterFailure, kAskAfterFailure}));
  EXPECT_EQ(Count(r.log, "Procedure failed!"), 2u);
  EXPECT_TRUE(Has(r.log, "=== Next attempt ==="));
  EXPECT_EQ(r.report["ports"]["SIM1"]["opens"], 0);  // no device was touched
}

TEST_F(WholeRun, HandheldAsReferenceTunesTheServerInOnePassAndRestoresIt) {
  // The tuned server always gets its production firmware back, whatever it ran at the start and
  // although the window offers no server restore choice with the handheld as reference.
  for (const char* firmware : {"test", "production"}) {
    SCOPED_TRACE(firmware);
    json scenario = ThreeHandhelds({{"server", {{"firmware", firmware}, {"crystal_error", -20.0}}}});
    TRunResult r = Run({.name = std::string("gold-handheld-") + firmware, .scenario = scenario,
                        .goldHandheld = true, .restoreServer = false, .answers = {"ok"}});
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.prompts, std::vector<std::string>{kConnect});
    // The server's tuning, then its restore.
    EXPECT_EQ(Count(r.log, "Completed successfully!"), 2u);
    EXPECT_TRUE(Has(r.log, "--- Restoring server firmware to V2.3.2a ---"));
    EXPECT_FALSE(HasPrefix(r.log, "--- Restoring TallyPilot"));
    const json& server = r.report["server"];
    EXPECT_EQ(server["firmware"], "production");
    EXPECT_LE(std::abs(FrequencyError(server) - FrequencyError(r.report["handhelds"][0])), 1.0);
    EXPECT_NE(server["pctool_compensation"], 0);
    EXPECT_TRUE(r.tally.EveryDeviceCompleted);
  }
}

TEST_F(WholeRun, ServerAsReferenceWithoutServerRestoreTunesOneHandheld) {
  TRunResult r = Run({.name = "no-server-restore", .scenario = ThreeHandhelds(),
                      .restoreServer = false, .answers = {"ok"}});
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.prompts, std::vector<std::string>{kConnect});
  EXPECT_TRUE(Has(r.log, "--- Restoring TallyPilot RF modem firmware to V2.3 ---"));
  EXPECT_EQ(Count(r.log, "Completed successfully!"), 1u);
  EXPECT_EQ(Count(r.log, "--- Running crystal fine-tuning algorithm ---"), 1u);
  EXPECT_FALSE(HasPrefix(r.log, "--- Restoring server firmware"));
  EXPECT_EQ(r.report["server"]["firmware"], "test");
  EXPECT_EQ(r.report["handhelds"][1]["programmings"], 0);
}

TEST_F(WholeRun, ServerAlreadyOnThePackagesVersionIsLeftAlone) {
  // The handheld fails to attach, so the server never gets test firmware; it runs the
  // package's version (V2.3.2a), and the closing restore says and does nothing.
  json scenario = ThreeHandhelds({{"server", {{"firmware_version", {39, 2}}}},
                                  {"faults", {{{"kind", "answer_attach"}}}}});
  TRunResult r = Run({.name = "same-version", .scenario = scenario, .answers = {"ok", "no"}});
  ASSERT_TRUE(r.ended);
  EXPECT_TRUE(Has(r.log, "Failed to initialize TallyPilot!"));
  EXPECT_EQ(r.prompts, (std::vector<std::string>{kConnect, kAskAfterFailure}));
  EXPECT_FALSE(HasPrefix(r.log, "--- Restoring server firmware"));
  EXPECT_EQ(r.log.back(), "Error log file written");
  EXPECT_EQ(r.log[r.log.size() - 2], "Procedure failed!");
  EXPECT_EQ(r.report["server"]["programmings"], 0);
  EXPECT_EQ(r.report["server"]["rows_written"], 0);
}

TEST_F(WholeRun, RetryAfterAFailureKeepsBothAttemptsInTheTrace) {
  json scenario = ThreeHandhelds(
      {{"faults", {{{"kind", "run_status"}, {"run", 2}, {"status", 3}, {"at", 1}}}}});
  TRunResult r = Run({.name = "retry", .scenario = scenario,
                      .answers = {"ok", "yes", "ok", "no"}});
  ASSERT_TRUE(r.ended);
  EXPECT_EQ(r.prompts, (std::vector<std::string>{kConnect, kAskAfterFailure, kConnect,
                                                  kAskAfterSuccess}));
  EXPECT_TRUE(Has(r.log, "Test cycle failed!"));
  EXPECT_TRUE(Has(r.log, "=== Next attempt ==="));
  // The whole first attempt, then the second.
  EXPECT_EQ(Count(r.trace, ">Dongle found on SIM1, #TPDONGLE00000042, HW1.1\r"), 2u);
  EXPECT_LT(r.trace.find(">Test cycle failed!\r"), r.trace.find(">=== Next attempt ===\r"));
  EXPECT_EQ(r.trace.find("\r...\r"), std::string::npos);
  const json& h = r.report["handhelds"][0];
  EXPECT_LE(std::abs(FrequencyError(h) - FrequencyError(r.report["server"])), 1.0);
}

TEST_F(WholeRun, AServerGivenTestFirmwareGetsItsProductionFirmwareBackAfterEveryEnd) {
  // The first test cycle fails after the server was given test firmware; what the operator
  // does next decides how the run ends, never whether the server is restored.
  const json failingCycle = ThreeHandhelds(
      {{"faults", {{{"kind", "run_status"}, {"run", 2}, {"status", 3}, {"at", 1}}}}});
  struct Case {
    const char* name;
    std::vector<std::string> answers;
    bool everyDeviceCompleted;
  } cases[] = {
      // Yes, then Cancel at the connect prompt: the second attempt never found the server.
      {"retry-cancel", {"ok", "yes", "cancel"}, false},
      // Closing the window at the failure question: taken as Yes, then every step stops.
      {"close-at-question", {"ok", "cancel"}, false},
      // The retry completes the same handheld: the run counts as a success.
      {"retry-completes", {"ok", "yes", "ok", "no"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRunResult r = Run({.name = c.name, .scenario = failingCycle, .answers = c.answers});
    ASSERT_TRUE(r.ended);
    EXPECT_TRUE(Has(r.log, "Test cycle failed!"));
    EXPECT_TRUE(Has(r.log, "--- Restoring server firmware to V2.3.2a ---"));
    EXPECT_EQ(r.report["server"]["firmware"], "production");
    EXPECT_EQ(r.report["server"]["firmware_version"], json({39, 2}));
    EXPECT_EQ(r.tally.EveryDeviceCompleted, c.everyDeviceCompleted);
  }
}

TEST_F(WholeRun, NoServerIsProgrammedWhenASecondServerAnswers) {
  json scenario = ThreeHandhelds({{"server", {{"port", "SIM1"}, {"firmware", "test"}}},
                                  {"dongle", {{"port", "SIM3"}}},
                                  {"extra_devices", {{{"type", "server"}, {"port", "SIM2"}}}}});
  TRunResult r = Run({.name = "two-servers", .scenario = scenario, .answers = {"ok", "no"}});
  ASSERT_TRUE(r.ended);
  EXPECT_TRUE(Has(r.log, "Second server found, uncertain which one to use?!"));
  EXPECT_FALSE(HasPrefix(r.log, "--- Restoring server firmware"));
  EXPECT_EQ(r.report["server"]["rows_written"], 0);
  EXPECT_EQ(r.report["extra_devices"][0]["rows_written"], 0);
  EXPECT_FALSE(r.tally.EveryDeviceCompleted);
}

TEST_F(WholeRun, ClosingTheWindowAtTheFailureQuestionEndsTheRunInOrder) {
  // Closing releases the worker with the question's Outcome untouched: it takes that as Yes,
  // starts a new attempt, and every step of it stops at once.
  json scenario = ThreeHandhelds({{"faults", {{{"kind", "answer_attach"}}}}});
  TRunResult r = Run({.name = "close", .scenario = scenario, .answers = {"ok", "cancel"}});
  ASSERT_TRUE(r.ended);
  EXPECT_TRUE(Has(r.log, "=== Next attempt ==="));
  EXPECT_EQ(r.prompts, (std::vector<std::string>{kConnect, kAskAfterFailure, kConnect}));
  EXPECT_EQ(r.log.back(), "Error log file written");
  EXPECT_FALSE(r.trace.empty());
}

}  // namespace
