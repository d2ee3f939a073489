// The DSR wait in its three uses (attach, back after a reset, unplugged), on a port that reads
// its lines as they are and on one whose news of them may be late.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "link/DsrWait.h"
#include "run/RunRecord.h"
#include "serial/ComPort.h"
#include "tests/link/ScriptedPort.h"

namespace {

struct TWaitCase {
  const char* name;
  TDsrAwait awaited;
  int lateMs;
  int budget;
  const char* dsr;  // DSR at each sample ('x': the lines cannot be read); the last one holds
  TDsrWaitEnd end;
  int samples;
  int missing;      // calls of the missing hook (at most one)
};

constexpr auto kIn = TDsrAwait::kPluggedIn;
constexpr auto kBack = TDsrAwait::kBack;
constexpr auto kOut = TDsrAwait::kUnplugged;
constexpr auto kSeen = TDsrWaitEnd::kSeen;

// A late port's samples are 50 ms apart from t = 0, so the first one past its 1250 ms lateness
// is the 26th: a state that never changes counts from there, 30 samples in all.
const TWaitCase kCases[] = {
    {"attach: plugged in after two samples", kIn, 0, 0, "0011111", kSeen, 7, 1},
    {"attach: a drop restarts the count", kIn, 0, 0, "1101111111", kSeen, 8, 1},
    {"attach: lines that cannot be read end the wait", kIn, 0, 0, "11x",
     TDsrWaitEnd::kLinesUnreadable, 3, 0},
    {"attach, late port: DSR from before may be stale", kIn, 1250, 0, "1", kSeen, 30, 0},
    {"attach, late port: a missing handheld is news", kIn, 1250, 0, "1110111111", kSeen, 9, 1},
    {"back: five samples in a row", kBack, 0, 20, "1", kSeen, 5, 0},
    {"back: a budget of 4 is never enough", kBack, 0, 4, "1", TDsrWaitEnd::kOutOfBudget, 4, 0},
    {"back: the drop, then up again", kBack, 0, 20, "0001111111", kSeen, 8, 1},
    {"back: lines that cannot be read end the wait at once", kBack, 0, 2500, "11x",
     TDsrWaitEnd::kLinesUnreadable, 3, 0},
    // The drop after the pulse never reported (a server that looked before and after it).
    {"back, late port: stale DSR counts once the lateness passed", kBack, 1250, 20, "1", kSeen,
     30, 0},
    {"back, late port: the drop reported late, then up", kBack, 1250, 20, "1111111100011111",
     kSeen, 16, 1},
    {"back, late port: the budget grows by the lateness only", kBack, 1250, 20, "0",
     TDsrWaitEnd::kOutOfBudget, 45, 1},
    {"unplugged: off five times in a row", kOut, 0, 0, "1100000", kSeen, 7, 1},
    {"unplugged: a port that cannot report its lines has nothing plugged in", kOut, 0, 0, "x",
     kSeen, 5, 0},
    // The handheld may be unplugged (and the next one plugged in) before the wait begins.
    {"unplugged, late port: off from the start counts", kOut, 1250, 0, "0", kSeen, 5, 0},
};

class DsrWaitTest : public testing::Test {
 protected:
  void SetUp() override {
    Peer();  // the scripted port exists from here on
    port.SetDeviceName("SCR1");
    port.Open();
  }
  TScriptedPeer& Peer() { return provider.Peer("SCR1"); }

  TFakeClock clock;
  TScriptedProvider provider{clock};
  TMainFields main;
  TRecordingBridge bridge;
  TRunRecord run{main, bridge, clock};
  TComPort port;
};

TEST_F(DsrWaitTest, ThreeUsesOnPromptAndLatePorts) {
  for (const TWaitCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string dsr = c.dsr;
    Peer().dsr = [dsr](int n) {
      const char line = dsr[std::min(static_cast<size_t>(n), dsr.size() - 1)];
      if (line == 'x') throw EComError(EIO, "Input/output error");
      return line == '1';
    };
    Peer().statusReads = 0;
    Peer().lateMs = c.lateMs;
    int missing = 0;
    const long long t0 = clock.Ms();
    EXPECT_EQ(WaitForDsr(run, port, c.awaited, c.budget, [&] { ++missing; }), c.end);
    EXPECT_EQ(Peer().statusReads, c.samples);
    EXPECT_EQ(missing, c.missing);
    // A sample every 50 ms; none follows one that ended the wait for unreadable lines.
    const bool cutShort = c.end == TDsrWaitEnd::kLinesUnreadable;
    EXPECT_EQ(clock.Ms() - t0, 50LL * (c.samples - (cutShort ? 1 : 0)));
  }
}

// Cancel ends the attach and unplug waits; the reset wait goes on during the closing restore,
// which runs after a termination request.
TEST_F(DsrWaitTest, TerminationEndsTheWaitsExceptTheClosingRestore) {
  for (TDsrAwait awaited : {kIn, kOut, kBack}) {
    TRunRecord r{main, bridge, clock};
    r.Finishing = awaited == kBack;
    Peer().dsr = [&r](int n) {
      if (n == 2) r.RequestTermination();
      return n >= 6;
    };
    Peer().statusReads = 0;
    const TDsrWaitEnd end = WaitForDsr(r, port, awaited, 20);
    if (awaited == kBack) {
      EXPECT_EQ(end, kSeen);
      EXPECT_EQ(Peer().statusReads, 11);
    } else {
      EXPECT_EQ(end, TDsrWaitEnd::kTerminated);
      EXPECT_EQ(Peer().statusReads, 3);
    }
  }
}

}  // namespace
