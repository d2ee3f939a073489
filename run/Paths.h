// How file names are split on this platform (internal to run/): the characters that end a
// folder name. POSIX: '/'. Windows: '\', '/' and the drive's ':'.
#pragma once

extern const char kPathSeparators[];
