// The record sink of the front ends. Put appends the record to the station's journal (synced
// to disk) and returns; a writer thread of its own delivers the journal to the record store, so
// neither a slow disk nor a database server that is far away or gone slows a run, and a crash
// at any moment loses no record the operator was told about. What cannot be delivered now
// waits in the journal and goes out with the next delivery that succeeds, from this run or the
// next. The "already tuned" lookup has a connection and a thread of its own, so a delivery that
// waits for a lock never holds a pass.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "records/Journal.h"
#include "records/RecordSink.h"
#include "records/RecordStore.h"

struct TStoreSinkOptions {
  std::string Location;   // the store (see OpenRecordStore)
  std::string SpoolPath;  // the journal (see JournalPath)
  bool Bench = false;     // records are made on the emulated bench
  std::string Operator;   // who runs the station, and the work order or lot (both optional):
  std::string WorkOrder;  // written into every record that has none
  // How long a lookup may take before the pass goes on without its answer.
  std::chrono::milliseconds LookupPatience{50};
  // How long Flush waits for the journal to be delivered.
  std::chrono::milliseconds FlushPatience{5000};
  // How soon a store that failed is tried again while records wait.
  std::chrono::milliseconds RetryInterval{2000};
};

class TStoreSink final : public TRecordSink {
 public:
  explicit TStoreSink(TStoreSinkOptions options);
  ~TStoreSink() override;
  TStoreSink(const TStoreSink&) = delete;
  TStoreSink& operator=(const TStoreSink&) = delete;

  void Put(const TTuningRecord& record) override;
  void PutOpen(const TTuningRecord& record) override;
  std::optional<TTuningRecord> LatestCompleted(const std::string& mac) override;
  TTunedBefore LookUpTuned(const std::string& mac) override;
  std::vector<std::string> TakeMessages() override;
  void Flush() override;
  bool WaitDelivered(std::chrono::milliseconds patience) override;
  int Waiting() override;
  std::string JournalPath() const override { return options_.SpoolPath; }
  bool Bench() const override { return options_.Bench; }
  std::string Location() const override { return options_.Location; }
  void SetWrittenHandler(std::function<void()> handler) override;

  const TStoreSinkOptions& Options() const { return options_; }

 private:
  struct TLookup;
  void Deliver();
  void LookUp();
  void DeliverOnce(bool fresh);
  void Message(const std::string& text);
  void Remember(const TTuningRecord& record);

  TStoreSinkOptions options_;
  TJournal journal_;
  std::unique_ptr<TRecordStore> store_;   // the delivery thread's alone
  std::unique_ptr<TRecordStore> reader_;  // the lookup thread's alone

  std::mutex mutex_;
  std::condition_variable cv_;
  // Records that could not be put into the journal: sent to the store straight away.
  std::deque<TTuningRecord> direct_;
  uint64_t requested_ = 0, delivered_ = 0;  // delivery rounds asked for and done
  int waiting_ = 0;                         // records in the journal after the last round
  bool fresh_ = false;                      // a record came since the last round began
  std::vector<std::string> messages_;
  // Completed handhelds of this sink's records, newest last: what a lookup finds before the
  // store has them.
  std::map<std::string, TTuningRecord> recent_;
  std::deque<std::shared_ptr<TLookup>> lookups_;
  std::mutex handlerMutex_;
  std::function<void()> written_;  // under handlerMutex_
  bool stop_ = false;
  std::thread delivery_, lookup_;
};

// Where the programs of one folder keep their records by default: the settings file's name with
// ".db" in place of ".INI", without a "-cli" or "-records" ending, so that the window, the
// console and the records program of a folder share one file ("tptune-cli.INI" gives
// "tptune.db"). Records of the emulated bench go to "<name>-bench.db" beside it, never into the
// factory's file. Their journals follow the location (JournalPath).
std::string DefaultRecordsLocation(const std::string& iniName, bool bench);
// The folder of the settings file, where the journals of server locations lie.
std::string DataFolder(const std::string& iniName);
// The golden-drift threshold's settings file of those programs ("<name>-drift.ini"), kept apart
// from the window's settings file, which holds the operator's choices only.
std::string DefaultDriftSettingsPath(const std::string& iniName);

