// The journal on a disk that fills up in the middle of an entry (a file size limit stands in
// for the full disk).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "RecordsTestUtil.h"
#include "records/Journal.h"

namespace fs = std::filesystem;

namespace {

TTuningRecord Rec(const std::string& uid) {
  return SampleRecord(uid, "00C0FFEE", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z");
}

std::vector<std::string> Uids(const std::vector<TTuningRecord>& records) {
  std::vector<std::string> uids;
  for (const auto& r : records) uids.push_back(r.Uid);
  return uids;
}

TEST(Journal, AFullDiskCostsOnlyTheRecordBeingWritten) {
  TScratchDir dir;
  const std::string path = dir.Path("j.spool");
  TJournal journal(path, "x.db");
  journal.Append(Rec("r1"));
  // The file may grow by a few hundred bytes only: the next entry is written in part, as on a
  // disk that fills up in the middle of it.
  const auto before = fs::file_size(path);
  const auto old = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = before + 300;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(journal.Append(Rec("r2")), std::runtime_error);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, old);
  EXPECT_EQ(fs::file_size(path), before + 300);

  journal.Append(Rec("r3"));
  const TJournalState state = journal.Read();
  EXPECT_EQ(Uids(state.Waiting), (std::vector<std::string>{"r1", "r3"}));
  EXPECT_EQ(state.Torn, 1);
}

}  // namespace
