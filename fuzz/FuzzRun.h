// A run record for the fuzz targets, with a bridge that drops everything it is shown.
#pragma once

#include <cstdlib>

#include "run/RunRecord.h"

class TSilentBridge : public TOperatorBridge {
 public:
  void ShowLogLine(const ByteText&) override {}
  void ProgressStart() override {}
  void ProgressStep(int, bool) override {}
  void ProgressEnd() override {}
  void ShowStatus(const ByteText&) override {}
  void HideStatus() override {}
  void ShowOkPrompt(const ByteText&) override {}
  void ShowYesNoPrompt(const ByteText&) override {}
  void EndRunUi() override {}
  void RunOnUi(const std::function<void()>& work) override { work(); }
};

// One run record per fuzz process: the images are large and every decoder overwrites what it
// uses.
struct TFuzzRun {
  TMainFields Main;
  TSilentBridge Bridge;
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
