#include "run/RunRecord.h"

void TOperatorGate::Release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  cv_.notify_all();
}

void TOperatorGate::Terminate() {
  std::lock_guard lock(mutex_);
  terminated_ = true;
  cv_.notify_all();
}

void TOperatorGate::Wait() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return released_ || terminated_; });
  released_ = false;
}

TRunRecord::TRunRecord(TMainFields& main, TOperatorBridge& bridge, Clock& clock)
    : Main(main), Bridge(bridge), Clk(clock) {
  for (auto& image : SrvImage) image.fill(kSrvNoData);
}

void TRunRecord::RequestTermination() {
  terminated_.store(true, std::memory_order_release);
  gate_.Terminate();
}

void TRunRecord::ReleaseOperator(bool answeredNo) {
  // The worker is blocked in OperatorWait while a prompt is shown, so Outcome is not in use;
  // the gate's lock hands the new value over to it.
  if (answeredNo) Outcome = kOutcomeAnswerNo;
  gate_.Release();
}

void TRunRecord::OperatorWait() { gate_.Wait(); }

void AddLog(TRunRecord& run, const ByteText& text) {
  run.Reply = text;
  run.LastLog = text;
  // The trace is records ended by a carriage return, without line feeds: a log line that holds
  // line breaks (the lists of failed files, CR LF before each item) becomes one ">" record per
  // line, so that no line of it can pass for a record of another kind.
  run.ErrLog += '>';
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      run.ErrLog += c;
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    run.ErrLog += "\r>";
  }
  run.ErrLog += '\r';
  run.Bridge.ShowLogLine(run.Reply);
}

void ShowLogLine(TRunRecord& run) { run.Bridge.ShowLogLine(run.Reply); }

void ProgressStart(TRunRecord& run) { run.Bridge.ProgressStart(); }

void ProgressAdvance(TRunRecord& run, uint16_t& done, uint16_t total) {
  ++done;
  if (total == 0) return;
  const unsigned pct = static_cast<unsigned>(done) * 100u / total;
  if (pct > run.NewComp) {
    run.NewComp = static_cast<uint8_t>(pct);
    run.Bridge.ProgressStep(run.NewComp, run.Finishing);
  }
}

void ProgressEnd(TRunRecord& run) { run.Bridge.ProgressEnd(); }
