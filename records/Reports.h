// How records and their statistics are shown and exported: the list's table, one whole record,
// RFC 4180 CSV, JSON lines and the statistics with their text histogram. Numbers never follow
// the locale.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "records/RecordStore.h"

void WriteListHeader(std::ostream& out);
void WriteListLine(std::ostream& out, const TTuningRecord& record);

// Every field of the record, then its log and its trace (one trace record a line).
void WriteRecordText(std::ostream& out, const TTuningRecord& record);

// CSV: a header line, then one line per record with every column, fields quoted where needed
// and lines ended by CR LF (RFC 4180), texts as valid UTF-8. The trace (a few hundred kB a
// record, beyond what a spreadsheet's cell holds) only when asked for.
std::string CsvHeader(bool withTrace = true);
std::string CsvLine(const TTuningRecord& record, bool withTrace = true);
std::string CsvField(const std::string& text);

// JSON: one object per line with every column, log and trace included.
std::string JsonLine(const TTuningRecord& record);

// The histogram of the measured offsets: one bin per step, the steps without records included so
// the shape is true; wide spreads are gathered into at most maxBins bins of whole steps. Empty
// without measured offsets.
struct THistogramBin {
  int LowSteps = 0, HighSteps = 0;  // the bin holds offsets from LowSteps to HighSteps
  int64_t Count = 0;
};
std::vector<THistogramBin> OffsetHistogram(const TRecordStats& stats, int maxBins = 40);

// Count, outcomes, yield, the offset's mean, standard deviation, minimum and maximum in ppm, and
// a histogram of the offsets in ppm.
void WriteStats(std::ostream& out, const TRecordStats& stats);

// A value with the given number of decimals, with a point.
std::string Fixed(double value, int decimals);
