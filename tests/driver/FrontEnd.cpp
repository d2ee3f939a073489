#include "FrontEnd.h"

#include <stdexcept>

void TScriptedFrontEnd::Drive(TSerThread& worker) {
  worker_ = &worker;
  while (!worker.Ended()) {
    queue_.Serve(std::chrono::milliseconds(20));
    if (promptPending_) Answer();
  }
  worker.Join();
}

void TScriptedFrontEnd::Answer() {
  promptPending_ = false;
  // Out of answers: the operator closes the window.
  const std::string a = nextAnswer_ < answers.size() ? answers[nextAnswer_++] : "cancel";
  if (a == "cancel") {
    worker_->RequestTermination();
  } else if (a == "no" && yesNo_) {
    worker_->ReleaseOperator(true);
  } else if (a == "ok" || (a == "yes" && yesNo_)) {
    worker_->ReleaseOperator(false);
  } else {
    throw std::logic_error("answer " + a + " does not fit the prompt");
  }
}

void TScriptedFrontEnd::ShowLogLine(const ByteText& text) {
  queue_.Call([&] {
    log.push_back(text);
    if (!cancelAtLine.empty() && text == cancelAtLine) worker_->RequestTermination();
  });
}

void TScriptedFrontEnd::ProgressStart() {}
void TScriptedFrontEnd::ProgressStep(int, bool) {
  queue_.Call([&] { ++progressSteps; });
}
void TScriptedFrontEnd::ProgressEnd() {}
void TScriptedFrontEnd::ShowStatus(const ByteText& text) {
  queue_.Call([&] { statuses.push_back(text); });
}
void TScriptedFrontEnd::HideStatus() {}

void TScriptedFrontEnd::ShowOkPrompt(const ByteText& text) {
  queue_.Call([&] {
    prompts.push_back(text);
    promptPending_ = true;
    yesNo_ = false;
  });
}

void TScriptedFrontEnd::ShowYesNoPrompt(const ByteText& text) {
  queue_.Call([&] {
    prompts.push_back(text);
    promptPending_ = true;
    yesNo_ = true;
  });
}

void TScriptedFrontEnd::EndRunUi() {
  queue_.Call([&] { runEnded = true; });
}

void TScriptedFrontEnd::RunOnUi(const std::function<void()>& work) { queue_.Call(work); }
