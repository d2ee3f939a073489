// The golden-reference drift rule. A handheld tuned against the golden server leaves the new
// compensation value it received beside the factory compensation it came with; their difference
// (in steps) estimates how far the golden server's crystal sits from the factory's own reference.
// One device says little (its factory value has its own error), so the rule follows the rolling
// median of the latest kDriftWindow such differences, per golden server identity, oldest first.
// When the latest median lies outside the band of plus or minus the threshold (in steps), the
// golden server has drifted and should be checked against the factory's reference.
//
// A record counts when the server was the golden reference, the tuned device was a handheld,
// the attempt completed, it was not analysis only, and both the factory compensation and the
// new value are known.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "records/TuningRecord.h"

inline constexpr int kDriftWindow = 20;
inline constexpr double kDefaultDriftThreshold = 3.0;

// The few columns of a record that the charts and the drift rule read.
struct TRecordPoint {
  int64_t Id = 0;
  std::string StartedAt;
  std::string Outcome;
  std::string Golden;          // "server" or "handheld"
  std::string ServerIdentity;
  std::string DeviceKind;      // "handheld" or "server"
  std::string Mac;             // the handheld's MAC ("" if not read)
  bool AnalysisOnly = false;
  std::optional<int> OffsetSteps, FactoryComp, NewCompSteps;
};

TRecordPoint PointOf(const TTuningRecord& record);

// The record's estimate of the golden server's offset (new value less factory value), when the
// record counts for the rule.
std::optional<int> DriftSteps(const TRecordPoint& point);

struct TDriftPoint {
  int64_t Id = 0;         // the record after which the median was taken
  std::string At;         // its start time
  double MedianSteps = 0;
};

// One golden server's rolling median, one point per counted device from the window's size on.
struct TDriftSeries {
  std::string Server;
  int64_t Devices = 0;  // records that counted
  std::vector<TDriftPoint> Points;
  // The latest rolling median; none before the window is full.
  std::optional<double> Latest() const;
};

// Whether a median lies outside the band of plus or minus threshold steps (the edge is inside).
bool OutsideDriftBand(double medianSteps, double thresholdSteps);

// The rule over a stream of records, oldest first: holds only the latest window of each server
// besides the medians it gives.
class TDriftRule {
 public:
  explicit TDriftRule(int window = kDriftWindow) : window_(window) {}
  void Add(const TRecordPoint& point);
  // Servers in the order their first counted record came.
  const std::vector<TDriftSeries>& Series() const { return series_; }

 private:
  struct TWindow {
    std::vector<int> Values;  // ring of the latest differences
    size_t Next = 0;
  };
  int window_;
  std::vector<TDriftSeries> series_;
  std::vector<TWindow> windows_;
};

// The rule over a sequence of records, oldest first.
std::vector<TDriftSeries> GoldenDrift(const std::vector<TRecordPoint>& oldestFirst,
                                      int window = kDriftWindow);

// The servers whose latest median lies outside the band.
struct TDriftWarning {
  std::string Server;
  double Steps = 0;
  double Ppm = 0;
};
std::vector<TDriftWarning> DriftWarnings(const std::vector<TDriftSeries>& series,
                                         double thresholdSteps);

// One line for the tuning log: the golden server and its drift in steps and ppm.
std::string DriftWarningLine(const TDriftWarning& warning, double thresholdSteps);

// The drift figures as text: per server the devices counted, the latest median in steps and ppm,
// and whether it lies outside the band.
void WriteDrift(std::ostream& out, const std::vector<TDriftSeries>& series,
                double thresholdSteps);

// The threshold's own settings file ("threshold_steps=3", one line): its value, the default
// when the file is missing or unreadable, and writing it. Numbers never follow the locale.
double ReadDriftThreshold(const std::string& path);
bool WriteDriftThreshold(const std::string& path, double thresholdSteps);
// A usable threshold: above 0 and at most 100 steps.
bool ValidDriftThreshold(double thresholdSteps);
