// The record store: the same cases against SQLite in memory, a SQLite file and a real
// PostgreSQL server started by the tests.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include "RecordsTestUtil.h"
#include "records/Spool.h"
#include "records/RecordStore.h"
#include "records/Reports.h"

namespace fs = std::filesystem;

namespace {

enum class TBackEnd { kMemory, kFile, kPostgres };

std::string Name(const ::testing::TestParamInfo<TBackEnd>& info) {
  switch (info.param) {
    case TBackEnd::kMemory:
      return "SqliteMemory";
    case TBackEnd::kFile:
      return "SqliteFile";
    default:
      return "Postgres";
  }
}

class Store : public ::testing::TestWithParam<TBackEnd> {
 protected:
  // A fresh, empty store location of the case's back end.
  std::string FreshLocation() {
    switch (GetParam()) {
      case TBackEnd::kMemory:
        return ":memory:";
      case TBackEnd::kFile:
        return dir_.Path("store" + std::to_string(++n_) + ".db");
      default: {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? std::tolower(ch) : '_';
        return SharedPgServer().NewDatabase("t_" + name + "_" + std::to_string(++n_));
      }
    }
  }
  std::unique_ptr<TRecordStore> Fresh() { return OpenRecordStore(FreshLocation(), TStoreOpen::kCreate); }

  TScratchDir dir_;
  int n_ = 0;
};

// Changes a SQLite file behind the store's back.
int SqlExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str(), &db);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}


TEST_P(Store, ARecordReadsBackAsItWasWritten) {
  auto store = Fresh();
  EXPECT_EQ(store->SchemaVersion(), kRecordSchemaVersion);
  TTuningRecord r = SampleRecord("u1", "00C0FFEE", -3, kRecordFailed, "2026-12-10T10:00:00.000Z");
  r.PcToolComp = -128;
  r.AnalysisOnly = true;
  r.Bench = true;
  r.OffsetKhz = -1.35;
  const int64_t id = store->Add(r);
  EXPECT_GT(id, 0);
  r.Id = id;

  auto back = store->Get(id);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, r);
  EXPECT_EQ(back->Trace.size(), r.Trace.size());

  // The list leaves log and trace out; everything else is there.
  std::vector<TTuningRecord> listed;
  store->List({}, [&](const TTuningRecord& x) { listed.push_back(x); });
  ASSERT_EQ(listed.size(), 1u);
  TTuningRecord withoutLogs = r;
  withoutLogs.Log.clear();
  withoutLogs.Trace.clear();
  EXPECT_EQ(listed[0], withoutLogs);
  EXPECT_FALSE(store->Get(id + 1));

  // A record without measurements keeps its empty values empty.
  TTuningRecord bare;
  bare.Uid = "u2";
  bare.StartedAt = bare.EndedAt = "2026-12-10T11:00:00.000Z";
  bare.Outcome = kRecordAborted;
  bare.Id = store->Add(bare);
  EXPECT_EQ(store->Get(bare.Id), bare);
}

// A file name in Latin-1 or a device reply with a NUL in a log line: every store takes the
// record, with those bytes escaped.
TEST_P(Store, BytesThatAreNotTextAreKeptEscaped) {
  auto store = Fresh();
  TTuningRecord r = SampleRecord("latin1", "00000001", 1, kRecordFailed, "2026-12-10T10:00:00.000Z");
  r.FailureReason = "Error reading file(s):\r\n Pr\xfc" "fung.tpf";
  r.Log = std::string("reply \0\xff\n", 9);
  r.Station = "st\xe9";
  const TTuningRecord back = *store->Get(store->Add(r));
  EXPECT_EQ(back.FailureReason, "Error reading file(s):\r\n Pr\\xfc" "fung.tpf");
  EXPECT_EQ(back.Log, "reply \\x00\\xff\n");
  EXPECT_EQ(back.Station, "st\\xe9");
  EXPECT_EQ(back.Trace, r.Trace);  // binary, byte for byte
}

TEST_P(Store, ARecordSentTwiceIsKeptOnce) {
  auto store = Fresh();
  const TTuningRecord r = SampleRecord("same", "00000001", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z");
  const int64_t first = store->Add(r);
  EXPECT_EQ(store->Add(r), first);
  EXPECT_EQ(Uids(*store, {}).size(), 1u);
}

TEST_P(Store, FiltersChooseTheRecordsNewestFirst) {
  auto store = Fresh();
  struct {
    const char* uid;
    const char* mac;
    const char* outcome;
    const char* started;
    const char* station;
    const char* golden;  // server identity when the server was the reference, "" for handheld
    bool bench;
  } rows[] = {
      {"a", "00C0FFEE", kRecordFailed, "2026-12-01T08:00:00.000Z", "st1", "SRV_A", false},
      {"b", "00C0FFEE", kRecordCompleted, "2026-12-02T08:00:00.000Z", "st1", "SRV_A", false},
      {"c", "00000042", kRecordCompleted, "2026-12-03T08:00:00.000Z", "st2", "SRV_B", false},
      {"d", "00000042", kRecordAborted, "2026-12-04T08:00:00.000Z", "st2", "", false},
      {"e", "00C0FFEE", kRecordCompleted, "2026-12-05T08:00:00.000Z", "st1", "SRV_A", true},
  };
  std::vector<TTuningRecord> written;
  for (const auto& row : rows) {
    TTuningRecord r = SampleRecord(row.uid, row.mac, 2, row.outcome, row.started);
    r.Station = row.station;
    r.Bench = row.bench;
    if (*row.golden) {
      r.ServerIdentity = row.golden;
    } else {
      r.Golden = "handheld";
      r.ServerIdentity = "SRV_A";
    }
    if (std::string(row.uid) == "c") r.DeviceKind = "server";
    store->Add(r);
    written.push_back(r);
  }
  auto with = [](auto set) {
    TRecordFilter f;
    set(f);
    return f;
  };
  struct Case {
    TRecordFilter filter;
    std::vector<std::string> uids;
  } cases[] = {
      {{}, {"e", "d", "c", "b", "a"}},
      {with([](auto& f) { f.Mac = "0xc0ffee"; }), {"e", "b", "a"}},
      {with([](auto& f) { f.Mac = "00C0FFEE", f.IncludeBench = false; }), {"b", "a"}},
      {with([](auto& f) { f.From = "2026-12-02", f.To = "2026-12-04"; }), {"c", "b"}},
      {with([](auto& f) { f.From = "2026-12-04T08:00:00.000Z"; }), {"e", "d"}},
      // Times compare as instants, whatever their form.
      {with([](auto& f) { f.From = "2026-12-04 08:00"; }), {"e", "d"}},
      {with([](auto& f) { f.From = "2026-12-04T08:00:00.001Z"; }), {"e"}},
      {with([](auto& f) { f.From = "2026-12-04T13:30+05:30"; }), {"e", "d"}},
      {with([](auto& f) { f.To = "2026-12-02T03:00-05:00"; }), {"a"}},
      {with([](auto& f) { f.To = "2026-12-02T03:00:00.001-05:00"; }), {"b", "a"}},
      {with([](auto& f) { f.Outcome = "completed"; }), {"e", "c", "b"}},
      {with([](auto& f) { f.Station = "st2"; }), {"d", "c"}},
      {with([](auto& f) { f.GoldenServer = "SRV_A"; }), {"e", "b", "a"}},
      {with([](auto& f) { f.Mac = "42", f.Outcome = "completed"; }), {"c"}},
      {with([](auto& f) { f.Limit = 2; }), {"e", "d"}},
      {with([](auto& f) { f.Mac = "not a mac"; }), {}},
      {with([](auto& f) { f.DeviceKind = "server"; }), {"c"}},
      {with([](auto& f) { f.To = "2026-12-02T08:00:00.000Z"; }), {"a"}},
      {with([](auto& f) { f.GoldenServer = "SRV_A", f.Station = "st1", f.IncludeBench = false; }),
       {"b", "a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter.Mac + "|" + c.filter.From + "|" + c.filter.To + "|" + c.filter.Outcome);
    EXPECT_EQ(Uids(*store, c.filter), c.uids);
    // The rule in memory (the Records window's charts use it) takes what the query takes.
    if (c.filter.Limit == 0) {
      std::vector<std::string> admitted;
      for (auto r = written.rbegin(); r != written.rend(); ++r)
        if (RecordFilterAdmits(c.filter, *r)) admitted.push_back(r->Uid);
      EXPECT_EQ(admitted, c.uids);
    }
  }

  // The "already tuned" lookup: the latest completed record, bench ones only when asked.
  auto latest = store->LatestCompleted("00C0FFEE", false);
  ASSERT_TRUE(latest);
  EXPECT_EQ(latest->Uid, "b");
  EXPECT_EQ(store->LatestCompleted("00C0FFEE", true)->Uid, "e");
  EXPECT_FALSE(store->LatestCompleted("12345678", true));
  EXPECT_FALSE(store->LatestCompleted("", true));
}

TEST_P(Store, StatisticsCountYieldAndSpreadOfTheOffsets) {
  auto store = Fresh();
  const int offsets[] = {-2, 0, 0, 1, 3};
  int n = 0;
  for (int offset : offsets) {
    const std::string i = std::to_string(++n);
    store->Add(SampleRecord("c" + i, "0000000" + i, offset, kRecordCompleted,
                            "2026-12-10T10:00:0" + i + ".000Z"));
  }
  store->Add(SampleRecord("f", "000000AA", 40, kRecordFailed, "2026-12-10T11:00:00.000Z"));
  store->Add(SampleRecord("x", "000000AB", 40, kRecordAborted, "2026-12-10T11:00:01.000Z"));
  TTuningRecord bench = SampleRecord("b", "000000AC", 50, kRecordCompleted, "2026-12-10T12:00:00.000Z");
  bench.Bench = true;
  store->Add(bench);

  TRecordFilter factory;
  factory.IncludeBench = false;
  const TRecordStats s = store->Stats(factory);
  EXPECT_EQ(s.Count, 7);
  EXPECT_EQ(s.Completed, 5);
  EXPECT_EQ(s.Failed, 1);
  EXPECT_EQ(s.Aborted, 1);
  EXPECT_DOUBLE_EQ(s.Yield(), 5.0 / 6.0);
  EXPECT_EQ(s.Measured, 5);
  // Steps -2 0 0 1 3: mean 0.4, population variance (4+0+0+1+9)/5 - 0.16 = 2.64.
  EXPECT_NEAR(s.MeanPpm, 0.4 / 1.92955, 1e-9);
  EXPECT_NEAR(s.StdDevPpm, std::sqrt(2.64) / 1.92955, 1e-9);
  EXPECT_NEAR(s.MinPpm, -2 / 1.92955, 1e-9);
  EXPECT_NEAR(s.MaxPpm, 3 / 1.92955, 1e-9);
  EXPECT_EQ(s.OffsetCounts, (std::vector<std::pair<int, int64_t>>{{-2, 1}, {0, 2}, {1, 1}, {3, 1}}));

  const TRecordStats all = store->Stats({});
  EXPECT_EQ(all.Count, 8);
  EXPECT_EQ(all.Measured, 6);
  EXPECT_NEAR(all.MaxPpm, 50 / 1.92955, 1e-9);

  TRecordFilter none;
  none.Station = "nowhere";
  const TRecordStats empty = store->Stats(none);
  EXPECT_EQ(empty.Count, 0);
  EXPECT_EQ(empty.Measured, 0);
  EXPECT_EQ(empty.Yield(), 0.0);
}

TEST_P(Store, ExportGivesEveryRecordWholeInTheOrderWritten) {
  auto store = Fresh();
  std::vector<TTuningRecord> written;
  for (int i = 0; i < 5; ++i) {
    TTuningRecord r = SampleRecord("e" + std::to_string(i), "0000000" + std::to_string(i), i,
                                   kRecordCompleted, "2026-12-1" + std::to_string(5 - i) + "T00:00:00.000Z");
    r.Id = store->Add(r);
    written.push_back(r);
  }
  std::vector<TTuningRecord> exported;
  store->Export({}, [&](const TTuningRecord& r) { exported.push_back(r); });
  EXPECT_EQ(exported, written);
}

// The window's table reads pages of the list and its charts the few columns they need.
TEST_P(Store, PagesCountsAndPointsFollowTheFilter) {
  auto store = Fresh();
  for (int i = 0; i < 12; ++i) {
    TTuningRecord r = SampleRecord("p" + std::to_string(i), "0000000" + std::to_string(i % 3),
                                   i - 6, i % 4 == 3 ? kRecordFailed : kRecordCompleted,
                                   "2026-12-" + std::to_string(10 + i) + "T08:00:00.000Z");
    r.Station = i < 8 ? "st1" : "st2";
    r.FactoryComp = i;
    r.NewCompSteps = 2 * i;
    store->Add(r);
  }
  auto with = [](auto set) {
    TRecordFilter f;
    set(f);
    return f;
  };
  const TRecordFilter filters[] = {
      {},
      with([](auto& f) { f.Outcome = "completed"; }),
      with([](auto& f) { f.Station = "st2"; }),
      with([](auto& f) { f.Mac = "1", f.From = "2026-12-12"; }),
      with([](auto& f) { f.Station = "nowhere"; }),
  };
  for (const TRecordFilter& filter : filters) {
    const std::vector<std::string> all = Uids(*store, filter);
    EXPECT_EQ(store->Count(filter), static_cast<int64_t>(all.size())) << filter.Station;
    // Pages of 5 put together give the list; a page beyond the end is empty.
    std::vector<std::string> paged;
    for (int64_t offset = 0; offset < 15; offset += 5) {
      size_t before = paged.size();
      store->Page(filter, offset, 5, [&](const TTuningRecord& r) {
        EXPECT_TRUE(r.Log.empty() && r.Trace.empty());
        paged.push_back(r.Uid);
      });
      EXPECT_LE(paged.size() - before, 5u);
    }
    EXPECT_EQ(paged, all) << filter.Station;
    // Points: oldest first, the same records.
    std::vector<int64_t> ids;
    store->Points(filter, [&](const TRecordPoint& p) { ids.push_back(p.Id); });
    std::vector<int64_t> listed;
    store->List(filter, [&](const TTuningRecord& r) { listed.insert(listed.begin(), r.Id); });
    EXPECT_EQ(ids, listed) << filter.Station;
  }
  std::vector<std::string> middle;
  store->Page({}, 3, 2, [&](const TTuningRecord& r) { middle.push_back(r.Uid); });
  EXPECT_EQ(middle, (std::vector<std::string>{"p8", "p7"}));

  // A point carries what the drift rule and the trend read.
  std::vector<TRecordPoint> points;
  store->Points(with([](auto& f) { f.Outcome = "failed"; }),
                [&](const TRecordPoint& p) { points.push_back(p); });
  ASSERT_EQ(points.size(), 3u);
  EXPECT_EQ(points[0].StartedAt, "2026-12-13T08:00:00.000Z");
  EXPECT_EQ(points[0].Outcome, kRecordFailed);
  EXPECT_EQ(points[0].OffsetSteps, -3);
  EXPECT_EQ(points[0].FactoryComp, 3);
  EXPECT_EQ(points[0].NewCompSteps, 6);
  const TTuningRecord whole = *store->Get(points[0].Id);
  EXPECT_EQ(points[0].ServerIdentity, whole.ServerIdentity);
  EXPECT_EQ(points[0].Golden, whole.Golden);
  EXPECT_EQ(points[0].DeviceKind, whole.DeviceKind);
  EXPECT_EQ(points[0].AnalysisOnly, whole.AnalysisOnly);
  EXPECT_EQ(points[0].Mac, "00000000");
}

INSTANTIATE_TEST_SUITE_P(BackEnds, Store,
                         ::testing::Values(TBackEnd::kMemory, TBackEnd::kFile, TBackEnd::kPostgres),
                         Name);

// ---- Opening: what is not a usable store ----

TEST(StoreOpening, UnusableFilesGiveAClearErrorAndStayAsTheyWere) {
  TScratchDir dir;
  const std::string text = dir.Path("notes.db");
  std::ofstream(text) << "these are not records, just some text that is long enough\n";

  struct Case {
    std::string location;
    TStoreOpen mode;
    std::string message;  // a part of the error's text
  } cases[] = {
      {text, TStoreOpen::kCreate, "file is not a database"},
      {text, TStoreOpen::kExisting, "file is not a database"},
      {dir.Path("missing.db"), TStoreOpen::kExisting, "unable to open database file"},
      {dir.Path("no/such/folder/x.db"), TStoreOpen::kCreate, "unable to open database file"},
      {"", TStoreOpen::kCreate, "no records location"},
  };
  for (const Case& c : cases) {
    try {
      OpenRecordStore(c.location, c.mode);
      ADD_FAILURE() << c.location << " opened";
    } catch (const ERecordError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(fs::exists(dir.Path("missing.db")));
  std::ifstream in(text);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "these are not records, just some text that is long enough");
}

// A folder whose name is not ASCII (a user's own data folder, say) holds the store and its
// spool under that very name; the program's names are UTF-8.
TEST(StoreOpening, AStoreInAFolderNamedBeyondAsciiIsKeptThere) {
  TScratchDir dir;
  const fs::path folder = fs::path(dir.Dir()) / fs::path(u8"J\u00f6rg M\u00fcller");
  ASSERT_TRUE(fs::create_directory(folder));
  const std::u8string name = folder.u8string();
  const std::string dataDir(name.begin(), name.end());
  const std::string location = dataDir + "/tptune.db";
  {
    auto store = OpenRecordStore(location, TStoreOpen::kCreate);
    store->Add(SampleRecord("kept", "00000001", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z"));
  }
  TSpool spool(SpoolFolder(location, dataDir), location);
  spool.Put(SampleRecord("waits", "00000002", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z"));
  EXPECT_TRUE(fs::exists(folder / "tptune.db"));
  EXPECT_TRUE(fs::is_directory(folder / "spool"));
  ASSERT_EQ(spool.Waiting().size(), 1u);
  EXPECT_EQ(spool.Deliver(*OpenRecordStore(location, TStoreOpen::kCreate)).Delivered, 1);
  EXPECT_EQ(spool.Waiting().size(), 0u);
  EXPECT_EQ(Uids(*OpenRecordStore(location, TStoreOpen::kExisting), {}),
            (std::vector<std::string>{"waits", "kept"}));  // newest first
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(fs::path(dir.Dir())))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{folder.filename().string()});
}

TEST(StoreOpening, AnEmptyDatabaseHoldsNoRecordsForTheRecordsProgram) {
  TScratchDir dir;
  const std::string path = dir.Path("empty.db");
  { OpenRecordStore(path, TStoreOpen::kCreate); }
  // A store that exists with its schema opens for reading.
  EXPECT_EQ(OpenRecordStore(path, TStoreOpen::kExisting)->SchemaVersion(), kRecordSchemaVersion);
  // A database of something else does not.
  const std::string other = dir.Path("other.db");
  {
    auto store = OpenRecordStore(other, TStoreOpen::kCreate);
  }
  fs::remove(other);
  ASSERT_EQ(SqlExec(other, "CREATE TABLE t (x INTEGER)"), SQLITE_OK);
  try {
    OpenRecordStore(other, TStoreOpen::kExisting);
    ADD_FAILURE() << "opened";
  } catch (const ERecordError& e) {
    EXPECT_NE(std::string(e.what()).find("holds no production records"), std::string::npos) << e.what();
  }
}

TEST(StoreOpening, ASchemaFromANewerProgramIsRefusedAndLeftAlone) {
  TScratchDir dir;
  const std::string path = dir.Path("newer.db");
  {
    auto store = OpenRecordStore(path, TStoreOpen::kCreate);
    store->Add(SampleRecord("kept", "00000001", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z"));
  }
  ASSERT_EQ(SqlExec(path, "UPDATE schema_version SET version = 99"), SQLITE_OK);
  for (TStoreOpen mode : {TStoreOpen::kCreate, TStoreOpen::kExisting}) {
    try {
      OpenRecordStore(path, mode);
      ADD_FAILURE() << "opened";
    } catch (const ERecordError& e) {
      EXPECT_NE(std::string(e.what()).find("schema version 99, newer than this program's (" +
                                           std::to_string(kRecordSchemaVersion) + ")"),
                std::string::npos)
          << e.what();
    }
  }
  ASSERT_EQ(SqlExec(path, "UPDATE schema_version SET version = " +
                               std::to_string(kRecordSchemaVersion)),
            SQLITE_OK);
  EXPECT_EQ(Uids(*OpenRecordStore(path, TStoreOpen::kExisting), {}), std::vector<std::string>{"kept"});
}

// A store of the first schema (without the charts' index) is read as it is, and brought up to
// date, its records kept, only when a program opens it to write.
TEST(StoreOpening, AStoreOfTheFirstSchemaIsUpgradedOnlyForWriting) {
  TScratchDir dir;
  const std::string path = dir.Path("first.db");
  {
    auto store = OpenRecordStore(path, TStoreOpen::kCreate);
    store->Add(SampleRecord("old", "00000001", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z"));
  }
  ASSERT_EQ(SqlExec(path, "DROP INDEX tuning_record_chart; DROP INDEX tuning_record_run;"
                          "ALTER TABLE tuning_record DROP COLUMN run_id;"
                          "ALTER TABLE tuning_record DROP COLUMN attempt;"
                          "ALTER TABLE tuning_record DROP COLUMN operator;"
                          "ALTER TABLE tuning_record DROP COLUMN work_order;"
                          "ALTER TABLE tuning_record DROP COLUMN limits;"
                          "UPDATE schema_version SET version = 1"),
            SQLITE_OK);
  auto reader = OpenRecordStore(path, TStoreOpen::kExisting);
  EXPECT_EQ(Uids(*reader, {}), std::vector<std::string>{"old"});
  EXPECT_EQ(reader->SchemaVersion(), 1);
  // What the first schema lacks reads as its default.
  const TTuningRecord old = *reader->Get(1);
  EXPECT_EQ(old.Attempt, 1);
  EXPECT_EQ(old.RunId, "");
  EXPECT_FALSE(old.Trace.empty());
  reader.reset();
  auto store = OpenRecordStore(path, TStoreOpen::kCreate);
  EXPECT_EQ(store->SchemaVersion(), kRecordSchemaVersion);
  EXPECT_EQ(Uids(*store, {}), std::vector<std::string>{"old"});
  store.reset();
  EXPECT_EQ(SqlExec(path, "SELECT * FROM tuning_record INDEXED BY tuning_record_chart"), SQLITE_OK);
}

// Traces are kept compressed; a trace an older program stored as it was still reads back.
TEST(StoreOpening, TracesArePackedAndRawOnesStillRead) {
  TScratchDir dir;
  const std::string path = dir.Path("t.db");
  TTuningRecord r = SampleRecord("big", "00000001", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z");
  for (int i = 0; i < 5000; ++i) r.Trace += "1<" + std::to_string(i % 256) + "\r2>" + std::to_string(i % 7) + "\r";
  r.Trace += std::string("\0\xff", 2);
  const int64_t id = OpenRecordStore(path, TStoreOpen::kCreate)->Add(r);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT length(trace), substr(trace, 1, 4) FROM tuning_record",
                               -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  // zlib's fastest level keeps under a third of this trace (a fifth of a real one).
  EXPECT_LT(sqlite3_column_int(st, 0) * 3, static_cast<int>(r.Trace.size()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))), "TPZ1");
  sqlite3_finalize(st);
  sqlite3_close(db);
  EXPECT_EQ(OpenRecordStore(path, TStoreOpen::kExisting)->Get(id)->Trace, r.Trace);

  ASSERT_EQ(SqlExec(path, "UPDATE tuning_record SET trace = CAST('>raw' || char(13) AS BLOB)"), SQLITE_OK);
  EXPECT_EQ(OpenRecordStore(path, TStoreOpen::kExisting)->Get(id)->Trace, ">raw\r");
}

// Databases of other programs are refused as they are, by readers and writers alike.
TEST(StoreOpening, ADatabaseOfAnotherProgramIsLeftUntouched) {
  TScratchDir dir;
  const struct {
    const char* name;
    const char* sql;
  } cases[] = {
      {"empty_version.db", "CREATE TABLE schema_version (version INTEGER); CREATE TABLE t (x)"},
      {"other.db", "CREATE TABLE t (x INTEGER); INSERT INTO t VALUES (1)"},
      {"version_only.db", "CREATE TABLE schema_version (version INTEGER);"
                          "INSERT INTO schema_version VALUES (1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path(c.name);
    ASSERT_EQ(SqlExec(path, c.sql), SQLITE_OK);
    const auto before = fs::last_write_time(path);
    const auto size = fs::file_size(path);
    for (TStoreOpen mode : {TStoreOpen::kExisting, TStoreOpen::kCreate}) {
      try {
        OpenRecordStore(path, mode);
        ADD_FAILURE() << "opened";
      } catch (const ERecordError& e) {
        EXPECT_NE(std::string(e.what()).find(path + " holds no production records"),
                  std::string::npos)
            << e.what();
      }
    }
    EXPECT_EQ(fs::last_write_time(path), before);
    EXPECT_EQ(fs::file_size(path), size);
    EXPECT_EQ(SqlExec(path, "SELECT * FROM tuning_record"), SQLITE_ERROR);
  }
}

// A role that may only read and insert stores records once the administrator made the schema;
// before that it is told who must make it.
TEST(StoreOpening, APostgresRoleThatMayOnlyReadAndInsertWritesRecords) {
  TPgServer& server = SharedPgServer();
  const std::string admin = server.NewDatabase("least_privilege");
  PgExec(admin, "CREATE ROLE tuner LOGIN");
  PgExec(admin, "REVOKE CREATE ON SCHEMA public FROM PUBLIC");
  std::string tuner = admin;
  tuner.replace(tuner.find("user=postgres"), 13, "user=tuner");
  try {
    OpenRecordStore(tuner, TStoreOpen::kCreate);
    ADD_FAILURE() << "made the schema";
  } catch (const ERecordError& e) {
    EXPECT_NE(std::string(e.what()).find("tptune-records init"), std::string::npos) << e.what();
  }
  OpenRecordStore(admin, TStoreOpen::kCreate);
  PgExec(admin, "GRANT SELECT, INSERT ON tuning_record, test_cycle, schema_version TO tuner;"
                "GRANT USAGE ON SEQUENCE tuning_record_id_seq TO tuner");
  auto store = OpenRecordStore(tuner, TStoreOpen::kCreate);
  const TTuningRecord r = SampleRecord("lp1", "00000001", 1, kRecordCompleted,
                                       "2026-12-10T10:00:00.000Z");
  EXPECT_GT(store->Add(r), 0);
  EXPECT_GT(store->Add(r), 0);  // sent again: still one record
  EXPECT_EQ(Uids(*OpenRecordStore(tuner, TStoreOpen::kExisting), {}),
            std::vector<std::string>{"lp1"});
}

// ---- Reports ----

TEST(Reports, CsvQuotesWhatRfc4180Requires) {
  struct Case {
    std::string in, out;
  } cases[] = {{"plain", "plain"},          {"a,b", "\"a,b\""},       {"say \"hi\"", "\"say \"\"hi\"\"\""},
               {"two\nlines", "\"two\nlines\""}, {"cr\rend", "\"cr\rend\""}, {"", ""}};
  for (const Case& c : cases) EXPECT_EQ(CsvField(c.in), c.out);

  TTuningRecord r = SampleRecord("csv", "00C0FFEE", -3, kRecordCompleted, "2026-12-10T10:00:00.000Z");
  r.Id = 7;
  const std::string header = CsvHeader(), line = CsvLine(r);
  EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
  EXPECT_EQ(line.substr(0, 10), "7,csv,2026");
  EXPECT_NE(line.find(",00C0FFEE,"), std::string::npos);
  EXPECT_NE(line.find(",-3,-1.4,-1.6,9,4.0,4.7,"), std::string::npos) << line;
  EXPECT_NE(line.find("\"TallyPilot HW1.2\nSaid \"\"hello\"\", then, well\n\""), std::string::npos);
}

TEST(Reports, StatisticsAndTheirHistogramAsText) {
  TRecordStats s;
  s.Count = 4;
  s.Completed = 3;
  s.Failed = 1;
  s.Measured = 3;
  s.MeanPpm = 1 / 1.92955;
  s.StdDevPpm = 0.5;
  s.MinPpm = 0;
  s.MaxPpm = 2 / 1.92955;
  s.OffsetCounts = {{0, 1}, {2, 2}};
  std::ostringstream out;
  WriteStats(out, s);
  const std::string text = out.str();
  EXPECT_NE(text.find("Records:    4 (3 completed, 1 failed, 0 aborted)"), std::string::npos) << text;
  EXPECT_NE(text.find("Yield:      75.0 %"), std::string::npos);
  EXPECT_NE(text.find("mean 0.52 ppm, standard deviation 0.50 ppm, min 0.00 ppm, max 1.04 ppm"),
            std::string::npos)
      << text;
  // Every step from the smallest to the largest has its line, the empty one included.
  EXPECT_NE(text.find("0.0 | " + std::string(25, '#') + std::string(25, ' ') + " 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("0.5 | " + std::string(50, ' ') + " 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("1.0 | " + std::string(50, '#') + " 2\n"), std::string::npos) << text;
}

}  // namespace

namespace {

TEST(Reports, HistogramBinsCountEveryOffsetOnce) {
  TRecordStats narrow;
  narrow.OffsetCounts = {{-2, 1}, {0, 2}, {1, 1}, {3, 1}};
  std::vector<int64_t> counts;
  for (const THistogramBin& b : OffsetHistogram(narrow)) {
    EXPECT_EQ(b.HighSteps, b.LowSteps);
    counts.push_back(b.Count);
  }
  EXPECT_EQ(counts, (std::vector<int64_t>{1, 0, 2, 1, 0, 1}));  // -2 .. 3, empty steps kept

  // A wide spread: bins of whole steps, no more than asked, each offset in exactly one bin.
  TRecordStats wide;
  wide.OffsetCounts = {{-50, 4}, {-49, 1}, {0, 7}, {50, 2}};
  const auto bins = OffsetHistogram(wide, 10);
  ASSERT_LE(bins.size(), 10u);
  int64_t total = 0;
  for (size_t i = 0; i < bins.size(); ++i) {
    total += bins[i].Count;
    if (i) {
      EXPECT_EQ(bins[i].LowSteps, bins[i - 1].HighSteps + 1);
    }
  }
  EXPECT_EQ(total, 14);
  EXPECT_EQ(bins.front().LowSteps, -50);
  EXPECT_EQ(bins.front().Count, 5);
  EXPECT_GE(bins.back().HighSteps, 50);
  EXPECT_TRUE(OffsetHistogram(TRecordStats{}).empty());
}

}  // namespace
