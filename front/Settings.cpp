#include "front/Settings.h"

#include <fstream>
#include <limits>

#include "run/Paths.h"

namespace {

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void SplitAtTab(const std::string& line, std::string& choice, std::string& lastPort) {
  const size_t tab = line.find('\t');
  if (tab == std::string::npos) {
    choice = line;
    lastPort.clear();
  } else {
    choice = line.substr(0, tab);
    lastPort = line.substr(tab + 1);
  }
}

}  // namespace

std::optional<int32_t> ParseSettingsInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;

  const uint64_t limit = hex ? 0xFFFFFFFFull
                             : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int d = DigitValue(text[i], hex);
    if (d < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (value > limit) return std::nullopt;
  }
  uint32_t bits = static_cast<uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

TSettingsLines SplitSettingsLines(std::string_view text) {
  TSettingsLines lines;
  size_t n = 0;
  size_t start = 0;
  while (start < text.size() && n < kSettingsLines) {
    size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    lines[n++] = std::string(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r') ++end;
    if (end < text.size() && text[end] == '\n') ++end;
    start = end;
  }
  return lines;
}

TSettings ParseSettings(const TSettingsLines& lines) {
  TSettings s;
  s.Left = ParseSettingsInt(lines[0]);
  s.Top = ParseSettingsInt(lines[1]);
  s.Width = ParseSettingsInt(lines[2]);
  s.Height = ParseSettingsInt(lines[3]);
  // Only the letters that mean "yes" are looked for; a line without "B" means the server is the
  // golden reference, whatever else it holds.
  const std::string& letters = lines[4];
  s.GoldTP = letters.find('B') != std::string::npos;
  s.RestoreSrv = letters.find('R') != std::string::npos;
  s.RestoreTP = letters.find('M') != std::string::npos;
  s.AnalysisOnly = letters.find('A') != std::string::npos;
  SplitAtTab(lines[5], s.COM1Choice, s.LastPort1);
  SplitAtTab(lines[6], s.COM2Choice, s.LastPort2);
  s.History1 = lines[7];
  s.History2 = lines[8];
  s.History3 = lines[9];
  return s;
}

TSettingsLines FormatSettings(const TSettings& s) {
  TSettingsLines lines;
  lines[0] = std::to_string(s.Left.value_or(0));
  lines[1] = std::to_string(s.Top.value_or(0));
  lines[2] = std::to_string(s.Width.value_or(0));
  lines[3] = std::to_string(s.Height.value_or(0));
  // One character, not a string literal: GCC 12 with FORTIFY warns falsely (-Wrestrict) about
  // the copy of a literal into the string here.
  lines[4].assign(1, s.GoldTP ? 'B' : 'S');
  if (s.RestoreSrv) lines[4] += 'R';
  if (s.RestoreTP) lines[4] += 'M';
  if (s.AnalysisOnly) lines[4] += 'A';
  lines[5] = s.COM1Choice + '\t' + s.LastPort1;
  lines[6] = s.COM2Choice + '\t' + s.LastPort2;
  lines[7] = s.History1;
  lines[8] = s.History2;
  lines[9] = s.History3;
  return lines;
}

bool ReadSettingsFile(const std::string& fileName, TSettingsLines& lines) {
  std::ifstream file(FilePath(fileName), std::ios::binary);
  if (!file.is_open()) return false;
  // A read error part-way (or a directory in the file's place) leaves what was read so far;
  // the missing lines read as empty.
  std::string text;
  char buffer[4096];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0)
    text.append(buffer, static_cast<size_t>(file.gcount()));
  lines = SplitSettingsLines(text);
  return true;
}

bool WriteSettingsFile(const std::string& fileName, const TSettingsLines& lines) {
  std::ofstream file(FilePath(fileName), std::ios::binary | std::ios::trunc);
  if (!file.is_open()) return false;
  for (const std::string& line : lines) {
    file.write(line.data(), static_cast<std::streamsize>(line.size()));
    file.write("\r\n", 2);
  }
  file.close();
  return !file.fail();
}
