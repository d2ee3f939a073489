// A small lot of production records for the Records window's tests: handhelds tuned against
// server SRV_A on two stations over a week, with their offsets, one failure and one abort.
#pragma once

#include <string>
#include <vector>

#include "records/RecordStore.h"
#include "records/TuningRecord.h"

// A record of a handheld tuned against a golden server, with offset steps.
struct TRow {
  const char* mac;
  const char* outcome;
  int offset;              // measured offset, steps
  const char* started;     // "2026-12-10T08:00:00.000Z"
  const char* station = "st1";
  const char* server = "SRV_A";
  int drift = 0;           // new less factory compensation
};

inline TTuningRecord Make(const TRow& row, int n) {
  TTuningRecord r;
  r.Uid = "uid" + std::to_string(n);
  r.StartedAt = r.EndedAt = row.started;
  r.Station = row.station;
  r.Golden = "server";
  r.ServerIdentity = row.server;
  r.DeviceKind = "handheld";
  r.Mac = r.DeviceIdentity = row.mac;
  r.Outcome = row.outcome;
  r.EffectiveComp = 5;
  r.FactoryComp = 10;
  r.OffsetSteps = row.offset;
  r.OffsetPpm = StepsToPpm(row.offset);
  r.NewCompSteps = 10 + row.drift;
  r.NewCompPpm = StepsToPpm(10 + row.drift);
  r.Stored = row.outcome == std::string(kRecordCompleted);
  r.Log = "log of " + r.Uid + "\n";
  r.Trace = std::string(">trace of ") + r.Uid + "\r";
  return r;
}

// The rows as records numbered from first on, written into a store made at db.
inline void Fill(const std::string& db, const std::vector<TRow>& rows, int first = 0) {
  auto store = OpenRecordStore(db, TStoreOpen::kCreate);
  for (size_t i = 0; i < rows.size(); ++i) store->Add(Make(rows[i], first + static_cast<int>(i)));
}

inline const std::vector<TRow> kLot = {
    {"00000001", kRecordCompleted, -2, "2026-12-01T08:00:00.000Z", "st1"},
    {"00000002", kRecordCompleted, 0, "2026-12-02T08:00:00.000Z", "st1"},
    {"00000003", kRecordCompleted, 0, "2026-12-03T08:00:00.000Z", "st2"},
    {"00000004", kRecordCompleted, 1, "2026-12-04T08:00:00.000Z", "st2"},
    {"00000005", kRecordCompleted, 3, "2026-12-05T08:00:00.000Z", "st2"},
    {"00000001", kRecordFailed, 40, "2026-12-06T08:00:00.000Z", "st1"},
    {"00000006", kRecordAborted, 0, "2026-12-07T08:00:00.000Z", "st1"},
};
