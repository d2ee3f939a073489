// The Records window on the Win32 API: the production records as a table and as pictures, beside
// the main window and never in a run's way, as the Qt window shows them. History: a virtual list
// view over the records browser's pages (a row is asked for when it is drawn), a double click (or
// Enter) shows the whole record with its log and trace, Export writes the filtered records as CSV
// or JSON lines. Lot statistics: the histogram of the measured offset with the statistics beside
// it, and the offset over time with failures marked. Golden drift: each golden server's rolling
// median with its band, a warning above the tabs when the latest median lies outside it; the
// band's threshold is set here and kept in a settings file of its own.
//
// What it shows comes from a records browser (front/RecordsBrowser.h) that reads the store on a
// thread of its own and posts a message when results wait; the line under the table says when
// the store is not answering. The browser reads only while the window is shown. Closing the
// window hides it; its owner destroys it.
#pragma once

#include <memory>
#include <string>
#include <vector>

// Before windows.h, whose old Yield() macro would empty TRecordStats::Yield (and without that
// macro where windows.h came first).
#ifdef Yield
#undef Yield
#endif
#include "front/RecordsBrowser.h"
#include "records/Drift.h"

#include <windows.h>

struct TRecordsWindowOptions {
  std::string Location;           // the record store (see OpenRecordStore)
  std::string DriftSettingsPath;  // the threshold's settings file
};

// The ids of the window's controls (for tests and for the window's own use).
enum TRecordsControl : int {
  kRecFromEdit = 1001,
  kRecToEdit,
  kRecOutcomeCombo,
  kRecMacEdit,
  kRecStationEdit,
  kRecWarningTxt,
  kRecTabs,
  kRecHistoryView,
  kRecCountTxt,
  kRecExportBut,
  kRecHistogramView,
  kRecStatsTxt,
  kRecTrendView,
  kRecDriftView,
  kRecThresholdEdit,
  kRecThresholdSpin,
  kRecDriftTxt,
  kRecRecordText,  // the edit of a whole-record window
};

class TRecordsWindow : private TRecordsView {
 public:
  // Creates the window (hidden); owner may be null.
  TRecordsWindow(TRecordsWindowOptions options, HWND owner);
  ~TRecordsWindow() override;
  TRecordsWindow(const TRecordsWindow&) = delete;
  TRecordsWindow& operator=(const TRecordsWindow&) = delete;

  HWND Handle() const { return hwnd_; }
  // Shows the window and brings it to the front.
  void Show();
  // For the message loop of the program: the window's keyboard (Tab, access keys, Alt+H/L/G for
  // the pages). True when the message was taken.
  bool PreTranslate(MSG& msg);

  // New records may be there: the table and the charts are read again soon (several calls in a
  // short time give one reading); a hidden window is read again once it is shown.
  void Refresh();
  // Reads the table and the charts again now (once shown).
  void Reload();
  // Takes the filter boxes' contents as the filter and shows what it takes.
  void ApplyFilter();
  const TRecordFilter& Filter() const { return browser_->Filter(); }
  const TRecordsBrowserState& State() const { return browser_->State(); }
  // True while a reading asked for has not come back.
  bool Busy() const { return browser_->Busy(); }
  // The page shown: 0 History, 1 Lot statistics, 2 Golden drift.
  void SelectPage(int page);

  // Writes the filtered records, oldest first, with every column: CSV with a header line, or
  // JSON lines. False (with the reason) when the file cannot be written or the store read. The
  // window goes on answering meanwhile.
  bool ExportTo(const std::string& path, bool json, std::string* error = nullptr);
  // Shows the whole record of a table row (with log and trace) in a window of its own.
  void ShowRecord(int row);

  double Threshold() const { return threshold_; }
  // Sets the drift band's threshold (steps), keeps it in the settings file and redraws the band.
  void SetThreshold(double steps);
  const std::vector<TDriftWarning>& Warnings() const { return warnings_; }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Notify(NMHDR* n);

  // TRecordsView
  void WakeRecords() override;
  void RecordsChanged(bool countChanged, bool chartChanged) override;
  void RowsArrived(int64_t first, int64_t last) override;
  void RecordTextArrived(int64_t id, const std::string& text) override;
  void ExportEnded(bool ok, const std::string& error) override;

  void CreateControls();
  void Layout();
  void ShowPage();
  void RedrawCharts();
  void UpdateDrift();
  void DoExport();
  void TakeThresholdText();
  void PlaceColumnTips();
  int Scaled(int pixels) const;
  HWND Page(int page) const { return pages_[page]; }

  TRecordsWindowOptions options_;
  HWND hwnd_ = nullptr;
  bool destroyed_ = false;  // the window is gone (with its owner)
  std::unique_ptr<TRecordsBrowser> browser_;
  double threshold_ = kDefaultDriftThreshold;
  std::vector<TDriftWarning> warnings_;
  bool exporting_ = false;
  bool exportOk_ = false;
  std::string exportError_;
  int dpi_ = 96;
  HFONT font_ = nullptr, boldFont_ = nullptr, fixedFont_ = nullptr;
  HBRUSH warningBrush_ = nullptr;
  HWND pages_[3] = {};
  HWND tabs_ = nullptr, list_ = nullptr, columnTips_ = nullptr;
};

// The one Records window of a main window: made on first use; opened again it reads the records
// again and comes to the front (a window on another store is made anew). Records written while
// it is open are read again; while it is closed, once it is opened.
class TRecordsWindowHost {
 public:
  void Open(HWND owner, const TRecordsWindowOptions& options);
  // Production records were written.
  void RecordsWritten();
  // For the program's message loop (see TRecordsWindow::PreTranslate).
  bool PreTranslate(MSG& msg) { return window_ && window_->PreTranslate(msg); }
  TRecordsWindow* Window() const { return window_.get(); }

 private:
  std::unique_ptr<TRecordsWindow> window_;
  TRecordsWindowOptions options_;
};
