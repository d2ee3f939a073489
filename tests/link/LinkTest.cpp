// The lock-step byte link against scripted peers: trace records, the server frame with its
// check bytes and polled replies, out-of-step input, termination and refused writes.
#include <gtest/gtest.h>

#include "link/Link.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "tests/link/ScriptedPort.h"

namespace {

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() {
    provider.Peer("SCR1");
    provider.Peer("SCR2");
    port1.SetTag(0);
    port2.SetTag(1);
    OpenOn(port1, "SCR1");
    OpenOn(port2, "SCR2");
    main.SerIF1 = &port1;
    main.SerIF2 = &port2;
    run.LinkOk = true;
  }
  static void OpenOn(TComPort& port, const std::string& name) {
    port.SetDeviceName(name);
    port.Timeouts().SetReadConstant(250);
    port.Open();
  }
  TScriptedPeer& Peer1() { return provider.Peer("SCR1"); }
  TScriptedPeer& Peer2() { return provider.Peer("SCR2"); }

  TFakeClock clock;
  TScriptedProvider provider{clock};
  TMainFields main;
  TRecordingBridge bridge;
  TRunRecord run{main, bridge, clock};
  TComPort port1, port2;
};

struct TransactCase {
  const char* name;
  ByteText request;
  bool isCmd;
  std::vector<int> answers;  // the server's answer to each byte written (-1: none)
  ByteText wire;             // what the server must have received
  ByteText result;
  bool linkOk;
  std::string trace;  // the complete trace, where the case pins it down
};

TEST_F(LinkTest, ServerTransactions) {
  const std::vector<TransactCase> cases = {
      {"two data bytes polled", Bytes({0x00}), true, {0x01, 0x03, 0x42, 0x12, 0x34, 0x61},
       Bytes({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}), Bytes({0x42, 0x12, 0x34}), true,
       "2<65\r2>1\r2<0\r2>3\r2<132\r2>66\r2<194\r2>18\r2<195\r2>52\r2<193\r2>97\r"},
      {"one data byte polled", Bytes({0x01}), true, {0x01, 0x03, 0x41, 0x05, 0x87},
       Bytes({0x41, 0x01, 0x85, 0xC2, 0xC1}), Bytes({0x41, 0x05}), true, ""},
      {"status reply 0x07", Bytes({0x04}), true, {0x01, 0x03, 0x07},
       Bytes({0x41, 0x04, 0x88}), Bytes({0x07}), true, "2<65\r2>1\r2<4\r2>3\r2<136\r2>7\r"},
      {"two request bytes, status 0x06", Bytes({0x02, 0x03}), true, {0x01, 0x02, 0x03, 0x06},
       Bytes({0x42, 0x02, 0x03, 0x90}), Bytes({0x06}), true, ""},
      {"reply code 0x40 is not polled", Bytes({0x00}), true, {0x01, 0x03, 0x40},
       Bytes({0x41, 0x00, 0x84}), Bytes({0x40}), true, ""},
      {"empty plain frame", ByteText(), false, {0x03, 0x07}, Bytes({0x00, 0x80}),
       Bytes({0x07}), true, ""},
      {"wrong reply check byte", Bytes({0x00}), true, {0x01, 0x03, 0x42, 0x12, 0x34, 0x60},
       Bytes({0x41, 0x00, 0x84, 0xC2, 0xC3, 0xC1}), ByteText(), false, ""},
      {"reply code 0x7F", Bytes({0x00}), true, {0x01, 0x03, 0x7F}, Bytes({0x41, 0x00, 0x84}),
       ByteText(), false, ""},
      {"wrong acknowledgement: no check byte", Bytes({0x00}), true, {0x01, 0x02},
       Bytes({0x41, 0x00}), ByteText(), false, ""},
      {"no reply code", Bytes({0x00}), true, {0x01, 0x03, -1}, Bytes({0x41, 0x00, 0x84}),
       ByteText(), false, "2<65\r2>1\r2<0\r2>3\r2<132\r2>-1\r"},
      {"data byte missing", Bytes({0x00}), true, {0x01, 0x03, 0x42, 0x12, -1},
       Bytes({0x41, 0x00, 0x84, 0xC2, 0xC3}), ByteText(), false, ""},
  };
  for (const TransactCase& c : cases) {
    SCOPED_TRACE(c.name);
    Peer2().written.clear();
    Peer2().input.clear();
    Peer2().answer = AnswerList(c.answers);
    run.ErrLog.clear();
    run.LinkOk = true;

    EXPECT_EQ(SrvTransact(run, c.request, c.isCmd), c.result);
    EXPECT_EQ(run.LinkOk, c.linkOk);
    EXPECT_EQ(Peer2().written, c.wire);
    if (!c.trace.empty()) {
      EXPECT_EQ(run.ErrLog, c.trace);
    }

    // The check bytes on their own: the request's is the byte after the frame on the wire, the
    // reply's is the server's last answer.
    const uint8_t header = static_cast<uint8_t>(c.request.size() | (c.isCmd ? 0x40 : 0));
    if (c.wire.size() > c.request.size() + 1) {
      EXPECT_EQ(RequestCheckByte(header, c.request), ByteAt(c.wire, c.request.size() + 1));
    }
    if (c.linkOk && c.result.size() > 1) {
      EXPECT_EQ(ReplyCheckByte(c.result), static_cast<uint8_t>(c.answers.back()));
    }
  }
}

TEST_F(LinkTest, ServerTransactionGoesToTheServerRoleAndSendsNothingOnceTheLinkFailed) {
  // After discovery exchanged the roles the server sits on the object created second; its
  // trace digit stays with the object.
  std::swap(main.SerIF1, main.SerIF2);
  Peer1().answer = AnswerList({0x01, 0x03, 0x07});
  EXPECT_EQ(SrvTransact(run, Bytes({0x04}), true), Bytes({0x07}));
  EXPECT_EQ(Peer1().written, Bytes({0x41, 0x04, 0x88}));
  EXPECT_EQ(run.ErrLog.substr(0, 6), "1<65\r1");
  EXPECT_TRUE(Peer2().written.empty());

  run.LinkOk = false;
  Peer1().written.clear();
  EXPECT_EQ(SrvTransact(run, Bytes({0x04}), true), ByteText());
  EXPECT_TRUE(Peer1().written.empty());

  // A request too long to frame is refused without traffic.
  run.LinkOk = true;
  EXPECT_EQ(SrvTransact(run, ByteText(64, '\x01'), false), ByteText());
  EXPECT_FALSE(run.LinkOk);
  EXPECT_TRUE(Peer1().written.empty());
}

struct ExchangeCase {
  const char* name;
  bool linkOkBefore;
  ByteText request;
  ByteText expected;
  std::vector<int> answers;
  ByteText reply;
  bool linkOkAfter;
  ByteText wire;
};

TEST_F(LinkTest, Exchanges) {
  const std::vector<ExchangeCase> cases = {
      {"echo as expected", true, Bytes({0x04, 0x39}), Bytes({0x04, 0x39}), {0x04, 0x39},
       Bytes({0x04, 0x39}), true, Bytes({0x04, 0x39})},
      {"one byte differs", true, Bytes({0x04, 0x39}), Bytes({0x04, 0x39}), {0x04, 0x38},
       Bytes({0x04, 0x38}), false, Bytes({0x04, 0x39})},
      {"answer missing: stops, reply emptied", true, Bytes({0x04, 0x39, 0x02}), ByteText(),
       {0x04, -1, 0x11}, ByteText(), true, Bytes({0x04, 0x39})},
      {"answer missing with an expected text", true, Bytes({0x04, 0x39}), Bytes({0x04, 0x39}),
       {0x04, -1}, ByteText(), false, Bytes({0x04, 0x39})},
      {"empty request, expected text", true, ByteText(), Bytes({0x00}), {}, ByteText(), false,
       ByteText()},
      {"empty request, nothing expected", true, ByteText(), ByteText(), {}, ByteText(), true,
       ByteText()},
      {"link already failed", false, Bytes({0x00}), ByteText(), {0x00}, ByteText(), false,
       ByteText()},
  };
  for (const ExchangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Peer1().written.clear();
    Peer1().input.clear();
    Peer1().answer = AnswerList(c.answers);
    run.LinkOk = c.linkOkBefore;
    run.Reply = "stale";
    Exchange(run, port1, c.request, c.expected);
    EXPECT_EQ(run.Reply, c.reply);
    EXPECT_EQ(run.LinkOk, c.linkOkAfter);
    EXPECT_EQ(Peer1().written, c.wire);
  }

  // A failed step earlier in the run: nothing happens, Reply stays.
  run.Outcome = kOutcomeFailed;
  run.LinkOk = true;
  run.Reply = "stale";
  Peer1().written.clear();
  Exchange(run, port1, Bytes({0x00}), Bytes({0x00}));
  EXPECT_EQ(run.Reply, "stale");
  EXPECT_TRUE(Peer1().written.empty());
}

TEST_F(LinkTest, BacklogFailsEveryReceiveUntilPurged) {
  // A device that answers twice: both answers wait before the receive starts.
  Peer1().answer = [](uint8_t b) { return ByteText(2, static_cast<char>(b)); };
  EXPECT_TRUE(SendByte(run, port1, 4));
  EXPECT_EQ(RecvByte(run, port1), -1);
  EXPECT_EQ(Peer1().reads, 0);
  EXPECT_EQ(Peer1().input, Bytes({4, 4}));

  Peer1().answer = EchoEach();
  EXPECT_TRUE(SendByte(run, port1, 7));
  EXPECT_EQ(RecvByte(run, port1), -1);
  Exchange(run, port1, Bytes({9}), Bytes({9}));
  EXPECT_FALSE(run.LinkOk);
  EXPECT_EQ(Peer1().reads, 0);
  EXPECT_EQ(run.ErrLog, "1<4\r1>-1\r1<7\r1>-1\r1<9\r1>-1\r");

  port1.PurgeInput();
  run.LinkOk = true;
  Exchange(run, port1, Bytes({9}), Bytes({9}));
  EXPECT_TRUE(run.LinkOk);
  EXPECT_EQ(run.Reply, Bytes({9}));
}

TEST_F(LinkTest, ReceiveTimeoutTracesMinusOne) {
  const auto before = clock.Ms();
  EXPECT_EQ(RecvByte(run, port1), -1);
  EXPECT_EQ(run.ErrLog, "1>-1\r");
  EXPECT_EQ(clock.Ms() - before, 250);  // the port's read time-out
}

TEST_F(LinkTest, AfterTerminationNothingIsSentReadOrTracedUnlessFinishing) {
  Peer1().answer = EchoEach();
  Peer2().answer = AnswerList({0x01, 0x03, 0x07});
  Peer1().input = Bytes({0x33});
  run.RequestTermination();

  EXPECT_FALSE(SendByte(run, port1, 5));
  EXPECT_EQ(RecvByte(run, port1), -1);
  Exchange(run, port1, Bytes({5}), Bytes({5}));
  EXPECT_EQ(SrvTransact(run, Bytes({0x04}), true), ByteText());
  EXPECT_TRUE(run.LinkOk);
  EXPECT_TRUE(Peer1().written.empty());
  EXPECT_TRUE(Peer2().written.empty());
  EXPECT_EQ(Peer1().reads, 0);
  EXPECT_EQ(Peer1().input, Bytes({0x33}));
  EXPECT_TRUE(run.ErrLog.empty());

  // The closing server restore works on after Cancel.
  run.Finishing = true;
  EXPECT_EQ(RecvByte(run, port1), 0x33);
  EXPECT_TRUE(SendByte(run, port1, 5));
  EXPECT_EQ(SrvTransact(run, Bytes({0x04}), true), Bytes({0x07}));
  EXPECT_EQ(run.ErrLog.substr(0, 10), "1>51\r1<5\r2");
}

TEST_F(LinkTest, TerminationDuringPollingFailsTheTransaction) {
  // Cancel is pressed while the first poll byte goes out.
  Peer2().answer = [this, n = 0](uint8_t) mutable {
    const int answers[] = {0x01, 0x03, 0x42, 0x12};
    if (n == 3) run.RequestTermination();
    return n < 4 ? ByteText(1, static_cast<char>(answers[n++])) : ByteText();
  };
  EXPECT_EQ(SrvTransact(run, Bytes({0x00}), true), ByteText());
  EXPECT_FALSE(run.LinkOk);
  EXPECT_EQ(Peer2().written, Bytes({0x41, 0x00, 0x84, 0xC2}));
}

TEST_F(LinkTest, RefusedWriteIsMarkedAndFailsTheExchange) {
  Peer1().failWrites = true;
  EXPECT_FALSE(SendByte(run, port1, 5));
  EXPECT_EQ(run.ErrLog, "!1<5\r");

  run.ErrLog.clear();
  Exchange(run, port1, Bytes({0x04, 0x39}), ByteText());
  EXPECT_FALSE(run.LinkOk);
  EXPECT_EQ(run.ErrLog, "!1<4\r");

  // A closed port refuses as well, and a receive on it fails quietly.
  port2.Close();
  run.ErrLog.clear();
  EXPECT_FALSE(SendByte(run, port2, 0));
  EXPECT_EQ(RecvByte(run, port2), -1);
  EXPECT_EQ(run.ErrLog, "!2<0\r2>-1\r");
}

TEST_F(LinkTest, ReleasePortClosesOnlyWhatTheWorkerHolds) {
  port2.SetTag(1 | kTagHeldOpen);
  ReleasePort(port2);
  EXPECT_FALSE(port2.Active());
  EXPECT_EQ(port2.Tag(), 1);
  EXPECT_EQ(TraceDigit(port2), '2');

  ReleasePort(port1);  // not marked: left alone
  EXPECT_TRUE(port1.Active());
  EXPECT_EQ(TraceDigit(port1), '1');
}

}  // namespace
