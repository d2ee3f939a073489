#include "tuning/PassRecord.h"

#include <chrono>
#include <charconv>
#include <exception>

#include "link/Discovery.h"
#include "records/Digest.h"
#include "run/Paths.h"
#include "run/Version.h"
#include "serial/ComPort.h"
#include "tuning/FineTuning.h"
#include "tuning/Readout.h"

#include <nlohmann/json.hpp>


namespace {

std::string Hex8(uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0xF];
  return text;
}

// Version texts of the run are kept as " to V..."; the record keeps the version alone.
std::string VersionOnly(const ByteText& text) {
  return text.rfind(" to ", 0) == 0 ? text.substr(4) : text;
}

// The log lines (">" records) of a part of the trace, each ended by '\n'.
std::string LogLines(const ByteText& trace, size_t from) {
  std::string lines;
  size_t at = from;
  while (at < trace.size()) {
    size_t end = trace.find('\r', at);
    if (end == std::string::npos) end = trace.size();
    if (trace[at] == '>') {
      const std::string line = trace.substr(at + 1, end - at - 1);
      lines += line + '\n';
    }
    at = end + 1;
  }
  return lines;
}

bool HasLine(const std::string& lines, const std::string& prefix) {
  return lines.rfind(prefix, 0) == 0 || lines.find('\n' + prefix) != std::string::npos;
}

// "n = a kHz = b ppm" as FormatComp renders it with a point: the kHz and ppm figures.
void KhzPpm(const ByteText& text, std::optional<double>& khz, std::optional<double>& ppm) {
  const size_t eq1 = text.find(" = ");
  const size_t eq2 = text.find(" kHz = ");
  if (eq1 == std::string::npos || eq2 == std::string::npos) return;
  double k = 0, p = 0;
  const char* kStart = text.data() + eq1 + 3;
  const char* pStart = text.data() + eq2 + 7;
  if (std::from_chars(kStart, text.data() + eq2, k).ec == std::errc()) khz = k;
  if (std::from_chars(pStart, text.data() + text.size(), p).ec == std::errc()) ppm = p;
}

std::optional<int> Signed(const TCompFacts& facts, uint8_t TCompFacts::*value) {
  if (!facts.Known) return std::nullopt;
  return static_cast<int8_t>(facts.*value);
}

}  // namespace

TTuningRecord MakePassRecord(const TRunRecord& r, const std::string& startedAt,
                             size_t traceStart, bool restoreRan, bool restoreDone) {
  const TMainFields& m = r.Main;
  const TPassFacts::TDevice& d = r.Facts.Device;
  TTuningRecord rec;
  rec.Uid = NewRecordUid();
  rec.StartedAt = startedAt;
  rec.EndedAt = IsoTimeNow();
  rec.Station = StationName();
  rec.ProgramVersion = ProgramVersion();
  rec.Golden = m.GoldTP ? "handheld" : "server";
  rec.AnalysisOnly = m.AnalysisOnly;

  if (r.DongleId.size() > 1) {
    rec.DonglePort = m.SerIF1 ? m.SerIF1->DeviceName() : "";
    rec.DongleIdentity = r.DongleId.substr(1);
    rec.DongleHwVersion = HwVerText(ByteAt(r.DongleId, 0));
  }
  if (r.Facts.ServerId.size() > 1) {
    rec.ServerPort = m.SerIF2 ? m.SerIF2->DeviceName() : "";
    rec.ServerIdentity = r.Facts.ServerId.substr(1);
    rec.ServerHwVersion = HwVerText(ByteAt(r.Facts.ServerId, 0));
  }
  rec.ServerFirmware = VersionOnly(r.Facts.ServerFwAtStart);

  const std::string passLines = LogLines(r.ErrLog, traceStart);
  const std::string lastLine = r.LastLog;
  if (d.ModemKnown) {
    rec.Mac = Hex8(r.ModemMAC);
    rec.RfModemVersion = HwVerText(d.ModemVersion);
  }
  if (HasLine(passLines, "TallyPilot HW")) rec.HandheldHwVersion = HwVerText(r.TPHwVer);
  rec.DeviceKind = m.GoldTP ? "server" : "handheld";
  rec.DeviceIdentity = m.GoldTP ? rec.ServerIdentity : rec.Mac;

  const TCompFacts& tuned = m.GoldTP ? d.Server : d.Handheld;
  const TCompFacts& golden = m.GoldTP ? d.Handheld : d.Server;
  rec.FactoryComp = Signed(tuned, &TCompFacts::Factory);
  rec.PcToolComp = Signed(tuned, &TCompFacts::PcTool);
  rec.EffectiveComp = Signed(tuned, &TCompFacts::Effective);
  rec.GoldenComp = Signed(golden, &TCompFacts::Effective);
  for (const TCycleFacts& c : d.Cycles)
    rec.Cycles.push_back({c.Trial, static_cast<int>(c.Packets), c.AvgRssi, c.AfcSum, c.AfcMin,
                          c.AfcMax});
  if (d.Measured) {
    // As the log shows them, with a point whatever the locale.
    rec.NewCompSteps = static_cast<int8_t>(d.NewComp);
    rec.OffsetSteps = static_cast<int8_t>(d.NewComp) - r.DutComp;
    KhzPpm(FormatComp(r.DutComp, d.NewComp, false, "."), rec.NewCompKhz, rec.NewCompPpm);
    KhzPpm(FormatComp(r.DutComp, d.NewComp, true, "."), rec.OffsetKhz, rec.OffsetPpm);
  }
  rec.Stored = d.Stored && !m.AnalysisOnly;
  rec.ReadBack = d.ReadBack && !m.AnalysisOnly;

  if (restoreRan && HasLine(passLines, "--- Restoring TallyPilot RF modem firmware")) {
    const bool eepromStarted = HasLine(passLines, "--- Restoring TallyPilot EEPROM firmware");
    rec.Restored.push_back({"rf_modem", VersionOnly(r.ModemVer), eepromStarted});
    if (eepromStarted) rec.Restored.push_back({"eeprom", VersionOnly(r.EepromVer), restoreDone});
  }
  // A bundle's packages are digested as the bundle holds them, files as their bytes.
  for (size_t slot = 1; slot < r.FwBlob.size(); ++slot) {
    const auto& blob = r.FwBlob[slot];
    if (!blob || blob->size() < 4) continue;
    const std::string_view bytes(reinterpret_cast<const char*>(blob->data()), blob->size());
    rec.PackageSha256[slot - 1] = Sha256Hex(m.EmbPkg ? bytes : bytes.substr(4));
  }

  switch (r.Outcome) {
    case kOutcomeDone:
      rec.Outcome = kRecordCompleted;
      break;
    case kOutcomeOk:
      rec.Outcome = kRecordAborted;
      break;
    default:
      rec.Outcome = kRecordFailed;
      rec.FailureReason = lastLine;
      break;
  }
  // What each measurement was judged against, and how it fared.
  {
    const TTuningLimits& l = kTuningLimits;
    nlohmann::json cycles = nlohmann::json::array();
    int n = 0;
    for (const TCycleFacts& c : d.Cycles) {
      const bool enough = c.Packets >= l.MinPackets;
      cycles.push_back({{"cycle", ++n},
                        {"packets", enough ? "pass" : "below"},
                        {"afc_spread", !enough ? nlohmann::json(nullptr)
                                       : c.AfcMax - c.AfcMin <= l.MaxAfcSpread
                                           ? nlohmann::json("pass")
                                           : nlohmann::json("beyond")}});
    }
    nlohmann::json newComp = nullptr;
    if (d.Measured)
      newComp = "pass";
    else if (lastLine == "Frequency offset too large to compensate!")
      newComp = "beyond";
    rec.Limits = nlohmann::json{{"min_packets", l.MinPackets},
                                {"max_afc_spread", l.MaxAfcSpread},
                                {"comp_min", l.CompMin},
                                {"comp_max", l.CompMax},
                                {"cycles", cycles},
                                {"new_comp", newComp}}
                     .dump();
  }
  rec.Log = passLines + r.Reply + '\n';
  rec.Trace = r.ErrLog;
  return rec;
}

TPassRecorder::TPassRecorder(TRecordSink* sink) : sink_(sink), runId_(NewRecordUid()) {}

void TPassRecorder::Attach(TRunRecord& run) {
  if (sink_) run.ModemMacRead = [this](TRunRecord& r) { AlreadyTuned(r); };
}

void TPassRecorder::AttemptStarts(TRunRecord& run) {
  run.Facts.ServerId.clear();
  run.Facts.ServerFwAtStart.clear();
}

void TPassRecorder::PassStarts(TRunRecord& run) {
  run.Facts.Device = {};
  startedAt_ = IsoTimeNow();
  traceStart_ = run.ErrLog.size();
  restoreRan_ = restoreDone_ = false;
}

void TPassRecorder::HandheldRestoreEnded(const TRunRecord& run) {
  restoreRan_ = true;
  restoreDone_ = run.Outcome == kOutcomeOk && run.LinkOk && !run.Terminated();
}

void TPassRecorder::PassEnds(TRunRecord& run) {
  if (!sink_) return;
  try {
    TTuningRecord record = MakePassRecord(run, startedAt_, traceStart_, restoreRan_,
                                          restoreDone_);
    record.Bench = sink_->Bench();
    // Retries of one device in this run are its attempts 2, 3 ...; a device not identified
    // counts as an attempt of its own.
    record.RunId = runId_;
    record.Attempt = record.DeviceIdentity.empty() ? 1 : ++attempts_[record.DeviceIdentity];
    if (run.Main.GoldTP && run.Main.RestoreSrv && run.SrvFound) {
      sink_->PutOpen(record);
      held_ = std::move(record);
      ShowMessages(run);
    } else {
      Hand(run, record);
      shown_ = std::move(record);
    }
  } catch (const std::exception& e) {
    Show(run, std::string("Record not saved: ") + e.what());
  }
}

void TPassRecorder::ServerRestoreEnded(TRunRecord& run) {
  if (!held_) return;
  held_->Restored.push_back({"server", VersionOnly(run.SrvFileVer), run.Outcome == kOutcomeDone});
  held_->EndedAt = IsoTimeNow();
  Hand(run, *held_);
  shown_ = std::move(held_);
  held_.reset();
}

std::optional<std::string> TPassRecorder::TakeNotKept() { return std::exchange(notKept_, {}); }

void TPassRecorder::ResultShown(TRunRecord& run) {
  (void)run;
  if (!sink_ || !shown_) return;
  try {
    sink_->Shown(*shown_);
  } catch (const std::exception&) {
  }
  shown_.reset();
}

void TPassRecorder::RunEnds(TRunRecord& run) {
  if (!sink_) return;
  if (held_) {
    Hand(run, *held_);
    shown_ = std::move(held_);
    held_.reset();
    ResultShown(run);
  }
  try {
    using std::chrono::milliseconds;
    // Delivery is usually done by now; a slow store gets a few seconds more, said so, and what
    // has not gone by then waits in the spool for the next run.
    if (!sink_->WaitDelivered(milliseconds(300)) && sink_->Waiting() > 0) {
      Show(run, "Waiting up to 5 seconds for the records to reach the store...");
      sink_->WaitDelivered(milliseconds(5000));
    }
    ShowMessages(run);
    const int waiting = sink_->Waiting();
    if (waiting > 0)
      Show(run, (waiting == 1 ? std::string("1 record waits in ")
                              : std::to_string(waiting) + " records wait in ") +
                    sink_->SpoolFolder() +
                    (waiting == 1 ? "; it goes out with the next run"
                                  : "; they go out with the next run"));
  } catch (const std::exception& e) {
    Show(run, std::string("Records: ") + e.what());
  }
}

void TPassRecorder::Hand(TRunRecord& run, const TTuningRecord& record) {
  try {
    sink_->Put(record);
  } catch (const ERecordNotKept& e) {
    notKept_ = e.what();
  } catch (const std::exception& e) {
    Show(run, std::string("Record not saved: ") + e.what());
  }
  ShowMessages(run);
}

void TPassRecorder::ShowMessages(TRunRecord& run) {
  try {
    for (const std::string& line : sink_->TakeMessages()) Show(run, line);
  } catch (const std::exception&) {
  }
}

void TPassRecorder::Show(TRunRecord& run, const std::string& line) {
  // Reply may hold the result line about to be shown or the last device answer.
  ByteText reply = std::move(run.Reply);
  run.Reply = line;
  ShowLogLine(run);
  run.Reply = std::move(reply);
}

void TPassRecorder::AlreadyTuned(TRunRecord& run) {
  // Only a handheld being tuned is looked up; a golden reference is not tuned.
  if (run.Main.GoldTP) return;
  TTunedBefore looked;
  try {
    looked = sink_->LookUpTuned(Hex8(run.ModemMAC));
  } catch (const std::exception&) {
  }
  if (!looked.Record) {
    // The pass does not wait for a slow store; the operator hears that nobody looked.
    if (!looked.Answered)
      Show(run, "Could not look up whether this TallyPilot was tuned before (the records did "
                "not answer in time)");
    return;
  }
  const TTuningRecord* before = &*looked.Record;
  std::string value = "-";
  if (before->NewCompSteps)
    value = FormatComp(0, static_cast<uint8_t>(*before->NewCompSteps), false,
                       LocaleDecimalSeparator());
  if (before->AnalysisOnly) value += " (analysis only)";
  Show(run, "Already tuned on " + before->EndedAt + " to " + value + " on station " +
                before->Station +
                (before->Id > 0 ? " (record " + std::to_string(before->Id) + ")"
                                : std::string(" (record not yet in the store)")));
}
