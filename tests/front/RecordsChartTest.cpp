// The Records window's charts as data: histogram bins and labels, the statistics lines, the
// trend's series with failures without an offset apart and thinning, and the drift series with
// their lines, from a small lot under a table of filters.
#include <gtest/gtest.h>

#include "front/RecordsChart.h"

namespace {

TRecordPoint Point(const char* mac, const char* outcome, std::optional<int> offset,
                   const char* started, int drift = 0, const char* server = "SRV_A") {
  TRecordPoint p;
  p.StartedAt = started;
  p.Outcome = outcome;
  p.Golden = "server";
  p.ServerIdentity = server;
  p.DeviceKind = "handheld";
  p.Mac = mac;
  p.OffsetSteps = offset;
  p.FactoryComp = 10;
  p.NewCompSteps = 10 + drift;
  return p;
}

// Offsets -2 0 0 1 3 completed, a failure far off, a failure before any measurement, an abort.
const std::vector<TRecordPoint> kLot = {
    Point("00000001", kRecordCompleted, -2, "2026-12-01T08:00:00.000Z"),
    Point("00000002", kRecordCompleted, 0, "2026-12-02T08:00:00.000Z"),
    Point("00000003", kRecordCompleted, 0, "2026-12-03T08:00:00.000Z"),
    Point("00000004", kRecordCompleted, 1, "2026-12-04T08:00:00.000Z"),
    Point("00000005", kRecordCompleted, 3, "2026-12-05T08:00:00.000Z"),
    Point("00000001", kRecordFailed, 40, "2026-12-06T08:00:00.000Z"),
    Point("00000007", kRecordFailed, std::nullopt, "2026-12-06T09:00:00.000Z"),
    Point("00000006", kRecordAborted, 0, "2026-12-07T08:00:00.000Z"),
};

TEST(RecordsChart, FiltersShapeHistogramStatisticsAndTrend) {
  struct TCase {
    const char* what;
    const char* outcome;
    const char* mac;
    std::vector<int64_t> bins;
    std::vector<std::string> labels;
    const char* statsStart;
    size_t completed, failed, unmeasured;
    const char* title;
  } cases[] = {
      {"all", "", "", {1, 0, 2, 1, 0, 1}, {"-1.0", "-0.5", "0.0", "0.5", "1.0", "1.6"},
       "Count: 8\nCompleted: 5\nFailed: 2\nAborted: 1\nYield: 71.4 %\n\nMeasured: 5\nMean: 0.21 ppm\n"
       "Std. deviation: 0.84 ppm",
       5, 1, 1, "Measured offset over time (7 devices)"},
      {"failed", kRecordFailed, "", {}, {},
       "Count: 2\nCompleted: 0\nFailed: 2\nAborted: 0\nYield: 0.0 %\n\nNo measured offset", 0, 1, 1,
       "Measured offset over time (2 devices)"},
      {"mac in any case", "", "0x1", {1}, {"-1.0"}, "Count: 2\nCompleted: 1\nFailed: 1\n", 1, 1, 0,
       "Measured offset over time (2 devices)"},
      {"not a mac", "", "zz", {}, {}, "Count: 0\n", 0, 0, 0, "Measured offset over time (0 devices)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TRecordFilter f;
    f.Outcome = c.outcome;
    f.Mac = c.mac;
    const TRecordsChart chart = BuildRecordsChart(kLot, f);
    std::vector<int64_t> bins;
    for (const THistogramBin& b : chart.Bins) bins.push_back(b.Count);
    EXPECT_EQ(bins, c.bins);
    EXPECT_EQ(chart.BinLabels, c.labels);
    EXPECT_EQ(chart.StatsText.rfind(c.statsStart, 0), 0u) << chart.StatsText;
    EXPECT_EQ(chart.Completed.size(), c.completed);
    EXPECT_EQ(chart.Failed.size(), c.failed);
    EXPECT_EQ(chart.FailedUnmeasured.size(), c.unmeasured);
    EXPECT_EQ(chart.TrendTitle, c.title);
  }
  // A failure without an offset is placed by its time only.
  const TRecordsChart all = BuildRecordsChart(kLot, {});
  ASSERT_EQ(all.FailedUnmeasured.size(), 1u);
  EXPECT_EQ(all.FailedUnmeasured[0], static_cast<double>(*RecordTimeMs("2026-12-06T09:00:00.000Z")));
  EXPECT_EQ(all.Failed[0].Value, StepsToPpm(40));
}

// More devices than a chart draws quickly: every n-th is shown, the last always, and the title
// says so.
TEST(RecordsChart, ManyDevicesAreThinnedEvenly) {
  struct TCase {
    size_t devices, shown;
    const char* title;
  } cases[] = {
      {1500, 1500, "Measured offset over time (1500 devices)"},
      {1501, 751, "Measured offset over time (1501 devices, one in 2 shown)"},
      {4500, 1500, "Measured offset over time (4500 devices, one in 3 shown)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.devices);
    std::vector<TRecordPoint> many;
    for (size_t i = 0; i < c.devices; ++i)
      many.push_back(Point("00000001", kRecordCompleted, static_cast<int>(i % 5),
                           "2026-12-01T08:00:00.000Z"));
    many.back().StartedAt = "2026-12-09T08:00:00.000Z";  // the newest must stay on the chart
    const TRecordsChart chart = BuildRecordsChart(many, {});
    EXPECT_EQ(chart.Devices, c.devices);
    EXPECT_EQ(chart.Completed.size(), c.shown);
    EXPECT_EQ(chart.Completed.back().AtMs, static_cast<double>(*RecordTimeMs("2026-12-09")) + 8 * 3600e3);
    EXPECT_EQ(chart.TrendTitle, c.title);
    EXPECT_EQ(chart.Stats.Count, static_cast<int64_t>(c.devices));  // statistics are not thinned
  }
}

// The drift series follows every record of the range, whatever the outcome and MAC filters say.
TEST(RecordsChart, DriftSeriesAndLinesPerGoldenServer) {
  std::vector<TRecordPoint> lot;
  for (int i = 0; i < 20; ++i) lot.push_back(Point("00000010", kRecordCompleted, 0, "2026-12-10T08:00:00.000Z", 5));
  for (int i = 0; i < 3; ++i)
    lot.push_back(Point("00000011", kRecordCompleted, 0, "2026-12-10T09:00:00.000Z", -1, "SRV_B"));
  TRecordFilter failedOnly;
  failedOnly.Outcome = kRecordFailed;
  const TRecordsChart chart = BuildRecordsChart(lot, failedOnly);
  EXPECT_EQ(chart.Stats.Count, 0);
  ASSERT_EQ(chart.Drift.size(), 2u);
  EXPECT_EQ(chart.Drift[0].Server, "SRV_A");
  ASSERT_EQ(chart.Drift[0].Median.size(), 1u);
  EXPECT_EQ(chart.Drift[0].Median[0].Value, 5.0);
  EXPECT_TRUE(chart.Drift[1].Median.empty());
  EXPECT_EQ(chart.DriftText,
            "Rolling median of 20 handhelds of (new - factory compensation) per golden server.\n"
            "#SRV_A: 20 handhelds, latest median 5.0 steps = 2.59 ppm\n"
            "#SRV_B: 3 handhelds, fewer than 20: no median yet");
  EXPECT_EQ(DriftWarnings(chart.DriftSeries, 3.0).size(), 1u);
  EXPECT_EQ(BuildRecordsChart({}, {}).DriftText,
            "Rolling median of 20 handhelds of (new - factory compensation) per golden server.\n"
            "No handheld tuned against a golden server.");
}

// The scales the charts are drawn on: whole-device ticks on the histogram, the trend's time and
// offset ranges, the drift chart's time and steps, and the warnings for the threshold.
TEST(RecordsChart, ScalesAndWarnings) {
  const struct {
    int most;  // the highest bar
    double tick, top;
  } counts[] = {{0, 1, 2}, {1, 1, 2}, {8, 1, 9}, {9, 2, 10}, {40, 5, 45}, {100, 20, 120}};
  for (const auto& c : counts) {
    SCOPED_TRACE(c.most);
    TRecordsChart chart;
    chart.Bins = {THistogramBin{}, THistogramBin{}};
    chart.Bins[1].Count = c.most;
    const TRecordsChartScales s = ChartScales(chart, 3.0, 0);
    EXPECT_EQ(s.CountTick, c.tick);
    EXPECT_EQ(s.CountTop, c.top);
  }

  TRecordsChart trend;
  trend.Completed = {{1000, -1.2}, {5000, 0.4}};
  trend.Failed = {{3000, 2.3}};
  trend.FailedUnmeasured = {9000};
  TRecordsChartScales s = ChartScales(trend, 3.0, 0);
  EXPECT_EQ(s.TrendTime, (TAxisRange{1000, 9000}));
  EXPECT_EQ(s.TrendOffset, (TAxisRange{-2.5, 3.5}));
  // Nothing on the trend: a unit range about 0 either way.
  s = ChartScales(TRecordsChart{}, 3.0, 7e12);
  EXPECT_EQ(s.TrendOffset, (TAxisRange{-1.5, 1.5}));
  // No median yet: the day before now, one step beyond the threshold.
  EXPECT_EQ(s.DriftTime, (TAxisRange{7e12 - 86400000.0, 7e12}));
  EXPECT_EQ(s.DriftSteps, 4);
  EXPECT_TRUE(s.Warnings.empty() && s.WarningLines.empty());

  std::vector<TRecordPoint> lot;
  for (int i = 0; i < 20; ++i)
    lot.push_back(Point("00000010", kRecordCompleted, 0, "2026-12-10T08:00:00.000Z", -5));
  const TRecordsChart drift = BuildRecordsChart(lot, {});
  ASSERT_EQ(drift.Drift.size(), 1u);
  ASSERT_EQ(drift.Drift[0].Median.size(), 1u);
  const double at = drift.Drift[0].Median[0].AtMs;
  const struct {
    double threshold;
    double steps;
    bool warned;
  } thresholds[] = {{3.0, 6, true}, {4.9, 6, true}, {5.0, 6, false}, {6.5, 8, false}};
  for (const auto& t : thresholds) {
    SCOPED_TRACE(t.threshold);
    s = ChartScales(drift, t.threshold, 0);
    EXPECT_EQ(s.DriftTime, (TAxisRange{at, at}));
    EXPECT_EQ(s.DriftSteps, t.steps);
    ASSERT_EQ(s.Warnings.size(), t.warned ? 1u : 0u);
    ASSERT_EQ(s.WarningLines.size(), s.Warnings.size());
    if (t.warned) {
      EXPECT_EQ(s.WarningLines[0], DriftWarningLine(s.Warnings[0], t.threshold));
      EXPECT_EQ(s.Warnings[0].Server, "SRV_A");
    }
  }
}

TEST(RecordsChart, RecordTimesInMilliseconds) {
  struct TCase {
    const char* text;
    std::optional<int64_t> ms;
  } cases[] = {
      {"1970-01-01", 0},
      {"2026-12-10T13:22:49.123Z", 1796908969123},
      {"2026-12-10T13:22", 1796908920000},
      {"2000-02-29", 951782400000},
      {"2026-13-01", std::nullopt},
      {"yesterday", std::nullopt},
      {"", std::nullopt},
  };
  for (const TCase& c : cases) EXPECT_EQ(RecordTimeMs(c.text), c.ms) << c.text;
}

}  // namespace
