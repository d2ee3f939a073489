// Programs we did not write against ours: pySerial's RFC 2217 client against tptune-sim's
// dongle (speed, the DTR/RTS reset pulse, DSR, the identification handshake byte for byte).
// Our client against pySerial's server runs in the contract cases (NetContractTest.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Peer.h"
#include "sim/Bench.h"

using namespace std::chrono;

TEST(PySerialClient, GoesThroughTheDongleHandshakeOnTptuneSim) {
  const auto scenario = TBench::DefaultScenario();
  TPeer sim(TPTUNE_SIM, {"--listen", "127.0.0.1:0", "--speed-factor", "5"});
  const std::string line = sim.WaitForLine("SIM1 ", seconds(10));
  ASSERT_FALSE(line.empty()) << sim.Output();
  ASSERT_FALSE(sim.WaitForLine("ready", seconds(10)).empty()) << sim.Output();
  const std::string url = line.substr(line.find("rfc2217://"));

  TPeer client(kSystemPython,
               {PYSERIAL_DONGLE_SCRIPT, url,
                std::to_string(scenario["dongle"]["hw_version"].get<int>()),
                scenario["dongle"]["identity"].get<std::string>()});
  const std::string end = client.WaitForLine("done", seconds(30));
  EXPECT_EQ(client.Wait(seconds(10)), 0);
  EXPECT_EQ(end, "done") << client.Output();
  for (const char* step : {"ok   speed", "ok   version", "ok   sync", "ok   check",
                           "ok   identity", "ok   DSR"})
    EXPECT_NE(client.Output().find(step), std::string::npos) << step << "\n" << client.Output();
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
}
