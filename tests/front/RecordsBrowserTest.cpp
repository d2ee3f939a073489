// The records browser: what the Records window shows of a store (count, rows, charts, export,
// a record's whole text) read on the browser's own thread, and answers for a replaced filter
// dropped.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "front/RecordsBrowser.h"
#include "records/RecordStore.h"
#include "tests/common/RecordsLot.h"
#include "tests/front/RecordsTestView.h"

namespace {

using namespace std::chrono_literals;

class RecordsBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tptune-browser-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    db_ = (dir_ / "r.db").string();
    Fill(db_, kLot);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<TRecordsBrowser> Open(const std::string& location) {
    auto b = std::make_unique<TRecordsBrowser>(TRecordsBrowserOptions{location}, view_);
    view_.Browser = b.get();
    return b;
  }
  // Every row of the table, read page by page as a scrolling view would.
  std::vector<TTuningRecord> AllRows(TRecordsBrowser& b) {
    std::vector<TTuningRecord> rows;
    for (int64_t r = 0; r < b.State().Count; ++r) {
      const TTuningRecord* row = nullptr;
      EXPECT_TRUE(view_.TurnUntil([&] { return (row = b.RowAt(r)) != nullptr; }));
      if (!row) break;
      rows.push_back(*row);
    }
    return rows;
  }

  std::filesystem::path dir_;
  std::string db_;
  TTestView view_;
};

TEST_F(RecordsBrowserTest, ReadsOnlyOnceShownAndShowsWhatTheFilterTakes) {
  auto b = Open(db_);
  EXPECT_FALSE(b->State().Counted);
  b->SetShown(true);
  ASSERT_TRUE(view_.TurnUntil([&] { return !b->Busy(); }));
  EXPECT_EQ(b->State().Count, 7);
  EXPECT_EQ(b->State().Status, "7 records");
  ASSERT_TRUE(b->State().Chart);
  EXPECT_EQ(b->State().Chart->Stats.Count, 7);

  struct TCase {
    const char* what;
    TRecordFilter filter;
    size_t rows;
  };
  auto filter = [](const char* from, const char* to, const char* outcome, const char* mac,
                   const char* station) {
    TRecordFilter f;
    f.From = from, f.To = to, f.Outcome = outcome, f.Mac = mac, f.Station = station;
    return f;
  };
  const TCase cases[] = {
      {"completed", filter("", "", kRecordCompleted, "", ""), 5},
      {"time range", filter("2026-12-02", "2026-12-05", "", "", ""), 3},
      {"mac", filter("", "", "", "0x1", ""), 2},
      {"station and outcome", filter("", "", kRecordFailed, "", "st2"), 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    b->SetFilter(c.filter);
    ASSERT_TRUE(view_.TurnUntil([&] { return !b->Busy(); }));
    EXPECT_EQ(b->State().Count, static_cast<int64_t>(c.rows));
    EXPECT_EQ(b->State().Chart->Stats.Count, static_cast<int64_t>(c.rows));
    const auto rows = AllRows(*b);
    EXPECT_EQ(rows.size(), c.rows);
    for (const TTuningRecord& r : rows) {
      if (!c.filter.Outcome.empty()) {
        EXPECT_EQ(r.Outcome, c.filter.Outcome);
      }
      if (!c.filter.Station.empty()) {
        EXPECT_EQ(r.Station, c.filter.Station);
      }
      EXPECT_TRUE(r.Log.empty());  // the table reads no logs
    }
  }
}

// An answer that comes for a filter already replaced is dropped, even when it is there first.
TEST_F(RecordsBrowserTest, AnswerForAReplacedFilterIsDropped) {
  auto b = Open(db_);
  TRecordFilter st1;
  st1.Station = "st1";
  b->SetFilter(st1);
  b->SetShown(true);
  ASSERT_TRUE(view_.WaitWake(20s));  // st1's count has come, not taken yet
  TRecordFilter st2;
  st2.Station = "st2";
  b->SetFilter(st2);
  ASSERT_TRUE(view_.TurnUntil([&] { return !b->Busy(); }));
  EXPECT_EQ(view_.Counts, std::vector<int64_t>{3});
  EXPECT_EQ(b->State().Filter.Station, "st2");
  EXPECT_EQ(b->State().Chart->Stats.Count, 3);
}

TEST_F(RecordsBrowserTest, WholeRecordAndExportOfTheFilterShown) {
  auto b = Open(db_);
  TRecordFilter st1;
  st1.Station = "st1";
  b->SetFilter(st1);
  b->SetShown(true);
  ASSERT_TRUE(view_.TurnUntil([&] { return !b->Busy(); }));
  const auto rows = AllRows(*b);
  ASSERT_EQ(rows.size(), 4u);
  b->ShowRecord(rows[0].Id);
  ASSERT_TRUE(view_.TurnUntil([&] { return view_.Texts.count(rows[0].Id) > 0; }));
  EXPECT_NE(view_.Texts[rows[0].Id].find("log of " + rows[0].Uid), std::string::npos);
  EXPECT_NE(view_.Texts[rows[0].Id].find(">trace of " + rows[0].Uid), std::string::npos);

  const std::string csv = (dir_ / "lot.csv").string();
  b->Export(csv, false);
  b->Export((dir_ / "no" / "such" / "x.csv").string(), false);
  ASSERT_TRUE(view_.TurnUntil([&] { return view_.Exports.size() == 2; }));
  EXPECT_EQ(view_.Exports[0], "");
  EXPECT_NE(view_.Exports[1].find("cannot write"), std::string::npos);
  std::ifstream in(csv);
  std::string line;
  std::set<int64_t> ids, shown;
  for (const auto& r : rows) shown.insert(r.Id);
  std::getline(in, line);  // the header
  while (std::getline(in, line))
    if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])))
      ids.insert(std::stoll(line.substr(0, line.find(','))));
  EXPECT_EQ(ids, shown);
}

// A store that answers late: once its answer has come the state no longer says that it is not
// answering (every query counts as late here).
TEST_F(RecordsBrowserTest, AnswerThatComesLateEndsTheNotice) {
  TRecordsBrowser b({db_, std::chrono::milliseconds(0)}, view_);
  view_.Browser = &b;
  b.SetShown(true);
  for (int reading = 0; reading < 5; ++reading) {
    SCOPED_TRACE(reading);
    b.Refresh();
    ASSERT_TRUE(view_.TurnUntil([&] { return !b.Busy(); }));
    EXPECT_FALSE(b.State().NotAnswering);
    EXPECT_EQ(b.State().Status, "7 records");
  }
}

// A store that cannot be opened says why, and a later refresh tries again.
TEST_F(RecordsBrowserTest, MissingStoreSaysNoRecordsYet) {
  const std::string missing = (dir_ / "none.db").string();
  auto b = Open(missing);
  b->SetShown(true);
  ASSERT_TRUE(view_.TurnUntil([&] { return !b->Busy(); }));
  EXPECT_EQ(b->State().Status.rfind("No records yet (", 0), 0u) << b->State().Status;
  EXPECT_EQ(b->State().Count, 0);
  std::filesystem::copy_file(db_, missing);
  b->Refresh();
  ASSERT_TRUE(view_.TurnUntil([&] { return !b->Busy(); }));
  EXPECT_EQ(b->State().Status, "7 records");
}

}  // namespace
