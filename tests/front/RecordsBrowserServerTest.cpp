// The records browser and a records server that accepts connections and then stays silent: the
// view's thread goes on turning and the state says that the store is not answering.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "front/RecordsBrowser.h"
#include "tests/common/SilentServer.h"
#include "tests/front/RecordsTestView.h"

namespace {

using namespace std::chrono_literals;

TEST(RecordsBrowserServer, SilentServerKeepsTheViewTurningAndSaysSo) {
  TSilentServer server;
  TTestView view;
  TRecordsBrowser b({server.Location()}, view);
  view.Browser = &b;
  b.SetShown(true);
  // While the reading thread waits for the server, every call the view's loop makes (a filter
  // typed, a row asked for, the results taken) comes back at once.
  auto longest = Clock::duration::zero();
  int turns = 0;
  const auto end = Clock::now() + 10s;
  bool said = false;
  while (!said && Clock::now() < end) {
    view.WaitWake(10ms);
    const auto start = Clock::now();
    ++turns;
    TRecordFilter f;
    f.Station = "st" + std::to_string(turns % 3);
    b.SetFilter(f);
    b.RowAt(0);
    b.Pump();
    said = b.State().NotAnswering;
    longest = std::max(longest, Clock::now() - start);
  }
  ASSERT_TRUE(said) << b.State().Status;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count(), 100);
  EXPECT_NE(b.State().Status.find("not answering"), std::string::npos) << b.State().Status;
  EXPECT_TRUE(b.Busy());
  // The server goes away: the reading ends with the reason, and the state no longer says that
  // the store is silent.
  server.Close();
  ASSERT_TRUE(view.TurnUntil([&] { return !b.State().NotAnswering && !b.Busy(); }, 30s))
      << b.State().Status;
  EXPECT_EQ(b.State().Status.rfind("No records yet (", 0), 0u) << b.State().Status;
}

}  // namespace
