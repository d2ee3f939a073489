#include "front/MarshalledBridge.h"

TMarshalledBridge::TMarshalledBridge(TOperatorBridge& frontEnd, std::function<void()> wake)
    : frontEnd_(frontEnd), frontEndThread_(std::this_thread::get_id()) {
  queue_.SetWakeHook(std::move(wake));
}

bool TMarshalledBridge::Serve(std::chrono::milliseconds timeout) { return queue_.Serve(timeout); }

void TMarshalledBridge::OnFrontEnd(const std::function<void()>& work) {
  if (std::this_thread::get_id() == frontEndThread_)
    work();
  else
    queue_.Call(work);
}

void TMarshalledBridge::ShowLogLine(const ByteText& text) {
  OnFrontEnd([&] { frontEnd_.ShowLogLine(text); });
}
void TMarshalledBridge::ProgressStart() {
  OnFrontEnd([&] { frontEnd_.ProgressStart(); });
}
void TMarshalledBridge::ProgressStep(int percent, bool finishing) {
  OnFrontEnd([&] { frontEnd_.ProgressStep(percent, finishing); });
}
void TMarshalledBridge::ProgressEnd() {
  OnFrontEnd([&] { frontEnd_.ProgressEnd(); });
}
void TMarshalledBridge::ShowStatus(const ByteText& text) {
  OnFrontEnd([&] { frontEnd_.ShowStatus(text); });
}

void TMarshalledBridge::ShowHandheldWait(const ByteText& text) {
  OnFrontEnd([&] { frontEnd_.ShowHandheldWait(text); });
}
void TMarshalledBridge::HideStatus() {
  OnFrontEnd([&] { frontEnd_.HideStatus(); });
}
void TMarshalledBridge::ShowOkPrompt(const ByteText& text) {
  OnFrontEnd([&] { frontEnd_.ShowOkPrompt(text); });
}
void TMarshalledBridge::ShowYesNoPrompt(const ByteText& text) {
  OnFrontEnd([&] { frontEnd_.ShowYesNoPrompt(text); });
}
void TMarshalledBridge::EndRunUi() {
  OnFrontEnd([&] { frontEnd_.EndRunUi(); });
}
void TMarshalledBridge::RunOnUi(const std::function<void()>& work) {
  OnFrontEnd([&] { frontEnd_.RunOnUi(work); });
}
