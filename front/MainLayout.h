// The main window's control layout: every control's rectangle at design and the edges it keeps
// when the window is resized, as one table with its arithmetic, so that every view of the
// window places its controls alike.
//
// Controls whose text needs more room than at design (another font, a larger screen font) grow:
// a button or box keeps its left edge and widens; a right-aligned label keeps its right edge and
// grows to the left; when the labels of the two groups need more, their column widens and the
// boxes beside them start further right, that much narrower.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Anchors: an anchored edge keeps its distance to that edge of the parent on resizing. A control
// anchored to neither the left nor the right edge keeps its place in the middle.
enum : int { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };

struct TRect {
  int X = 0, Y = 0, W = 0, H = 0;
  bool operator==(const TRect&) const = default;
};

struct TSize {
  int W = 0, H = 0;
  bool operator==(const TSize&) const = default;
};

// One control: its name, the control it lies in ("" for the window), its rectangle in that
// parent at design and its anchors.
struct TPlace {
  std::string Name;
  std::string Parent;
  TRect Rect;
  int Anchors = akLeft | akTop;
};

// The window's client size and place at design, the groups' size, and the smallest outer size the
// window may take.
constexpr TSize kMainClientSize{354, 370};
constexpr TSize kMainGroupSize{337, 137};
constexpr int kMainDesignX = 192, kMainDesignY = 107;
constexpr TSize kMainMinOuterSize{350, 388};

// The width a control's text needs (its size hint), by control name; 0 when it needs no more
// than at design.
using TTextWidth = std::function<int(std::string_view name)>;

// The main window's controls, the window's own first (so a group has its new size before its
// controls are placed in it), each as its text widths make it.
std::vector<TPlace> MainLayout(const TTextWidth& needs);

// Where a control of the design rectangle with these anchors lies once its parent has grown (or
// shrunk) from its design size to size now; width and height never go below 0.
TRect Anchored(const TRect& design, int anchors, TSize designParent, TSize now);
