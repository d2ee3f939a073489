// The version every program reports: the project's version from the build files, and the day
// the build was configured.
#pragma once

#include <string>

// The version, for example "0.2.0" or "0.2.0~git20261211.131.abc1234".
const char* ProgramVersion();
// The one line "--version" prints: "NAME VERSION (built YYYY-MM-DD)".
std::string VersionLine(const std::string& programName);
