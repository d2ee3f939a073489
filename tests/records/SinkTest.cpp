// The front ends' record sink: a record is on disk when Put returns, a run never waits long for
// the store, and a record that cannot be delivered now waits in the spool with one message
// and arrives with the next delivery that succeeds, in this run or the next.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "RecordsTestUtil.h"
#include "records/RecordStore.h"
#include "records/Spool.h"
#include "records/StoreSink.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

TStoreSinkOptions Options(const std::string& location, const std::string& spool,
                          bool bench = false) {
  TStoreSinkOptions o;
  o.Location = location;
  o.SpoolFolder = spool;
  o.Bench = bench;
  return o;
}

TTuningRecord Rec(const std::string& uid) {
  return SampleRecord(uid, "00C0FFEE", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z");
}

std::vector<std::string> StoredUids(const std::string& location) {
  std::vector<std::string> uids;
  OpenRecordStore(location, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
    uids.push_back(r.Uid);
  });
  return uids;
}

bool OneMessageSaysNotYetStored(const std::vector<std::string>& messages) {
  return messages.size() == 1 && messages[0].rfind("Record not yet stored: ", 0) == 0;
}

TEST(Sink, AStoreThatCannotBeOpenedKeepsRecordsInTheSpoolUntilItCan) {
  TScratchDir dir;
  const std::string location = dir.Path("later/records.db");
  TStoreSink sink(Options(location, dir.Path("records.spool")));
  // The front end hears of records that reached the store, not of those that wait.
  std::atomic<int> written{0};
  sink.SetWrittenHandler([&] { ++written; });
  EXPECT_EQ(sink.Location(), location);
  sink.Put(Rec("r1"));
  EXPECT_FALSE(sink.WaitDelivered(seconds(5)));
  EXPECT_EQ(written, 0);
  const auto messages = sink.TakeMessages();
  EXPECT_TRUE(OneMessageSaysNotYetStored(messages)) << (messages.empty() ? "" : messages[0]);
  EXPECT_NE(messages.at(0).find("unable to open database file"), std::string::npos);
  EXPECT_NE(messages.at(0).find("1 record waits in " + dir.Path("records.spool") + "/)"),
            std::string::npos) << messages[0];
  EXPECT_EQ(sink.Waiting(), 1);

  fs::create_directories(dir.Path("later"));
  sink.Put(Rec("r2"));
  EXPECT_TRUE(sink.WaitDelivered(seconds(5)));
  EXPECT_TRUE(sink.TakeMessages().empty());
  EXPECT_EQ(written, 2);
  EXPECT_EQ(StoredUids(location), (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(sink.Waiting(), 0);
}

TEST(Sink, ARecordIsOnDiskWhenPutReturnsAndALockedStoreDoesNotHoldTheRunUp) {
  TScratchDir dir;
  const std::string location = dir.Path("busy.db");
  { OpenRecordStore(location, TStoreOpen::kCreate)->Add(Rec("before")); }
  // Another process holds the write lock for a while.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(location.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  {
    TStoreSink sink(Options(location, dir.Path("s.spool")));
    auto start = steady_clock::now();
    sink.Put(Rec("r1"));
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(sink.Waiting(), 1);
    // The lookup has a connection of its own: it answers while the delivery waits for the lock.
    start = steady_clock::now();
    const TTunedBefore looked = sink.LookUpTuned("00C0FFEE");
    EXPECT_LT(steady_clock::now() - start, milliseconds(200));
    EXPECT_TRUE(looked.Answered);
    ASSERT_TRUE(looked.Record);
    EXPECT_EQ(looked.Record->Uid, "r1");  // this run's, before the store has it
    // The run ends while the lock is still held: the record stays in the spool.
  }
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // The next run's sink delivers it before anything else.
  TStoreSink next(Options(location, dir.Path("s.spool")));
  EXPECT_TRUE(next.WaitDelivered(seconds(5)));
  EXPECT_EQ(StoredUids(location), (std::vector<std::string>{"before", "r1"}));
}

TEST(Sink, APostgresServerThatGoesAwayLosesNothing) {
  TPgServer& server = SharedPgServer();
  const std::string location = server.NewDatabase("goes_away");
  TScratchDir dir;
  const std::string spool = dir.Path("line.spool");
  TStoreSink sink(Options(location, spool));
  sink.Put(Rec("r1"));
  EXPECT_TRUE(sink.WaitDelivered(seconds(5)));
  EXPECT_TRUE(sink.TakeMessages().empty());

  server.Stop();
  sink.Put(Rec("r2"));
  EXPECT_FALSE(sink.WaitDelivered(seconds(5)));
  const auto messages = sink.TakeMessages();
  EXPECT_TRUE(OneMessageSaysNotYetStored(messages)) << ::testing::PrintToString(messages);
  EXPECT_EQ(sink.Waiting(), 1);
  // Looking up while the server is away says so at once and does not stop anything.
  const auto start = steady_clock::now();
  const TTunedBefore looked = sink.LookUpTuned("0000BEEF");
  EXPECT_LT(steady_clock::now() - start, milliseconds(200));
  EXPECT_FALSE(looked.Answered);
  EXPECT_FALSE(looked.Record);

  server.Start();
  sink.Put(Rec("r3"));
  EXPECT_TRUE(sink.WaitDelivered(seconds(5)));
  EXPECT_TRUE(sink.TakeMessages().empty());
  EXPECT_EQ(StoredUids(location), (std::vector<std::string>{"r1", "r2", "r3"}));
  EXPECT_EQ(sink.Waiting(), 0);
  EXPECT_EQ(sink.LatestCompleted("00C0FFEE")->Uid, "r3");
}

TEST(Sink, BenchRecordsAreMarkedAndOnlyABenchRunSeesThem) {
  TScratchDir dir;
  const std::string location = dir.Path("r.db");
  {
    TStoreSink bench(Options(location, dir.Path("s"), true));
    bench.Put(Rec("b1"));
    EXPECT_TRUE(bench.WaitDelivered(seconds(5)));
    EXPECT_EQ(bench.LatestCompleted("00c0ffee")->Uid, "b1");
  }
  TStoreSink real(Options(location, dir.Path("s")));
  EXPECT_FALSE(real.LatestCompleted("00C0FFEE"));
  EXPECT_TRUE(OpenRecordStore(location, TStoreOpen::kExisting)->Get(1)->Bench);
}

}  // namespace
