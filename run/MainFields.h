// The window's fields that a run reads and writes. The front end fills them before it starts a
// run and leaves them alone while the run is under way (its set-up controls are hidden then);
// the worker writes the last-found ports and may exchange the two port roles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run/Combo.h"

class TComPort;

// The settings file of a program file: its name with the three-letter extension replaced by
// "INI" ("tune.exe" gives "tune.INI"); a name without such an extension gets ".INI" appended.
std::string SettingsFileName(const std::string& programPath);
// The error log file beside the settings file: the last three characters replaced by "ERR".
std::string ErrorLogFileName(const std::string& iniName);
// The program's directory with its trailing separator ("" when the name has none). Folders end
// in '/' on POSIX systems; on Windows in '\', '/' or a drive's ':'.
std::string ProgramDirectory(const std::string& programPath);

struct TMainFields {
  bool GoldTP = false;        // the handheld is the golden reference (else the server is)
  bool RestoreSrv = false;    // restore the server firmware after the test
  bool RestoreTP = false;     // restore the handheld's firmware after the test
  bool AnalysisOnly = false;  // measure only, store nothing
  std::string ProgDir;        // the program's directory, with its trailing separator
  std::string IniName;        // the settings file; the error log file takes its name from it
  std::string TraceName;      // where the error log file goes instead, when not empty
  std::string LastPort1;      // where the dongle was last found
  std::string LastPort2;      // where the server was last found
  // The embedded firmware bundle of the program file, or none.
  std::shared_ptr<const std::vector<uint8_t>> EmbPkg;

  // The port objects in their roles: SerIF1 the dongle side, SerIF2 the server side.
  TComPort* SerIF1 = nullptr;
  TComPort* SerIF2 = nullptr;

  // Port selectors (entry 0 is "Auto detect") and the three firmware file boxes.
  TComboModel COM1Combo, COM2Combo;
  TComboModel File1Combo, File2Combo, File3Combo;
};
