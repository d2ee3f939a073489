#include "front/MainLayout.h"

#include <algorithm>
#include <initializer_list>

namespace {

constexpr int akLT = akLeft | akTop;
constexpr int akLTR = akLeft | akTop | akRight;
constexpr int akAll = akLeft | akTop | akRight | akBottom;

// The label column inside the groups: its left margin, the gap before the boxes, and where the
// boxes start and how wide they are at design.
constexpr int kLabelLeft = 6;
constexpr int kLabelGap = 6;
constexpr int kBoxX = 112;
constexpr int kBoxW = 169;
// The bottom row: three buttons of one size; Start keeps its left edge, Exit its right edge,
// Records stays halfway between them.
constexpr int kButtonW = 97;
constexpr int kStartX = 24;
constexpr int kExitRight = 329;

}  // namespace

std::vector<TPlace> MainLayout(const TTextWidth& needs) {
  std::vector<TPlace> layout;
  auto place = [&](const char* name, const char* parent, TRect r, int anchors) {
    layout.push_back({name, parent, r, anchors});
  };
  // A button or box keeps its design width unless its text needs more.
  auto fit = [&](const char* name, int width) { return std::max(width, needs(name)); };
  // A right-aligned label keeps its right edge and grows to the left when its text needs more.
  auto right = [&](const char* name, const char* parent, int x, int y, int rightEdge, int h) {
    const int left = std::min(x, rightEdge - needs(name));
    place(name, parent, {left, y, rightEdge - left, h}, akLT);
  };

  // The window's own controls. The status text and the log share the place of the set-up view.
  place("StatTxt", "", {8, 8, 337, 297}, akAll);
  right("GoldTxt", "", 32, 7, 114, 17);
  const int tpW = fit("TPradio", 81);
  place("TPradio", "", {120, 7, tpW, 17}, akLT);
  place("SRVradio", "", {std::max(216, 120 + tpW + 8), 7, fit("SRVradio", 57), 17}, akLT);
  // The analysis-only box has its box on the right of its text, which ends where it did at
  // design.
  const int anaW = fit("AnaChk", 259);
  place("AnaChk", "", {std::max(4, 289 - anaW), 24, anaW, 17}, akLT);
  place("TPGroup", "", {8, 44, kMainGroupSize.W, kMainGroupSize.H}, akLTR);
  place("SrvGroup", "", {8, 184, kMainGroupSize.W, kMainGroupSize.H}, akLTR);
  place("StartBut", "", {kStartX, 336, kButtonW, 25}, akLeft | akBottom);
  place("RecordsBut", "", {(kStartX + kExitRight - kButtonW) / 2, 336, kButtonW, 25}, akBottom);
  place("ExitBut", "", {kExitRight - kButtonW, 336, kButtonW, 25}, akRight | akBottom);
  place("LogMemo", "", {8, 8, 337, 297}, akAll);
  place("PrcBar", "", {8, 312, 337, 16}, akLeft | akRight | akBottom);

  // The two groups: labels in a right-aligned column, then the boxes. The column is as wide as
  // at design unless the labels need more; the boxes then start further right and are that much
  // narrower.
  int labelWidth = 0;
  for (const char* label : {"COM1Txt", "File1Txt", "File2Txt", "COM2Txt", "File3Txt"})
    labelWidth = std::max(labelWidth, needs(label));
  const int boxX = std::max(kBoxX, kLabelLeft + labelWidth + kLabelGap);
  const int boxW = kBoxW - (boxX - kBoxX);
  const int labelRight = boxX - kLabelGap;

  right("COM1Txt", "TPGroup", 60, 21, labelRight, 21);
  place("COM1Combo", "TPGroup", {boxX, 21, boxW, 21}, akLTR);
  place("Upd1But", "TPGroup", {288, 21, 31, 21}, akTop | akRight);
  place("TPchk", "TPGroup", {boxX, 54, fit("TPchk", 153), 17}, akLT);
  right("File1Txt", "TPGroup", 13, 77, labelRight, 21);
  place("File1Combo", "TPGroup", {boxX, 77, boxW, 21}, akLTR);
  place("Browse1But", "TPGroup", {288, 77, 31, 21}, akTop | akRight);
  right("File2Txt", "TPGroup", 18, 101, labelRight, 21);
  place("File2Combo", "TPGroup", {boxX, 101, boxW, 21}, akLTR);
  place("Browse2But", "TPGroup", {288, 101, 31, 21}, akTop | akRight);

  right("COM2Txt", "SrvGroup", 60, 21, labelRight, 21);
  place("COM2Combo", "SrvGroup", {boxX, 21, boxW, 21}, akLTR);
  place("Upd2But", "SrvGroup", {288, 21, 31, 21}, akTop | akRight);
  place("SrvChk", "SrvGroup", {boxX, 64, fit("SrvChk", 153), 17}, akLT);
  right("File3Txt", "SrvGroup", 33, 101, labelRight, 21);
  place("File3Combo", "SrvGroup", {boxX, 101, boxW, 21}, akLTR);
  place("Browse3But", "SrvGroup", {288, 101, 31, 21}, akTop | akRight);
  return layout;
}

TRect Anchored(const TRect& design, int anchors, TSize designParent, TSize now) {
  const int dx = now.W - designParent.W;
  const int dy = now.H - designParent.H;
  TRect r = design;
  if ((anchors & akLeft) && (anchors & akRight))
    r.W += dx;
  else if (anchors & akRight)
    r.X += dx;
  else if (!(anchors & akLeft))
    r.X += dx / 2;  // neither edge: keeps its place in the middle
  if ((anchors & akTop) && (anchors & akBottom))
    r.H += dy;
  else if (anchors & akBottom)
    r.Y += dy;
  r.W = std::max(r.W, 0);
  r.H = std::max(r.H, 0);
  return r;
}
