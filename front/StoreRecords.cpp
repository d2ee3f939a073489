// Production records: the record store (SQLite or PostgreSQL) and its spool.
#include <exception>
#include <filesystem>

#include "front/FrontEndSetup.h"
#include "front/RecordsPlaces.h"
#include "records/Drift.h"
#include "records/RecordStore.h"
#include "records/Spool.h"
#include "records/StoreSink.h"
#include "run/Paths.h"

TRecordsPlaces RecordsPlaces(const std::string& iniName, bool bench, const std::string& named) {
  const std::string location = named.empty() ? DefaultRecordsLocation(iniName, bench) : named;
  return {location, SpoolFolder(location, DataFolder(iniName)), DefaultDriftSettingsPath(iniName)};
}

std::unique_ptr<TRecordSink> OpenRecordSink(const TFrontEndSetup& setup) {
  if (setup.RecordsLocation.empty()) return nullptr;
  TStoreSinkOptions so;
  so.Bench = setup.Bench;
  so.Location = setup.RecordsLocation;
  so.SpoolFolder = setup.SpoolFolder;
  so.Operator = setup.Operator;
  so.WorkOrder = setup.WorkOrder;
  return std::make_unique<TStoreSink>(so);
}

namespace {

// A store that is only busy now (another program holds its lock) will take records later.
bool OnlyBusy(const std::exception& error) {
  const auto* e = dynamic_cast<const ERecordError*>(&error);
  const int primary = e ? e->Code() & 0xFF : 0;
  return primary == 5 || primary == 6;  // SQLite's BUSY and LOCKED
}

}  // namespace

std::string CheckRecordsLocation(const TFrontEndSetup& setup, std::string* note) {
  const std::string& location = setup.RecordsLocation;
  if (location.empty()) return {};
  const std::string shown = ShownLocation(location);
  const std::string todo =
      ". Name a SQLite file in a folder that exists or a postgresql:// server with --records, "
      "or keep no records with --records none.";
  const bool server = IsServerLocation(location);
  // Another scheme, or a connection string of key=value words (whose password would otherwise
  // name a file): neither is a place records can go.
  if (!server && (location.find("://") != std::string::npos || shown != location))
    return "cannot keep records at " + shown +
           ": not a records location (a SQLite file or a postgresql:// or postgres:// server is)" +
           todo;
  if (!server && location != ":memory:") {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path = fs::absolute(FilePath(location), ec);
    if (fs::is_directory(path, ec))
      return "cannot keep records at " + shown + ": it is a folder, not a file" + todo;
    const fs::path folder = path.parent_path();
    if (!fs::is_directory(folder, ec))
      return "cannot keep records at " + shown + ": the folder " + PathText(folder) +
             " does not exist" + todo;
  }
  TSpool spool(setup.SpoolFolder, location);
  const std::string spoolProblem = spool.Prepare();
  try {
    auto store = OpenRecordStore(location, TStoreOpen::kCreate);
    store->CheckWritable();
    if (!spoolProblem.empty() && note)
      *note = "The spool cannot be written (" + spoolProblem +
              "); every record goes straight to the store, and the run waits for it";
    return {};
  } catch (const std::exception& e) {
    // A server away for now, or a file busy for now: the spool keeps the records meanwhile.
    if ((server || OnlyBusy(e)) && spoolProblem.empty()) {
      if (note)
        *note = "The records store does not take records now (" + std::string(e.what()) +
                "); they wait in " + spool.Folder() + " until it does";
      return {};
    }
    return "cannot keep records at " + shown + ": " + e.what() +
           (spoolProblem.empty() ? std::string() : "; " + spoolProblem) + todo;
  }
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
