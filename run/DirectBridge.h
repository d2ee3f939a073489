// A bridge for programs without a window (benchmarks, fuzzing) and for tests: every call is
// carried out at once on the calling thread, and nothing is shown unless a subclass says so.
#pragma once

#include "run/Bridge.h"

class TDirectBridge : public TOperatorBridge {
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
