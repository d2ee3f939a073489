// Production records: the record store (SQLite or PostgreSQL) and its journal.
#include <exception>

#include "front/FrontEndSetup.h"
#include "front/RecordsPlaces.h"
#include "records/Drift.h"
#include "records/Journal.h"
#include "records/RecordStore.h"
#include "records/StoreSink.h"
#include "run/Paths.h"

TRecordsPlaces RecordsPlaces(const std::string& iniName, bool bench, const std::string& named) {
  const std::string location = named.empty() ? DefaultRecordsLocation(iniName, bench) : named;
  return {location, JournalPath(location, DataFolder(iniName)), DefaultDriftSettingsPath(iniName)};
}

std::unique_ptr<TRecordSink> OpenRecordSink(const TFrontEndSetup& setup) {
  if (setup.RecordsLocation.empty()) return nullptr;
  TStoreSinkOptions so;
  so.Bench = setup.Bench;
  so.Location = setup.RecordsLocation;
  so.SpoolPath = setup.SpoolPath;
  so.Operator = setup.Operator;
  so.WorkOrder = setup.WorkOrder;
  return std::make_unique<TStoreSink>(so);
}

std::string GoldenDriftLine(const std::string& location, const std::string& thresholdPath) {
  try {
    auto store = OpenRecordStore(location, TStoreOpen::kExisting);
    TRecordFilter filter;
    filter.Station = StationName();
    filter.DeviceKind = "handheld";
    filter.Outcome = kRecordCompleted;
    TDriftRule rule;
    std::string current;
    store->Points(filter, [&](const TRecordPoint& p) {
      rule.Add(p);
      if (DriftSteps(p)) current = p.ServerIdentity;
    });
    const double threshold = ReadDriftThreshold(thresholdPath);
    for (const TDriftWarning& w : DriftWarnings(rule.Series(), threshold))
      if (w.Server == current) return DriftWarningLine(w, threshold);
  } catch (const std::exception&) {
  }
  return {};
}
