// Programs we did not write against ours, and tptune-sim against clients that misbehave:
// pySerial's RFC 2217 client against tptune-sim's
// dongle (speed, the DTR/RTS reset pulse, DSR, the identification handshake byte for byte).
// Our client against pySerial's server runs in the contract cases (NetContractTest.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

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

// tptune-sim answers as the protocol has it: its signature when asked, the setting in use for a
// value query, each SET-CONTROL with the setting in use, and a long client signature is taken.
// A raw client sends each order and reads the answer.
TEST(TptuneSim, AnswersAsTheProtocolHasIt) {
  using namespace rfc2217;
  TPeer sim(TPTUNE_SIM, {"--echo", "--listen", "127.0.0.1:0"});
  const std::string line = sim.WaitForLine("ECHO ", seconds(10));
  ASSERT_FALSE(line.empty()) << sim.Output();
  const std::string url = line.substr(line.find("rfc2217://"));
  TComPort raw;
  raw.SetDeviceName("socket" + url.substr(url.find("://")));
  raw.Timeouts().SetReadInterval(-1);  // reads take what has come
  ASSERT_NO_THROW(raw.Open());
  TParser parser;
  // Sends bytes and gives the COM port answers that come within a moment, "cmd:v,v,…" each.
  auto ask = [&](std::vector<uint8_t> out) {
    raw.Write(out.data(), static_cast<int32_t>(out.size()), true);
    std::vector<std::string> answers;
    const auto until = steady_clock::now() + milliseconds(300);
    while (steady_clock::now() < until) {
      unsigned char buffer[512];
      const int32_t n = std::min<int32_t>(raw.InputCount(), sizeof buffer);
      if (n <= 0) {
        std::this_thread::sleep_for(milliseconds(10));
        continue;
      }
      raw.Read(buffer, n, true);
      std::vector<uint8_t> data;
      std::vector<TEvent> events;
      parser.Feed(buffer, static_cast<size_t>(n), data, events);
      for (const TEvent& e : events) {
        if (e.kind != TEvent::kSubnegotiation || e.payload.empty()) continue;
        if (e.payload[0] == kNotifyModemState + kServerOffset) continue;
        std::string a = std::to_string(e.payload[0]) + ":";
        for (size_t i = 1; i < e.payload.size(); ++i) a += (i > 1 ? "," : "") + std::to_string(e.payload[i]);
        answers.push_back(a);
      }
    }
    return answers;
  };
  std::vector<uint8_t> hello;
  AppendNegotiation(hello, kWill, kOptComPort);
  ask(hello);
  auto order = [](uint8_t command, std::vector<uint8_t> value) {
    std::vector<uint8_t> out;
    AppendComPort(out, command, value);
    return out;
  };
  struct TCase {
    const char* what;
    std::vector<uint8_t> sent;
    std::vector<std::string> answers;
  };
  const std::vector<uint8_t> longSignature(200, 'x');
  const TCase cases[] = {
      {"speed set", order(kSetBaudRate, BaudValue(115200)), {"101:0,1,194,0"}},
      {"speed asked: the one in use", order(kSetBaudRate, BaudValue(0)), {"101:0,1,194,0"}},
      {"data size set, then asked", order(kSetDataSize, {7}), {"102:7"}},
      {"data size asked", order(kSetDataSize, {0}), {"102:7"}},
      {"parity asked", order(kSetParity, {0}), {"103:1"}},
      {"stop size asked", order(kSetStopSize, {0}), {"104:1"}},
      {"flow control asked", order(kSetControl, {kFlowAsk}), {"105:1"}},
      {"XON/XOFF refused: none in use", order(kSetControl, {kFlowXonXoff}), {"105:1"}},
      {"inbound flow control asked", order(kSetControl, {kFlowInAsk}), {"105:14"}},
      {"BREAK asked", order(kSetControl, {kBreakAsk}), {"105:6"}},
      {"DTR off, then asked", order(kSetControl, {kDtrOff}), {"105:9"}},
      {"DTR asked", order(kSetControl, {kDtrAsk}), {"105:9"}},
      {"a long client signature is taken without answer", order(kSignature, longSignature), {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ask(c.sent), c.answers);
  }
  // Asked for its signature, it names itself.
  const std::vector<std::string> signature = ask(order(kSignature, {}));
  ASSERT_EQ(signature.size(), 1u);
  std::string text;
  for (size_t at = 4; at < signature[0].size();) {
    const size_t comma = std::min(signature[0].find(',', at), signature[0].size());
    text += static_cast<char>(std::stoi(signature[0].substr(at, comma - at)));
    at = comma + 1;
  }
  EXPECT_EQ(signature[0].rfind("100:", 0), 0u) << signature[0];
  EXPECT_EQ(text.rfind("tptune-sim", 0), 0u) << text;
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
}

// C-Kermit (Debian's ckermit), another RFC 2217 client no one here wrote, against tptune-sim's
// echo port: it asks for the server's signature, sets the speed, reads the settings and modem
// state back, and gets its text echoed. A server that did not answer its signature request held
// it at "Negotiations...".
TEST(CKermitClient, NegotiatesAndTalksToTptuneSim) {
  constexpr const char* kKermit = "/usr/bin/kermit";
  ASSERT_TRUE(std::ifstream(kKermit).good()) << "C-Kermit is not installed (scripts/setup-deps.sh)";
  TPeer sim(TPTUNE_SIM, {"--echo", "--listen", "127.0.0.1:0"});
  const std::string line = sim.WaitForLine("ECHO ", seconds(10));
  ASSERT_FALSE(line.empty()) << sim.Output();
  const std::string port = line.substr(line.rfind(':') + 1);
  const std::string script = testing::TempDir() + "tptune-kermit-" + std::to_string(getpid()) + ".ksc";
  std::ofstream(script) << "set telopt com-port-control requested\n"
                           "set carrier-watch off\n"
                           "set flow none\n"
                           "set host 127.0.0.1 " << port << " /telnet\n"
                           "if fail exit 1\n"
                           "set speed 19200\n"
                           "if fail exit 2\n"
                           "show communications\n"
                           "output hello\\13\n"
                           "input 5 hello\n"
                           "if fail exit 3\n"
                           "echo KERMIT-OK\n"
                           "exit 0\n";
  TPeer kermit(kKermit, {script, "-Y", "-B"});
  kermit.WaitForLine("\x01never\x01", seconds(30));
  EXPECT_EQ(kermit.Wait(seconds(1)), 0) << kermit.Output();
  const std::string out = kermit.Output();
  EXPECT_NE(out.find("Signature            : tptune-sim"), std::string::npos) << out;
  EXPECT_NE(out.find("Speed                : 19200"), std::string::npos) << out;
  EXPECT_NE(out.find("Outbound Flow Control: none"), std::string::npos) << out;
  EXPECT_NE(out.find("KERMIT-OK"), std::string::npos) << out;
  std::remove(script.c_str());
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
}
