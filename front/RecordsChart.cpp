#include "front/RecordsChart.h"

#include <algorithm>
#include <cmath>

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::string Num(int64_t n) { return std::to_string(n); }

// A record's start time on a chart's time axis: the one place the charts read a time text.
std::optional<double> ChartTime(const std::string& text) {
  const auto ms = RecordTimeMs(text);
  return ms ? std::optional<double>(static_cast<double>(*ms)) : std::nullopt;
}

}  // namespace

std::optional<int64_t> RecordTimeMs(const std::string& t) {
  // YYYY-MM-DDTHH:MM:SS.mmmZ, or a leading part of it.
  auto digits = [&](size_t at, size_t n, int& value) {
    if (at + n > t.size()) return false;
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      value = value * 10 + (t[i] - '0');
    }
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (!digits(0, 4, y) || t.size() < 10 || t[4] != '-' || !digits(5, 2, mo) || t[7] != '-' ||
      !digits(8, 2, d) || mo < 1 || mo > 12 || d < 1 || d > 31)
    return std::nullopt;
  if (t.size() >= 16 && digits(11, 2, h) && digits(14, 2, mi)) {
    if (t.size() >= 19) digits(17, 2, s);
    if (t.size() >= 23 && t[19] == '.') digits(20, 3, ms);
  }
  const int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  return ((days * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

TRecordsChart BuildRecordsChart(const std::vector<TRecordPoint>& points, const TRecordFilter& filter) {
  TRecordsChart c;
  TStatsAccumulator accumulator;
  TDriftRule rule;
  std::vector<TChartPoint> completed, failed;
  std::vector<double> unmeasured;
  for (const TRecordPoint& p : points) {
    rule.Add(p);
    if (!RecordFilterAdmitsPoint(filter, p)) continue;
    accumulator.Add(p);
    const auto at = ChartTime(p.StartedAt);
    if (!at) continue;
    const double x = *at;
    if (p.Outcome == kRecordCompleted && p.OffsetSteps)
      completed.push_back({x, StepsToPpm(*p.OffsetSteps)});
    else if (p.Outcome == kRecordFailed && p.OffsetSteps)
      failed.push_back({x, StepsToPpm(*p.OffsetSteps)});
    else if (p.Outcome == kRecordFailed)
      unmeasured.push_back(x);
  }
  c.Stats = accumulator.Result();
  c.Bins = OffsetHistogram(c.Stats);
  for (const THistogramBin& b : c.Bins) {
    std::string label = Fixed(StepsToPpm(b.LowSteps), 1);
    if (b.HighSteps > b.LowSteps) label += ".." + Fixed(StepsToPpm(b.HighSteps), 1);
    c.BinLabels.push_back(label);
  }
  const TRecordStats& s = c.Stats;
  c.StatsText = "Count: " + Num(s.Count) + "\nCompleted: " + Num(s.Completed) +
                "\nFailed: " + Num(s.Failed) + "\nAborted: " + Num(s.Aborted) +
                "\nYield: " + Fixed(100.0 * s.Yield(), 1) + " %\n";
  if (s.Measured > 0)
    c.StatsText += "\nMeasured: " + Num(s.Measured) + "\nMean: " + Fixed(s.MeanPpm, 2) +
                   " ppm\nStd. deviation: " + Fixed(s.StdDevPpm, 2) + " ppm\nMin: " +
                   Fixed(s.MinPpm, 2) + " ppm\nMax: " + Fixed(s.MaxPpm, 2) + " ppm";
  else
    c.StatsText += "\nNo measured offset";

  c.Devices = completed.size() + failed.size() + unmeasured.size();
  c.Completed = ThinnedPoints(completed);
  c.Failed = ThinnedPoints(failed);
  c.FailedUnmeasured = ThinnedPoints(unmeasured);
  const size_t devices = c.Devices;
  c.TrendTitle = devices > kMostChartPoints
                     ? "Measured offset over time (" + Num(static_cast<int64_t>(devices)) +
                           " devices, one in " +
                           Num(static_cast<int64_t>((devices + kMostChartPoints - 1) / kMostChartPoints)) +
                           " shown)"
                     : "Measured offset over time (" + Num(static_cast<int64_t>(devices)) + " devices)";

  c.DriftSeries = rule.Series();
  c.DriftText = "Rolling median of " + Num(kDriftWindow) +
                " handhelds of (new - factory compensation) per golden server.";
  for (const TDriftSeries& d : c.DriftSeries) {
    TRecordsChart::TDrift line{d.Server, {}};
    std::vector<TChartPoint> median;
    for (const TDriftPoint& p : d.Points)
      if (const auto at = ChartTime(p.At)) median.push_back({*at, p.MedianSteps});
    line.Median = ThinnedPoints(median);
    c.Drift.push_back(std::move(line));
    const auto latest = d.Latest();
    c.DriftText += "\n#" + d.Server + ": " + Num(d.Devices) + " handhelds, " +
                   (latest ? "latest median " + Fixed(*latest, 1) + " steps = " +
                                 Fixed(StepsToPpm(*latest), 2) + " ppm"
                           : "fewer than " + Num(kDriftWindow) + ": no median yet");
  }
  if (c.DriftSeries.empty()) c.DriftText += "\nNo handheld tuned against a golden server.";
  return c;
}

TCountScale CountScale(const TRecordsChart& c) {
  TCountScale s;
  double most = 1;
  for (const THistogramBin& b : c.Bins) most = std::max(most, static_cast<double>(b.Count));
  for (int k = 0; most / s.Tick > 8; ++k) s.Tick *= (k % 3 == 1) ? 2.5 : 2;
  s.Top = std::ceil(most * 1.05 / s.Tick) * s.Tick;
  return s;
}

TTrendScale TrendScale(const TRecordsChart& c) {
  double lowX = 0, highX = 1, lowY = -1, highY = 1;
  bool anyX = false, anyY = false;
  auto seeX = [&](double x) {
    if (!anyX) lowX = highX = x;
    anyX = true;
    lowX = std::min(lowX, x), highX = std::max(highX, x);
  };
  for (const auto* series : {&c.Completed, &c.Failed})
    for (const TChartPoint& p : *series) {
      seeX(p.AtMs);
      if (!anyY) lowY = highY = p.Value;
      anyY = true;
      lowY = std::min(lowY, p.Value), highY = std::max(highY, p.Value);
    }
  for (double x : c.FailedUnmeasured) seeX(x);
  return {{lowX, highX}, {std::floor(lowY) - 0.5, std::ceil(highY) + 0.5}};
}

TDriftScale DriftScale(const TRecordsChart& c, double threshold, double nowMs) {
  TDriftScale s;
  double extreme = threshold + 1;
  bool any = false;
  for (const TRecordsChart::TDrift& d : c.Drift) {
    if (d.Median.empty()) continue;
    for (const TChartPoint& p : d.Median) extreme = std::max(extreme, std::fabs(p.Value) + 1);
    if (!any) s.Time = {d.Median.front().AtMs, d.Median.back().AtMs};
    any = true;
    s.Time.Low = std::min(s.Time.Low, d.Median.front().AtMs);
    s.Time.High = std::max(s.Time.High, d.Median.back().AtMs);
  }
  if (!any) s.Time = {nowMs - 86400000.0, nowMs};
  s.Steps = std::ceil(extreme);
  return s;
}

TRecordsChartScales ChartScales(const TRecordsChart& c, double threshold, double nowMs) {
  TRecordsChartScales s;
  const TCountScale count = CountScale(c);
  s.CountTick = count.Tick;
  s.CountTop = count.Top;
  const TTrendScale trend = TrendScale(c);
  s.TrendTime = trend.Time;
  s.TrendOffset = trend.Offset;
  const TDriftScale drift = DriftScale(c, threshold, nowMs);
  s.DriftTime = drift.Time;
  s.DriftSteps = drift.Steps;
  s.Warnings = DriftWarnings(c.DriftSeries, threshold);
  for (const TDriftWarning& w : s.Warnings) s.WarningLines.push_back(DriftWarningLine(w, threshold));
  return s;
}
