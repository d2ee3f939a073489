#include "run/Version.h"

// Both come from the build files (the project version and the configure date), for this one file.
#ifndef TPTUNE_VERSION
#error "TPTUNE_VERSION must be defined by the build"
#endif
#ifndef TPTUNE_BUILD_DATE
#error "TPTUNE_BUILD_DATE must be defined by the build"
#endif

const char* ProgramVersion() { return TPTUNE_VERSION; }

std::string VersionLine(const std::string& programName) {
  return programName + " " + TPTUNE_VERSION + " (built " + TPTUNE_BUILD_DATE + ")";
}
