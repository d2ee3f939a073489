// The worker of one tuning run. It starts at once when constructed and walks the run: load the
// packages, ask for the devices, find the ports, identify the server, tune one handheld after
// another, restore the server's production firmware, close the ports and write the error log
// file. Everything it shows goes through the operator bridge, which the front end serves on its
// own thread.
#pragma once

#include <atomic>
#include <thread>

#include "run/RunRecord.h"
#include "tuning/PassRecord.h"

class TComPort;

// How the devices of a run ended: one count per result line shown.
struct TRunTally {
  int Completed = 0;  // "Completed successfully!"
  int Failed = 0;     // "Procedure failed!"
  int Aborted = 0;    // "Aborted by user!"
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

 private:
  void Execute();
  void Attempts();
  void HandheldLoop(bool& retry);
  void ClosingServerRestore();
  void EndOfRun();
  void FinishHandheld();
  void WaitForDisconnection();
  bool ServerImageDecoded() const;

  TRunRecord run_;
  TRunTally tally_;
  std::atomic<bool> ended_{false};
  TPassRecorder recorder_;
  std::thread thread_;
};

// Sets up a port object as the front ends create theirs: 9600 baud 8N1, no XOn/XOff, DTR off and
// RTS on when opened, 50 ms read time-out, and the given Tag (0 for SerIF1, 1 for SerIF2).
void SetUpPortObject(TComPort& port, int tag);
