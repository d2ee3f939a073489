// The record sink of the front ends. Put writes the record into the station's spool (on the
// disk when it returns) and returns; a delivery thread of its own takes the spool to the record
// store, so neither a slow disk nor a database server that is far away or gone slows a run, and
// a crash at any moment loses no record the operator was told about. What cannot be delivered
// now waits in the spool and goes out with the next delivery that succeeds, from this program or
// any other of the station. A record the spool cannot take (a full disk) goes straight to the
// store; when that fails too, Put says so (ERecordNotKept). The "already tuned" lookup has a
// connection and a thread of its own, so a delivery that waits for a lock never holds a pass.
// Ending never waits for a server that stopped answering: the connections give up at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "records/RecordSink.h"
#include "records/RecordStore.h"
#include "records/Spool.h"

struct TStoreSinkOptions {
  std::string Location;   // the store (see OpenRecordStore)
  std::string SpoolFolder;  // the spool (see SpoolFolder)
  bool Bench = false;     // records are made on the emulated bench
  std::string Operator;   // who runs the station, and the work order or lot (both optional):
  std::string WorkOrder;  // written into every record that has none
  // How long a lookup may take before the pass goes on without its answer.
  std::chrono::milliseconds LookupPatience{50};
  // How long Put waits for the store itself when the spool cannot take a record.
  std::chrono::milliseconds DirectPatience{5000};
  // How long Flush waits for the spool to be delivered.
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
  int Unsaved() override;
  std::string SpoolFolder() const override { return spool_.Folder(); }
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
  TTuningRecord Stamped(const TTuningRecord& record) const;

  TStoreSinkOptions options_;
  TSpool spool_;  // its held records are the run thread's alone
  std::unique_ptr<TRecordStore> store_;   // the delivery thread's alone
  std::unique_ptr<TRecordStore> reader_;  // the lookup thread's alone

  std::mutex mutex_;
  std::condition_variable cv_;
  // Records the spool could not take: sent to the store straight away, while Put waits.
  struct TDirect {
    TTuningRecord record;
    bool done = false, stored = false;
    std::string problem;
  };
  std::deque<std::shared_ptr<TDirect>> direct_;
  uint64_t requested_ = 0, delivered_ = 0;  // delivery rounds asked for and done
  int waiting_ = 0;                         // records in the spool after the last round
  int unsaved_ = 0;                         // records kept nowhere
  bool fresh_ = false;                      // a record came since the last round began
  std::vector<std::string> messages_;
  // Completed handhelds of this sink's records, newest last: what a lookup finds before the
  // store has them.
  std::map<std::string, TTuningRecord> recent_;
  std::deque<std::shared_ptr<TLookup>> lookups_;
  std::mutex handlerMutex_;
  std::function<void()> written_;  // under handlerMutex_
  bool stop_ = false;
  std::atomic<bool> abandon_{false};  // set when the sink goes: the stores stop waiting
  std::thread delivery_, lookup_;
};

// Where the programs of one folder keep their records by default: the settings file's name with
// ".db" in place of ".INI", without a "-cli" or "-records" ending, so that the window, the
// console and the records program of a folder share one file ("tptune-cli.INI" gives
// "tptune.db"). Records of the emulated bench go to "<name>-bench.db" beside it, never into the
// factory's file. Their spools follow the location (SpoolFolder).
std::string DefaultRecordsLocation(const std::string& iniName, bool bench);
// The folder of the settings file, where the spools lie.
std::string DataFolder(const std::string& iniName);
// The golden-drift threshold's settings file of those programs ("<name>-drift.ini"), kept apart
// from the window's settings file, which holds the operator's choices only.
std::string DefaultDriftSettingsPath(const std::string& iniName);

