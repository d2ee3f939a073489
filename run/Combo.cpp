#include "run/Combo.h"

#include <algorithm>
#include <cctype>

#include "serial/PortProvider.h"

void TComboModel::Clear() {
  Items.clear();
  ItemIndex = -1;
  Text.clear();
}

void TComboModel::Select(int i) {
  if (i < 0 || i >= static_cast<int>(Items.size())) {
    ItemIndex = -1;
    return;
  }
  ItemIndex = i;
  Text = Items[static_cast<size_t>(i)];
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

namespace {

int IndexOf(const TComboModel& combo, const std::string& text) {
  for (size_t i = 0; i < combo.Items.size(); ++i)
    if (SameTextIgnoringCase(combo.Items[i], text)) return static_cast<int>(i);
  return -1;
}

}  // namespace

void SelectComboItem(TComboModel& combo, const std::string& text) {
  const int i = IndexOf(combo, text);
  combo.Select(i >= 0 ? i : 0);
}

void SelectPortItem(TComboModel& combo, const std::string& text) {
  if (IndexOf(combo, text) < 0 && IsNetworkPortName(text)) combo.Add(text);
  SelectComboItem(combo, text);
}

void AddComboHistory(TComboModel& combo) {
  const std::string text = combo.Text;
  const int i = IndexOf(combo, text);
  if (i > 0) combo.Items.erase(combo.Items.begin() + i);
  if (i != 0) combo.Items.insert(combo.Items.begin(), text);
  if (combo.Items.size() > 10) combo.Items.resize(10);
  combo.Select(0);
}

std::string ComboToLine(const TComboModel& combo) {
  std::string line;
  for (size_t i = 0; i < combo.Items.size(); ++i) {
    if (i) line += '\t';
    line += combo.Items[i];
  }
  return line;
}

void LineToCombo(TComboModel& combo, const std::string& line) {
  size_t start = 0;
  while (start < line.size()) {
    size_t tab = line.find('\t', start);
    if (tab == std::string::npos) tab = line.size();
    if (tab > start) combo.Items.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}
