// Shared pieces of the records tests: sample records and the back ends every store case runs
// against (":memory:", a file, and the throwaway PostgreSQL server).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PgServer.h"
#include "records/RecordStore.h"
#include "records/TuningRecord.h"

// A record with every field set, including texts that CSV and JSON must quote or escape and a
// trace with bytes 0 and 0xFF.
TTuningRecord SampleRecord(const std::string& uid, const std::string& mac, int offsetSteps,
                           const std::string& outcome, const std::string& startedAt);

// The uids of the records the filter lets through, in the store's listing order.
std::vector<std::string> Uids(TRecordStore& store, const TRecordFilter& filter);

// The server, started on first use and stopped when the test program ends.
TPgServer& SharedPgServer();

// A scratch folder of the test, removed when the object goes.
class TScratchDir {
 public:
  TScratchDir();
  ~TScratchDir();
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};
