// Facts of this platform: how file names are split (the characters that end a folder name;
// POSIX: '/'; Windows: '\', '/' and the drive's ':'), how file names and command-line arguments
// become the program's UTF-8 text, and the station's name.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

extern const char kPathSeparators[];

// A file name as the program keeps it (UTF-8) as the system's path. On POSIX the bytes stay as
// they are; on Windows a narrow name handed to the C library or to a path would be read in the
// ANSI code page, so a folder named beyond ASCII (a user's data folder, a folder chosen in a
// file dialog) would be another folder.
// Every file-system call of the program takes its name through here; a path is never made from a
// narrow string directly.
inline std::filesystem::path FilePath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The other way: a path the system gave (a folder listing, the program's own file, a known
// folder) as the program's UTF-8 name. path::string() would give the ANSI code page on Windows,
// which cannot spell every name (and throws on one it cannot).
inline std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The program's command-line arguments in UTF-8, its own name first. On POSIX they are argv as
// given; on Windows the narrow argv holds them in the ANSI code page ("Jörg" arrives as
// "J\xf6rg", a letter the page lacks as '?'), so they are read from the wide command line.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// This computer's name, as production records name the station ("unknown" when there is none).
std::string StationName();
