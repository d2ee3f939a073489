// TMain on the Win32 API: the program's one window as user32/comctl32 controls, a view of the
// front end's presenter (TMainPresenter). The presenter decides what is shown when; this window
// places the controls by the layout table (scaled by the window's DPI), keeps the combo boxes in
// step with the run's fields, reads and writes the settings file and opens the file dialogs.
//
// The worker's calls reach the window's thread as a posted message (Wake); while the window
// waits for the worker to end (Cancel, closing) it runs a message loop of its own, so those calls
// keep being served.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "front/MainLayout.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"

class Clock;
struct TFrontEndSetup;
class TRecordSink;
class TMainPresenter;
struct TMainState;
struct TMainBoxState;
struct TFileRequest;
struct TRecordsRequest;
struct TWindowPlacement;
enum class TMainBox;

// What the window takes from its surroundings; every member may stay empty.
struct TWin32MainOptions {
  // The program file (UTF-8): the settings and error log files are named after it, the test
  // firmware files lie beside it and the embedded bundle is read from it. Empty: the running
  // program's.
  std::string ProgramPath;
  // The runs' clock. None: wall time.
  Clock* RunClock = nullptr;
  // Where the runs' production records go. None: no records.
  TRecordSink* Records = nullptr;
  // What the program worked out at its start. None: worked out at the first activation.
  const TFrontEndSetup* Setup = nullptr;
  // Shows the Records window over the store (owner: this window), in front; and tells an open
  // one that records were written. None: the Records button does nothing.
  std::function<void(HWND owner, const std::string& location, const std::string& driftSettings)>
      OpenRecords;
  std::function<void()> RecordsWritten;
  // Another window's keys (the Records window's dialog keys), offered each message first by the
  // window's message loops; true when it took the message.
  std::function<bool(MSG& message)> PreTranslate;
};

class TWin32Main {
 public:
  explicit TWin32Main(TWin32MainOptions options = {});
  ~TWin32Main();
  TWin32Main(const TWin32Main&) = delete;
  TWin32Main& operator=(const TWin32Main&) = delete;

  HWND Handle() const { return hwnd_; }
  // Shows the window and runs the message loop until it is closed; the exit code.
  int Run(int show = SW_SHOWNORMAL);

  TMainFields& Fields() { return fields_; }
  TMainPresenter& Presenter() { return *presenter_; }

 private:
  class TWindowView;
  friend class TWindowView;
  struct TPlaced {
    HWND hwnd;
    TRect design;  // in design pixels
    int anchors;
    bool inGroup;  // placed relative to its group, which it lies in
    HWND group;
    bool combo;
  };

  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void OnCommand(int id, int code);
  bool DialogKey(const MSG& m);

  void CreateControls();
  void MakeFonts();
  void PlaceControls();
  void ApplyAnchors();
  int Scale(int designPixels) const;

  HWND Ctl(int id) const { return GetDlgItem(hwnd_, id); }
  void Render(const TMainState& state);
  void RenderBox(TMainBox box, const TMainBoxState& b);
  void AppendLog(const std::string& line);
  void PumpUntil(const std::function<bool()>& done);
  std::optional<std::string> AskForFile(const TFileRequest& request);
  TRect WindowRect() const;
  void PlaceWindow(const TWindowPlacement& placement);

  TWin32MainOptions options_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  HFONT font_ = nullptr;
  HFONT mono_ = nullptr;
  HWND tips_ = nullptr;       // the Records button's hint when it is disabled
  std::wstring recordsHint_;
  std::vector<TPlaced> placed_;
  bool logEmpty_ = true;
  bool quitSeen_ = false;
  bool closing_ = false;
  bool rendering_ = false;  // the controls' notifications come from Render, not the operator
  TMainFields fields_;
  TComPort serIF1_, serIF2_;
  std::unique_ptr<TWindowView> view_;
  std::unique_ptr<TMainPresenter> presenter_;
};
