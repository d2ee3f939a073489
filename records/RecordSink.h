// Where the run driver hands its production records. The front end that owns the store gives
// the driver a sink; the driver calls it on its own thread and a sink never raises into the run.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "records/TuningRecord.h"

// A record that could not be made durable anywhere: neither written to the spool nor stored.
// The device's result must say so, and the run must not go on as if nothing happened.
class ERecordNotKept : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the "already tuned" lookup found out.
struct TTunedBefore {
  bool Answered = false;                // the records could be looked at in time
  std::optional<TTuningRecord> Record;  // the latest completed record of the handheld
};

class TRecordSink {
 public:
  virtual ~TRecordSink() = default;
  // The device's pass has ended: keep its record. Called before the operator is shown how the
  // pass ended; a sink with a spool has the record on disk when this returns. Returns soon
  // even when the store is slow. Throws ERecordNotKept (saying why) when the record is on no
  // disk at all.
  virtual void Put(const TTuningRecord& record) = 0;
  // A record whose pass is not over yet (a tuned server's, until its firmware restore): kept
  // on disk but not delivered until Put gives its last form under the same uid.
  virtual void PutOpen(const TTuningRecord& record) { (void)record; }
  // The pass's result line has been shown: a sink that prints records does it now.
  virtual void Shown(const TTuningRecord& record) { (void)record; }
  // The latest completed record of a handheld's MAC, when the store answers soon enough.
  virtual std::optional<TTuningRecord> LatestCompleted(const std::string& mac) = 0;
  // The same, saying whether the records could be looked at in time.
  virtual TTunedBefore LookUpTuned(const std::string& mac) {
    return {true, LatestCompleted(mac)};
  }
  // Waits up to patience for the records still on their way to the store; true when none
  // waits any more.
  virtual bool WaitDelivered(std::chrono::milliseconds patience) {
    (void)patience;
    Flush();
    return true;
  }
  // How many records wait for the store, and the spool folder they wait in.
  virtual int Waiting() { return 0; }
  virtual std::string SpoolFolder() const { return {}; }
  // How many records of this sink were not kept anywhere (each one's Put threw ERecordNotKept).
  virtual int Unsaved() { return 0; }
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
