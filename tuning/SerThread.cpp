#include "tuning/SerThread.h"

#include <cerrno>
#include <exception>
#include <fstream>
#include <system_error>

#include "firmware/Decode.h"
#include "firmware/Packages.h"
#include "firmware/Program.h"
#include "firmware/Versions.h"
#include "link/Devices.h"
#include "link/Discovery.h"
#include "link/DsrWait.h"
#include "link/Link.h"
#include "run/Paths.h"
#include "serial/ComPort.h"
#include "tuning/FineTuning.h"

namespace {

const char kConnectPrompt[] =
    "Make sure the server, TallyPilot and dongle are powered\r"
    "and connected to serial communications ports of this PC.\r\rPress Ok to continue.";
const char kDisconnect[] = "Disconnect the TallyPilot...";
const char kAskAfterSuccess[] =
    "Completed successfully!\r\rDo you want to fine-tune another TallyPilot?";
const char kAskAfterFailure[] =
    "Procedure failed!\r\rDo you want to retry, or fine-tune another TallyPilot?";

}  // namespace

TSerThread::TSerThread(TMainFields& main, TOperatorBridge& bridge, Clock& clock,
                       TRecordSink* records)
    : run_(main, bridge, clock), recorder_(records), thread_([this] { Execute(); }) {}

TSerThread::~TSerThread() {
  run_.RequestTermination();
  Join();
}

void TSerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool TSerThread::ServerImageDecoded() const {
  return run_.SrvImage[1][kSrvFirstWord] != kSrvNoData;
}

void TSerThread::Execute() {
  recorder_.Attach(run_);
  try {
    Attempts();
    ClosingServerRestore();
  } catch (const std::exception& e) {
    // Nothing below is meant to raise; should it happen anyway, the run still ends in order:
    // the ports are closed, the trace is written and the front end gets its window back.
    AddLog(run_, ByteText("Internal error: ") + e.what());
    run_.Reply = "Procedure failed!";
    ShowLogLine(run_);
    ++tally_.Failed;
    results_.AddPass("internal error", true, TDeviceResult::kFailed);
  }
  EndOfRun();
}

// The attempt loop: once, and again after each failure the operator chose to retry.
void TSerThread::Attempts() {
  TRunRecord& r = run_;
  TMainFields& m = r.Main;
  bool retry = true;
  while (retry) {
    retry = false;
    recorder_.AttemptStarts(r);
    r.Bridge.RunOnUi([&r] { LoadPackages(r); });

    r.Reply = kConnectPrompt;
    if (r.Outcome == kOutcomeOk) {
      r.Bridge.ShowOkPrompt(r.Reply);
      r.OperatorWait();
    }

    r.SrvFound = false;
    DiscoverPorts(r);
    InitDevice(r, *m.SerIF2, false);

    if (r.LinkOk) {
      // The version the server runs decides later whether its firmware must be restored; an
      // unusable answer only means that it will be.
      r.Reply = SrvTransact(r, Bytes({SrvGetVersion}), true);
      if (ServerRestored() && r.LinkOk && r.Reply.size() == 3 && ByteAt(r.Reply, 0) == 0x42)
        r.SrvVer = " to " + ServerVersionText(ByteAt(r.Reply, 1), ByteAt(r.Reply, 2));
      if (r.LinkOk && r.Reply.size() == 3 && ByteAt(r.Reply, 0) == 0x42)
        r.Facts.ServerFwAtStart = ServerVersionText(ByteAt(r.Reply, 1), ByteAt(r.Reply, 2));
      r.LinkOk = true;
    }

    r.ErrLogHead = r.ErrLog;
    if (r.Terminated()) break;
    HandheldLoop(retry);
  }
}

// One pass per handheld, for as long as the operator wants to go on.
void TSerThread::HandheldLoop(bool& retry) {
  TRunRecord& r = run_;
  TMainFields& m = r.Main;
  for (;;) {
    if (r.Outcome == kOutcomeDone) {
      AddLog(r, "");
      AddLog(r, "=== Next TallyPilot ===");
      // The trace keeps the head of the run and only the latest handheld.
      r.ErrLog = r.ErrLogHead + "...\r";
      r.Outcome = kOutcomeOk;
    }
    recorder_.PassStarts(r);

    // The radio address is known only once this handheld's readout gave it.
    r.ModemMAC = 0;
    InitDevice(r, *m.SerIF1, true);
    DecodePackages(r);
    RunFineTuning(r);

    if (m.RestoreTP || !m.GoldTP) {
      RestoreTPFirmware(r);
      recorder_.HandheldRestoreEnded(r);
      if (r.Outcome == kOutcomeOk && !r.Terminated()) {
        r.Reply = kDisconnect;
        r.Bridge.ShowStatus(r.Reply);
        WaitForDisconnection();
        r.Bridge.HideStatus();
      }
    }

    FinishHandheld();
    if (tally_.NotKept > 0) return;

    if (m.RestoreSrv && !m.GoldTP && !r.Terminated()) {
      const uint8_t prev = r.Outcome;
      r.Outcome = kOutcomeDone;
      r.Reply = prev == kOutcomeDone ? kAskAfterSuccess : kAskAfterFailure;
      r.Bridge.ShowYesNoPrompt(r.Reply);
      r.OperatorWait();
      if (prev != kOutcomeDone) {
        if (r.Outcome == kOutcomeDone) {
          // Yes after a failure: everything again from the packages on.
          retry = true;
          results_.Retry();
          r.Outcome = kOutcomeOk;
          r.SrvVer.clear();
          r.Finishing = false;
          r.SrvImage[1][kSrvFirstWord] = kSrvNoData;
          AddLog(r, "=== Next attempt ===");
          ReleasePort(*m.SerIF1);
          ReleasePort(*m.SerIF2);
        } else {
          r.Outcome = prev;
        }
      }
    }

    const bool goOn = r.Outcome == kOutcomeDone && !r.Terminated() && !retry && !m.GoldTP &&
                      m.RestoreSrv;
    if (!goOn) return;
  }
}

// The handheld counts as unplugged once DSR has been off at five polls in a row; a port that
// cannot report its lines any more has nothing plugged in.
void TSerThread::WaitForDisconnection() {
  WaitForDsr(run_, *run_.Main.SerIF1, TDsrAwait::kUnplugged);
}

void TSerThread::FinishHandheld() {
  TRunRecord& r = run_;
  if (r.Outcome == kOutcomeOk && (r.Finishing || !r.Terminated())) r.Outcome = kOutcomeDone;
  TDeviceResult result = TDeviceResult::kFailed;
  switch (r.Outcome) {
    case kOutcomeOk:
      r.Reply = "Aborted by user!";
      result = TDeviceResult::kAborted;
      ++tally_.Aborted;
      break;
    case kOutcomeDone:
      r.Reply = "Completed successfully!";
      result = TDeviceResult::kCompleted;
      ++tally_.Completed;
      break;
    default:
      r.Reply = "Procedure failed!";
      ++tally_.Failed;
      break;
  }
  if (r.Finishing)
    results_.AddRestore(result);
  else if (r.Main.GoldTP)
    results_.AddPass("server", true, result);
  else
    results_.AddPass("handheld " + std::to_string(r.ModemMAC), r.ModemMAC != 0, result);
  // The record is kept before the operator reads how the device ended.
  if (r.Finishing)
    recorder_.ServerRestoreEnded(r);
  else
    recorder_.PassEnds(r);
  // A device whose record is on no disk is not reported done as if it were: the result line
  // says so, and the run asks for no further handheld.
  if (const auto why = recorder_.TakeNotKept()) {
    r.Reply += " Record NOT kept: " + *why;
    ++tally_.NotKept;
  }
  ShowLogLine(r);
  recorder_.ResultShown(r);
}

// The server gets its production firmware back after the run when the operator asked for it,
// and always when it was the device tuned.
bool TSerThread::ServerRestored() const { return run_.Main.RestoreSrv || run_.Main.GoldTP; }

// Puts the server's production firmware back when it runs another version; this runs even after
// Cancel, so that no server leaves the bench with test firmware. A server that an earlier
// attempt programmed is restored on the port it was found on even when the last attempt never
// reached it (Cancel at the connect prompt after a retry, say).
void TSerThread::ClosingServerRestore() {
  TRunRecord& r = run_;
  TMainFields& m = r.Main;
  if (!ServerRestored() || !(r.SrvFound || r.SrvNeedsRestore)) return;

  const uint8_t saved = r.Outcome;
  r.Outcome = kOutcomeOk;
  r.LinkOk = true;
  r.Finishing = true;

  if (!r.SrvFound && !ReopenServerPort(r)) {
    AddLog(r, "Failed to initialize server!");
    r.Outcome = kOutcomeFailed;
  }
  if (r.Outcome == kOutcomeOk && !ServerImageDecoded()) DecodePackages(r);
  // Without a version read at the start, or after the run wrote into it, the server's firmware
  // is unknown and only reprogramming makes sure of it.
  const bool needed = r.SrvVer.empty() || r.SrvNeedsRestore || r.SrvVer != r.SrvFileVer;
  if (r.Outcome == kOutcomeOk && ServerImageDecoded() && needed) {
    AddLog(r, "--- Restoring server firmware" + r.SrvFileVer + " ---");
    // Back to command mode: a server in command mode answers a lone 0x00 with 0x00.
    for (int i = 0; i < 64; ++i) {
      Exchange(r, *m.SerIF2, Bytes({0x00}));
      if (r.Reply == Bytes({0x00})) break;
    }
    ProgramServer(r, 1);
    if (r.Outcome == kOutcomeOk) {
      r.Reply = SrvTransact(r, Bytes({SrvGetInfo}), true);
      if (!r.LinkOk || r.Reply != Bytes({SrvReplyDone})) r.Outcome = kOutcomeFailed;
    }
    FinishHandheld();
  } else if (r.Outcome != kOutcomeOk && needed) {
    // The server could not be reached again or the production image not decoded (the line
    // above said why): it keeps what it runs, and the run must not pass for a success.
    FinishHandheld();
  }

  r.Outcome = saved == kOutcomeAnswerNo ? kOutcomeDone : saved;
  r.Finishing = false;
}

void TSerThread::EndOfRun() {
  TRunRecord& r = run_;
  TMainFields& m = r.Main;
  recorder_.RunEnds(r);
  if (m.SerIF1) ReleasePort(*m.SerIF1);
  if (m.SerIF2) ReleasePort(*m.SerIF2);

  traceName_ = m.TraceName.empty() ? ErrorLogFileName(m.IniName) : m.TraceName;
  {
    std::ofstream file(FilePath(traceName_), std::ios::binary | std::ios::trunc);
    if (file) {
      file.write(r.ErrLog.data(), static_cast<std::streamsize>(r.ErrLog.size()));
      file.flush();
    }
    // The run itself says nothing about it; a front end may.
    if (file)
      AddLog(r, "Error log file written");
    else
      traceError_ = errno != 0 ? std::generic_category().message(errno) : "write failed";
  }
  tally_.EveryDeviceCompleted = results_.EveryDeviceCompleted();

  // The package buffers of this run are released; bundle records go with them too, as they
  // are copies.
  for (auto& blob : r.FwBlob) blob.reset();
  r.Bridge.EndRunUi();
  ended_.store(true, std::memory_order_release);
}

void TDeviceResults::AddPass(const std::string& key, bool known, TDeviceResult result) {
  if (retryPending_) {
    retryPending_ = false;
    TEntry& retried = results_.back();
    if (!retried.known) {
      retried = {key, known, result};
      return;
    }
    if (!known || retried.key == key) {
      // The same device again (or one not told apart): it keeps the address it was known by.
      retried.result = result;
      return;
    }
  }
  results_.push_back({key, known, result});
}

bool TDeviceResults::EveryDeviceCompleted() const {
  if (results_.empty() || retryPending_) return false;
  for (const TEntry& e : results_)
    if (e.result != TDeviceResult::kCompleted) return false;
  return true;
}

void SetUpPortObject(TComPort& port, int tag) {
  port.SetTag(tag);
  port.SetBaudRate(br9600);
  port.SetDataBits(db8);
  port.SetParity(paNone);
  port.SetStopBits(sb1);
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcEnable);
  port.FlowControl().SetXOnXOff(xcDisable);
  port.SetPriorityClass(pcNormal);
  port.SetThreadPriority(tpNormal);
  port.Timeouts().SetReadConstant(50);
}
