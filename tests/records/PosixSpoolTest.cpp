// The spool and the sink where POSIX lets a test make the worst happen: a disk that fills up in
// the middle of a record (a file size limit stands in for the full disk), and a PostgreSQL
// server whose processes stop answering on an open connection (SIGSTOP).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "PgServer.h"
#include "RecordsTestUtil.h"
#include "records/RecordStore.h"
#include "records/Spool.h"
#include "records/StoreSink.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

TTuningRecord Rec(const std::string& uid) {
  return SampleRecord(uid, "00C0FFEE", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z");
}

size_t FileCount(const std::string& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

// Files may grow to limit bytes only while it lives.
class TFullDisk {
 public:
  explicit TFullDisk(rlim_t limit) : old_(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit small = saved_;
    small.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~TFullDisk() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_);
  }

 private:
  void (*old_)(int);
  rlimit saved_{};
};

TEST(Spool, AStoreReachedThroughALinkToItsFolderHasTheOneSpool) {
  TScratchDir dir;
  fs::create_directory(dir.Path("real"));
  fs::create_directory_symlink(dir.Path("real"), dir.Path("link"));
  EXPECT_EQ(SpoolFolder(dir.Path("link/x.db"), "/d"), SpoolFolder(dir.Path("real/x.db"), "/d"));
}

TEST(Spool, AFullDiskCostsOnlyTheRecordBeingWrittenAndSaysSo) {
  TScratchDir dir;
  TSpool spool(SpoolFolder(dir.Path("x.db"), dir.Dir()), dir.Path("x.db"));
  spool.Put(Rec("r1"));
  {
    TFullDisk full(300);
    try {
      spool.Put(Rec("r2"));
      ADD_FAILURE() << "a record was taken on a full disk";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("cannot write " + spool.Folder() + "tmp/r2-", 0), 0u)
          << e.what();
      EXPECT_NE(std::string(e.what()).find("File too large"), std::string::npos) << e.what();
    }
  }
  // Nothing half written is left anywhere.
  EXPECT_EQ(FileCount(spool.Folder() + "tmp"), 0u);
  spool.Put(Rec("r3"));
  std::vector<std::string> uids;
  for (const TTuningRecord& r : spool.Waiting()) uids.push_back(r.Uid);
  EXPECT_EQ(uids, (std::vector<std::string>{"r1", "r3"}));
}

TEST(Sink, ARecordTheSpoolCannotTakeGoesStraightToTheStoreOrIsReportedNotKept) {
  TScratchDir dir;
  // A spool that cannot be made: a file stands where its folder would be.
  std::ofstream(dir.Path("blocked")) << "a file";
  TStoreSinkOptions o;
  o.SpoolFolder = dir.Path("blocked/spool/");
  o.DirectPatience = seconds(3);

  o.Location = dir.Path("store.db");
  {
    TStoreSink sink(o);
    sink.Put(Rec("r1"));
    const auto messages = sink.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Record not written to the spool: cannot ", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find("; it went straight to the store"), std::string::npos);
    EXPECT_EQ(sink.Unsaved(), 0);
  }
  std::vector<std::string> stored;
  OpenRecordStore(o.Location, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
    stored.push_back(r.Uid);
  });
  EXPECT_EQ(stored, std::vector<std::string>{"r1"});

  // Nor can the store take it: the device's record is kept nowhere, and the sink says so.
  o.Location = dir.Path("missing/store.db");
  TStoreSink sink(o);
  try {
    sink.Put(Rec("r2"));
    ADD_FAILURE() << "a record kept nowhere passed for kept";
  } catch (const ERecordNotKept& e) {
    EXPECT_NE(std::string(e.what()).find("; the store did not take it either (cannot open " +
                                         o.Location + ": unable to open database file)"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(sink.Unsaved(), 1);
}

// The processes serving the given application on the server's database.
std::vector<int> Backends(const std::string& location) {
  std::vector<int> pids;
  PGconn* c = PQconnectdb(location.c_str());
  PGresult* r =
      PQexec(c, "SELECT pid FROM pg_stat_activity WHERE application_name = 'tptune'");
  for (int i = 0; i < PQntuples(r); ++i) pids.push_back(std::atoi(PQgetvalue(r, i, 0)));
  PQclear(r);
  PQfinish(c);
  return pids;
}

TEST(Sink, AServerThatStopsAnsweringIsNotWaitedForWhenTheProgramEnds) {
  TPgServer& server = SharedPgServer();
  const std::string location = server.NewDatabase("stops_answering");
  TScratchDir dir;
  TStoreSinkOptions o;
  o.Location = location;
  o.SpoolFolder = SpoolFolder(location, dir.Dir());
  auto sink = std::make_unique<TStoreSink>(o);
  sink->Put(Rec("r1"));
  ASSERT_TRUE(sink->WaitDelivered(seconds(5)));
  const std::vector<int> stopped = Backends(location);
  ASSERT_FALSE(stopped.empty());
  for (int pid : stopped) ::kill(pid, SIGSTOP);
  sink->Put(Rec("r2"));
  EXPECT_FALSE(sink->WaitDelivered(milliseconds(500)));
  const auto start = steady_clock::now();
  sink.reset();
  const auto took = steady_clock::now() - start;
  for (int pid : stopped) ::kill(pid, SIGCONT);
  EXPECT_LT(took, seconds(1));
  // What it could not store waits, and goes out with the next program.
  TStoreSink next(o);
  EXPECT_TRUE(next.WaitDelivered(seconds(10)));
  std::vector<std::string> stored;
  OpenRecordStore(location, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
    stored.push_back(r.Uid);
  });
  EXPECT_EQ(stored, (std::vector<std::string>{"r1", "r2"}));
}

}  // namespace
