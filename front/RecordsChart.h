// The Records window's charts as data, built from the chart columns of the records a filter
// takes: the histogram of the measured offset with its labels, the statistics lines, the offset
// over time (completed and failed devices, failures without an offset apart, thinned to what a
// chart draws quickly) and each golden server's drift series with its summary lines. One pure
// function, so the same pictures come out of every view.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/Drift.h"
#include "records/RecordStore.h"
#include "records/Reports.h"

// A chart shows at most this many points a series; more devices are thinned evenly (every n-th,
// the last always kept), which keeps the shape and the time range and keeps redrawing quick.
inline constexpr size_t kMostChartPoints = 1500;

struct TChartPoint {
  double AtMs = 0;  // milliseconds since 1970 (UTC)
  double Value = 0;
  bool operator==(const TChartPoint&) const = default;
};

struct TRecordsChart {
  TRecordStats Stats;
  std::vector<THistogramBin> Bins;
  std::vector<std::string> BinLabels;  // "-1.0", or "0.5..1.6" for a bin over several steps
  std::string StatsText;               // the lines beside the histogram
  // The offset over time in ppm, thinned; the failures without a measured offset by time only.
  std::vector<TChartPoint> Completed, Failed;
  std::vector<double> FailedUnmeasured;
  size_t Devices = 0;     // devices on the trend before thinning
  std::string TrendTitle;
  // The rolling median of each golden server (steps over time, thinned) and one line each.
  struct TDrift {
    std::string Server;
    std::vector<TChartPoint> Median;
  };
  std::vector<TDriftSeries> DriftSeries;
  std::vector<TDrift> Drift;
  std::string DriftText;
};

// Builds the charts from the chart columns of the records the filter's time range and station
// take (oldest first); outcome and MAC are applied here, since the drift rule sees every record
// of the range.
TRecordsChart BuildRecordsChart(const std::vector<TRecordPoint>& points, const TRecordFilter& filter);

// Every n-th point so that at most kMostChartPoints remain, the last always kept.
template <class T>
std::vector<T> ThinnedPoints(const std::vector<T>& points) {
  std::vector<T> shown;
  if (points.empty()) return shown;
  const size_t step = std::max<size_t>((points.size() + kMostChartPoints - 1) / kMostChartPoints, 1);
  shown.reserve(points.size() / step + 1);
  for (size_t i = (points.size() - 1) % step; i < points.size(); i += step) shown.push_back(points[i]);
  return shown;
}

// Milliseconds since 1970 (UTC) of a record's time text ("2026-12-10T13:22:49.123Z" or a leading
// part of it); none when the text is not such a time. The charts' one way of reading times.
std::optional<int64_t> RecordTimeMs(const std::string& text);

// A stretch of an axis.
struct TAxisRange {
  double Low = 0, High = 0;
  bool operator==(const TAxisRange&) const = default;
};

// The scales the charts are drawn on and the drift warnings, for a golden-drift threshold
// (steps).
struct TRecordsChartScales {
  // The histogram's count axis in whole devices: a tick every 1, 2, 5, 10, 20, ... devices, at
  // most eight of them, the top a whole number of ticks above the highest bar.
  double CountTick = 1, CountTop = 1;
  // The trend: the time of every point (failures without an offset too; ms since 1970, 0..1
  // when there is none), and the offset (ppm) in whole ppm with half a ppm of room either side.
  TAxisRange TrendTime, TrendOffset{-1.5, 1.5};
  // The drift chart: the time of the medians (the day before now when there are none), and the
  // steps axis from -DriftSteps to DriftSteps, a whole number at least one step beyond the
  // threshold and every median.
  TAxisRange DriftTime;
  double DriftSteps = 0;
  // The servers whose latest median lies outside the band, each with its line.
  std::vector<TDriftWarning> Warnings;
  std::vector<std::string> WarningLines;
};
TRecordsChartScales ChartScales(const TRecordsChart& chart, double threshold, double nowMs);

// The same scales one chart at a time, for a view that lays out each chart on its own.
struct TCountScale {
  double Tick = 1, Top = 1;
};
TCountScale CountScale(const TRecordsChart& chart);
struct TTrendScale {
  TAxisRange Time, Offset{-1.5, 1.5};
};
TTrendScale TrendScale(const TRecordsChart& chart);
struct TDriftScale {
  TAxisRange Time;
  double Steps = 0;
};
TDriftScale DriftScale(const TRecordsChart& chart, double threshold, double nowMs);
