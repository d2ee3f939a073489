#include "front/MainPresenter.h"

#include <algorithm>

#include "run/Clock.h"
#include "run/MainFields.h"
#include "tuning/SerThread.h"

const char kCaptionStartFirst[] = "&Start!";
const char kCaptionStartAgain[] = "&Start";
const char kCaptionOk[] = "&Ok";
const char kCaptionYes[] = "&Yes";
const char kCaptionNo[] = "&No";
const char kCaptionCancel[] = "&Cancel";
const char kCaptionExit[] = "&Exit";

TChoiceControls ChoiceControls(bool goldHandheld, bool restoreHandheld, bool restoreServer,
                               bool bundled) {
  if (bundled) return {};
  TChoiceControls c;
  // The golden device keeps its firmware unless asked; the tuned one always gets it back.
  c.HandheldRestoreShown = goldHandheld;
  c.ServerRestoreShown = !goldHandheld;
  // A device's packages are needed when its firmware is restored.
  c.HandheldFilesShown = restoreHandheld || !goldHandheld;
  c.ServerFilesShown = restoreServer || goldHandheld;
  return c;
}

// The presenter's side of the operator bridge, on the view's thread.
class TMainPresenter::TSide final : public TOperatorBridge {
 public:
  explicit TSide(TMainPresenter& p) : p_(p) {}

  void ShowLogLine(const ByteText& text) override { p_.view_.AppendLog(text); }
  void ProgressStart() override {
    p_.state_.Progress = 0;
    p_.state_.ProgressFinishing = false;
    p_.state_.ProgressShown = true;
    p_.Render();
  }
  void ProgressStep(int percent, bool finishing) override {
    p_.state_.Progress = std::clamp(percent, 0, 100);
    p_.state_.ProgressFinishing = finishing;
    p_.Render();
  }
  void ProgressEnd() override {
    p_.state_.ProgressShown = false;
    p_.Render();
  }
  void ShowStatus(const ByteText& text) override {
    Status(text, TMainMode::Status);
    p_.Render();
  }
  void HideStatus() override {
    p_.state_.Mode = TMainMode::Running;
    p_.state_.StatusShown = false;
    p_.state_.LogShown = true;
    p_.Render(TMainFocus::Log);
  }
  void ShowOkPrompt(const ByteText& text) override {
    Status(text, TMainMode::OkPrompt);
    p_.state_.StartCaption = kCaptionOk;
    p_.state_.StartShown = true;
    p_.Render(TMainFocus::Start);
  }
  void ShowYesNoPrompt(const ByteText& text) override {
    Status(text, TMainMode::YesNoPrompt);
    p_.state_.StartCaption = kCaptionYes;
    p_.state_.StartShown = true;
    p_.state_.ExitCaption = kCaptionNo;
    p_.Render(TMainFocus::Start);
  }
  void EndRunUi() override {
    TMainState& s = p_.state_;
    s.Mode = TMainMode::Ended;
    s.StatusShown = false;
    s.LogShown = true;
    s.StartShown = true;
    s.ExitShown = false;
    p_.Render(TMainFocus::Start);
  }
  void RunOnUi(const std::function<void()>& work) override {
    // Package loading reads the file boxes' run copies and updates their histories.
    work();
    p_.view_.FilesChanged();
  }

 private:
  // The status text in place of the log and the progress bar.
  void Status(const ByteText& text, TMainMode mode) {
    TMainState& s = p_.state_;
    s.Mode = mode;
    s.LogShown = false;
    s.ProgressShown = false;
    s.StatusText = text;
    s.StatusShown = true;
  }

  TMainPresenter& p_;
};

TMainPresenter::TMainPresenter(TMainView& view, TMainFields& fields, Clock& clock,
                               TRecordSink* records)
    : view_(view),
      fields_(fields),
      clock_(clock),
      records_(records),
      side_(std::make_unique<TSide>(*this)),
      bridge_(*side_, [this] { view_.Wake(); }) {}

TMainPresenter::~TMainPresenter() { Stop(); }

void TMainPresenter::Render(TMainFocus focus) {
  state_.Focus = focus;
  view_.Render(state_);
}

bool TMainPresenter::PromptWaiting() const {
  return worker_ &&
         (state_.Mode == TMainMode::OkPrompt || state_.Mode == TMainMode::YesNoPrompt);
}

// An answered prompt: the log again, Cancel the one button.
void TMainPresenter::ToRunning() {
  state_.Mode = TMainMode::Running;
  state_.StatusShown = false;
  state_.LogShown = true;
  state_.StartShown = false;
  state_.StartCaption = kCaptionOk;
  state_.ExitCaption = kCaptionCancel;
  Render(TMainFocus::Log);
}

void TMainPresenter::Start() {
  switch (state_.Mode) {
    case TMainMode::SetUp:
      view_.RunStarting();
      state_.Mode = TMainMode::Running;
      state_.SetUpShown = false;
      state_.StatusShown = false;
      state_.StartShown = false;
      state_.StartCaption = kCaptionOk;
      state_.ExitCaption = kCaptionCancel;
      Render();
      worker_ = std::make_unique<TSerThread>(fields_, bridge_, clock_, records_);
      break;
    case TMainMode::OkPrompt:
    case TMainMode::YesNoPrompt:
      ToRunning();
      if (worker_) worker_->ReleaseOperator(false);
      break;
    case TMainMode::Ended:
      state_.Mode = TMainMode::SetUp;
      state_.LogShown = false;
      state_.ProgressShown = false;
      state_.SetUpShown = true;
      state_.ExitCaption = kCaptionExit;
      state_.ExitShown = true;
      state_.StartCaption = kCaptionStartAgain;
      Render();
      if (worker_) worker_->Join();
      worker_.reset();
      break;
    case TMainMode::Running:
    case TMainMode::Status:
      // Start is not shown while the run goes on.
      break;
  }
}

void TMainPresenter::Exit() {
  switch (state_.Mode) {
    case TMainMode::SetUp:
      view_.CloseWindow();
      break;
    case TMainMode::YesNoPrompt:
      ToRunning();
      // No: the run goes on with the answer.
      if (worker_) worker_->ReleaseOperator(true);
      break;
    case TMainMode::Ended:
      // Exit is not shown once the run has ended.
      break;
    default:
      if (worker_) {
        // Termination also opens the operator wait, now or when the worker reaches it; the
        // worker stays until Start leads back to set-up.
        worker_->RequestTermination();
        WaitForEnd();
      }
      break;
  }
}

void TMainPresenter::WaitForEnd() {
  view_.PumpUntil([this] { return !worker_ || state_.Mode == TMainMode::Ended; });
}

void TMainPresenter::Stop() {
  if (!worker_) return;
  worker_->RequestTermination();
  WaitForEnd();
  // A handler run from the wait (Start in the Run ended view) may have freed it already.
  if (worker_) {
    worker_->Join();
    worker_.reset();
  }
}

void TMainPresenter::Close(const std::function<void()>& withFields) {
  // The worker writes the last-found ports while it runs freely; only while it waits for the
  // operator (or has ended) are the fields the window's. Otherwise it is stopped first.
  if (worker_ && state_.Mode != TMainMode::Ended && !PromptWaiting()) Stop();
  if (withFields) withFields();
  Stop();
}
