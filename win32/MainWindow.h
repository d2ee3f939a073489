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
struct TBundleChoices;

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
  // Opens the Records window (Records button). None: the button is disabled.
  std::function<void(HWND owner)> OpenRecords;
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

  // ---- Handlers ----
  void DoCreat();
  void DoActiv();
  void DoClos();
  void DoStart();
  void DoExit();
  void DoRecords();
  void DoUpdCOMs();
  void DoBrowse1();
  void DoBrowse2();
  void DoBrowse3();
  void DoGoldRadio();
  void UpdAnaChk();
  void UpdTPchk();
  void UpdSrvChk();
  void SetGold(bool gold);

  TMainFields& Fields() { return fields_; }

 private:
  class TWindowView;
  friend class TWindowView;
  struct TControl {
    HWND hwnd;
    const char* name;
    int id;
  };
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

  void CreateControls();
  void MakeFonts();
  void PlaceControls();
  void ApplyAnchors();
  int Scale(int designPixels) const;
  TSize DesignClient() const;

  HWND Ctl(int id) const { return GetDlgItem(hwnd_, id); }
  bool Checked(int id) const;
  // Sets a check box or radio button; a change runs its handler as a click does.
  void SetChecked(int id, bool on);
  void ShowChoiceControls();
  void ApplyBundle(const TBundleChoices& choices);

  // The combo boxes and the models the run reads, kept in step.
  TComboModel& ModelOf(int id);
  void PushCombo(int id);
  void PullCombo(int id);
  void PushFileCombos();
  void FillPortCombo(int id, const std::vector<std::string>& ports);
  void SelectComboItem(int id, const std::string& text);
  std::string ComboText(int id) const;
  void SetComboText(int id, const std::string& text);
  // The file dialog: the chosen file, or "" when cancelled.
  std::string OpenFileDialog(const wchar_t* title, const char* filter, const wchar_t* suffix,
                             const std::string& startName);
  std::string DoBrowseTP(const std::string& startName, const wchar_t* title);

  void ReadSettings();
  void WriteSettings();
  void Render(const TMainState& state);
  void AppendLog(const std::string& line);
  void PumpUntil(const std::function<bool()>& done);
  bool DialogKey(const MSG& m);

  TWin32MainOptions options_;
  std::string programPath_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  HFONT font_ = nullptr;
  HFONT mono_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::vector<TPlaced> placed_;
  bool firstActivate_ = false;
  bool logEmpty_ = true;
  bool quitSeen_ = false;
  bool closing_ = false;
  TMainFields fields_;
  TComPort serIF1_, serIF2_;
  std::unique_ptr<TWindowView> view_;
  std::unique_ptr<TMainPresenter> presenter_;
};
