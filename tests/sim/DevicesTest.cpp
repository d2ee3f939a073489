// The device models as the tool meets them: identification, attach, the handheld's byte
// commands and restarts, the server's frames.
#include <gtest/gtest.h>

#include "SimTestUtil.h"
#include "sim/Bench.h"

using simtest::AttachHandheld;
using simtest::AttachServer;
using simtest::HandshakeAnswer;
using simtest::NowUs;
using simtest::Reply;
using simtest::Transact;
using simtest::TToolPort;
using simtest::WaitDsr;
using V = std::vector<int>;

namespace {

// ---------------------------------------------------------------------------------------------
// Dongle and handheld

TEST(Dongle, IdentifiesAfterResetPulseThenPassesBytesToTheHandheld) {
  TBench bench(R"({"dongle": {"identity": "TPDONGLE0000007[", "hw_version": 18},
                   "handhelds": [{"hw_version": 34}]})");
  TToolPort dongle(bench, "SIM1");
  dongle.ResetPulse();
  EXPECT_EQ(dongle.Handshake(), HandshakeAnswer(18, "TPDONGLE0000007["));
  ASSERT_TRUE(WaitDsr(bench, dongle));
  EXPECT_EQ(dongle.Xfer(0x00), -1);    // the first lone 0x00 after identification
  EXPECT_EQ(dongle.Xfer(0x00), 0x22);  // the handheld's hardware version
  EXPECT_EQ(dongle.Xfer(0x80), -1);    // not a handheld command

  // The reset pulse of the tool brings the dongle back into identification; the shortened
  // exchange of the reset (0x80, then the identity characters) works as well.
  dongle.ResetPulse();
  std::vector<uint8_t> ident{0x80};
  ident.insert(ident.end(), 16, 0x55);
  V expected{18};
  for (char c : std::string("TPDONGLE0000007[")) expected.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(dongle.Xfer(ident), expected);
}

TEST(Dongle, SwapAndAttachFaults) {
  TBench bench(R"({"faults": [{"kind": "dongle_swap", "after_resets": 2,
                               "identity": "OTHERDONGLE00001", "hw_version": 19},
                              {"kind": "answer_attach"}]})");
  TToolPort dongle(bench, "SIM1");
  dongle.ResetPulse();
  EXPECT_EQ(dongle.Handshake(), HandshakeAnswer(17, "TPDONGLE00000042"));
  dongle.ResetPulse();
  EXPECT_EQ(dongle.Handshake(), HandshakeAnswer(19, "OTHERDONGLE00001"));
  ASSERT_TRUE(WaitDsr(bench, dongle));
  EXPECT_EQ(dongle.Xfer(0x00), 0x22);  // the first lone 0x00 is answered
}

TEST(Handheld, RegistersAndTheSilentEndOfARestore) {
  TBench bench(R"({"handhelds": [{"flags": 1}]})");
  TToolPort dongle(bench, "SIM1");
  AttachHandheld(bench, dongle);
  EXPECT_EQ(dongle.Xfer({0x04, 0x39, 0x02}), (V{0x04, 0x39, 0x01}));  // TPFlags
  EXPECT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x11}), (V{0x04, 0x39, 0x06, 0x11}));
  EXPECT_EQ(dongle.Xfer({0x04, 0x10, 0x05, 0x07, 0x06, 0xFD}),
            (V{0x04, 0x10, 0x05, 0x07, 0x06, 0xFD}));
  // Registers are addressed by the low address byte alone.
  EXPECT_EQ(dongle.Xfer({0x04, 0x39, 0x02, 0x04, 0x10, 0x02}),
            (V{0x04, 0x39, 0x11, 0x04, 0x10, 0xFD}));
  EXPECT_EQ(bench.Handheld(0).Register(16), 0xFD);
  // Clearing register 57 ends a firmware restore: the value gets no answer.
  EXPECT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x00}), (V{0x04, 0x39, 0x06, -1}));
  EXPECT_EQ(bench.Handheld(0).Register(57), 0x00);
  EXPECT_EQ(dongle.Xfer({0x04, 0x39, 0x06, 0x10}), (V{0x04, 0x39, 0x06, 0x10}));
}

TEST(Handheld, DsrDropsForTheRestartAfterAResetPulse) {
  TBench bench(R"({"handhelds": [{"restart_ms": 200}]})");
  TToolPort dongle(bench, "SIM1");
  EXPECT_TRUE(dongle.Dsr());
  dongle.port.FlowControl().SetDTR(dcDisable);
  dongle.port.FlowControl().SetRTS(rcEnable);
  bench.VirtualClock().Sleep(std::chrono::milliseconds(300));
  EXPECT_TRUE(dongle.Dsr());  // only the end of the pulse restarts it
  dongle.port.FlowControl().SetDTR(dcEnable);
  dongle.port.FlowControl().SetRTS(rcDisable);
  int64_t pulse = NowUs(bench);
  EXPECT_FALSE(dongle.Dsr());
  bench.VirtualClock().Sleep(std::chrono::milliseconds(199));
  EXPECT_FALSE(dongle.Dsr());
  bench.VirtualClock().Sleep(std::chrono::milliseconds(1));
  EXPECT_TRUE(dongle.Dsr());
  EXPECT_EQ(NowUs(bench) - pulse, 200'000);
  EXPECT_EQ(bench.Handheld(0).Restarts(), 1);
}

TEST(Handheld, DsrFaults) {
  {
    TBench bench(R"({"faults": [{"kind": "no_dsr", "handheld": 0}]})");
    TToolPort dongle(bench, "SIM1");
    EXPECT_FALSE(WaitDsr(bench, dongle, 200));
  }
  {
    TBench bench(R"({"faults": [{"kind": "no_comeback", "handheld": 0, "after_restarts": 2}]})");
    TToolPort dongle(bench, "SIM1");
    dongle.ResetPulse();
    EXPECT_TRUE(WaitDsr(bench, dongle));
    dongle.ResetPulse();
    EXPECT_FALSE(WaitDsr(bench, dongle, 200));
  }
  {
    TBench bench(R"({"faults": [{"kind": "dsr_drop", "handheld": 0, "at_ms": 1000,
                                 "duration_ms": 60}]})");
    TToolPort dongle(bench, "SIM1");
    bench.VirtualClock().Sleep(std::chrono::milliseconds(990));
    EXPECT_TRUE(dongle.Dsr());
    bench.VirtualClock().Sleep(std::chrono::milliseconds(20));
    EXPECT_FALSE(dongle.Dsr());
    bench.VirtualClock().Sleep(std::chrono::milliseconds(60));
    EXPECT_TRUE(dongle.Dsr());
  }
}

TEST(Handheld, NoHandheldMeansNoDsrAndNoAnswers) {
  TBench bench(R"({"handhelds": []})");
  TToolPort dongle(bench, "SIM1");
  dongle.ResetPulse();
  EXPECT_EQ(dongle.Handshake()[0], 0x11);
  EXPECT_FALSE(dongle.Dsr());
  EXPECT_EQ(dongle.Xfer({0x00, 0x00}), (V{-1, -1}));
}

// ---------------------------------------------------------------------------------------------
// Server

TEST(Server, IdentificationAttachAndSync) {
  TBench bench(R"({"server": {"identity": "RFTPSERVER000123", "hw_version": 18}})");
  TToolPort server(bench, "SIM2");
  EXPECT_EQ(server.Handshake(), HandshakeAnswer(18, "RFTPSERVER000123"));
  EXPECT_EQ(server.Xfer(0x00), -1);  // attach: the first lone 0x00 is not answered
  EXPECT_EQ(server.Xfer(0x00), 0x00);
  EXPECT_EQ(server.Xfer(0x00), 0x00);  // SrvSync between frames
  EXPECT_EQ(bench.Server().Syncs(), 2);
}

TEST(Server, FrameWithCheckBytesAndPolledReply) {
  // The worked examples: [0x00] as a command has the header 0x41 and check byte 0x84; the reply
  // 0x42 0x12 0x34 ends with the reply check byte 0x61.
  EXPECT_EQ(simtest::RequestCheck(0x41, {0x00}), 0x84);
  EXPECT_EQ(simtest::RequestCheck(0x42, {0x02, 0x03}), 0x90);
  TBench bench(R"({"server": {"firmware": "production", "firmware_version": [18, 52]}})");
  TToolPort server(bench, "SIM2");
  AttachServer(server);
  EXPECT_EQ(server.Xfer({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}),
            (V{0x01, 0x03, 0x42, 0x12, 0x34, 0x61}));
  EXPECT_EQ(bench.Server().Frames(), 1);
}

TEST(Server, WrongCheckByteIsRejectedAndTheServerWaitsForTheNextFrame) {
  TBench bench;
  TToolPort server(bench, "SIM2");
  AttachServer(server);
  EXPECT_EQ(server.Xfer({0x41, 0x00, 0x85}), (V{0x01, 0x03, 0x15}));
  EXPECT_EQ(bench.Server().BadChecks(), 1);
  EXPECT_EQ(server.Xfer(0x00), 0x00);
  EXPECT_EQ(Reply(Transact(server, true, {0x00}), 1), (V{0x42, 0x25, 6}));
}

TEST(Server, CommandsOfProductionAndTestFirmware) {
  struct Case {
    const char* firmware;
    std::vector<uint8_t> request;
    V reply;
  };
  const Case cases[] = {
      {"production", {0x00}, {0x42, 0x27, 9}},  // SrvGetVersion
      {"production", {0x01}, {0x07}},           // SrvGetInfo: starts the firmware
      {"test", {0x00}, {0x06}},                 // SrvGetVersion of test firmware
      {"test", {0x01}, {0x42, 0x05, 0xFC}},     // test version, factory compensation
      {"test", {0x02, 0x03}, {0x41, 0xF9}},     // SrvGetParam 3
      {"test", {0x03, 0x9C}, {0x07}},           // SrvSetOffset
      {"test", {0x04}, {0x07}},                 // SrvGetPacket: none left
      {"test", {0x09}, {0x15}},                 // unknown command
      {"none", {0x00}, {0x15}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.firmware) + " " + std::to_string(c.request[0]));
    TBench bench(nlohmann::json{{"server",
                                 {{"firmware", c.firmware},
                                  {"firmware_version", {0x27, 9}},
                                  {"test_firmware_version", 5},
                                  {"factory_compensation", -4},
                                  {"pctool_compensation", -7}}}});
    TToolPort server(bench, "SIM2");
    AttachServer(server);
    EXPECT_EQ(Reply(Transact(server, true, c.request), c.request.size()), c.reply);
  }
}

TEST(Server, SettingThreeIsStoredAndReadBack) {
  TBench bench(R"({"server": {"firmware": "test", "pctool_compensation": 0}})");
  TToolPort server(bench, "SIM2");
  AttachServer(server);
  EXPECT_EQ(Reply(Transact(server, true, {0x02, 0x03, 0xFD}), 3), (V{0x07}));
  EXPECT_EQ(Reply(Transact(server, true, {0x02, 0x03}), 2), (V{0x41, 0xFD}));
  EXPECT_EQ(bench.Server().PcToolCompensation(), -3);
  EXPECT_EQ(bench.Server().EffectiveCompensation(), -3);
}

// A server that starts part-way into a frame or into the handshake fails the first handshake;
// zero bytes until one is answered with 0x00 bring it back, and then it identifies.
TEST(Server, StuckAtStartRecoversAfterResynchronisation) {
  for (const char* stuck : {R"({"kind": "server_stuck", "state": "mid_frame", "remaining": 30})",
                            R"({"kind": "server_stuck", "state": "mid_handshake", "at": 8})"}) {
    SCOPED_TRACE(stuck);
    TBench bench(nlohmann::json{{"faults", {nlohmann::json::parse(stuck)}}});
    TToolPort server(bench, "SIM2");
    V first = server.Handshake();
    EXPECT_NE(first, HandshakeAnswer(0x12, "RFTPSERVER000123"));
    int attempts = 0;
    while (attempts < 66 && server.Xfer(0x00) != 0x00) ++attempts;
    EXPECT_LT(attempts, 66);
    EXPECT_EQ(server.Handshake(), HandshakeAnswer(0x12, "RFTPSERVER000123"));
  }
}

}  // namespace
