// Where the run driver hands its production records. The front end that owns the store gives
// the driver a sink; the driver calls it on its own thread and a sink never raises into the run.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "records/TuningRecord.h"

class TRecordSink {
 public:
  virtual ~TRecordSink() = default;
  // The device's pass has ended: keep its record. Returns soon even when the store is slow.
  virtual void Put(const TTuningRecord& record) = 0;
  // The latest completed record of a handheld's MAC, when the store answers soon enough.
  virtual std::optional<TTuningRecord> LatestCompleted(const std::string& mac) = 0;
  // Lines for the log about records ("Record not saved: ..."), collected since the last call.
  virtual std::vector<std::string> TakeMessages() = 0;
  // The run is ending: waits (a bounded time) for records still being written.
  virtual void Flush() = 0;
  // Records made through this sink are marked as made on the emulated bench.
  virtual bool Bench() const = 0;
  // Where the records can be read back (a store location), or "" when they cannot.
  virtual std::string Location() const { return {}; }
  // A front end that shows the records hears of each one that reached the store: handler runs
  // on the sink's own thread, after the write, and must return soon. Sinks without a store
  // never call it.
  virtual void SetWrittenHandler(std::function<void()> handler) { (void)handler; }
};
