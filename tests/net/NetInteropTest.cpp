// Programs we did not write against ours, and tptune-sim against clients that misbehave:
// pySerial's RFC 2217 client against tptune-sim's
// dongle (speed, the DTR/RTS reset pulse, DSR, the identification handshake byte for byte).
// Our client against pySerial's server runs in the contract cases (NetContractTest.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Peer.h"
#include "serial/ComPort.h"
#include "serial/Rfc2217.h"
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

// A client that goes away in the middle of a subnegotiation, or in the middle of the dongle's
// handshake, leaves tptune-sim serving: the next client is answered from a clean start.
TEST(TptuneSim, SurvivesClientsThatVanishMidFrame) {
  TPeer sim(TPTUNE_SIM, {"--listen", "127.0.0.1:0", "--speed-factor", "100"});
  const std::string line = sim.WaitForLine("SIM1 ", seconds(10));
  ASSERT_FALSE(line.empty()) << sim.Output();
  const std::string url = line.substr(line.find("rfc2217://"));
  const std::string raw = "socket" + url.substr(url.find("://"));
  using namespace rfc2217;
  const unsigned char halfFrames[][6] = {
      {kIac, kWill, kOptComPort, kIac, kSb, kOptComPort},  // agreed, then half an order
      {kIac, kSb, kOptComPort, kSetBaudRate, 0, 0},        // half a speed order
  };
  for (const auto& half : halfFrames) {
    TComPort vanishing;
    vanishing.SetDeviceName(raw);
    ASSERT_NO_THROW(vanishing.Open());
    vanishing.Write(half, sizeof half, true);
    vanishing.Close();
  }
  {
    // Half-way through the handshake: the version asked for, the answer not read.
    TComPort vanishing;
    vanishing.SetDeviceName(url);
    ASSERT_NO_THROW(vanishing.Open());
    vanishing.WriteByte(0x80);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    TComPort port;
    port.SetDeviceName(url);
    port.Timeouts().SetReadConstant(1000);
    port.FlowControl().SetDTR(dcDisable);
    port.FlowControl().SetRTS(rcEnable);
    ASSERT_NO_THROW(port.Open()) << sim.Output();
    port.FlowControl().SetDTR(dcEnable);  // the reset pulse: identification from the start
    port.FlowControl().SetRTS(rcDisable);
    port.PurgeInput();
    port.WriteByte(0x80);
    EXPECT_EQ(port.ReadByte(), TBench::DefaultScenario()["dongle"]["hw_version"].get<int>());
    port.WriteByte(0x00);
    EXPECT_EQ(port.ReadByte(), 0x55);
  }
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
}
