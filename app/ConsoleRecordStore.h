// Where the console front end keeps its production records: the record store named by
// --records (default: the file beside the program; for the emulated bench its -bench file, so
// that trying the tool never mixes with the factory's records). Builds without a record store
// (the Windows build: no SQLite or PostgreSQL client for it here) say so once and keep none.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "records/RecordSink.h"

// location: what --records gave (empty: the default). Null when no store can be kept.
std::unique_ptr<TRecordSink> OpenConsoleRecordStore(const std::string& location,
                                                    const std::string& iniName, bool bench,
                                                    std::ostream& err);
