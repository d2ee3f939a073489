// Production records in a build without a record store (the Windows build: no SQLite or
// PostgreSQL client for mingw among the packages these machines reach): none are kept.
#include <ostream>

#include "front/FrontEndSetup.h"
#include "front/RecordsPlaces.h"

bool RecordsKeptByThisBuild() { return false; }

TRecordsPlaces RecordsPlaces(const std::string&, bool, const std::string&) { return {}; }

std::unique_ptr<TRecordSink> OpenRecordSink(const TFrontEndSetup& setup,
                                            const std::string& program, std::ostream& err) {
  // Only a store asked for by name is worth a word; by default none is kept.
  if (!setup.RecordsNamed.empty() && setup.RecordsNamed != "none")
    err << program << ": production records are not kept by the Windows build; --records "
        << setup.RecordsNamed << " is ignored\n";
  return nullptr;
}

std::string GoldenDriftLine(const std::string&, const std::string&) { return {}; }
