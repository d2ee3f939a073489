// Scenario files: defaults, validation messages, loading.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/Bench.h"

namespace {

std::string ErrorOf(const std::string& scenarioText) {
  try {
    TBench bench(scenarioText);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(Scenario, InvalidValuesNameTheKey) {
  struct Case {
    const char* scenario;
    const char* mentions;
  };
  const Case cases[] = {
      {R"({"sped": 9600})", "sped: unknown key"},
      {R"({"server": {"crystal_eror": 1}})", "server.crystal_eror: unknown key"},
      {R"({"server": {"crystal_drift": 1}})", "server.crystal_drift: unknown key"},
      {R"({"server": {"crystal_drift_per_handheld": 500}})", "server.crystal_drift_per_handheld"},
      {R"({"server": {"crystal_drift_per_handheld": "x"}})", "server.crystal_drift_per_handheld"},
      {R"({"server": {"identity": "RFTPSERVER0001"}})", "server.identity"},
      {R"({"server": {"identity": "RFTPSERVER00012a"}})", "server.identity"},
      {R"({"server": {"firmware": "beta"}})", "server.firmware"},
      {R"({"server": {"firmware_version": [1]}})", "server.firmware_version"},
      {R"({"dongle": {"hw_version": 256}})", "dongle.hw_version"},
      {R"({"handhelds": [{}, {"factory_compensation": 200}]})",
       "handhelds[1].factory_compensation"},
      {R"({"handhelds": [{"mac": "0xZZ"}]})", "handhelds[0].mac"},
      {R"({"air": {"afc_noise": "small"}})", "air.afc_noise"},
      {R"({"ports": ["A", "A"]})", "ports[1]"},
      {R"({"server": {"port": "COM9"}})", "server.port"},
      {R"({"dongle": {"port": "SIM2"}, "server": {"port": "SIM2"}})", "server.port"},
      {R"({"faults": [{"kind": "lose_answer", "port": "SIM2"}]})", "faults[0].at"},
      {R"({"faults": [{"kind": "lose_sent", "port": "SIM2"}]})", "faults[0].at"},
      {R"({"faults": [{"kind": "double_sent", "port": "SIM9", "at": 1}]})", "faults[0].port"},
      {R"({"faults": [{"kind": "corrupt_sent", "port": "SIM1", "at": 1, "xor": 0}]})",
       "faults[0].xor"},
      {R"({"faults": [{"kind": "lose_sent", "port": "SIM1", "at": 1, "xor": 1}]})",
       "faults[0].xor: unknown key"},
      {R"({"faults": [{"kind": "melt"}]})", "faults[0].kind"},
      {R"({"faults": [{"kind": "no_dsr", "handheld": 3}]})", "faults[0].handheld"},
      {R"({"faults": [{"kind": "loopback", "port": "SIM1"}]})", "SIM1"},
      {R"({"extra_devices": [{"type": "server"}]})", "extra_devices[0].port"},
      {R"([1, 2])", "expected an object"},
      {R"({"speed": )", "not valid JSON"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    std::string error = ErrorOf(c.scenario);
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
  }
}

TEST(Scenario, DevicesWithoutPortsTakeTheFreePortsInOrder) {
  TBench bench(R"({"ports": ["A", "B", "C"],
                   "extra_devices": [{"type": "server", "port": "A",
                                      "identity": "RFTPSERVER000999"}]})");
  EXPECT_EQ(bench.Dongle().Config().port, "B");
  EXPECT_EQ(bench.Server().Config().port, "C");
  ASSERT_NE(bench.ServerOn("A"), nullptr);
  EXPECT_EQ(bench.ServerOn("A")->Config().identity, "RFTPSERVER000999");
}

TEST(Scenario, DefaultScenarioAndExampleFilesLoad) {
  TBench bench;
  EXPECT_EQ(bench.HandheldCount(), 3u);
  EXPECT_EQ(bench.Server().Firmware(), "production");
  EXPECT_NE(bench.Handheld(0).CrystalError(), bench.Handheld(1).CrystalError());
  for (const char* name :
       {"default.json", "stuck_server.json", "faulty_handhelds.json", "server_tuned.json"}) {
    SCOPED_TRACE(name);
    nlohmann::json scenario = TBench::LoadScenario(std::string(TPTUNE_SIM_SCENARIOS) + "/" + name);
    EXPECT_NO_THROW(TBench{scenario});
  }
  EXPECT_EQ(TBench::LoadScenario(std::string(TPTUNE_SIM_SCENARIOS) + "/default.json"),
            TBench::DefaultScenario());
}

TEST(Scenario, LoadingReportsUnreadableFilesAndBadJson) {
  std::string dir = ::testing::TempDir();
  try {
    TBench::LoadScenario(dir + "/no-such-scenario.json");
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-scenario.json"), std::string::npos);
  }
  std::string bad = dir + "/bad-scenario.json";
  std::ofstream(bad) << "{\"speed\": 9600,";
  try {
    TBench::LoadScenario(bad);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("not valid JSON"), std::string::npos);
  }
}

}  // namespace
