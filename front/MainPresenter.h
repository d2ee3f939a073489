// The main window's behaviour without a toolkit: which of its views is up (set-up, a run's log,
// a status text, an Ok or Yes/No prompt, the run's end), what each button says and does, and
// the run's worker with its operator bridge. A view (the Qt window, a Win32 window, a test's
// fake) renders the presenter's one state snapshot and passes the operator's clicks on.
//
//   set-up --Start--> running <--> status / Ok prompt / Yes-No prompt --> ended --Start--> set-up
//
// In the set-up view the presenter keeps the operator's choices (in the run's fields, which the
// run reads), the port lists and file histories, reads them from the settings file at the first
// activation and writes them back at closing; a bundled program file fixes some of them.
//
// Start begins a run (set-up), answers Ok or Yes (a prompt waits), or leads back to set-up (the
// run has ended). Exit closes the window (set-up), answers No (a Yes/No prompt), or cancels the
// run and waits for its end. The worker's calls reach the presenter on the view's thread
// through a marshalled bridge that the view's wake-up serves.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "front/MainLayout.h"
#include "front/MarshalledBridge.h"
#include "run/Bridge.h"
#include "run/ByteText.h"
#include "run/Combo.h"
#include "serial/PortAccess.h"

class Clock;
class TRecordSink;
class TSerThread;
struct TFrontEndSetup;
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
extern const char kMainCaption[];        // the window's title without a bundle
extern const char kAutoDetect[];         // entry 0 of both port boxes, "Auto detect"

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

// The five combo boxes of the set-up view: the two port boxes (dongle and server side; entry 0
// is "Auto detect", a typed network port name is a choice too) and the three firmware file
// boxes with their histories (RF modem, EEPROM, server firmware).
enum class TMainBox { COM1, COM2, File1, File2, File3 };
constexpr size_t kMainBoxes = 5;
inline size_t BoxIndex(TMainBox box) { return static_cast<size_t>(box); }
inline bool IsPortBox(TMainBox box) { return box == TMainBox::COM1 || box == TMainBox::COM2; }

// A combo box as the view shows it: its entries, the chosen one and the edit text, and for a
// port box, per entry, why the user may not open that port ("" when they may; such an entry
// keeps its name, the run opens what it says, and the view greys it with the reason as a hint).
struct TMainBoxState {
  TComboModel Combo;
  std::vector<std::string> Marks;  // empty, or one per entry
  bool operator==(const TMainBoxState&) const = default;
};

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

  // ---- The set-up view's controls (shown while SetUpShown) ----
  ByteText Title = kMainCaption;  // the window's title: a bundle may give its own (any bytes)
  bool GoldTP = false;            // the radio buttons: the handheld (else the server) is golden
  bool GoldEnabled = true;        // false: a bundle fixed the golden reference
  bool AnalysisOnly = false;      // the analysis-only box
  bool AnalysisEnabled = true;    // false: a bundle fixed analysis only
  bool RestoreHandheldTicked = false;  // the TallyPilot group's restore box
  bool RestoreServerTicked = false;    // the server group's restore box
  TChoiceControls Controls;            // which restore boxes and file rows are shown
  std::array<TMainBoxState, kMainBoxes> Boxes;  // by BoxIndex
  bool RecordsEnabled = false;  // the Records button; when not, RecordsHint says why
  std::string RecordsHint;

  const TMainBoxState& Box(TMainBox box) const { return Boxes[BoxIndex(box)]; }
  bool operator==(const TMainState&) const = default;
};

// The open-file question for a firmware file box.
struct TFileRequest {
  std::string Title;   // "Select RF modem firmware" ...
  // Description and pattern pairs separated by vertical bars, the first pair chosen:
  // "TPF packages (*.TPF)|*.TPF|Binary files (*.BIN)|*.BIN|Any file (*.*)|*.*". A pattern
  // matches in either letter case; "*.*" matches every file.
  std::string Filter;
  std::string DefaultExtension;  // without the dot: "TPF", "SFF"
  std::string CurrentName;       // the box's text: the folder and name to start from
};

// The Records window's store.
struct TRecordsRequest {
  std::string Location;           // the record store
  std::string DriftSettingsPath;  // the golden-drift threshold's settings file
};

// The window's outer rectangle as the settings file keeps it; an absent value leaves that one
// as it is.
struct TWindowPlacement {
  std::optional<int32_t> Left, Top, Width, Height;
};

// What the presenter asks of its view; all but Wake on the view's thread.
class TMainView {
 public:
  virtual ~TMainView() = default;
  // Shows the state: every control's visibility, caption, check, list and text. Called after
  // each change; the view changes only what differs from what it shows (a box being typed
  // into keeps its cursor).
  virtual void Render(const TMainState& state) = 0;
  // Appends a line to the log (any bytes; a carriage return is a line break) and shows the end.
  virtual void AppendLog(const ByteText& line) = 0;
  // A run begins: the log is emptied.
  virtual void RunStarting() = 0;
  // Closes the window (Exit in the set-up view; a program file whose header cannot be read).
  // The view's close then calls TMainPresenter::Close.
  virtual void CloseWindow() = 0;
  // Any thread: ServeWorker is to be called on the view's thread soon.
  virtual void Wake() = 0;
  // Handles the view's events (and so the worker's calls) until done holds.
  virtual void PumpUntil(const std::function<bool()>& done) = 0;
  // Asks the operator for an existing file (a modal open-file dialog): the chosen file's full
  // name, or none when the operator cancelled.
  virtual std::optional<std::string> AskForFile(const TFileRequest& request) = 0;
  // Shows the Records window on the store (made on first use, else read again), in front.
  virtual void OpenRecords(const TRecordsRequest& request) = 0;
  // Production records were written: an open Records window reads them again.
  virtual void RecordsWritten() = 0;
  // The window's outer rectangle on the screen (left, top, width, height), for the settings
  // file.
  virtual TRect WindowRect() const = 0;
  // Places the window as the settings file says (outer rectangle). The view keeps its minimum
  // size and no larger than its screens can show.
  virtual void PlaceWindow(const TWindowPlacement& placement) = 0;
};

// What the presenter takes from its surroundings; every member may stay empty.
struct TMainPresenterOptions {
  // The running program's file: the set-up is worked out for it at the first activation when
  // Setup is none.
  std::string ProgramPath;
  // What the program worked out at its start (program files, bundle, demo packages).
  const TFrontEndSetup* Setup = nullptr;
  // The serial ports present. None: the dongle-side port object's own list.
  std::function<std::vector<std::string>()> EnumPorts;
  // Whether the user may open a port. None: its device node's permissions.
  std::function<TPortAccess(const std::string&)> AccessOf;
};

class TMainPresenter {
 public:
  // clock: the runs' clock; records: where the runs' records go (none: nowhere).
  TMainPresenter(TMainView& view, TMainFields& fields, Clock& clock, TRecordSink* records,
                 TMainPresenterOptions options = {});
  // A worker still running is stopped (as by Cancel) first.
  ~TMainPresenter();
  TMainPresenter(const TMainPresenter&) = delete;
  TMainPresenter& operator=(const TMainPresenter&) = delete;

  const TMainState& State() const { return state_; }
  void Start();
  void Exit();
  // The view was closed: after the first activation the settings file is written from the
  // controls and a running worker is stopped (before the first activation nothing is written).
  void Close();
  // Closing: keep runs with the fields while the run leaves them alone (it waits for the
  // operator or has ended; a run that goes on is stopped first), then the run is stopped.
  void Close(const std::function<void()>& withFields);

  // ---- The set-up view ----
  // The first activation: port lists, embedded bundle, settings file, then the golden-drift
  // check of the station's records; later calls do nothing.
  void Activate();
  bool FirstActivate() const { return firstActivate_; }
  // "upd": both port lists made again from the ports present; a chosen port stays chosen.
  void UpdatePorts();
  // The operator's clicks on the choices.
  void SetGold(bool handheld);
  void SetAnalysisOnly(bool on);
  void SetRestoreHandheld(bool on);
  void SetRestoreServer(bool on);
  // The operator chose entry index of a box (-1: none), or typed into its edit field. The view
  // shows these already: the state follows without a render.
  void ChooseEntry(TMainBox box, int index);
  void EditText(TMainBox box, const std::string& text);
  // "...": asks for a firmware file for the box; a file chosen becomes the box's text.
  void Browse(TMainBox box);
  // Moves the box's text to the top of its history (at most ten entries).
  void AddHistory(TMainBox box);
  // The Records button: opens the Records window when records are kept.
  void Records();
  // The settings file's lines for the controls and the window's rectangle.
  void ReadSettings();
  void WriteSettings();
  // Stops a running worker and waits for its end, serving its calls meanwhile.
  void Stop();

  // The view's answer to Wake: carries out the worker's waiting calls.
  // Also passes on, on this thread, that production records were written.
  void ServeWorker();
  TSerThread* Worker() const { return worker_.get(); }
  // A prompt waits for the operator, with the run's fields left alone meanwhile.
  bool PromptWaiting() const;

 private:
  class TSide;
  void Render(TMainFocus focus = TMainFocus::Unchanged);
  void ToRunning();
  void WaitForEnd();
  void SyncSetUp();
  void FillPortBox(TMainBox box, const std::vector<std::string>& ports);
  TComboModel& Model(TMainBox box);
  bool RecordsKept() const;
  void CheckGoldenDrift();
  void LogGoldenDrift();

  TMainView& view_;
  TMainFields& fields_;
  Clock& clock_;
  TRecordSink* records_;
  TMainPresenterOptions options_;
  TMainState state_;
  bool firstActivate_ = true;
  bool settingsRead_ = false;  // the first activation finished: closing writes the settings
  // Ports of the lists the user may not open, with the mark their entries carry.
  std::map<std::string, std::string> portMarks_;
  std::atomic<bool> recordsWritten_{false};
  std::future<std::string> driftCheck_;
  bool driftCheckAgain_ = false;  // records were written while a check ran
  std::string driftLine_;         // the latest check's line ("" when nothing drifted)
  std::unique_ptr<TSide> side_;
  TMarshalledBridge bridge_;
  std::unique_ptr<TSerThread> worker_;
};
