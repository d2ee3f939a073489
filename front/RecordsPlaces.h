// Inside the front end: where this build keeps production records by default. Each build
// defines these in a file of its own (with the record store, or without one).
#pragma once

#include <string>

struct TRecordsPlaces {
  std::string Location;       // the store; "" when this build keeps no records
  std::string SpoolPath;      // records waiting for their store
  std::string DriftSettings;  // the golden-drift threshold's settings file
};

// The default places for the settings file iniName; the emulated bench's records go apart.
TRecordsPlaces DefaultRecordsPlaces(const std::string& iniName, bool bench);
