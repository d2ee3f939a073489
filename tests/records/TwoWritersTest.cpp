// Two stations of a line writing into one store at once: each record is stored once.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Process.h"
#include "RecordsTestUtil.h"
#include "records/RecordStore.h"

namespace {

void TwoWritersEachRecordOnce(const std::string& location) {
  { OpenRecordStore(location, TStoreOpen::kCreate); }
  constexpr int kEach = 150;
  // The writer program adds kEach records with uids a-0, a-1... (b-0...) to the location.
  TProcess a(RECORDS_WRITER, {location, "a", std::to_string(kEach)});
  TProcess b(RECORDS_WRITER, {location, "b", std::to_string(kEach)});
  for (TProcess* writer : {&a, &b}) EXPECT_EQ(writer->Wait(), 0);
  std::multiset<std::string> uids;
  OpenRecordStore(location, TStoreOpen::kExisting)->List({}, [&](const TTuningRecord& r) {
    uids.insert(r.Uid);
  });
  EXPECT_EQ(uids.size(), 2u * kEach);
  for (const char* prefix : {"a", "b"})
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(uids.count(prefix + std::string("-") + std::to_string(i)), 1u) << prefix << i;
}

TEST(TwoWriters, OneSqliteFile) {
  TScratchDir dir;
  TwoWritersEachRecordOnce(dir.Path("shared.db"));
}

TEST(TwoWriters, OnePostgresServer) {
  TwoWritersEachRecordOnce(SharedPgServer().NewDatabase("two_writers"));
}

}  // namespace
