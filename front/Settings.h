// The settings file: ten text lines next to the program that remember the operator's choices
// between program runs (window geometry, golden reference, restore and analysis-only choices,
// the chosen COM ports with the ports the devices were last found on, and three file histories).
//
// This part knows only the file's lines; the window decides what to take from them and what to
// put into them. Nothing here depends on the C locale, which the window toolkit sets from the
// environment.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr size_t kSettingsLines = 10;
using TSettingsLines = std::array<std::string, kSettingsLines>;

// What the file says, line by line.
struct TSettings {
  // Lines 1 to 4: the window's outer left, top, width and height; absent when the line was not
  // a valid integer (or was missing).
  std::optional<int32_t> Left, Top, Width, Height;
  // Line 5, choice letters: "B" golden reference is the handheld (else the server), "R" restore
  // the server's firmware, "M" restore the handheld's firmware, "A" analysis only.
  bool GoldTP = false;
  bool RestoreSrv = false;
  bool RestoreTP = false;
  bool AnalysisOnly = false;
  // Lines 6 and 7: the COM box's choice, a tab, the port the device was last found on.
  std::string COM1Choice, LastPort1;
  std::string COM2Choice, LastPort2;
  // Lines 8 to 10: the file histories, entries separated by tabs, most recent first.
  std::string History1, History2, History3;
};

// The integer conversion of the settings file: optional leading blanks, an optional sign, then
// decimal digits or hexadecimal digits after "$" or "0x"/"0X"; nothing else may follow. A
// hexadecimal value may use all 32 bits (it is taken as the signed value of that bit pattern);
// a decimal value must fit a signed 32-bit integer.
std::optional<int32_t> ParseSettingsInt(std::string_view text);

// Splits text into the ten lines; lines end with CR LF (a lone CR or LF is accepted too), and a
// line missing at the end reads as empty.
TSettingsLines SplitSettingsLines(std::string_view text);

TSettings ParseSettings(const TSettingsLines& lines);
// Line 1 to 4 are written in decimal from the geometry (0 for an absent value).
TSettingsLines FormatSettings(const TSettings& settings);

// Reads the file (UTF-8 text); false when it cannot be opened, lines then stay empty.
bool ReadSettingsFile(const std::string& fileName, TSettingsLines& lines);
// Replaces the file with the ten lines, each ended by CR LF. A failure stops the writing where it
// happened; it is not reported beyond the result.
bool WriteSettingsFile(const std::string& fileName, const TSettingsLines& lines);
