// The worker of one tuning run. It starts at once when constructed and walks the run: load the
// packages, ask for the devices, find the ports, identify the server, tune one handheld after
// another, restore the server's production firmware, close the ports and write the error log
// file. Everything it shows goes through the operator bridge, which the front end serves on its
// own thread.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "run/RunRecord.h"
#include "tuning/PassRecord.h"

class TComPort;

// How the devices of a run ended: one count per result line shown.
struct TRunTally {
  int Completed = 0;  // "Completed successfully!"
  int Failed = 0;     // "Procedure failed!"
  int Aborted = 0;    // "Aborted by user!"
  int NotKept = 0;    // devices whose record was kept nowhere ("Record NOT kept: ...")
  // At least one device ended, and the last attempt on every device completed (a failure that
  // a retry of the same device then completed does not count against the run).
  bool EveryDeviceCompleted = false;
};

enum class TDeviceResult { kCompleted, kFailed, kAborted };

// The last result of each device of a run. A retry after a failure goes on with the same
// device unless the next pass reads another handheld's radio address.
class TDeviceResults {
 public:
  // The result of a pass of the handheld loop. key names the device; known is false while the
  // device is not told apart (a handheld whose radio address was not read), which a retry then
  // takes for the same device.
  void AddPass(const std::string& key, bool known, TDeviceResult result);
  // The result of the closing server restore: a device of its own, never retried.
  void AddRestore(TDeviceResult result) { results_.push_back({"server restore", true, result}); }
  // The operator chose to retry after the last result.
  void Retry() { retryPending_ = !results_.empty(); }
  bool EveryDeviceCompleted() const;

 private:
  struct TEntry {
    std::string key;
    bool known;
    TDeviceResult result;
  };
  std::vector<TEntry> results_;
  bool retryPending_ = false;
};

class TSerThread {
 public:
  // records: where the record of each device goes (none: no records).
  TSerThread(TMainFields& main, TOperatorBridge& bridge, Clock& clock,
             TRecordSink* records = nullptr);
  // Requests termination and waits for the end; the front end must still serve the bridge
  // while it waits, so it normally calls RequestTermination and waits for Ended() first.
  ~TSerThread();
  TSerThread(const TSerThread&) = delete;
  TSerThread& operator=(const TSerThread&) = delete;

  // From the front end's thread.
  void RequestTermination() { run_.RequestTermination(); }
  void ReleaseOperator(bool answeredNo = false) { run_.ReleaseOperator(answeredNo); }
  // True once the run has ended (after EndRunUi); the thread then only returns.
  bool Ended() const { return ended_.load(std::memory_order_acquire); }
  void Join();

  // The run's state; the front end reads it only after the end (or from bridge calls).
  TRunRecord& Run() { return run_; }
  // Read after the end.
  const TRunTally& Tally() const { return tally_; }
  // The error log file written at the end, and why it could not be written (empty when it was).
  const std::string& TraceName() const { return traceName_; }
  const std::string& TraceError() const { return traceError_; }

 private:
  void Execute();
  void Attempts();
  void HandheldLoop(bool& retry);
  void ClosingServerRestore();
  void EndOfRun();
  void FinishHandheld();
  void WaitForDisconnection();
  bool ServerImageDecoded() const;
  bool ServerRestored() const;

  TRunRecord run_;
  TRunTally tally_;
  TDeviceResults results_;
  std::string traceName_;
  std::string traceError_;
  std::atomic<bool> ended_{false};
  TPassRecorder recorder_;
  std::thread thread_;
};

// Sets up a port object as the front ends create theirs: 9600 baud 8N1, no XOn/XOff, DTR off and
// RTS on when opened, 50 ms read time-out, and the given Tag (0 for SerIF1, 1 for SerIF2).
void SetUpPortObject(TComPort& port, int tag);
