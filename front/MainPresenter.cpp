#include "front/MainPresenter.h"

#include <algorithm>
#include <chrono>

#include "firmware/Packages.h"
#include "front/FrontEndSetup.h"
#include "front/RecordsPlaces.h"
#include "front/Settings.h"
#include "records/RecordSink.h"
#include "run/Clock.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"
#include "tuning/SerThread.h"

const char kCaptionStartFirst[] = "&Start!";
const char kCaptionStartAgain[] = "&Start";
const char kCaptionOk[] = "&Ok";
const char kCaptionYes[] = "&Yes";
const char kCaptionNo[] = "&No";
const char kCaptionCancel[] = "&Cancel";
const char kCaptionExit[] = "&Exit";
const char kMainCaption[] = "TallyPilot Pro automatic fine-tuning tool";
const char kAutoDetect[] = "Auto detect";

namespace {

const char kNoRecords[] = "No production records are kept";
const char kTPFilter[] =
    "TPF packages (*.TPF)|*.TPF|Binary files (*.BIN)|*.BIN|Any file (*.*)|*.*";
const char kSrvFilter[] = "SFF packages (*.SFF)|*.SFF|HEX files (*.HEX)|*.HEX|Any file (*.*)|*.*";

// What "..." asks for, per file box.
TFileRequest FileRequestFor(TMainBox box) {
  switch (box) {
    case TMainBox::File1:
      return {"Select RF modem firmware", kTPFilter, "TPF", {}};
    case TMainBox::File2:
      return {"Select TallyPilot firmware", kTPFilter, "TPF", {}};
    default:
      return {"Select server firmware", kSrvFilter, "SFF", {}};
  }
}

}  // namespace

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
  // Package loading reads the file boxes and updates their histories; the set-up view shows
  // them when it comes back.
  void RunOnUi(const std::function<void()>& work) override { work(); }

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
                               TRecordSink* records, TMainPresenterOptions options)
    : view_(view),
      fields_(fields),
      clock_(clock),
      records_(records),
      options_(std::move(options)),
      side_(std::make_unique<TSide>(*this)),
      bridge_(*side_, [this] { view_.Wake(); }) {
  state_.RecordsEnabled = RecordsKept();
  if (!state_.RecordsEnabled) state_.RecordsHint = kNoRecords;
  // A record written on the sink's thread reaches this thread through the view's wake-up:
  // an open Records window reads again and the golden drift is checked again.
  if (state_.RecordsEnabled)
    records_->SetWrittenHandler([this] {
      recordsWritten_ = true;
      view_.Wake();
    });
  SyncSetUp();
}

TMainPresenter::~TMainPresenter() {
  // No record sink tells a presenter that is gone of records, and no worker calls into it.
  if (RecordsKept()) records_->SetWrittenHandler(nullptr);
  Stop();
}

bool TMainPresenter::RecordsKept() const {
  return records_ && !records_->Location().empty();
}

void TMainPresenter::ServeWorker() {
  bridge_.Serve();
  if (recordsWritten_.exchange(false)) {
    view_.RecordsWritten();
    CheckGoldenDrift();
  }
}

TComboModel& TMainPresenter::Model(TMainBox box) {
  switch (box) {
    case TMainBox::COM1:
      return fields_.COM1Combo;
    case TMainBox::COM2:
      return fields_.COM2Combo;
    case TMainBox::File1:
      return fields_.File1Combo;
    case TMainBox::File2:
      return fields_.File2Combo;
    case TMainBox::File3:
      break;
  }
  return fields_.File3Combo;
}

// The set-up view's controls from the run's fields. Only in the set-up view: while a run is
// under way the fields are the worker's, and the set-up view is hidden.
void TMainPresenter::SyncSetUp() {
  TMainState& s = state_;
  s.GoldTP = fields_.GoldTP;
  s.AnalysisOnly = fields_.AnalysisOnly;
  s.Controls = ChoiceControls(fields_.GoldTP, fields_.RestoreTP, fields_.RestoreSrv,
                              fields_.EmbPkg != nullptr);
  for (TMainBox box :
       {TMainBox::COM1, TMainBox::COM2, TMainBox::File1, TMainBox::File2, TMainBox::File3}) {
    TMainBoxState& b = s.Boxes[BoxIndex(box)];
    b.Combo = Model(box);
    b.Marks.clear();
    if (!IsPortBox(box)) continue;
    bool any = false;
    for (const std::string& item : b.Combo.Items) {
      const auto mark = portMarks_.find(item);
      b.Marks.push_back(mark == portMarks_.end() ? std::string() : mark->second);
      any = any || mark != portMarks_.end();
    }
    if (!any) b.Marks.clear();
  }
}

void TMainPresenter::Render(TMainFocus focus) {
  if (state_.Mode == TMainMode::SetUp) SyncSetUp();
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
      LogGoldenDrift();
      // A port box's text is a choice: a listed port, or a typed network port that then joins
      // the list; other typed text means "Auto detect".
      for (TMainBox box : {TMainBox::COM1, TMainBox::COM2}) {
        TComboModel& m = Model(box);
        if (m.ItemIndex < 0 || m.ItemIndex >= static_cast<int>(m.Items.size()) ||
            !SameTextIgnoringCase(m.Items[static_cast<size_t>(m.ItemIndex)], m.Text)) {
          const std::string typed = m.Text;
          SelectPortItem(m, typed);
        }
      }
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
      // The run has said its end: its worker is through with the fields.
      if (worker_) worker_->Join();
      worker_.reset();
      state_.Mode = TMainMode::SetUp;
      state_.LogShown = false;
      state_.ProgressShown = false;
      state_.SetUpShown = true;
      state_.ExitCaption = kCaptionExit;
      state_.ExitShown = true;
      state_.StartCaption = kCaptionStartAgain;
      Render();
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

void TMainPresenter::Close() {
  if (!settingsRead_) return;
  Close([this] { WriteSettings(); });
  fields_.EmbPkg.reset();
}

void TMainPresenter::Close(const std::function<void()>& withFields) {
  // The worker writes the last-found ports while it runs freely; only while it waits for the
  // operator (or has ended) are the fields the window's. Otherwise it is stopped first.
  if (worker_ && state_.Mode != TMainMode::Ended && !PromptWaiting()) Stop();
  if (withFields) withFields();
  Stop();
}

// ---- The set-up view ----

void TMainPresenter::Activate() {
  if (!firstActivate_) return;
  firstActivate_ = false;

  fields_.EmbPkg.reset();
  UpdatePorts();
  fields_.GoldTP = fields_.RestoreSrv = fields_.RestoreTP = fields_.AnalysisOnly = false;
  state_.RestoreHandheldTicked = state_.RestoreServerTicked = false;

  // Beside the program, or for an installed program its data folder and the user's own; the
  // program's bundle. The console and the records program work these out alike.
  TFrontEndSetup own;
  const TFrontEndSetup* setup = options_.Setup;
  if (!setup) {
    own = FrontEndSetup({options_.ProgramPath, false, "none"});
    setup = &own;
  }
  const TEmbeddedBundle& bundle = setup->Bundle;
  // A program file whose header cannot be read ends the program; the settings file is left as
  // it is.
  if (bundle.Status == TEmbeddedBundle::TStatus::kHeaderUnreadable) {
    view_.CloseWindow();
    return;
  }
  if (bundle.Status == TEmbeddedBundle::TStatus::kPresent) fields_.EmbPkg = bundle.Bytes;
  fields_.ProgDir = setup->Files.ProgDir;
  fields_.IniName = setup->Files.IniName;

  ReadSettings();
  for (TMainBox box : {TMainBox::File1, TMainBox::File2, TMainBox::File3}) {
    TComboModel& m = Model(box);
    if (!m.Items.empty()) m.Select(0);
  }
  // On the emulated bench, file boxes without a history start with its demo packages.
  if (!fields_.EmbPkg) FillDemoPackages(*setup, fields_);
  if (fields_.EmbPkg && setup->Choices) {
    const TBundleChoices& choices = *setup->Choices;
    if (choices.analysisLocked) state_.AnalysisEnabled = false;
    if (choices.goldLocked) state_.GoldEnabled = false;
    ApplyBundleChoices(choices, fields_);
    if (choices.title) state_.Title = *choices.title;
  }
  settingsRead_ = true;
  Render(TMainFocus::Start);
  CheckGoldenDrift();
}

void TMainPresenter::ReadSettings() {
  TSettingsLines lines;
  if (!ReadSettingsFile(fields_.IniName, lines)) return;
  const TSettings s = ParseSettings(lines);
  view_.PlaceWindow({s.Left, s.Top, s.Width, s.Height});

  fields_.GoldTP = s.GoldTP;
  state_.RestoreServerTicked = s.RestoreSrv;
  state_.RestoreHandheldTicked = s.RestoreTP;
  if (!fields_.EmbPkg) {
    fields_.RestoreSrv = s.RestoreSrv;
    fields_.RestoreTP = s.RestoreTP;
  }
  fields_.AnalysisOnly = s.AnalysisOnly;
  fields_.LastPort1 = s.LastPort1;
  SelectPortItem(fields_.COM1Combo, s.COM1Choice);
  fields_.LastPort2 = s.LastPort2;
  SelectPortItem(fields_.COM2Combo, s.COM2Choice);
  LineToCombo(fields_.File1Combo, s.History1);
  LineToCombo(fields_.File2Combo, s.History2);
  LineToCombo(fields_.File3Combo, s.History3);
  Render();
}

void TMainPresenter::WriteSettings() {
  TSettings s;
  const TRect outer = view_.WindowRect();
  s.Left = outer.X;
  s.Top = outer.Y;
  s.Width = outer.W;
  s.Height = outer.H;
  s.GoldTP = fields_.GoldTP;
  s.RestoreSrv = fields_.RestoreSrv;
  s.RestoreTP = fields_.RestoreTP;
  s.AnalysisOnly = fields_.AnalysisOnly;
  s.COM1Choice = fields_.COM1Combo.Text;
  s.LastPort1 = fields_.LastPort1;
  s.COM2Choice = fields_.COM2Combo.Text;
  s.LastPort2 = fields_.LastPort2;
  s.History1 = ComboToLine(fields_.File1Combo);
  s.History2 = ComboToLine(fields_.File2Combo);
  s.History3 = ComboToLine(fields_.File3Combo);
  // A settings file that cannot be written does not keep the window open.
  WriteSettingsFile(fields_.IniName, FormatSettings(s));
}

void TMainPresenter::UpdatePorts() {
  std::vector<std::string> ports;
  if (options_.EnumPorts)
    ports = options_.EnumPorts();
  else if (fields_.SerIF1)
    fields_.SerIF1->EnumComPorts(ports);
  // Without any serial device reported, the usual names of this platform's first nine.
  ports = WithFallbackPorts(std::move(ports));
  FillPortBox(TMainBox::COM1, ports);
  FillPortBox(TMainBox::COM2, ports);
  Render();
}

void TMainPresenter::FillPortBox(TMainBox box, const std::vector<std::string>& ports) {
  TComboModel& m = Model(box);
  const std::string remembered = m.Text;
  m.Clear();
  m.Add(kAutoDetect);
  for (const std::string& p : ports) {
    m.Add(p);
    const std::string mark =
        PortAccessMark(options_.AccessOf ? options_.AccessOf(p) : PortAccess(p));
    if (mark.empty())
      portMarks_.erase(p);
    else
      portMarks_[p] = mark;
  }
  // A typed network port stays chosen when the list is made again.
  SelectPortItem(m, remembered);
}

void TMainPresenter::SetGold(bool handheld) {
  if (!state_.GoldEnabled || state_.Mode != TMainMode::SetUp) return;
  fields_.GoldTP = handheld;
  Render();
}

void TMainPresenter::SetAnalysisOnly(bool on) {
  if (!state_.AnalysisEnabled || state_.Mode != TMainMode::SetUp) return;
  fields_.AnalysisOnly = on;
  Render();
}

// A bundled program always restores, whatever the (hidden) boxes say.
void TMainPresenter::SetRestoreHandheld(bool on) {
  if (state_.Mode != TMainMode::SetUp) return;
  state_.RestoreHandheldTicked = on;
  if (!fields_.EmbPkg) fields_.RestoreTP = on;
  Render();
}

void TMainPresenter::SetRestoreServer(bool on) {
  if (state_.Mode != TMainMode::SetUp) return;
  state_.RestoreServerTicked = on;
  if (!fields_.EmbPkg) fields_.RestoreSrv = on;
  Render();
}

// The view shows the choice and the text already: the state follows without a render, which
// would set the box again while its own change is under way.
void TMainPresenter::ChooseEntry(TMainBox box, int index) {
  if (state_.Mode != TMainMode::SetUp) return;
  TComboModel& m = Model(box);
  m.Select(index >= 0 && index < static_cast<int>(m.Items.size()) ? index : -1);
  state_.Boxes[BoxIndex(box)].Combo = m;
}

void TMainPresenter::EditText(TMainBox box, const std::string& text) {
  if (state_.Mode != TMainMode::SetUp) return;
  Model(box).Text = text;
  state_.Boxes[BoxIndex(box)].Combo.Text = text;
}

void TMainPresenter::Browse(TMainBox box) {
  if (IsPortBox(box) || state_.Mode != TMainMode::SetUp) return;
  TFileRequest request = FileRequestFor(box);
  request.CurrentName = Model(box).Text;
  const std::optional<std::string> chosen = view_.AskForFile(request);
  // Browsing alone does not touch the history.
  if (chosen && !chosen->empty()) {
    Model(box).Text = *chosen;
    Render();
  }
}

void TMainPresenter::AddHistory(TMainBox box) {
  if (state_.Mode != TMainMode::SetUp) return;
  ::AddComboHistory(Model(box));
  Render();
}

void TMainPresenter::Records() {
  if (!RecordsKept()) return;
  const std::string location = records_->Location();
  view_.OpenRecords({location, RecordsPlaces(fields_.IniName, false, location).DriftSettings});
}

// ---- The golden-drift check ----

// Off the view's thread, so that a slow or absent database server never holds the window up:
// started after the first activation and after each record written; its latest line goes into
// the log at the start of a run.
void TMainPresenter::CheckGoldenDrift() {
  if (!RecordsKept() || fields_.IniName.empty()) return;
  if (driftCheck_.valid()) {
    if (driftCheck_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      driftCheckAgain_ = true;
      return;
    }
    driftLine_ = driftCheck_.get();
  }
  driftCheckAgain_ = false;
  const std::string location = records_->Location();
  driftCheck_ = std::async(std::launch::async, GoldenDriftLine, location,
                           RecordsPlaces(fields_.IniName, false, location).DriftSettings);
}

void TMainPresenter::LogGoldenDrift() {
  // A check under way gets a moment to finish; else the previous one's line stands.
  if (driftCheck_.valid() &&
      driftCheck_.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready) {
    driftLine_ = driftCheck_.get();
    if (driftCheckAgain_) CheckGoldenDrift();
  }
  if (!driftLine_.empty()) view_.AppendLog(driftLine_);
}
