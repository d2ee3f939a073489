#include "records/Drift.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <ostream>

#include "records/Reports.h"
#include "run/Paths.h"

TRecordPoint PointOf(const TTuningRecord& r) {
  TRecordPoint p;
  p.Id = r.Id;
  p.StartedAt = r.StartedAt;
  p.Outcome = r.Outcome;
  p.Golden = r.Golden;
  p.ServerIdentity = r.ServerIdentity;
  p.DeviceKind = r.DeviceKind;
  p.Mac = r.Mac;
  p.AnalysisOnly = r.AnalysisOnly;
  p.OffsetSteps = r.OffsetSteps;
  p.FactoryComp = r.FactoryComp;
  p.NewCompSteps = r.NewCompSteps;
  return p;
}

std::optional<int> DriftSteps(const TRecordPoint& p) {
  if (p.Golden != "server" || p.DeviceKind != "handheld" || p.Outcome != kRecordCompleted ||
      p.AnalysisOnly || !p.FactoryComp || !p.NewCompSteps)
    return std::nullopt;
  return *p.NewCompSteps - *p.FactoryComp;
}

std::optional<double> TDriftSeries::Latest() const {
  if (Points.empty()) return std::nullopt;
  return Points.back().MedianSteps;
}

bool OutsideDriftBand(double medianSteps, double thresholdSteps) {
  return std::fabs(medianSteps) > thresholdSteps;
}

void TDriftRule::Add(const TRecordPoint& point) {
  const std::optional<int> steps = DriftSteps(point);
  if (!steps) return;
  size_t at = 0;
  while (at < series_.size() && series_[at].Server != point.ServerIdentity) ++at;
  if (at == series_.size()) {
    series_.push_back({point.ServerIdentity, 0, {}});
    windows_.emplace_back();
  }
  TDriftSeries& s = series_[at];
  TWindow& w = windows_[at];
  ++s.Devices;
  const size_t size = static_cast<size_t>(std::max(window_, 1));
  if (w.Values.size() < size) {
    w.Values.push_back(*steps);
  } else {
    w.Values[w.Next] = *steps;
    w.Next = (w.Next + 1) % size;
  }
  if (w.Values.size() < size) return;
  std::vector<int> sorted = w.Values;
  std::sort(sorted.begin(), sorted.end());
  const size_t mid = size / 2;
  const double median = size % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2.0;
  s.Points.push_back({point.Id, point.StartedAt, median});
}

std::vector<TDriftSeries> GoldenDrift(const std::vector<TRecordPoint>& oldestFirst, int window) {
  TDriftRule rule(window);
  for (const TRecordPoint& p : oldestFirst) rule.Add(p);
  return rule.Series();
}

std::vector<TDriftWarning> DriftWarnings(const std::vector<TDriftSeries>& series,
                                         double thresholdSteps) {
  std::vector<TDriftWarning> warnings;
  for (const TDriftSeries& s : series)
    if (const auto latest = s.Latest(); latest && OutsideDriftBand(*latest, thresholdSteps))
      warnings.push_back({s.Server, *latest, StepsToPpm(*latest)});
  return warnings;
}

namespace {

std::string Signed(double value, int decimals) {
  std::string text = Fixed(value, decimals);
  return text[0] == '-' || text.find_first_not_of("0.") == std::string::npos ? text : "+" + text;
}

}  // namespace

std::string DriftWarningLine(const TDriftWarning& w, double thresholdSteps) {
  return "Golden server #" + w.Server + " has drifted: " + Signed(w.Steps, 1) + " steps = " +
         Signed(w.Ppm, 2) + " ppm from the factory reference (rolling median of " +
         std::to_string(kDriftWindow) + " handhelds, band +/-" + Fixed(thresholdSteps, 1) +
         " steps); check it against the reference";
}

void WriteDrift(std::ostream& out, const std::vector<TDriftSeries>& series,
                double thresholdSteps) {
  out << "Golden drift: rolling median of " << kDriftWindow
      << " handhelds of (new - factory compensation), band +/-" << Fixed(thresholdSteps, 1)
      << " steps\n";
  if (series.empty()) {
    out << "  no handheld tuned against a golden server\n";
    return;
  }
  for (const TDriftSeries& s : series) {
    out << "  server " << s.Server << ": " << s.Devices << " handhelds, ";
    const auto latest = s.Latest();
    if (!latest) {
      out << "fewer than " << kDriftWindow << ", no median yet\n";
      continue;
    }
    out << "median " << Signed(*latest, 1) << " steps = " << Signed(StepsToPpm(*latest), 2)
        << " ppm"
        << (OutsideDriftBand(*latest, thresholdSteps) ? "  WARNING: outside the band" : "")
        << '\n';
  }
}

bool ValidDriftThreshold(double t) { return std::isfinite(t) && t > 0 && t <= 100; }

double ReadDriftThreshold(const std::string& path) {
  std::ifstream in(FilePath(path), std::ios::binary);
  std::string line;
  const std::string key = "threshold_steps=";
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.rfind(key, 0) != 0) continue;
    double value = 0;
    const char* first = line.data() + key.size();
    const char* last = line.data() + line.size();
    const auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc() && result.ptr == last && ValidDriftThreshold(value)) return value;
  }
  return kDefaultDriftThreshold;
}

bool WriteDriftThreshold(const std::string& path, double thresholdSteps) {
  if (!ValidDriftThreshold(thresholdSteps)) return false;
  std::ofstream out(FilePath(path), std::ios::binary | std::ios::trunc);
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, thresholdSteps).ptr;
  out << "threshold_steps=" << std::string(buffer, end) << "\n";
  return static_cast<bool>(out.flush());
}
