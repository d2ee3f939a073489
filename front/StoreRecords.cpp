// Production records in a build with the record store (SQLite and PostgreSQL).
#include <ostream>

#include "front/FrontEndSetup.h"
#include "front/RecordsPlaces.h"
#include "records/StoreSink.h"

bool RecordsKeptByThisBuild() { return true; }

TRecordsPlaces DefaultRecordsPlaces(const std::string& iniName, bool bench) {
  return {DefaultRecordsLocation(iniName, bench), DefaultSpoolPath(iniName, bench),
          DefaultDriftSettingsPath(iniName)};
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
