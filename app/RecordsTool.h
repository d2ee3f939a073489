// tptune-records: production records from the console, over the same store as the tuning
// programs. list, show, export and stats; the program file's folder gives the default store.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

std::string RecordsUsage();

// Runs the command line (without the program name) and returns the exit status: 0 done, 1 when
// the store is missing, damaged or cannot be read or the record is not there, 2 for unusable
// options.
int RunRecordsTool(const std::vector<std::string>& args, const std::string& programPath,
                   std::ostream& out, std::ostream& err);
