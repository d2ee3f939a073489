// The Records window's three charts as pictures in pixels, from the same chart data the Qt
// window draws (front/RecordsChart.h): where the plot lies, the axes' ranges, ticks and labels,
// the histogram's bars, the trend's markers, the drift's lines and band, and the legend. Pure
// functions without a toolkit, so the geometry is tested on every platform; win32/ChartDrawing
// only paints a scene with GDI.
//
// The axes stand on the scales the Qt window draws on (front/RecordsChart.h): whole devices on
// the count axis (a tick every 1, 2, 5, 10, 20 ... devices, at most eight), the offset axis a
// unit wider than the offsets, here rounded to nice numbers, the drift axis symmetric around 0
// and beyond the band, the time axes with a little room either side and labels as fine as the
// range needs (UTC).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "front/RecordsChart.h"

struct TPixRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TPixRect&) const = default;
};

struct TPixPoint {
  int X = 0, Y = 0;
  bool operator==(const TPixPoint&) const = default;
};

// Colours as 0xRRGGBB.
inline constexpr uint32_t kBarColour = 0x209fdf;
inline constexpr uint32_t kCompletedColour = 0x2060b0;
inline constexpr uint32_t kFailedColour = 0xb00020;
inline constexpr uint32_t kUnmeasuredColour = 0xe07000;
inline constexpr uint32_t kBandColour = 0xb00020;

struct TTick {
  int At = 0;  // pixel along its axis (x for the bottom axis, y for the left one)
  std::string Label;
  bool operator==(const TTick&) const = default;
};

struct TMarker {
  TPixPoint At;
  int Size = 0;  // diameter in pixels
  uint32_t Colour = 0;
};

struct TPolyline {
  std::vector<TPixPoint> Points;
  uint32_t Colour = 0;
  int Width = 1;
  bool Dashed = false;
};

struct TLegendEntry {
  std::string Text;
  uint32_t Colour = 0;
  bool Line = false;  // drawn as a short line (else as a dot)
  bool Dashed = false;
};

struct TChartScene {
  std::string Title;
  TPixRect Plot;  // the plot area; everything but the labels lies inside it
  std::vector<TTick> XTicks, YTicks;
  bool XLabelsUpright = false;  // the bottom labels turned upright (many histogram bins)
  bool XGrid = true;            // grid lines at the bottom ticks (not between bars)
  std::string XTitle, YTitle;
  std::vector<TPixRect> Bars;
  std::vector<TMarker> Markers;
  std::vector<TPolyline> Lines;
  std::vector<TLegendEntry> Legend;
};

// The font's average character width and line height in pixels: the margins for labels.
struct TChartMetrics {
  int CharWidth = 7;
  int LineHeight = 16;
};

// An axis range widened to whole multiples of a nice step (1, 2 or 5 times a power of ten) that
// gives about the ticks asked for.
struct TValueAxis {
  double Low = 0, High = 1, Step = 1;
};
TValueAxis NiceAxis(double low, double high, int ticks = 5);

// The time axis over low..high (ms since 1970, UTC): room either side (2 % of the range, at least
// 50 ms), and the label form the range needs.
enum class TTimeFormat { kMillis, kSeconds, kMinutes, kDays };
struct TTimeAxis {
  double Low = 0, High = 1;
  TTimeFormat Format = TTimeFormat::kDays;
};
TTimeAxis TimeAxisOf(double lowMs, double highMs);
// "hh:mm:ss.zzz", "hh:mm:ss", "MM-dd hh:mm" or "yyyy-MM-dd" of a time (UTC).
std::string TimeLabel(double ms, TTimeFormat format);

// value in low..high to a pixel in fromPix..toPix (either way round), rounded.
int MapToPixel(double value, double low, double high, int fromPix, int toPix);

TChartScene HistogramScene(const TRecordsChart& chart, TPixRect area, const TChartMetrics& m);
TChartScene TrendScene(const TRecordsChart& chart, TPixRect area, const TChartMetrics& m);
// The drift chart with its band of +/- thresholdSteps; without series it spans the day before
// nowMs.
TChartScene DriftScene(const TRecordsChart& chart, double thresholdSteps, double nowMs,
                       TPixRect area, const TChartMetrics& m);
