// The main window's layout table and its arithmetic: where each control lies at design, as its
// texts' widths make it, and after the window was resized.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>

#include "front/MainLayout.h"

void PrintTo(const TRect& r, std::ostream* os) {
  *os << "{" << r.X << ", " << r.Y << ", " << r.W << ", " << r.H << "}";
}

namespace {

std::map<std::string, TPlace> ByName(const std::vector<TPlace>& layout) {
  std::map<std::string, TPlace> m;
  for (const TPlace& p : layout) m[p.Name] = p;
  return m;
}

TEST(MainLayout, AnchorsMoveAndStretchByTheParentsChange) {
  const TRect r{24, 336, 97, 25};
  const TSize design{354, 370};
  const struct {
    const char* name;
    int anchors;
    TSize now;
    TRect expected;
  } cases[] = {
      {"left and top: stays", akLeft | akTop, {454, 470}, {24, 336, 97, 25}},
      {"right: moves with the right edge", akRight | akTop, {454, 370}, {124, 336, 97, 25}},
      {"left and right: stretches", akLeft | akRight | akTop, {454, 370}, {24, 336, 197, 25}},
      {"neither: keeps its place in the middle", akTop, {455, 370}, {74, 336, 97, 25}},
      {"neither, odd shrink: rounds toward the design place", akTop, {351, 370},
       {23, 336, 97, 25}},
      {"bottom: moves with the bottom edge", akLeft | akBottom, {354, 400}, {24, 366, 97, 25}},
      {"top and bottom: stretches", akLeft | akTop | akBottom, {354, 400}, {24, 336, 97, 55}},
      {"no bottom anchor: height stays", akLeft | akTop, {354, 300}, {24, 336, 97, 25}},
      {"shrunk below nothing: width and height stop at 0", akLeft | akRight | akTop | akBottom,
       {200, 300}, {24, 336, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(Anchored(r, c.anchors, design, c.now), c.expected) << c.name;
}

TEST(MainLayout, DesignPlacesWhenTheTextsFit) {
  const auto m = ByName(MainLayout([](std::string_view) { return 0; }));
  ASSERT_EQ(m.size(), 29u);
  const struct {
    const char* name;
    TRect rect;
    int anchors;
  } cases[] = {
      {"StatTxt", {8, 8, 337, 297}, akLeft | akTop | akRight | akBottom},
      {"LogMemo", {8, 8, 337, 297}, akLeft | akTop | akRight | akBottom},
      {"PrcBar", {8, 312, 337, 16}, akLeft | akRight | akBottom},
      {"GoldTxt", {32, 7, 82, 17}, akLeft | akTop},
      {"TPradio", {120, 7, 81, 17}, akLeft | akTop},
      {"SRVradio", {216, 7, 57, 17}, akLeft | akTop},
      {"AnaChk", {30, 24, 259, 17}, akLeft | akTop},
      {"TPGroup", {8, 44, 337, 137}, akLeft | akTop | akRight},
      {"SrvGroup", {8, 184, 337, 137}, akLeft | akTop | akRight},
      // The bottom row: one size; Start keeps its left edge, Exit its right, Records between.
      {"StartBut", {24, 336, 97, 25}, akLeft | akBottom},
      {"RecordsBut", {128, 336, 97, 25}, akBottom},
      {"ExitBut", {232, 336, 97, 25}, akRight | akBottom},
      {"COM1Txt", {60, 21, 46, 21}, akLeft | akTop},
      {"COM1Combo", {112, 21, 169, 21}, akLeft | akTop | akRight},
      {"Upd1But", {288, 21, 31, 21}, akTop | akRight},
      {"TPchk", {112, 54, 153, 17}, akLeft | akTop},
      {"File2Combo", {112, 101, 169, 21}, akLeft | akTop | akRight},
      {"SrvChk", {112, 64, 153, 17}, akLeft | akTop},
      {"File3Txt", {33, 101, 73, 21}, akLeft | akTop},
      {"Browse3But", {288, 101, 31, 21}, akTop | akRight},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(m.count(c.name));
    EXPECT_EQ(m.at(c.name).Rect, c.rect);
    EXPECT_EQ(m.at(c.name).Anchors, c.anchors);
  }
  // Each control lies inside its parent at design, and the window's own come first.
  bool inGroups = false;
  for (const TPlace& p : MainLayout([](std::string_view) { return 0; })) {
    SCOPED_TRACE(p.Name);
    const TSize parent = p.Parent.empty() ? kMainClientSize : kMainGroupSize;
    EXPECT_GE(p.Rect.X, 0);
    EXPECT_LE(p.Rect.X + p.Rect.W, parent.W);
    EXPECT_LE(p.Rect.Y + p.Rect.H, parent.H);
    if (!p.Parent.empty()) inGroups = true;
    EXPECT_TRUE(!inGroups || !p.Parent.empty()) << "a window control after the groups' controls";
  }
}

// A font that needs more room: the controls grow the way their alignment says.
TEST(MainLayout, WiderTextsGrowTheirControls) {
  const std::map<std::string, int, std::less<>> widths = {
      {"GoldTxt", 100},  {"TPradio", 120},  {"AnaChk", 300},  {"TPchk", 160},
      {"File1Txt", 130}, {"COM2Txt", 60},   {"StartBut", 140}};
  const auto m = ByName(MainLayout([&](std::string_view name) {
    const auto it = widths.find(name);
    return it == widths.end() ? 0 : it->second;
  }));
  // A right-aligned label keeps its right edge and grows to the left.
  EXPECT_EQ(m.at("GoldTxt").Rect, (TRect{14, 7, 100, 17}));
  // The second radio button moves right of a wider first one.
  EXPECT_EQ(m.at("TPradio").Rect, (TRect{120, 7, 120, 17}));
  EXPECT_EQ(m.at("SRVradio").Rect.X, 248);
  // The analysis box keeps its right end, as far as the window's edge allows.
  EXPECT_EQ(m.at("AnaChk").Rect, (TRect{4, 24, 300, 17}));
  // The widest label widens the column of both groups; the boxes start further right, narrower,
  // and keep their right end.
  EXPECT_EQ(m.at("File1Txt").Rect, (TRect{6, 77, 130, 21}));
  EXPECT_EQ(m.at("COM2Txt").Rect, (TRect{60, 21, 76, 21}));
  for (const char* box : {"COM1Combo", "File1Combo", "File2Combo", "COM2Combo", "File3Combo"}) {
    EXPECT_EQ(m.at(box).Rect.X, 142) << box;
    EXPECT_EQ(m.at(box).Rect.X + m.at(box).Rect.W, 281) << box;
  }
  EXPECT_EQ(m.at("TPchk").Rect, (TRect{142, 54, 160, 17}));
  EXPECT_EQ(m.at("SrvChk").Rect, (TRect{142, 64, 153, 17}));
  // The bottom row keeps its one size.
  EXPECT_EQ(m.at("StartBut").Rect.W, 97);
}

}  // namespace
