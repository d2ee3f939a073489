#include "app/ConsoleRecordStore.h"

#include "records/StoreSink.h"

std::unique_ptr<TRecordSink> OpenConsoleRecordStore(const std::string& location,
                                                    const std::string& iniName, bool bench,
                                                    std::ostream&) {
  // Records of the emulated bench are marked and kept apart from the factory's by default.
  TStoreSinkOptions so;
  so.Bench = bench;
  so.Location = location.empty() ? DefaultRecordsLocation(iniName, bench) : location;
  so.SpoolPath = JournalPath(so.Location, DataFolder(iniName));
  return std::make_unique<TStoreSink>(so);
}
