// The main window's behaviour without a toolkit: which of its views is up (set-up, a run's log,
// a status text, an Ok or Yes/No prompt, the run's end), what each button says and does, and
// the run's worker with its operator bridge. A view (the Qt window, a Win32 window, a test's
// fake) renders the presenter's one state snapshot and passes the operator's clicks on.
//
//   set-up --Start--> running <--> status / Ok prompt / Yes-No prompt --> ended --Start--> set-up
//
// Start begins a run (set-up), answers Ok or Yes (a prompt waits), or leads back to set-up (the
// run has ended). Exit closes the window (set-up), answers No (a Yes/No prompt), or cancels the
// run and waits for its end. The worker's calls reach the presenter on the view's thread
// through a marshalled bridge that the view's wake-up serves.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "front/MarshalledBridge.h"
#include "run/Bridge.h"
#include "run/ByteText.h"

class Clock;
class TRecordSink;
class TSerThread;
struct TMainFields;

enum class TMainMode { SetUp, Running, Status, OkPrompt, YesNoPrompt, Ended };

// Where the keyboard goes when the state is rendered.
enum class TMainFocus { Unchanged, Start, Log };

extern const char kCaptionStartFirst[];  // "&Start!"
extern const char kCaptionStartAgain[];  // "&Start"
extern const char kCaptionOk[];          // "&Ok"
extern const char kCaptionYes[];         // "&Yes"
extern const char kCaptionNo[];          // "&No"
extern const char kCaptionCancel[];      // "&Cancel"
extern const char kCaptionExit[];        // "&Exit"

struct TMainState {
  TMainMode Mode = TMainMode::SetUp;
  // The choices: golden reference, analysis only, both groups and the Records button.
  bool SetUpShown = true;
  bool LogShown = false;
  bool StatusShown = false;
  ByteText StatusText;  // a carriage return is a line break
  bool ProgressShown = false;
  int Progress = 0;                // 0 to 100
  bool ProgressFinishing = false;  // the closing server restore: the log is redrawn each step
  bool StartShown = true;
  std::string StartCaption = kCaptionStartFirst;
  bool ExitShown = true;
  std::string ExitCaption = kCaptionExit;
  TMainFocus Focus = TMainFocus::Unchanged;

  bool operator==(const TMainState&) const = default;
};

// The set-up view's choice controls: which restore boxes and firmware file rows are shown for
// the golden reference and the restore choices. A bundled program fixes the packages and
// always restores: it shows neither boxes nor file rows.
struct TChoiceControls {
  bool HandheldRestoreShown = false;  // "Restore firmware after test" of the TallyPilot group
  bool ServerRestoreShown = false;    // the same in the server group
  bool HandheldFilesShown = false;    // RF modem and EEPROM firmware
  bool ServerFilesShown = false;      // server firmware
  bool operator==(const TChoiceControls&) const = default;
};
TChoiceControls ChoiceControls(bool goldHandheld, bool restoreHandheld, bool restoreServer,
                               bool bundled);

// What the presenter asks of its view; all but Wake on the view's thread.
class TMainView {
 public:
  virtual ~TMainView() = default;
  virtual void Render(const TMainState& state) = 0;
  virtual void AppendLog(const ByteText& line) = 0;
  // A run begins: the log is emptied, and the choices of the view's boxes go into the run's
  // fields (from here on the view leaves those alone until the run has ended).
  virtual void RunStarting() = 0;
  // Package loading changed the file boxes' histories in the run's fields.
  virtual void FilesChanged() = 0;
  virtual void CloseWindow() = 0;
  // Any thread: ServeWorker is to be called on the view's thread soon.
  virtual void Wake() = 0;
  // Handles the view's events (and so the worker's calls) until done holds.
  virtual void PumpUntil(const std::function<bool()>& done) = 0;
};

class TMainPresenter {
 public:
  // clock: the runs' clock; records: where the runs' records go (none: nowhere).
  TMainPresenter(TMainView& view, TMainFields& fields, Clock& clock, TRecordSink* records);
  // A worker still running is stopped (as by Cancel) first.
  ~TMainPresenter();
  TMainPresenter(const TMainPresenter&) = delete;
  TMainPresenter& operator=(const TMainPresenter&) = delete;

  const TMainState& State() const { return state_; }
  void Start();
  void Exit();
  // Closing: keep runs with the fields while the run leaves them alone (it waits for the
  // operator or has ended; a run that goes on is stopped first), then the run is stopped.
  void Close(const std::function<void()>& withFields);
  // Stops a running worker and waits for its end, serving its calls meanwhile.
  void Stop();

  // The view's answer to Wake: carries out the worker's waiting calls.
  void ServeWorker() { bridge_.Serve(); }
  TSerThread* Worker() const { return worker_.get(); }
  // A prompt waits for the operator, with the run's fields left alone meanwhile.
  bool PromptWaiting() const;

 private:
  class TSide;
  void Render(TMainFocus focus = TMainFocus::Unchanged);
  void ToRunning();
  void WaitForEnd();

  TMainView& view_;
  TMainFields& fields_;
  Clock& clock_;
  TRecordSink* records_;
  TMainState state_;
  std::unique_ptr<TSide> side_;
  TMarshalledBridge bridge_;
  std::unique_ptr<TSerThread> worker_;
};
