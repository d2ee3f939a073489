// Facts of this platform: how file names are split (the characters that end a folder name;
// POSIX: '/'; Windows: '\', '/' and the drive's ':'), and the station's name.
#pragma once

#include <filesystem>
#include <string>

extern const char kPathSeparators[];

// A file name as the program keeps it (UTF-8) as the system's path. On POSIX the bytes stay as
// they are; on Windows a narrow name handed to the C library or to a path would be read in the
// ANSI code page, so a folder named beyond ASCII (a user's data folder, a folder chosen in a
// file dialog) would be another folder.
inline std::filesystem::path FilePath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// This computer's name, as production records name the station ("unknown" when there is none).
std::string StationName();
