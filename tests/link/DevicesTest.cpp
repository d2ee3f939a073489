// The handheld operations against a scripted dongle and handheld: register writes and reads,
// the set-up of a run, and the reset with its DSR wait.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "link/Devices.h"
#include "link/Link.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "tests/link/ScriptedPort.h"

namespace {

// A handheld behind the dongle as far as the register commands go: 0x04 a selects register a,
// 0x06 v writes it, 0x02 answers it; everything else is echoed.
struct TRegisterDevice {
  enum ValueAnswer { kEcho, kSilent, kWrong };
  std::array<uint8_t, 256> reg{};
  ValueAnswer valueAnswer = kEcho;
  int wrongAtWrite = -1;  // this register write (counted from 0) echoes a wrong value
  std::vector<std::pair<int, int>> writes;
  uint8_t addr = 0;
  uint8_t pending = 0;  // a command waiting for its argument

  ByteText Answer(uint8_t b) {
    const ByteText echo(1, static_cast<char>(b));
    if (pending == CmdAddrLo) {
      pending = 0;
      addr = b;
      return echo;
    }
    if (pending == CmdWrite) {
      pending = 0;
      reg[addr] = b;
      writes.emplace_back(addr, b);
      const bool wrong = valueAnswer == kWrong ||
                         static_cast<int>(writes.size()) - 1 == wrongAtWrite;
      if (valueAnswer == kSilent) return ByteText();
      return wrong ? ByteText(1, static_cast<char>(b ^ 0x01)) : echo;
    }
    if (b == CmdAddrLo || b == CmdWrite) pending = b;
    if (b == CmdRead) return ByteText(1, static_cast<char>(reg[addr]));
    return echo;
  }
};

class DevicesTest : public ::testing::Test {
 protected:
  DevicesTest() {
    provider.Peer("SCR1");
    port1.SetTag(0);
    port1.SetDeviceName("SCR1");
    port1.Timeouts().SetReadConstant(250);
    // The lines as discovery leaves them.
    port1.FlowControl().SetDTR(dcEnable);
    port1.FlowControl().SetRTS(rcDisable);
    port1.Open();
    main.SerIF1 = &port1;
    run.LinkOk = true;
    Peer().answer = [this](uint8_t b) { return device.Answer(b); };
  }
  TScriptedPeer& Peer() { return provider.Peer("SCR1"); }

  TFakeClock clock;
  TScriptedProvider provider{clock};
  TMainFields main;
  TRecordingBridge bridge;
  TRunRecord run{main, bridge, clock};
  TComPort port1;
  TRegisterDevice device;
};

TEST_F(DevicesTest, WriteRegisterWithAndWithoutEcho) {
  struct Case {
    const char* name;
    bool echo;
    TRegisterDevice::ValueAnswer device;
    bool linkOk;
  };
  const Case cases[] = {
      {"echoed as asked", true, TRegisterDevice::kEcho, true},
      {"echo missing", true, TRegisterDevice::kSilent, false},
      {"echo wrong", true, TRegisterDevice::kWrong, false},
      {"unanswered as asked", false, TRegisterDevice::kSilent, true},
      {"answered though it must not be", false, TRegisterDevice::kEcho, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device.valueAnswer = c.device;
    Peer().written.clear();
    port1.PurgeInput();
    run.LinkOk = true;
    WriteReg(run, CfgReg, 0x00, c.echo);
    EXPECT_EQ(run.LinkOk, c.linkOk);
    EXPECT_EQ(Peer().written, Bytes({CmdAddrLo, CfgReg, CmdWrite, 0x00}));
  }

  // Nothing goes out once the link has failed.
  Peer().written.clear();
  run.LinkOk = false;
  WriteReg(run, CfgReg, 0x00, false);
  EXPECT_TRUE(Peer().written.empty());
}

TEST_F(DevicesTest, ReadRegister) {
  device.reg[CmdReg] = 0x5A;
  EXPECT_EQ(ReadReg(run, CmdReg), 0x5A);
  EXPECT_TRUE(run.LinkOk);
  EXPECT_EQ(Peer().written, Bytes({CmdAddrLo, CmdReg, CmdRead}));

  // No answer to the read command.
  Peer().answer = [this](uint8_t b) { return b == CmdRead ? ByteText() : device.Answer(b); };
  ReadReg(run, CmdReg);
  EXPECT_FALSE(run.LinkOk);
}

TEST_F(DevicesTest, PrepareRunWritesTheSetUpRegistersInOrder) {
  auto& image = run.TPImage[3];
  for (size_t i = 0; i < 32; ++i) image[i] = static_cast<uint8_t>(0xA0 + i);
  run.TPImage[1].fill(0xEE);  // another image must not be used
  run.TPFlags = 0x81;         // only the width bit is carried over

  PrepareRun(run, 3, RunTestCycle);
  EXPECT_TRUE(run.LinkOk);
  const std::vector<std::pair<int, int>> expected = {
      {23, RunTestCycle}, {29, 0xA0 + 24}, {48, 0xA0 + 27}, {49, 0xA0 + 28},
      {51, 0x50},         {52, 0xA0 + 31}, {55, 0xA0 + 2},  {57, 0x77}};
  EXPECT_EQ(device.writes, expected);

  // A failed write ends the set-up: the later registers are not touched.
  device.writes.clear();
  device.wrongAtWrite = 2;
  Peer().written.clear();
  PrepareRun(run, 3, RunStart);
  EXPECT_FALSE(run.LinkOk);
  ASSERT_EQ(device.writes.size(), 3u);
  EXPECT_EQ(device.writes.back(), std::make_pair(48, 0xA0 + 27));
  EXPECT_EQ(Peer().written.size(), 3u * 4u);
}

// ResetHandheld: the dongle introduces itself after the pulse, the handheld's DSR comes (or
// not), then the re-attach.
TEST_F(DevicesTest, ResetHandheld) {
  const ByteText dongleId = ByteText(1, '\x11') + "TPDONGLE00000042";
  struct Case {
    const char* name;
    uint16_t budget;
    const char* dsr;  // DSR at each sample ('x': the lines cannot be read); the last one holds
    ByteText answersId;
    bool answerFirstZero;
    bool linkOk;
    int samples;
  };
  const ByteText otherId = ByteText(1, '\x11') + "TPDONGLE00000099";
  const Case cases[] = {
      {"five samples in a row", 20, "1", dongleId, false, true, 5},
      {"a budget of 4 is never enough", 4, "1", dongleId, false, false, 4},
      {"a drop restarts the count", 20, "1110111111", dongleId, false, true, 9},
      {"the same drop with too small a budget", 8, "1110111111", dongleId, false, false, 8},
      {"no DSR: gives up with the budget", 20, "0", dongleId, false, false, 20},
      {"another dongle answers", 20, "1", otherId, false, false, 0},
      {"the first lone zero is answered", 20, "1", dongleId, true, false, 5},
      // An adapter that hung up: fail at once, not after the whole budget.
      {"lines that cannot be read end the wait", 2500, "11x", dongleId, false, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run.DongleId = dongleId;
    run.TPHwVer = 0x22;
    run.TPFlags = 0x01;
    run.LinkOk = true;
    std::vector<int> answers;
    for (char ch : c.answersId) answers.push_back(static_cast<uint8_t>(ch));
    for (int b : {c.answerFirstZero ? 0x22 : -1, 0x22, 0x04, 0x39, 0x06, 0x11}) answers.push_back(b);
    Peer().answer = AnswerList(answers);
    const std::string dsr = c.dsr;
    Peer().dsr = [dsr](int n) {
      const char line = dsr[std::min(static_cast<size_t>(n), dsr.size() - 1)];
      if (line == 'x') throw EComError(EIO, "Input/output error");
      return line == '1';
    };
    Peer().statusReads = 0;
    Peer().written.clear();
    Peer().events.clear();
    const long long t0 = clock.Ms();

    ResetHandheld(run, c.budget);

    EXPECT_EQ(run.LinkOk, c.linkOk);
    EXPECT_EQ(Peer().statusReads, c.samples);
    ByteText wire(1, '\x80');
    wire.append(16, '\x55');
    const bool dsrSeen = c.linkOk || c.answerFirstZero;
    if (dsrSeen) wire += Bytes({0x00, 0x00, CmdAddrLo, CfgReg, CmdWrite, 0x11});
    if (c.answerFirstZero) wire = wire.substr(0, 18);
    EXPECT_EQ(Peer().written, wire);
    // The pulse, the identity exchange (answered at once here) and the samples 50 ms apart;
    // answered bytes take no time on this peer, the unanswered lone 0x00 its 250 ms time-out.
    const long long unanswered = (dsrSeen && !c.answerFirstZero) ? 250 : 0;
    // No wait follows a sample that could not be read.
    const int sleeps = c.samples - (std::string(c.dsr).find('x') != std::string::npos ? 1 : 0);
    EXPECT_EQ(clock.Ms() - t0, 400 + 50 * sleeps + unanswered);
    const std::vector<std::string> pulse = {
        std::to_string(t0) + ":DTR-", std::to_string(t0) + ":RTS+",
        std::to_string(t0 + 300) + ":DTR+", std::to_string(t0 + 300) + ":RTS-",
        std::to_string(t0 + 400) + ":purge"};
    EXPECT_EQ(Peer().events, pulse);
  }
}

TEST_F(DevicesTest, ResetHandheldGivesThePulseButSendsNothingAfterAFailure) {
  run.LinkOk = false;
  run.DongleId = ByteText(1, '\x11') + "TPDONGLE00000042";
  Peer().events.clear();
  ResetHandheld(run, 20);
  EXPECT_EQ(Peer().events.size(), 5u);
  EXPECT_TRUE(Peer().written.empty());
  EXPECT_EQ(Peer().statusReads, 0);
  EXPECT_FALSE(run.LinkOk);
}

TEST_F(DevicesTest, AResetPulseTheDriverRefusesFailsAndSaysWhy) {
  run.DongleId = ByteText(1, '\x11') + "TPDONGLE00000042";
  Peer().failLines = true;
  ResetHandheld(run, 20);
  EXPECT_FALSE(run.LinkOk);
  EXPECT_TRUE(Peer().written.empty());
  EXPECT_EQ(bridge.Log, std::vector<ByteText>{
                            "Modem line control failed on SCR1: Inappropriate ioctl for device"});
  EXPECT_NE(run.ErrLog.find(">Modem line control failed on SCR1: Inappropriate ioctl for device\r"),
            std::string::npos);
}

TEST_F(DevicesTest, ResetHandheldEndsOnTermination) {
  run.DongleId = ByteText(1, '\x11') + "TPDONGLE00000042";
  std::vector<int> answers;
  for (char ch : run.DongleId) answers.push_back(static_cast<uint8_t>(ch));
  Peer().answer = AnswerList(answers);
  // Cancel comes during the DSR wait (DSR never rises).
  Peer().dsr = [this](int n) {
    if (n == 2) run.RequestTermination();
    return false;
  };
  ResetHandheld(run, 2500);
  EXPECT_FALSE(run.LinkOk);
  EXPECT_EQ(Peer().statusReads, 3);
  EXPECT_EQ(Peer().written.size(), 17u);
}

}  // namespace
