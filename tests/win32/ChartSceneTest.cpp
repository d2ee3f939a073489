// The Win32 Records window's charts in pixels: the axes' ranges and labels, the histogram's bars,
// the trend's markers (failures without an offset on the lower edge) and the drift's band, from
// chart data built the way the window gets it.
#include <gtest/gtest.h>

#include "win32/ChartScene.h"

namespace {

const TPixRect kArea{0, 0, 600, 300};
const TChartMetrics kMetrics{7, 16};

double At(const char* time) { return static_cast<double>(*RecordTimeMs(time)); }

TRecordsChart WithBins(std::vector<int64_t> counts) {
  TRecordsChart c;
  for (size_t i = 0; i < counts.size(); ++i) {
    c.Bins.push_back({static_cast<int>(i), static_cast<int>(i), counts[i]});
    c.BinLabels.push_back(std::to_string(i));
  }
  return c;
}

TEST(ChartScene, AxesRangesAndLabels) {
  struct TCount {
    double most, top, tick;
  } counts[] = {{0, 2, 1}, {1, 2, 1}, {8, 9, 1}, {9, 10, 2}, {17, 20, 5}, {40, 45, 5},
                {100, 120, 20}, {1000, 1200, 200}};
  for (const TCount& c : counts) {
    SCOPED_TRACE(c.most);
    const TCountScale a = CountScale(WithBins({0, static_cast<int64_t>(c.most)}));
    EXPECT_EQ(a.Top, c.top);
    EXPECT_EQ(a.Tick, c.tick);
  }

  struct TNice {
    double low, high, niceLow, niceHigh, step;
  } nice[] = {{-2.5, 1.5, -3, 2, 1}, {-1.5, 21.5, -10, 30, 10}, {-0.5, 0.5, -0.5, 0.5, 0.5},
              {3, 3, 3, 4, 0.5}};
  for (const TNice& n : nice) {
    SCOPED_TRACE(n.low);
    const TValueAxis a = NiceAxis(n.low, n.high);
    EXPECT_DOUBLE_EQ(a.Low, n.niceLow);
    EXPECT_DOUBLE_EQ(a.High, n.niceHigh);
    EXPECT_DOUBLE_EQ(a.Step, n.step);
  }

  // The label form follows the range with its room: under 10 s, under 2 h, under 4 days.
  const double t = At("2026-12-10T13:22:49.123Z");
  struct TTime {
    double span;
    TTimeFormat format;
    const char* label;
  } times[] = {{0, TTimeFormat::kMillis, "13:22:49.123"},
               {9000, TTimeFormat::kMillis, "13:22:49.123"},
               {10000, TTimeFormat::kSeconds, "13:22:49"},
               {7000e3, TTimeFormat::kMinutes, "12-10 13:22"},
               {4 * 86400e3, TTimeFormat::kDays, "2026-12-10"}};
  for (const TTime& c : times) {
    SCOPED_TRACE(c.span);
    const TTimeAxis a = TimeAxisOf(t, t + c.span);
    EXPECT_EQ(a.Format, c.format);
    EXPECT_DOUBLE_EQ(a.Low, t - std::max(50.0, c.span * 0.02));
    EXPECT_EQ(TimeLabel(t, a.Format), c.label);
  }
  EXPECT_EQ(TimeLabel(At("2024-02-29T23:59:59.999Z"), TTimeFormat::kMillis), "23:59:59.999");
  EXPECT_EQ(TimeLabel(At("2024-02-29T23:59:59.999Z"), TTimeFormat::kDays), "2024-02-29");
  EXPECT_EQ(TimeLabel(-1, TTimeFormat::kMinutes), "12-31 23:59");
}

TEST(ChartScene, HistogramBarsStandOnTheAxisInProportion) {
  const TChartScene s = HistogramScene(WithBins({1, 3, 0, 2}), kArea, kMetrics);
  ASSERT_EQ(s.Bars.size(), 4u);
  EXPECT_FALSE(s.XLabelsUpright);
  // Top 4 devices (3 and 5 % over it, in ticks of 1): the tallest bar reaches three quarters up.
  ASSERT_EQ(s.YTicks.size(), 5u);
  EXPECT_EQ(s.YTicks.front(), (TTick{s.Plot.Bottom, "0"}));
  EXPECT_EQ(s.YTicks.back(), (TTick{s.Plot.Top, "4"}));
  const int unit = s.Plot.Height();
  const int64_t counts[] = {1, 3, 0, 2};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const TPixRect& b = s.Bars[i];
    EXPECT_EQ(b.Bottom, s.Plot.Bottom);
    EXPECT_NEAR(b.Height(), unit * counts[i] / 4.0, 1);
    EXPECT_NEAR(b.Width(), s.Plot.Width() / 4.0 * 0.9, 1);
    EXPECT_GE(b.Left, s.Plot.Left);
    EXPECT_LE(b.Right, s.Plot.Right);
    if (i > 0) {
      EXPECT_GT(b.Left, s.Bars[i - 1].Right);
    }
    EXPECT_EQ(s.XTicks[i].Label, std::to_string(i));
    EXPECT_NEAR(s.XTicks[i].At, (b.Left + b.Right) / 2, 1);
  }
  // Inside the area, the title above.
  EXPECT_GT(s.Plot.Top, kArea.Top);
  EXPECT_LT(s.Plot.Bottom, kArea.Bottom);

  // Many bins turn their labels upright; no bins give an empty plot with its axis.
  EXPECT_TRUE(HistogramScene(WithBins(std::vector<int64_t>(13, 1)), kArea, kMetrics).XLabelsUpright);
  const TChartScene none = HistogramScene(TRecordsChart{}, kArea, kMetrics);
  EXPECT_TRUE(none.Bars.empty());
  EXPECT_EQ(none.YTicks.back().Label, "2");
}

TEST(ChartScene, TrendMarksFailuresAndTheUnmeasuredOnTheLowerEdge) {
  TRecordsChart c;
  c.TrendTitle = "Measured offset over time (4 devices)";
  c.Completed = {{At("2026-12-01T08:00:00Z"), -1.0}, {At("2026-12-03T08:00:00Z"), 2.0}};
  c.Failed = {{At("2026-12-05T08:00:00Z"), 20.7}};
  c.FailedUnmeasured = {At("2026-12-02T08:00:00Z")};
  const TChartScene s = TrendScene(c, kArea, kMetrics);
  EXPECT_EQ(s.Title, c.TrendTitle);
  ASSERT_EQ(s.Markers.size(), 4u);
  // Offsets -1..20.7 give -1.5..21.5, made nice: -10..30 in steps of 10.
  ASSERT_EQ(s.YTicks.size(), 5u);
  EXPECT_EQ(s.YTicks.front(), (TTick{s.Plot.Bottom, "-10"}));
  EXPECT_EQ(s.YTicks[1].Label, "0");
  EXPECT_EQ(s.YTicks.back(), (TTick{s.Plot.Top, "30"}));
  const int zeroY = s.YTicks[1].At;
  // Time runs left to right with room either side; the values upwards.
  const TMarker& first = s.Markers[0];
  const TMarker& second = s.Markers[1];
  const TMarker& failed = s.Markers[2];
  const TMarker& unmeasured = s.Markers[3];
  EXPECT_GT(first.At.X, s.Plot.Left);
  EXPECT_LT(failed.At.X, s.Plot.Right);
  EXPECT_LT(first.At.X, unmeasured.At.X);
  EXPECT_LT(unmeasured.At.X, second.At.X);
  EXPECT_LT(second.At.X, failed.At.X);
  EXPECT_NEAR(first.At.Y, zeroY + s.Plot.Height() / 40.0, 1);
  EXPECT_NEAR(second.At.Y, zeroY - s.Plot.Height() * 2 / 40.0, 1);
  EXPECT_EQ(unmeasured.At.Y, s.Plot.Bottom);
  EXPECT_EQ(first.Colour, kCompletedColour);
  EXPECT_EQ(failed.Colour, kFailedColour);
  EXPECT_EQ(unmeasured.Colour, kUnmeasuredColour);
  EXPECT_GT(failed.Size, first.Size);
  // Four days and a bit: labels by day; five of them, the first at the left edge.
  ASSERT_EQ(s.XTicks.size(), 5u);
  EXPECT_EQ(s.XTicks[0].At, s.Plot.Left);
  EXPECT_EQ(s.XTicks[4].At, s.Plot.Right);
  EXPECT_EQ(s.XTicks[0].Label, "2026-12-01");
  // The labels centred on the edges stay inside the chart.
  EXPECT_GE(s.XTicks[0].At - 10 * kMetrics.CharWidth / 2, kArea.Left);
  EXPECT_LE(s.XTicks[4].At + 10 * kMetrics.CharWidth / 2, kArea.Right);
  ASSERT_EQ(s.Legend.size(), 3u);
  EXPECT_EQ(s.Legend[2].Text, "failed, no offset");
  // Without failures lacking an offset the legend does not name them.
  c.FailedUnmeasured.clear();
  EXPECT_EQ(TrendScene(c, kArea, kMetrics).Legend.size(), 2u);
}

TEST(ChartScene, DriftLinesAndTheBandAroundThem) {
  TRecordsChart c;
  c.Drift = {{"SRV_A", {{At("2026-12-01T08:00:00Z"), 0.0}, {At("2026-12-01T09:00:00Z"), 5.0}}},
             {"SRV_B", {}}};
  const TChartScene s = DriftScene(c, 3.0, 0, kArea, kMetrics);
  // The highest median 5 gives room to +/-6 (ticks every 5 steps); the band lies at +/-3.
  EXPECT_EQ(s.YTicks.front().Label, "-5");
  EXPECT_EQ(s.YTicks.back().Label, "5");
  ASSERT_EQ(s.Lines.size(), 3u);  // SRV_A and the band's two edges; SRV_B has no median yet
  const TPolyline& line = s.Lines[0];
  ASSERT_EQ(line.Points.size(), 2u);
  const int zeroY = (s.Plot.Top + s.Plot.Bottom) / 2;
  EXPECT_NEAR(line.Points[0].Y, zeroY, 1);
  EXPECT_NEAR(line.Points[1].Y, zeroY - s.Plot.Height() * 5 / 12.0, 1);
  EXPECT_LT(line.Points[0].X, line.Points[1].X);
  for (int edge : {1, 2}) {
    const TPolyline& band = s.Lines[static_cast<size_t>(edge)];
    EXPECT_TRUE(band.Dashed);
    EXPECT_EQ(band.Colour, kBandColour);
    EXPECT_EQ(band.Points.front().X, s.Plot.Left);
    EXPECT_EQ(band.Points.back().X, s.Plot.Right);
    EXPECT_NEAR(band.Points[0].Y, zeroY + (edge == 1 ? -1 : 1) * s.Plot.Height() * 3 / 12.0, 1);
  }
  ASSERT_EQ(s.Legend.size(), 2u);
  EXPECT_EQ(s.Legend[0].Text, "#SRV_A");
  EXPECT_EQ(s.Legend[1].Text, "band +/-3.0 steps");

  // No series: the band alone, over the day before now; the axis still beyond the band.
  const double now = At("2026-12-10T12:00:00Z");
  const TChartScene empty = DriftScene(TRecordsChart{}, 2.5, now, kArea, kMetrics);
  ASSERT_EQ(empty.Lines.size(), 2u);
  EXPECT_EQ(empty.YTicks.back().Label, "4");
  EXPECT_EQ(empty.XTicks.back().Label, "12-10 12:28");
}

}  // namespace
