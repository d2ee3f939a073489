// A combo box as the run and the settings file see it: its entries in insertion order, the
// selected index and the current text. The window shows such a model; loading packages and the
// settings file work on it without a window.
#pragma once

#include <string>
#include <vector>

struct TComboModel {
  std::vector<std::string> Items;
  int ItemIndex = -1;  // -1: nothing selected
  std::string Text;    // for a drop-down list, the selected entry's text

  void Clear();
  void Add(const std::string& item) { Items.push_back(item); }
  // Selects entry i (and takes its text), or nothing for -1.
  void Select(int i);
  bool operator==(const TComboModel&) const = default;
};

// Letter case is ignored when entries are compared (port names and file names alike).
bool SameTextIgnoringCase(const std::string& a, const std::string& b);

// Selects the first entry equal to text (letter case ignored), else entry 0.
void SelectComboItem(TComboModel& combo, const std::string& text);

// A port selector's choice: the entry equal to text (letter case ignored); a typed network port
// name ("rfc2217://…", "socket://…") that no entry holds becomes a new last entry and is
// selected; anything else selects entry 0 ("Auto detect").
void SelectPortItem(TComboModel& combo, const std::string& text);

// Moves the current text to the top of the history (inserting it when new), keeps at most ten
// entries, and selects the top one.
void AddComboHistory(TComboModel& combo);

// The entries joined with single tab characters.
std::string ComboToLine(const TComboModel& combo);

// Appends the tab-separated pieces of line as entries; empty pieces are skipped.
void LineToCombo(TComboModel& combo, const std::string& line);
