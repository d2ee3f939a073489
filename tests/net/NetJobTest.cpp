// Whole jobs over the network: tptune-cli with its dongle and server on tptune-sim's ports
// gives the log and the bench report of the same job on the in-process bench (only the port
// names in the log and the times in the report differ); and a connection dropped in the middle
// of programming the server fails the job with the link-failure lines, then the closing restore,
// and nothing hangs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Peer.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

class NetJob : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tptune-net-job-" + std::to_string(::getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<std::string> JobArgs(const std::string& dongle, const std::string& server,
                                   const std::string& answers, const std::string& trace) {
    const std::string demo = DEMO_PACKAGES_DIR;
    return {"--gold", "server", "--restore-server", "--dongle", dongle, "--server", server,
            "--rf-modem", demo + "/rfmodem.tpf", "--eeprom", demo + "/eeprom.tpf",
            "--server-firmware", demo + "/server.sff", "--answers", answers,
            "--trace", (dir_ / trace).string(), "--records", "none"};
  }

  // Runs tptune-cli to its end; its standard output, and its exit status in status.
  std::string RunCli(std::vector<std::string> args, int& status, seconds limit) {
    TPeer cli(TPTUNE_CLI, args, false);
    cli.WaitForLine("\x01never\x01", limit);  // reads everything until the program ends
    status = cli.Wait(seconds(1));
    return cli.Output();
  }

  // Starts tptune-sim on free ports; the names of its ports in names.
  std::unique_ptr<TPeer> StartSim(std::vector<std::string> extra, std::vector<std::string>& names,
                                  const std::string& scenario = SCENARIO) {
    std::vector<std::string> args{scenario, "--listen", "127.0.0.1:0", "--speed-factor", "1000",
                                  "--report", (dir_ / "net-report.json").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<TPeer>(TPTUNE_SIM, args);
    for (const char* port : {"SIM1 ", "SIM2 "}) {
      const std::string line = sim->WaitForLine(port, seconds(10));
      if (line.empty()) throw std::runtime_error("tptune-sim did not start:\n" + sim->Output());
      names.push_back(line.substr(line.find("rfc2217://")));
    }
    return sim;
  }

  static nlohmann::json WithoutTimes(const nlohmann::json& j) {
    if (j.is_object()) {
      nlohmann::json out = nlohmann::json::object();
      for (const auto& [key, value] : j.items())
        if (key.size() < 3 || key.compare(key.size() - 3, 3, "_ms") != 0) out[key] = WithoutTimes(value);
      return out;
    }
    if (j.is_array()) {
      nlohmann::json out = nlohmann::json::array();
      for (const auto& v : j) out.push_back(WithoutTimes(v));
      return out;
    }
    return j;
  }

  static nlohmann::json Load(const fs::path& file) {
    std::ifstream in(file);
    return nlohmann::json::parse(in);
  }

  fs::path dir_;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

TEST_F(NetJob, SameLogAndReportAsTheInProcessBench) {
  const std::string answers = "ok,yes,yes,no";
  int refStatus = -1;
  std::vector<std::string> ref = JobArgs("SIM1", "SIM2", answers, "ref.ERR");
  ref.insert(ref.begin(), {"--bench", SCENARIO, "--bench-report", (dir_ / "ref-report.json").string()});
  const std::string refLog = RunCli(ref, refStatus, seconds(60));
  ASSERT_EQ(refStatus, 0) << refLog;

  std::vector<std::string> names;
  auto sim = StartSim({}, names);
  int status = -1;
  const auto start = steady_clock::now();
  const std::string log = RunCli(JobArgs(names[0], names[1], answers, "net.ERR"), status, seconds(120));
  std::cerr << "whole job over the network: "
            << duration_cast<milliseconds>(steady_clock::now() - start).count() << " ms\n";
  EXPECT_EQ(status, 0) << log;
  ASSERT_EQ(sim->Stop(), 0) << sim->Output();

  // The log names the ports as they were typed; otherwise it is the same, line for line.
  EXPECT_NE(log.find("Dongle found on " + names[0] + ", #"), std::string::npos) << log;
  EXPECT_EQ(Replace(Replace(log, names[0], "SIM1"), names[1], "SIM2"), refLog);
  EXPECT_EQ(WithoutTimes(Load(dir_ / "net-report.json")), WithoutTimes(Load(dir_ / "ref-report.json")));
  // The three handhelds were tuned.
  EXPECT_EQ(Load(dir_ / "net-report.json")["handhelds"].size(), 3u);
}

// A device server that looks at its lines once a second tells a change up to a second late,
// and a change that is undone before its next look not at all. The handheld here takes its
// time to restart (0.4 s of wall time, and its runs on top), so DSR from before a reset pulse
// is stale news for a good while: the job still completes, each reset waiting for news from
// after its pulse.
TEST_F(NetJob, CompletesWhenDsrNewsComesASecondLate) {
  nlohmann::json scenario = Load(SCENARIO);
  scenario["handhelds"] = nlohmann::json::array({scenario["handhelds"][0]});
  nlohmann::json& handheld = scenario["handhelds"][0];
  // Virtual milliseconds; the bench runs 1000 times faster than wall time.
  handheld["restart_ms"] = 400000;
  handheld["start_run_ms"] = 1000000;
  handheld["test_run_ms"] = 300000;
  handheld["store_run_ms"] = 200000;
  const fs::path file = dir_ / "slow-handheld.json";
  std::ofstream(file) << scenario.dump(2);

  std::vector<std::string> names;
  auto sim = StartSim({"--notify-interval", "1.0"}, names, file.string());
  int status = -1;
  const auto start = steady_clock::now();
  const std::string log = RunCli(JobArgs(names[0], names[1], "ok", "net.ERR"), status, seconds(150));
  std::cerr << "job with DSR news a second late: "
            << duration_cast<milliseconds>(steady_clock::now() - start).count() << " ms\n";
  EXPECT_EQ(status, 0) << log;
  ASSERT_EQ(sim->Stop(), 0) << sim->Output();
  EXPECT_NE(log.find("Storing obtained compensation value\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Disconnect the TallyPilot...\nCompleted successfully!\n"), std::string::npos) << log;
  const nlohmann::json report = Load(dir_ / "net-report.json");
  EXPECT_EQ(report["handhelds"][0]["stored"].size(), 1u) << report.dump();
  EXPECT_EQ(report["handhelds"][0]["firmware"], "production") << report.dump();
}

TEST_F(NetJob, DroppedConnectionWhileProgrammingFailsWithoutHanging) {
  // The server's connection closes after 3000 bytes from the tool: while its test firmware
  // goes in, during the first handheld.
  std::vector<std::string> names;
  auto sim = StartSim({"--drop-after", "SIM2:3000"}, names);
  int status = -1;
  const auto start = steady_clock::now();
  const std::string log = RunCli(JobArgs(names[0], names[1], "ok,no", "net.ERR"), status, seconds(60));
  EXPECT_LT(steady_clock::now() - start, seconds(60));
  EXPECT_EQ(status, 1) << log;
  EXPECT_NE(log.find("Programming server, please wait...\nCommunication error, programming failed!\n"
                     "Procedure failed!\n"),
            std::string::npos)
      << log;
  // The closing restore of the server is tried as after any link failure, and fails the same way.
  const size_t restore = log.find("--- Restoring server firmware to ");
  ASSERT_NE(restore, std::string::npos) << log;
  EXPECT_NE(log.find("Communication error, programming failed!", restore), std::string::npos) << log;
  EXPECT_EQ(sim->Stop(), 0) << sim->Output();
}

}  // namespace
