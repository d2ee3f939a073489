// The production record of each device a run works on: the run driver tells the recorder where a
// device's pass starts and ends, and the recorder fills a TTuningRecord from what the run and
// its steps already know and hands it to the front end's record sink. It also looks up, once a
// handheld's MAC is known, whether that handheld was tuned before, and shows what the sink has
// to say about records. It never raises and never changes the run's state beyond the text of
// the lines it shows (which go to the log only, not into the trace).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "records/RecordSink.h"
#include "run/RunRecord.h"

class TPassRecorder {
 public:
  explicit TPassRecorder(TRecordSink* sink);

  // On the worker's thread, before the run starts: hooks the "already tuned" lookup in.
  void Attach(TRunRecord& run);
  // An attempt starts (before its discovery): the facts of the last one go.
  void AttemptStarts(TRunRecord& run);
  // A device's pass starts.
  void PassStarts(TRunRecord& run);
  // The handheld's firmware restore has been run.
  void HandheldRestoreEnded(const TRunRecord& run);
  // The pass has ended and its result line is about to be shown (it is in Reply): the record is
  // handed on now, so that it is kept before the operator reads the result.
  void PassEnds(TRunRecord& run);
  // The closing server restore has ended and its result line is about to be shown.
  void ServerRestoreEnded(TRunRecord& run);
  // Why the record of the pass that has just ended was kept nowhere, once (after PassEnds or
  // ServerRestoreEnded); nothing when it was kept.
  std::optional<std::string> TakeNotKept();
  // The result line has been shown.
  void ResultShown(TRunRecord& run);
  // The run ends: every record is handed on and the sink's last words are shown.
  void RunEnds(TRunRecord& run);

 private:
  void AlreadyTuned(TRunRecord& run);
  void Hand(TRunRecord& run, const TTuningRecord& record);
  void ShowMessages(TRunRecord& run);
  void Show(TRunRecord& run, const std::string& line);

  TRecordSink* sink_;
  std::string runId_;                        // the records of one run share it
  std::map<std::string, int> attempts_;     // passes so far per device of the run
  std::string startedAt_;
  size_t traceStart_ = 0;
  bool restoreRan_ = false, restoreDone_ = false;
  // The server's record waits for the closing server restore, which belongs to it (on disk
  // meanwhile, held open).
  std::optional<TTuningRecord> held_;
  // Why the last record handed on was kept nowhere.
  std::optional<std::string> notKept_;
  // The record whose result line is being shown.
  std::optional<TTuningRecord> shown_;
};

// The record of the pass that has just ended (outcome from the run's outcome code after the
// result line). traceStart is where the pass's part of the trace begins.
TTuningRecord MakePassRecord(const TRunRecord& run, const std::string& startedAt,
                             size_t traceStart, bool restoreRan, bool restoreDone);
