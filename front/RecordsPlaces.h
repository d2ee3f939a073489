// Inside the front end: where production records are kept by default.
#pragma once

#include <string>

struct TRecordsPlaces {
  std::string Location;       // the store
  std::string SpoolFolder;    // the store's spool: records on disk, waiting for the store
  std::string DriftSettings;  // the golden-drift threshold's settings file
};

// The places for the settings file iniName: the store named (or by default the one beside the
// settings file, the emulated bench's records apart), and the spool that belongs to that store,
// in the data folder.
TRecordsPlaces RecordsPlaces(const std::string& iniName, bool bench, const std::string& named);

// The golden-drift rule over the handhelds this station tuned, read from the store at location:
// the warning line naming the golden server of the station's latest such record when its median
// lies outside the band of the threshold's settings file; "" when nothing drifted, and when the
// store cannot be read (the run reports record trouble itself). Slow with an absent server: run
// it off the window's thread.
std::string GoldenDriftLine(const std::string& location, const std::string& thresholdPath);
