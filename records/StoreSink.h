// The record sink of the front ends: a record store behind a writer thread of its own, so that
// neither a slow disk nor a database server that is far away or gone slows a run. A record that
// cannot be written goes into a spool file instead (one line per record, locked while used) and
// is sent with the next write that succeeds; a store that cannot be opened is tried again with
// each record.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "records/RecordSink.h"
#include "records/RecordStore.h"

struct TStoreSinkOptions {
  std::string Location;   // the store (see OpenRecordStore)
  std::string SpoolPath;  // the spool file
  bool Bench = false;     // records are made on the emulated bench
  // How long Put waits for its record to be written before it returns (the write goes on),
  // and how long a lookup may take before the run goes on without its answer.
  std::chrono::milliseconds WritePatience{40};
  std::chrono::milliseconds LookupPatience{300};
  // How long Flush waits for outstanding writes.
  std::chrono::milliseconds FlushPatience{8000};
};

class TStoreSink final : public TRecordSink {
 public:
  explicit TStoreSink(TStoreSinkOptions options);
  ~TStoreSink() override;
  TStoreSink(const TStoreSink&) = delete;
  TStoreSink& operator=(const TStoreSink&) = delete;

  void Put(const TTuningRecord& record) override;
  std::optional<TTuningRecord> LatestCompleted(const std::string& mac) override;
  std::vector<std::string> TakeMessages() override;
  void Flush() override;
  bool Bench() const override { return options_.Bench; }
  std::string Location() const override { return options_.Location; }
  void SetWrittenHandler(std::function<void()> handler) override;

  const TStoreSinkOptions& Options() const { return options_; }

 private:
  struct TJob;
  void Work();
  void Write(const TTuningRecord& record);
  TRecordStore& Store();
  void Message(const std::string& text);

  TStoreSinkOptions options_;
  std::unique_ptr<TRecordStore> store_;  // the writer thread's alone

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<TJob>> jobs_;
  std::vector<std::string> messages_;
  std::mutex handlerMutex_;
  std::function<void()> written_;  // under handlerMutex_
  int pending_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// Where the programs of one folder keep their records by default: the settings file's name with
// ".db" in place of ".INI", without a "-cli" or "-records" ending, so that the window, the
// console and the records program of a folder share one file ("tptune-cli.INI" gives
// "tptune.db"). Records of the emulated bench go to "<name>-bench.db" beside it, never into the
// factory's file. The spool files are named the same way with ".spool".
std::string DefaultRecordsLocation(const std::string& iniName, bool bench);
std::string DefaultSpoolPath(const std::string& iniName, bool bench);
// The golden-drift threshold's settings file of those programs ("<name>-drift.ini"), kept apart
// from the window's settings file, which holds the operator's choices only.
std::string DefaultDriftSettingsPath(const std::string& iniName);

// The spool file: records waiting for their store, one line each.
// Appends a record; throws std::runtime_error when the file cannot be written.
void SpoolAppend(const std::string& path, const TTuningRecord& record);
// Hands every spooled record to send, oldest first, and keeps only those that send refused
// (by throwing) and the lines that are not records. Returns how many were sent; a missing
// spool file sends nothing. The file is locked meanwhile, so two processes never send one twice.
int SpoolSend(const std::string& path, const std::function<void(const TTuningRecord&)>& send);
// How many records wait in the spool file.
int SpoolCount(const std::string& path);
