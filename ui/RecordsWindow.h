// The Records window: the production records as a table and as pictures, beside the main window
// and never in a run's way. History: every record the filter takes, a page at a time, a double
// click shows the whole record with its log and trace, Export writes the filtered records as CSV
// or JSON lines (as tptune-records does). Lot statistics: a histogram of the measured offset in
// ppm with count, yield, mean and standard deviation, and the offset over time, one point per
// device with failures marked. Golden drift: each golden server's rolling median with its band
// (records/Drift.h), a warning when the latest median lies outside it; the band's threshold is
// set here and kept in a settings file of its own.
//
// What it shows comes from a records browser (front/RecordsBrowser.h), which reads the store on
// a thread of its own: a slow or silent store never holds up the window, and the line under the
// table says when the store is not answering. This window draws the browser's state.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "front/RecordsBrowser.h"
#include "records/Drift.h"

class QChartView;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTabWidget;
class QTimer;
class TRecordsModel;

struct TRecordsWindowOptions {
  std::string Location;           // the record store (see OpenRecordStore)
  std::string DriftSettingsPath;  // the threshold's settings file
};

class TRecordsWindow : public QWidget, private TRecordsView {
  Q_OBJECT

 public:
  explicit TRecordsWindow(TRecordsWindowOptions options, QWidget* parent = nullptr);
  ~TRecordsWindow() override;

  // New records may be there: the table and the charts are read again soon (several calls in a
  // short time give one reading); a hidden window is read again once it is shown.
  void Refresh();
  // Reads the table and the charts again now (once shown).
  void Reload();
  // Takes the filter boxes' contents as the filter and shows what it takes.
  void ApplyFilter();
  const TRecordFilter& Filter() const { return browser_->Filter(); }
  // True while a reading asked for has not come back.
  bool Busy() const { return browser_->Busy(); }

  // Writes the filtered records, oldest first, with every column: CSV with a header line, or
  // JSON lines. False (with the reason) when the file cannot be written or the store read. The
  // window goes on answering meanwhile (the export runs on the browser's thread).
  bool ExportTo(const QString& path, bool json, QString* error = nullptr);
  // Shows the whole record of a table row (with log and trace) in a window of its own.
  void ShowRecord(int row);

  double Threshold() const { return threshold_; }
  // Sets the drift band's threshold (steps), keeps it in the settings file and redraws the band.
  void SetThreshold(double steps);
  // The golden servers whose latest rolling median lies outside the band.
  const std::vector<TDriftWarning>& Warnings() const { return warnings_; }

  TRecordsModel* Model() const { return model_; }

 protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  // TRecordsView
  void WakeRecords() override;
  void RecordsChanged(bool countChanged, bool chartChanged) override;
  void RowsArrived(int64_t first, int64_t last) override;
  void RecordTextArrived(int64_t id, const std::string& text) override;
  void ExportEnded(bool ok, const std::string& error) override;

  void CreateControls();
  void RedrawCharts();
  void DrawDrift();
  void DoExport();

  TRecordsWindowOptions options_;
  std::unique_ptr<TRecordsBrowser> browser_;
  double threshold_ = kDefaultDriftThreshold;
  std::vector<TDriftWarning> warnings_;
  // The export under way: its end, and what it said.
  bool exporting_ = false;
  bool exportOk_ = false;
  std::string exportError_;

  TRecordsModel* model_ = nullptr;
  QTimer* refreshTimer_ = nullptr;
  QTimer* filterTimer_ = nullptr;

  QLineEdit* FromEdit = nullptr;
  QLineEdit* ToEdit = nullptr;
  QComboBox* OutcomeCombo = nullptr;
  QLineEdit* MacEdit = nullptr;
  QLineEdit* StationEdit = nullptr;
  QLabel* WarningTxt = nullptr;
  QTabWidget* Tabs = nullptr;
  QTableView* HistoryView = nullptr;
  QLabel* CountTxt = nullptr;
  QPushButton* ExportBut = nullptr;
  QChartView* HistogramView = nullptr;
  QLabel* StatsTxt = nullptr;
  QChartView* TrendView = nullptr;
  QChartView* DriftView = nullptr;
  QDoubleSpinBox* ThresholdSpin = nullptr;
  QLabel* DriftTxt = nullptr;
};
