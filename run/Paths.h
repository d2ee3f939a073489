// Facts of this platform: how file names are split (the characters that end a folder name;
// POSIX: '/'; Windows: '\', '/' and the drive's ':'), and the station's name.
#pragma once

#include <string>

extern const char kPathSeparators[];

// This computer's name, as production records name the station ("unknown" when there is none).
std::string StationName();
