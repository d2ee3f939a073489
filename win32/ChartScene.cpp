#include "win32/ChartScene.h"

#include <algorithm>
#include <cmath>

#include "records/Reports.h"

namespace {

// Series colours of the drift lines, one a golden server, in turn.
constexpr uint32_t kLineColours[] = {0x209fdf, 0x99ca53, 0xf6a625, 0x6d5fd5, 0xbf593e};

// 1, 2, 5 or 10 times the power of ten at or below x, the least not below x.
double NiceStep(double x) {
  if (!(x > 0)) return 1;
  const double z = std::pow(10.0, std::floor(std::log10(x)));
  const double q = x / z;
  return (q <= 1 ? 1 : q <= 2 ? 2 : q <= 5 ? 5 : 10) * z;
}

// A tick's label with the decimals its step needs; never "-0".
std::string ValueLabel(double v, double step) {
  const int decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : 2;
  if (std::fabs(v) < step * 1e-6) v = 0;
  return Fixed(v, decimals);
}

// Civil date of days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

std::string Two(int v) { return std::string(1, static_cast<char>('0' + v / 10 % 10)) + static_cast<char>('0' + v % 10); }

size_t Widest(const std::vector<std::string>& labels) {
  size_t w = 0;
  for (const std::string& s : labels) w = std::max(w, s.size());
  return w;
}

// The plot area inside a chart's area: the title above; below the plot its labels (their height
// given), the axis title and the legend; left the axis title and labels of yChars characters;
// right room for half the last bottom label (and left for half the first).
TPixRect PlotArea(TPixRect area, const TChartMetrics& m, size_t yChars, int xLabelsHeight,
                  size_t xChars, bool legend) {
  TPixRect p;
  p.Top = area.Top + m.LineHeight * 3 / 2;
  p.Bottom = area.Bottom - m.LineHeight / 2 - (legend ? m.LineHeight * 3 / 2 : 0) - m.LineHeight -
             xLabelsHeight - 4;
  // Room for the y labels and title, and for half the first bottom label centred on the edge.
  p.Left = area.Left + std::max(m.LineHeight + static_cast<int>(yChars) * m.CharWidth + 10,
                                static_cast<int>(xChars) * m.CharWidth / 2 + 4);
  p.Right = area.Right - std::max(m.CharWidth * 2, static_cast<int>(xChars) * m.CharWidth / 2 + 4);
  p.Right = std::max(p.Right, p.Left + 1);
  p.Bottom = std::max(p.Bottom, p.Top + 1);
  return p;
}

// Ticks of a value axis: its step's multiples from low to high.
std::vector<double> StepTicks(const TValueAxis& a) {
  std::vector<double> at;
  const double first = std::ceil(a.Low / a.Step - 1e-9) * a.Step;
  for (double v = first; v <= a.High + a.Step * 1e-9 && at.size() < 200; v += a.Step) at.push_back(v);
  return at;
}

void PlaceYTicks(TChartScene& s, const TValueAxis& a, const std::vector<double>& values,
                 const std::vector<std::string>& labels) {
  for (size_t i = 0; i < values.size(); ++i)
    s.YTicks.push_back({MapToPixel(values[i], a.Low, a.High, s.Plot.Bottom, s.Plot.Top), labels[i]});
}

// The five labels of a time axis, evenly spread from its low to its high end.
std::vector<std::string> TimeLabels(const TTimeAxis& t) {
  std::vector<std::string> labels;
  for (int i = 0; i < 5; ++i) labels.push_back(TimeLabel(t.Low + (t.High - t.Low) * i / 4, t.Format));
  return labels;
}

void PlaceTimeTicks(TChartScene& s, const std::vector<std::string>& labels) {
  for (size_t i = 0; i < labels.size(); ++i)
    s.XTicks.push_back({s.Plot.Left + static_cast<int>(std::lround(s.Plot.Width() * static_cast<double>(i) / 4)),
                        labels[i]});
}

}  // namespace

TValueAxis NiceAxis(double low, double high, int ticks) {
  if (!(high > low)) high = low + 1;
  const double step = NiceStep((high - low) / std::max(ticks - 1, 1));
  return {std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

TTimeAxis TimeAxisOf(double lowMs, double highMs) {
  const double room = std::max(50.0, (highMs - lowMs) * 0.02);
  TTimeAxis t;
  t.Low = lowMs - room;
  t.High = highMs + room;
  const double span = t.High - t.Low;
  t.Format = span < 10e3           ? TTimeFormat::kMillis
             : span < 2 * 3600e3   ? TTimeFormat::kSeconds
             : span < 4 * 86400e3  ? TTimeFormat::kMinutes
                                   : TTimeFormat::kDays;
  return t;
}

std::string TimeLabel(double ms, TTimeFormat format) {
  const int64_t whole = static_cast<int64_t>(std::floor(ms));
  const int64_t day = (whole >= 0 ? whole : whole - 86399999) / 86400000;
  const int64_t inDay = whole - day * 86400000;
  int y = 0, mo = 0, d = 0;
  CivilFromDays(day, y, mo, d);
  const int h = static_cast<int>(inDay / 3600000), mi = static_cast<int>(inDay / 60000 % 60),
            s = static_cast<int>(inDay / 1000 % 60), milli = static_cast<int>(inDay % 1000);
  const std::string clock = Two(h) + ":" + Two(mi);
  switch (format) {
    case TTimeFormat::kMillis:
      return clock + ":" + Two(s) + "." + std::to_string(milli / 100) + Two(milli % 100);
    case TTimeFormat::kSeconds:
      return clock + ":" + Two(s);
    case TTimeFormat::kMinutes:
      return Two(mo) + "-" + Two(d) + " " + clock;
    case TTimeFormat::kDays:
      break;
  }
  return std::to_string(y) + "-" + Two(mo) + "-" + Two(d);
}

int MapToPixel(double value, double low, double high, int fromPix, int toPix) {
  if (!(high > low)) return fromPix;
  return fromPix + static_cast<int>(std::lround((value - low) / (high - low) * (toPix - fromPix)));
}

TChartScene HistogramScene(const TRecordsChart& chart, TPixRect area, const TChartMetrics& m) {
  TChartScene s;
  s.Title = "Measured offset";
  s.XTitle = "offset (ppm)";
  s.YTitle = "devices";
  s.XGrid = false;
  s.XLabelsUpright = chart.BinLabels.size() > 12;
  const TCountScale count = CountScale(chart);
  std::vector<double> values;
  std::vector<std::string> labels;
  for (double v = 0; v <= count.Top + count.Tick * 1e-9; v += count.Tick) {
    values.push_back(v);
    labels.push_back(Fixed(v, 0));
  }
  const size_t xChars = Widest(chart.BinLabels);
  const int xLabels = s.XLabelsUpright ? static_cast<int>(xChars) * m.CharWidth + 4 : m.LineHeight;
  s.Plot = PlotArea(area, m, Widest(labels), xLabels, s.XLabelsUpright ? 0 : xChars, false);
  PlaceYTicks(s, {0, count.Top, count.Tick}, values, labels);
  // Each bin has an equal slot; its bar takes nine tenths of it, centred.
  const size_t n = chart.Bins.size();
  for (size_t i = 0; i < n; ++i) {
    const double slotLeft = s.Plot.Left + s.Plot.Width() * static_cast<double>(i) / static_cast<double>(n);
    const double slot = s.Plot.Width() / static_cast<double>(n);
    TPixRect bar;
    bar.Left = static_cast<int>(std::lround(slotLeft + slot * 0.05));
    bar.Right = static_cast<int>(std::lround(slotLeft + slot * 0.95));
    bar.Bottom = s.Plot.Bottom;
    bar.Top = MapToPixel(static_cast<double>(chart.Bins[i].Count), 0, count.Top, s.Plot.Bottom, s.Plot.Top);
    s.Bars.push_back(bar);
    s.XTicks.push_back({static_cast<int>(std::lround(slotLeft + slot / 2)), chart.BinLabels[i]});
  }
  return s;
}

TChartScene TrendScene(const TRecordsChart& chart, TPixRect area, const TChartMetrics& m) {
  TChartScene s;
  s.Title = chart.TrendTitle;
  s.XTitle = "started (UTC)";
  s.YTitle = "offset (ppm)";
  const TTrendScale scale = TrendScale(chart);
  const TTimeAxis time = TimeAxisOf(scale.Time.Low, scale.Time.High);
  const TValueAxis offset = NiceAxis(scale.Offset.Low, scale.Offset.High);
  const std::vector<double> values = StepTicks(offset);
  std::vector<std::string> labels;
  for (double v : values) labels.push_back(ValueLabel(v, offset.Step));
  const std::vector<std::string> timeLabels = TimeLabels(time);
  s.Plot = PlotArea(area, m, Widest(labels), m.LineHeight, Widest(timeLabels), true);
  PlaceYTicks(s, offset, values, labels);
  PlaceTimeTicks(s, timeLabels);
  auto at = [&](double x, double y) {
    return TPixPoint{MapToPixel(x, time.Low, time.High, s.Plot.Left, s.Plot.Right),
                     MapToPixel(y, offset.Low, offset.High, s.Plot.Bottom, s.Plot.Top)};
  };
  for (const TChartPoint& p : chart.Completed) s.Markers.push_back({at(p.AtMs, p.Value), 5, kCompletedColour});
  for (const TChartPoint& p : chart.Failed) s.Markers.push_back({at(p.AtMs, p.Value), 8, kFailedColour});
  // A failure without a measured offset has no place on the offset scale: it is marked along
  // the lower edge, at its time.
  for (double x : chart.FailedUnmeasured) s.Markers.push_back({at(x, offset.Low), 8, kUnmeasuredColour});
  s.Legend = {{"completed", kCompletedColour}, {"failed", kFailedColour}};
  if (!chart.FailedUnmeasured.empty()) s.Legend.push_back({"failed, no offset", kUnmeasuredColour});
  return s;
}

TChartScene DriftScene(const TRecordsChart& chart, double thresholdSteps, double nowMs,
                       TPixRect area, const TChartMetrics& m) {
  TChartScene s;
  s.Title = "Golden reference drift";
  s.XTitle = "started (UTC)";
  s.YTitle = "rolling median (steps)";
  const TDriftScale scale = DriftScale(chart, thresholdSteps, nowMs);
  const TTimeAxis time = TimeAxisOf(scale.Time.Low, scale.Time.High);
  const double edge = scale.Steps;
  const TValueAxis steps{-edge, edge, NiceStep(2 * edge / 4)};
  const std::vector<double> values = StepTicks(steps);
  std::vector<std::string> labels;
  for (double v : values) labels.push_back(ValueLabel(v, steps.Step));
  const std::vector<std::string> timeLabels = TimeLabels(time);
  s.Plot = PlotArea(area, m, Widest(labels), m.LineHeight, Widest(timeLabels), true);
  PlaceYTicks(s, steps, values, labels);
  PlaceTimeTicks(s, timeLabels);
  size_t colour = 0;
  for (const TRecordsChart::TDrift& d : chart.Drift) {
    if (d.Median.empty()) continue;
    TPolyline line;
    line.Colour = kLineColours[colour++ % std::size(kLineColours)];
    line.Width = 2;
    for (const TChartPoint& p : d.Median)
      line.Points.push_back({MapToPixel(p.AtMs, time.Low, time.High, s.Plot.Left, s.Plot.Right),
                             MapToPixel(p.Value, steps.Low, steps.High, s.Plot.Bottom, s.Plot.Top)});
    s.Legend.push_back({"#" + d.Server, line.Colour, true});
    s.Lines.push_back(std::move(line));
  }
  // The band: +/- the threshold over the whole plot.
  for (double band : {thresholdSteps, -thresholdSteps}) {
    const int y = MapToPixel(band, steps.Low, steps.High, s.Plot.Bottom, s.Plot.Top);
    s.Lines.push_back({{{s.Plot.Left, y}, {s.Plot.Right, y}}, kBandColour, 2, true});
  }
  s.Legend.push_back({"band +/-" + Fixed(thresholdSteps, 1) + " steps", kBandColour, true, true});
  return s;
}
