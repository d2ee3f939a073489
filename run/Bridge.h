// The operator bridge: every piece of window work a run needs. A front end (the Qt window, the
// console) implements it. Each call comes from the worker thread; the front end carries it onto
// its own thread and returns only when it has been done there.
#pragma once

#include <functional>

#include "run/ByteText.h"

class TOperatorBridge {
 public:
  virtual ~TOperatorBridge() = default;

  // A new last line of the log.
  virtual void ShowLogLine(const ByteText& text) = 0;
  // The progress bar: shown at 0, moved to percent (0 to 100), hidden. While finishing (the
  // closing server restore) the log view is refreshed with each step.
  virtual void ProgressStart() = 0;
  virtual void ProgressStep(int percent, bool finishing) = 0;
  virtual void ProgressEnd() = 0;
  // The status text (a carriage return is a line break) in place of the log, and back.
  virtual void ShowStatus(const ByteText& text) = 0;
  virtual void HideStatus() = 0;
  // The status text while the run waits for the handheld to be plugged into the dongle and
  // switched on, until HideStatus. A front end with nobody there to plug one in (a console at the
  // end of its answers) cancels the run here; the window shows it like any status text.
  virtual void ShowHandheldWait(const ByteText& text) { ShowStatus(text); }
  // The status text with an Ok button, or with Yes and No buttons. The answer comes back
  // through TRunRecord::ReleaseOperator.
  virtual void ShowOkPrompt(const ByteText& text) = 0;
  virtual void ShowYesNoPrompt(const ByteText& text) = 0;
  // The run has ended: the log stays, the Ok button leads back to set-up.
  virtual void EndRunUi() = 0;
  // Runs work on the front end's thread and waits for it (package loading reads the window's
  // file boxes and updates their histories there).
  virtual void RunOnUi(const std::function<void()>& work) = 0;
};
