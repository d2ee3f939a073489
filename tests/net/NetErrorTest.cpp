// Network ports that fail: every failure is an EComError with a clear text, soon, and a broken
// stream is given up. The servers are small fakes in a thread of the test.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "FakeServer.h"
#include "serial/ComPort.h"
#include "serial/NetBinding.h"
#include "serial/Rfc2217.h"
#include "serial/SystemErrors.h"

namespace {

using namespace std::chrono;
using namespace rfc2217;

struct TOpenCase {
  const char* what;
  TFakeBehaviour behaviour;
  bool useServer;        // false: no server at all (the name below)
  const char* name;      // without a server
  const char* text;      // in the error's text
  milliseconds within;   // the error comes this soon
};

// A port nobody listens on: a server that was there and went.
std::string VanishedServer() {
  std::string name;
  {
    TFakeBehaviour silent;
    silent.negotiation = TFakeBehaviour::kSilent;
    TFakeServer gone(silent);
    name = gone.Name();
    // Connect once so the fake's thread ends at once.
    TComPort probe;
    probe.SetDeviceName("socket" + name.substr(name.find("://")));
    probe.Open();
  }
  return name;
}

TEST(NetPortErrors, OpenFailsWithAClearText) {
  TFakeBehaviour refuse;
  refuse.negotiation = TFakeBehaviour::kRefuse;
  TFakeBehaviour silent;
  silent.negotiation = TFakeBehaviour::kSilent;
  TFakeBehaviour wrongSpeed;
  wrongSpeed.answerSpeed = 4800;
  const std::string vanished = VanishedServer();
  const TOpenCase cases[] = {
      {"nobody listens", {}, false, vanished.c_str(), ": connection refused", seconds(2)},
      {"no such host", {}, false, "rfc2217://no-such-host.invalid:4001", ": host not found",
       seconds(12)},
      {"not a host and port", {}, false, "rfc2217://bench-7", "not a network port name",
       seconds(1)},
      {"the server refuses the option", refuse, true, "",
       ": server refused option COM-PORT-OPTION", seconds(2)},
      {"the server never answers", silent, true, "",
       ": server did not answer option COM-PORT-OPTION within 3 s", seconds(5)},
      {"the server refuses the speed", wrongSpeed, true, "",
       ": server refused speed 9600 (answered 4800)", seconds(2)},
  };
  for (const TOpenCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TFakeServer> server;
    if (c.useServer) server = std::make_unique<TFakeServer>(c.behaviour);
    const std::string name = server ? server->Name() : c.name;
    TComPort port;
    port.SetDeviceName(name);
    port.SetBaudRate(br9600);
    const auto start = steady_clock::now();
    try {
      port.Open();
      ADD_FAILURE() << "opened";
    } catch (const EComError& e) {
      const std::string text = e.what();
      EXPECT_EQ(text.rfind(name, 0), 0u) << text;  // the port is named as typed
      EXPECT_NE(text.find(c.text), std::string::npos) << text;
      EXPECT_NE(e.ErrorCode(), 0) << text;
    }
    EXPECT_LT(steady_clock::now() - start, c.within);
    EXPECT_FALSE(port.Active());
  }
}

// What the server does after the first data byte, and what the client's read then says.
struct TStreamCase {
  const char* what;
  std::vector<uint8_t> sent;
  bool close;
  const char* text;
};

TEST(NetPortErrors, BrokenStreamEndsTheReadAndThePort) {
  std::vector<uint8_t> endless{kIac, kSb, kOptComPort, kNotifyModemState + kServerOffset};
  endless.insert(endless.end(), 500, 0x41);
  const TStreamCase cases[] = {
      {"connection dropped mid-read", {0x41, 0x42}, true, ": connection lost"},
      {"malformed subnegotiation", {0x41, kIac, kSb, kOptComPort, 107, kIac, 0x01, 0x42}, false,
       ": malformed subnegotiation: IAC 1 inside it"},
      {"endless subnegotiation", endless, false, ": malformed subnegotiation: longer than"},
      {"modem state of the wrong size",
       {kIac, kSb, kOptComPort, 107, 0x20, 0x20, kIac, kSe}, false,
       ": malformed subnegotiation: modem state"},
  };
  for (const TStreamCase& c : cases) {
    SCOPED_TRACE(c.what);
    TFakeBehaviour b;
    b.onFirstData = c.sent;
    b.closeOnFirstData = c.close;
    TFakeServer server(b);
    TComPort port;
    port.SetDeviceName(server.Name());
    port.Timeouts().SetReadConstant(5000);
    ASSERT_NO_THROW(port.Open());
    port.WriteByte(0x01);
    unsigned char buffer[8] = {};
    const auto start = steady_clock::now();
    try {
      port.Read(buffer, 8, true);
      ADD_FAILURE() << "read passed";
    } catch (const EComError& e) {
      EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
      EXPECT_EQ(e.ErrorCode(), kErrDeviceGone) << e.what();
    }
    EXPECT_LT(steady_clock::now() - start, seconds(2));
    // Nothing is read past the break: the port is gone until it is opened again.
    try {
      port.ReadByte();
      ADD_FAILURE() << "read after the break passed";
    } catch (const EComError& e) {
      EXPECT_NE(std::string(e.what()).find(": connection lost"), std::string::npos) << e.what();
    }
    port.Close();
  }
}

// An answer that comes after the client gave up its order is recognised as that order's and
// dropped: the next order gets its own answer, not the late one.
TEST(NetPortErrors, LateAnswerIsNotTakenForTheNextOrder) {
  TFakeBehaviour late;
  late.firstSpeedAnswerLateMs = kNetAnswerTimeoutMs + 500;
  TFakeServer server(late);
  TComPort port;
  port.SetDeviceName(server.Name());
  ASSERT_NO_THROW(port.Open());
  try {
    port.SetBaudRate(br115200);
    ADD_FAILURE() << "the late answer was waited for";
  } catch (const EComError& e) {
    EXPECT_NE(std::string(e.what()).find(": server did not answer speed 115200"), std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(port.Active());
  for (TBaudRate rate : {br19200, br9600}) {
    try {
      port.SetBaudRate(rate);
    } catch (const EComError& e) {
      ADD_FAILURE() << e.what();
    }
  }
  port.WriteByte(0x5A);
  port.Timeouts().SetReadConstant(2000);
  EXPECT_EQ(port.ReadByte(), 0x5A);
}

// Lenient where the protocol allows: a long server signature (device servers name make, model
// and firmware) is taken, and the data after it comes through.
TEST(NetPortErrors, LongServerSignatureIsTaken) {
  TFakeBehaviour talkative;
  std::vector<uint8_t> signature(200, 'S');
  signature.insert(signature.begin(), kSignature + kServerOffset);
  talkative.onFirstData = {kIac, kSb, kOptComPort};
  talkative.onFirstData.insert(talkative.onFirstData.end(), signature.begin(), signature.end());
  talkative.onFirstData.insert(talkative.onFirstData.end(), {kIac, kSe, 0x41});
  TFakeServer server(talkative);
  TComPort port;
  port.SetDeviceName(server.Name());
  port.Timeouts().SetReadConstant(2000);
  ASSERT_NO_THROW(port.Open());
  port.WriteByte(0x01);
  try {
    EXPECT_EQ(port.ReadByte(), 0x41);
  } catch (const EComError& e) {
    ADD_FAILURE() << e.what();
  }
}

// Lenient where the protocol allows: a speed answer with bytes after the rate is the rate.
TEST(NetPortErrors, SpeedAnswerWithTrailingBytesIsTheRate) {
  TFakeBehaviour padded;
  padded.speedAnswerTail = {0x00, 0x00};
  TFakeServer server(padded);
  TComPort port;
  port.SetDeviceName(server.Name());
  port.SetBaudRate(br115200);
  EXPECT_NO_THROW(port.Open());
  EXPECT_TRUE(port.Active());
}

// Flow control goes to the server as the port has it (the tool's ports: none, as a device
// server may have XON/XOFF set), and every order is answered and checked.
TEST(NetPortErrors, FlowControlIsSentAsSet) {
  struct TFlowCase {
    TXOnXOffControl flow;
    std::vector<std::vector<uint8_t>> controls;  // the SET-CONTROL orders sent at open
  };
  const TFlowCase cases[] = {
      {xcDisable, {{kSetControl, kFlowNone}}},
      {xcInputOutput, {{kSetControl, kFlowXonXoff}}},
      {xcOutput, {{kSetControl, kFlowXonXoff}, {kSetControl, kFlowInNone}}},
      {xcInput, {{kSetControl, kFlowNone}, {kSetControl, kFlowInXonXoff}}},
      {xcDefault, {}},  // the device server's setting is kept
  };
  for (const TFlowCase& c : cases) {
    SCOPED_TRACE(c.flow);
    TFakeServer server({});
    TComPort port;
    port.SetDeviceName(server.Name());
    port.FlowControl().SetXOnXOff(c.flow);
    ASSERT_NO_THROW(port.Open());
    port.Close();
    std::vector<std::vector<uint8_t>> controls;
    for (const auto& order : server.Orders())
      if (order[0] == kSetControl) controls.push_back(order);
    EXPECT_EQ(controls, c.controls);
  }
}

// Reading the modem lines sends nothing: the protocol has no request for them, and a server that
// took a client's NOTIFY-MODEMSTATE for data put it on the line. Open sends the two masks and its
// two purges, and nothing more is sent.
TEST(NetPortErrors, ModemStatusSendsNoPoll) {
  TFakeServer server({});
  TComPort port;
  port.SetDeviceName(server.Name());
  ASSERT_NO_THROW(port.Open());
  for (int i = 0; i < 5; ++i) port.ModemStatus();
  port.WriteByte(0x42);  // the orders so far are in before its echo
  port.Timeouts().SetReadConstant(2000);
  EXPECT_EQ(port.ReadByte(), 0x42);
  port.Close();
  std::vector<uint8_t> commands;
  for (const auto& order : server.Orders()) commands.push_back(order[0]);
  EXPECT_EQ(commands,
            (std::vector<uint8_t>{kSetModemStateMask, kSetLineStateMask, kPurgeData, kPurgeData}));
}

// The server's FLOWCONTROL-SUSPEND holds the data back until its RESUME.
TEST(NetPortErrors, ServerPauseHoldsTheDataBack) {
  TFakeBehaviour pausing;
  pausing.pauseOnFirstDataMs = 600;
  TFakeServer server(pausing);
  TComPort port;
  port.SetDeviceName(server.Name());
  port.Timeouts().SetReadConstant(2000);
  ASSERT_NO_THROW(port.Open());
  port.WriteByte(0x01);
  EXPECT_EQ(port.ReadByte(), 0x01);  // the pause came before it
  const auto start = steady_clock::now();
  port.WriteByte(0x02);
  port.WriteByte(0x03);  // finishes the write before it
  EXPECT_GE(steady_clock::now() - start, milliseconds(400));
  EXPECT_EQ(port.ReadByte(), 0x02);
  EXPECT_EQ(port.ReadByte(), 0x03);
}

// A raw TCP port carries data and has no modem lines: asking for them or ordering DTR/RTS
// raises, and the port stays usable.
TEST(NetPortErrors, RawSocketPortHasNoModemLines) {
  TFakeBehaviour raw;
  raw.telnet = false;
  TFakeServer server(raw);
  TComPort port;
  port.SetDeviceName(server.Name("socket"));
  port.FlowControl().SetDTR(dcDisable);  // the open sequence's lines are taken as they are
  port.FlowControl().SetRTS(rcEnable);
  port.Timeouts().SetReadConstant(2000);
  ASSERT_NO_THROW(port.Open());
  const unsigned char data[] = {0xFF, 0xFA, 0x00, 0xFF};
  port.Write(data, 4, true);
  unsigned char back[4] = {};
  port.Read(back, 4, true);
  EXPECT_EQ(std::vector<unsigned char>(back, back + 4), std::vector<unsigned char>(data, data + 4));
  EXPECT_THROW(port.ModemStatus(), EComError);
  EXPECT_THROW(port.FlowControl().SetDTR(dcEnable), EComError);
  port.WriteByte(0x55);
  EXPECT_EQ(port.ReadByte(), 0x55);
}

}  // namespace
