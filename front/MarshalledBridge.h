// The operator bridge a front end hands the run. Each call of the worker is carried onto the
// front end's own thread through a call queue and carried out there by the front end's side of
// the bridge (the window or the console itself, which then never has to think about threads);
// the worker waits until it has run. Whenever a call is queued, the wake hook tells the front
// end's thread to serve the queue (Qt: a queued call; Win32: a posted message); a front end
// that serves the queue in a loop of its own (the console) needs none.
//
// A call made on the front end's own thread (its side of the bridge asking for more while it
// serves one, say) runs at once.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "run/Bridge.h"
#include "run/CallQueue.h"

class TMarshalledBridge final : public TOperatorBridge {
 public:
  // Made on the front end's thread, whose calls then run at once.
  explicit TMarshalledBridge(TOperatorBridge& frontEnd, std::function<void()> wake = {});

  // Front end's thread: runs every call that is waiting, waiting up to timeout for the first.
  // True when it ran one.
  bool Serve(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

  void ShowLogLine(const ByteText& text) override;
  void ProgressStart() override;
  void ProgressStep(int percent, bool finishing) override;
  void ProgressEnd() override;
  void ShowStatus(const ByteText& text) override;
  void ShowHandheldWait(const ByteText& text) override;
  void HideStatus() override;
  void ShowOkPrompt(const ByteText& text) override;
  void ShowYesNoPrompt(const ByteText& text) override;
  void EndRunUi() override;
  void RunOnUi(const std::function<void()>& work) override;

 private:
  void OnFrontEnd(const std::function<void()>& work);

  TOperatorBridge& frontEnd_;
  const std::thread::id frontEndThread_;
  TCallQueue queue_;
};
