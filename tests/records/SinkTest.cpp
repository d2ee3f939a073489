// The front ends' record sink: a run never waits long for the store, a record that cannot be
// written is spooled with one message and arrives with the next write that succeeds.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "RecordsTestUtil.h"
#include "records/RecordStore.h"
#include "records/StoreSink.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

TStoreSinkOptions Options(const std::string& location, const std::string& spool,
                          bool bench = false) {
  TStoreSinkOptions o;
  o.Location = location;
  o.SpoolPath = spool;
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

bool OneMessageSaysNotSaved(const std::vector<std::string>& messages) {
  return messages.size() == 1 && messages[0].rfind("Record not saved: ", 0) == 0;
}

TEST(Sink, AStoreThatCannotBeOpenedSpoolsUntilItCan) {
  TScratchDir dir;
  const std::string location = dir.Path("later/records.db");
  TStoreSink sink(Options(location, dir.Path("records.spool")));
  // The front end hears of records that reached the store, not of spooled ones.
  std::atomic<int> written{0};
  sink.SetWrittenHandler([&] { ++written; });
  EXPECT_EQ(sink.Location(), location);
  sink.Put(Rec("r1"));
  sink.Flush();
  EXPECT_EQ(written, 0);
  const auto messages = sink.TakeMessages();
  EXPECT_TRUE(OneMessageSaysNotSaved(messages)) << (messages.empty() ? "" : messages[0]);
  EXPECT_NE(messages.at(0).find("unable to open database file"), std::string::npos);
  EXPECT_EQ(SpoolCount(dir.Path("records.spool")), 1);

  fs::create_directories(dir.Path("later"));
  sink.Put(Rec("r2"));
  sink.Flush();
  EXPECT_TRUE(sink.TakeMessages().empty());
  EXPECT_EQ(written, 1);
  EXPECT_EQ(StoredUids(location), (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(SpoolCount(dir.Path("records.spool")), 0);
}

TEST(Sink, ABusyStoreDoesNotHoldTheRunUp) {
  TScratchDir dir;
  const std::string location = dir.Path("busy.db");
  { OpenRecordStore(location, TStoreOpen::kCreate); }
  // Another process holds the write lock for a while.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(location.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

  TStoreSink sink(Options(location, dir.Path("s.spool")));
  const auto start = steady_clock::now();
  sink.Put(Rec("r1"));
  EXPECT_LT(steady_clock::now() - start, milliseconds(500));

  // The lock goes within the busy time-out: the record is written, nothing is spooled.
  std::this_thread::sleep_for(milliseconds(200));
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  sink.Flush();
  EXPECT_TRUE(sink.TakeMessages().empty());
  EXPECT_EQ(StoredUids(location), std::vector<std::string>{"r1"});
}

TEST(Sink, APostgresServerThatGoesAwayLosesNothing) {
  TPgServer& server = SharedPgServer();
  const std::string location = server.NewDatabase("goes_away");
  TScratchDir dir;
  const std::string spool = dir.Path("line.spool");
  TStoreSink sink(Options(location, spool));
  sink.Put(Rec("r1"));
  sink.Flush();
  EXPECT_TRUE(sink.TakeMessages().empty());

  server.Stop();
  sink.Put(Rec("r2"));
  sink.Flush();
  EXPECT_TRUE(OneMessageSaysNotSaved(sink.TakeMessages()));
  EXPECT_EQ(SpoolCount(spool), 1);
  // Looking up while the server is away answers nothing and does not stop anything.
  EXPECT_FALSE(sink.LatestCompleted("00C0FFEE"));

  server.Start();
  sink.Put(Rec("r3"));
  sink.Flush();
  EXPECT_TRUE(sink.TakeMessages().empty());
  EXPECT_EQ(StoredUids(location), (std::vector<std::string>{"r1", "r2", "r3"}));
  EXPECT_EQ(SpoolCount(spool), 0);
  EXPECT_EQ(sink.LatestCompleted("00C0FFEE")->Uid, "r3");
}

TEST(Sink, BenchRecordsAreMarkedAndOnlyABenchRunSeesThem) {
  TScratchDir dir;
  const std::string location = dir.Path("r.db");
  {
    TStoreSink bench(Options(location, dir.Path("s"), true));
    bench.Put(Rec("b1"));
    bench.Flush();
    EXPECT_EQ(bench.LatestCompleted("00c0ffee")->Uid, "b1");
  }
  TStoreSink real(Options(location, dir.Path("s")));
  EXPECT_FALSE(real.LatestCompleted("00C0FFEE"));
  EXPECT_TRUE(OpenRecordStore(location, TStoreOpen::kExisting)->Get(1)->Bench);
}

TEST(Spool, LinesThatAreNotRecordsStayAndTheRestIsSent) {
  TScratchDir dir;
  const std::string spool = dir.Path("s.spool");
  SpoolAppend(spool, Rec("r1"));
  { std::ofstream(spool, std::ios::app) << "{\"cut short\n"; }
  SpoolAppend(spool, Rec("r2"));
  EXPECT_EQ(SpoolCount(spool), 2);

  // A record travels byte for byte.
  std::vector<TTuningRecord> sent;
  EXPECT_EQ(SpoolSend(spool, [&](const TTuningRecord& r) { sent.push_back(r); }), 2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], Rec("r1"));
  std::ifstream in(spool);
  std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rest, "{\"cut short\n");

  // A store that refuses keeps the record and those after it.
  SpoolAppend(spool, Rec("r3"));
  SpoolAppend(spool, Rec("r4"));
  int tries = 0;
  EXPECT_THROW(SpoolSend(spool, [&](const TTuningRecord&) {
                 if (++tries == 1) throw ERecordError("refused");
               }),
               ERecordError);
  EXPECT_EQ(SpoolCount(spool), 2);
}

}  // namespace
