// Production records in a build with the record store (SQLite and PostgreSQL).
#include <ostream>

#include "front/FrontEndSetup.h"
#include "front/RecordsPlaces.h"
#include "records/Journal.h"
#include "records/StoreSink.h"

bool RecordsKeptByThisBuild() { return true; }

TRecordsPlaces RecordsPlaces(const std::string& iniName, bool bench, const std::string& named) {
  const std::string location = named.empty() ? DefaultRecordsLocation(iniName, bench) : named;
  return {location, JournalPath(location, DataFolder(iniName)), DefaultDriftSettingsPath(iniName)};
}

std::unique_ptr<TRecordSink> OpenRecordSink(const TFrontEndSetup& setup, const std::string&,
                                            std::ostream&) {
  if (setup.RecordsLocation.empty()) return nullptr;
  TStoreSinkOptions so;
  so.Bench = setup.Bench;
  so.Location = setup.RecordsLocation;
  so.SpoolPath = setup.SpoolPath;
  return std::make_unique<TStoreSink>(so);
}
