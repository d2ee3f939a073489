// A scripted front end for whole runs: it serves the worker's bridge calls on the test's own
// thread (as a window or console would), records what the operator would see, answers the
// prompts from a list, and can press Cancel when a given log line appears.
#pragma once

#include <string>
#include <vector>

#include "run/Bridge.h"
#include "run/CallQueue.h"
#include "tuning/SerThread.h"

class TScriptedFrontEnd final : public TOperatorBridge {
 public:
  // Answers: "ok", "yes", "no", or "cancel" (Cancel, or closing the window at a question).
  std::vector<std::string> answers;
  // Cancel when this log line is shown (empty: never).
  std::string cancelAtLine;

  // What was shown: log lines, status texts, prompts (in order), progress steps.
  std::vector<std::string> log;
  std::vector<std::string> statuses;
  std::vector<std::string> prompts;
  int progressSteps = 0;
  bool runEnded = false;

  // Serves the worker until it has ended.
  void Drive(TSerThread& worker);

  void ShowLogLine(const ByteText& text) override;
  void ProgressStart() override;
  void ProgressStep(int percent, bool finishing) override;
  void ProgressEnd() override;
  void ShowStatus(const ByteText& text) override;
  void HideStatus() override;
  void ShowOkPrompt(const ByteText& text) override;
  void ShowYesNoPrompt(const ByteText& text) override;
  void EndRunUi() override;
  void RunOnUi(const std::function<void()>& work) override;

 private:
  void Answer();
  TCallQueue queue_;
  TSerThread* worker_ = nullptr;
  bool promptPending_ = false;
  bool yesNo_ = false;
  size_t nextAnswer_ = 0;
};
