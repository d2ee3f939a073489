// A run record for the fuzz targets, with a bridge that drops everything it is shown.
#pragma once

#include <cstdlib>

#include "run/DirectBridge.h"
#include "run/RunRecord.h"

// One run record per fuzz process: the images are large and every decoder overwrites what it
// uses.
struct TFuzzRun {
  TMainFields Main;
  TDirectBridge Bridge;
  TRunRecord Run{Main, Bridge, RealClock()};

  static TFuzzRun& Get() {
    static TFuzzRun instance;
    return instance;
  }
};

// A broken promise of the code under test is a crash for the fuzzer.
inline void Require(bool condition) {
  if (!condition) std::abort();
}
