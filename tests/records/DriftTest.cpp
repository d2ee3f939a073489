// The golden-drift rule: which records count, the rolling median per golden server, and exactly
// when the warning appears.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "RecordsTestUtil.h"
#include "records/Drift.h"
#include "records/Reports.h"

namespace {

// A handheld tuned against server srv whose new value lies diff steps from its factory value.
TRecordPoint Tuned(int diff, const std::string& srv = "SRV_A", int factory = 7) {
  static int64_t id = 0;
  TRecordPoint p;
  p.Id = ++id;
  p.StartedAt = "2026-12-10T10:00:00.000Z";
  p.Outcome = kRecordCompleted;
  p.Golden = "server";
  p.ServerIdentity = srv;
  p.DeviceKind = "handheld";
  p.FactoryComp = factory;
  p.NewCompSteps = factory + diff;
  return p;
}

std::vector<TRecordPoint> Repeat(int n, int diff, const std::string& srv = "SRV_A") {
  return std::vector<TRecordPoint>(static_cast<size_t>(n), Tuned(diff, srv));
}

std::vector<TRecordPoint> Join(std::initializer_list<std::vector<TRecordPoint>> parts) {
  std::vector<TRecordPoint> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(Drift, OnlyCompletedHandheldsTunedAgainstTheServerWithBothValuesCount) {
  struct Case {
    const char* what;
    void (*change)(TRecordPoint&);
    std::optional<int> steps;
  } cases[] = {
      {"counts", [](TRecordPoint&) {}, 4},
      {"golden handheld", [](TRecordPoint& p) { p.Golden = "handheld"; }, std::nullopt},
      {"tuned server", [](TRecordPoint& p) { p.DeviceKind = "server"; }, std::nullopt},
      {"failed", [](TRecordPoint& p) { p.Outcome = kRecordFailed; }, std::nullopt},
      {"aborted", [](TRecordPoint& p) { p.Outcome = kRecordAborted; }, std::nullopt},
      {"analysis only", [](TRecordPoint& p) { p.AnalysisOnly = true; }, std::nullopt},
      {"no factory value", [](TRecordPoint& p) { p.FactoryComp.reset(); }, std::nullopt},
      {"no new value", [](TRecordPoint& p) { p.NewCompSteps.reset(); }, std::nullopt},
      {"negative", [](TRecordPoint& p) { p.NewCompSteps = -2; }, -9},
  };
  for (const Case& c : cases) {
    TRecordPoint p = Tuned(4);
    c.change(p);
    EXPECT_EQ(DriftSteps(p), c.steps) << c.what;
  }
}

// The table of record sequences: the latest median, and whether the warning (band +/-3) shows.
TEST(Drift, TheWarningAppearsExactlyWhenTheRollingMedianLeavesTheBand) {
  struct Case {
    const char* what;
    std::vector<TRecordPoint> records;
    std::optional<double> latest;
    bool warning;
  } cases[] = {
      {"no records", {}, std::nullopt, false},
      {"19 devices far out: no median yet", Repeat(19, 9), std::nullopt, false},
      {"20 devices far out", Repeat(20, 9), 9.0, true},
      {"20 devices on the band's edge", Repeat(20, 3), 3.0, false},
      {"20 devices on the lower edge", Repeat(20, -3), -3.0, false},
      {"just beyond the lower edge", Join({Repeat(10, -3), Repeat(10, -4)}), -3.5, true},
      {"10 of 20 out: median between", Join({Repeat(10, 0), Repeat(10, 8)}), 4.0, true},
      {"9 of 20 out: median inside", Join({Repeat(11, 0), Repeat(9, 8)}), 0.0, false},
      {"outliers do not move the median", Join({Repeat(18, 1), Repeat(2, 40)}), 1.0, false},
      {"old drift rolls out of the window", Join({Repeat(30, 9), Repeat(11, 0)}), 0.0, false},
      {"new drift rolls in", Join({Repeat(30, 0), Repeat(11, -6)}), -6.0, true},
      {"records that do not count are skipped",
       Join({Repeat(20, 0), std::vector<TRecordPoint>(15, [] {
               TRecordPoint p = Tuned(9);
               p.AnalysisOnly = true;
               return p;
             }())}),
       0.0, false},
  };
  for (const Case& c : cases) {
    const auto series = GoldenDrift(c.records);
    const std::optional<double> latest =
        series.empty() ? std::nullopt : series.front().Latest();
    EXPECT_EQ(latest, c.latest) << c.what;
    EXPECT_EQ(DriftWarnings(series, kDefaultDriftThreshold).size(), c.warning ? 1u : 0u)
        << c.what;
  }
}

TEST(Drift, EachGoldenServerHasItsOwnWindow) {
  // Interleaved: SRV_A drifts, SRV_B does not; 25 devices each.
  std::vector<TRecordPoint> records;
  for (int i = 0; i < 25; ++i) {
    records.push_back(Tuned(5, "SRV_A"));
    records.push_back(Tuned(i % 2 ? 1 : -1, "SRV_B"));
  }
  const auto series = GoldenDrift(records);
  ASSERT_EQ(series.size(), 2u);
  EXPECT_EQ(series[0].Server, "SRV_A");
  EXPECT_EQ(series[0].Devices, 25);
  EXPECT_EQ(series[0].Points.size(), 6u);  // from the 20th device on
  EXPECT_EQ(series[0].Points.front().Id, records[38].Id);
  EXPECT_EQ(series[1].Latest(), 0.0);
  const auto warnings = DriftWarnings(series, 3.0);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].Server, "SRV_A");
  EXPECT_NEAR(warnings[0].Ppm, 5 / 1.92955, 1e-9);
  // A wider band takes the warning away; a narrower one gives SRV_B none either (median 0).
  EXPECT_TRUE(DriftWarnings(series, 5.0).empty());
  EXPECT_EQ(DriftWarnings(series, 0.5).size(), 1u);
}

TEST(Drift, TextNamesTheServerTheFigureAndTheWarning) {
  const auto series = GoldenDrift(Join({Repeat(20, -5, "SRV_A"), Repeat(3, 0, "SRV_B")}));
  std::ostringstream out;
  WriteDrift(out, series, 3.0);
  const std::string text = out.str();
  EXPECT_NE(text.find("band +/-3.0 steps"), std::string::npos) << text;
  EXPECT_NE(text.find("server SRV_A: 20 handhelds, median -5.0 steps = -2.59 ppm  WARNING"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("server SRV_B: 3 handhelds, fewer than 20, no median yet"),
            std::string::npos)
      << text;
  const auto line = DriftWarningLine(DriftWarnings(series, 3.0).at(0), 3.0);
  EXPECT_NE(line.find("#SRV_A"), std::string::npos) << line;
  EXPECT_NE(line.find("-5.0 steps = -2.59 ppm"), std::string::npos) << line;
}

TEST(Drift, TheThresholdFileKeepsItsValueAndFallsBackToTheDefault) {
  TScratchDir dir;
  const std::string path = dir.Path("tptune-drift.ini");
  EXPECT_EQ(ReadDriftThreshold(path), kDefaultDriftThreshold);  // missing
  ASSERT_TRUE(WriteDriftThreshold(path, 2.5));
  EXPECT_EQ(ReadDriftThreshold(path), 2.5);
  EXPECT_FALSE(WriteDriftThreshold(path, 0));
  EXPECT_EQ(ReadDriftThreshold(path), 2.5);  // a refused value leaves the file alone
  struct Case {
    const char* text;
    double value;
  } cases[] = {
      {"threshold_steps=4\r\n", 4},      {"threshold_steps=0.5\n", 0.5},
      {"threshold_steps=-1\n", 3},       {"threshold_steps=4,5\n", 3},
      {"threshold_steps=\n", 3},         {"threshold_steps=1e3\n", 3},
      {"other=1\nthreshold_steps=7\n", 7},
  };
  for (const Case& c : cases) {
    { std::ofstream(path, std::ios::binary) << c.text; }
    EXPECT_EQ(ReadDriftThreshold(path), c.value) << c.text;
  }
}

}  // namespace
