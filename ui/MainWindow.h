// TMain, the program's one window. In its set-up view the operator chooses the golden reference,
// analysis only, the two COM ports, the firmware files and whether firmware is restored after
// the test; Start hides the choices and starts the worker (TSerThread), which shows its log,
// prompts and progress through the window. The window owns the two port objects, remembers the
// choices in the settings file and reads the embedded firmware bundle of the program file.
//
// The worker's window work reaches the window's thread synchronously: each bridge call is carried
// over by the marshalled bridge, which wakes the window's event loop with a queued call, and the
// worker waits until it has run. While the window waits
// for the worker to end (Cancel, closing) it runs a local event loop, so those calls keep being
// served.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "front/MainLayout.h"
#include "run/Bridge.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"
#include "serial/PortAccess.h"

class Clock;
struct TFrontEndSetup;
class TRecordSink;
class TSerThread;
class TMainPresenter;
struct TMainState;
class TRecordsWindow;
struct TBundleChoices;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

// What the window takes from its surroundings; every member may stay empty.
struct TMainOptions {
  // The program file: the settings and error log files are named after it, the test firmware
  // files lie beside it and the embedded bundle is read from it. Empty: the running program's.
  QString ProgramPath;
  // The runs' clock. None: wall time.
  Clock* RunClock = nullptr;
  // The serial ports present. None: the port object's own list.
  std::function<std::vector<std::string>()> EnumPorts;
  // Where the runs' production records go. None: no records.
  TRecordSink* Records = nullptr;
  // Whether the user may open a port. None: its device node's permissions.
  std::function<TPortAccess(const std::string&)> AccessOf;
  // What the program worked out at its start (program files, bundle, demo packages). None:
  // worked out for ProgramPath at the first activation.
  const TFrontEndSetup* Setup = nullptr;
};

class TMain : public QWidget {
  Q_OBJECT

 public:
  explicit TMain(TMainOptions options = {}, QWidget* parent = nullptr);
  ~TMain() override;

  // ---- Handlers ----
  void DoCreat();
  // The first activation: port lists, embedded bundle, settings file; later ones do nothing.
  void DoActiv();
  // Closing: writes the settings file and stops a running worker (only after the first
  // activation has finished).
  void DoClos();
  // StartBut: starts a run (set-up), answers Ok or Yes (a prompt waits), or returns to set-up.
  void DoStart();
  // ExitBut: closes the window (set-up), answers No, or cancels the run.
  void DoExit();
  // RecordsBut: shows the Records window (made on first use), which stays open beside runs.
  void DoRecords();
  void DoUpdCOMs();
  void DoBrowse1();
  void DoBrowse2();
  void DoBrowse3();
  // The file dialog for a handheld package: the chosen name, or startName when cancelled.
  QString DoBrowseTP(const QString& startName, const QString& title);
  void DoGoldRadio();
  void UpdAnaChk();
  void UpdTPchk();
  void UpdSrvChk();
  // The restore boxes and file rows the golden reference and restore choices call for.
  void ShowChoiceControls();

  // ---- Methods ----
  // The golden reference (true: the handheld) with the visibility that follows from it.
  void SetGold(bool gold);
  // Selects the first entry equal to text (letter case ignored), else entry 0; in a port box
  // a network port name that no entry holds becomes a new entry.
  void SelectComboItem(QComboBox* combo, const QString& text);
  // "Auto detect" followed by the ports; the previous choice stays when it is still there.
  void FillPortCombo(QComboBox* combo, const std::vector<std::string>& ports);
  // Moves the combo's text to the top of its history (at most ten entries).
  void AddComboHistory(QComboBox* combo);
  // The run's model of the box takes the box's entries, choice and text (as a run starts); a
  // port box's typed network port becomes its chosen entry.
  void PullCombo(QComboBox* combo);

  // ---- State ----
  bool FirstActivate() const { return firstActivate_; }
  // The fields a run reads; the window leaves them alone while a run is under way.
  TMainFields& Fields() { return fields_; }
  TSerThread* SerThread() const;
  // The Records window, once it was opened.
  TRecordsWindow* RecordsWindow() const { return recordsWindow_.get(); }

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  class TWindowView;
  friend class TWindowView;
  struct TAnchored {
    QWidget* widget;
    TRect design;
    int anchors;
    TSize designParent;
  };

  void CreateControls();
  void PlaceControls();
  void ApplyAnchors();
  void UpdateMinimumSize();

  // The combo boxes and the models the run reads, kept in step.
  TComboModel& ModelOf(QComboBox* combo);
  void PushCombo(QComboBox* combo);
  void PushFileCombos();

  void ReadSettings();
  void WriteSettings();
  void ApplyBundle(const TBundleChoices& choices);
  QString OpenFileDialog(const QString& title, const char* filter, const QString& suffix,
                         const QString& startName);

  // The golden-drift check of the station's records, off the window's thread so that a slow or
  // absent database server never holds the window up: started after the first activation and
  // after each record written; its latest line goes into the log at the start of a run.
  void CheckGoldenDrift();
  void LogGoldenDrift();
  void ScrollLogToEnd();
  void Render(const TMainState& state);

  TMainOptions options_;
  std::string programPath_;

  // Fields, in the order the run and the settings file know them.
  bool firstActivate_ = false;
  TMainFields fields_;

  TComPort serIF1_, serIF2_;
  std::unique_ptr<TWindowView> view_;
  std::unique_ptr<TMainPresenter> presenter_;
  std::unique_ptr<TRecordsWindow> recordsWindow_;
  std::future<std::string> driftCheck_;
  bool driftCheckAgain_ = false;  // records were written while a check ran
  std::string driftLine_;         // the latest check's line ("" when nothing drifted)
  std::vector<TAnchored> anchored_;
  // Ports of the lists the user may not open, with the mark their entries carry.
  std::map<std::string, QString> portMarks_;

  QLabel* StatTxt = nullptr;
  QLabel* GoldTxt = nullptr;
  QRadioButton* TPradio = nullptr;
  QRadioButton* SRVradio = nullptr;
  QCheckBox* AnaChk = nullptr;
  QGroupBox* TPGroup = nullptr;
  QGroupBox* SrvGroup = nullptr;
  QPushButton* StartBut = nullptr;
  QPushButton* ExitBut = nullptr;
  QPushButton* RecordsBut = nullptr;
  QPlainTextEdit* LogMemo = nullptr;
  QProgressBar* PrcBar = nullptr;

  QLabel* COM1Txt = nullptr;
  QComboBox* COM1Combo = nullptr;
  QPushButton* Upd1But = nullptr;
  QCheckBox* TPchk = nullptr;
  QLabel* File1Txt = nullptr;
  QComboBox* File1Combo = nullptr;
  QPushButton* Browse1But = nullptr;
  QLabel* File2Txt = nullptr;
  QComboBox* File2Combo = nullptr;
  QPushButton* Browse2But = nullptr;

  QLabel* COM2Txt = nullptr;
  QComboBox* COM2Combo = nullptr;
  QPushButton* Upd2But = nullptr;
  QCheckBox* SrvChk = nullptr;
  QLabel* File3Txt = nullptr;
  QComboBox* File3Combo = nullptr;
  QPushButton* Browse3But = nullptr;
};

// The file dialog's name filters for a filter text of description and pattern pairs separated by
// vertical bars ("TPF packages (*.TPF)|*.TPF|..."). Each pattern matches in either letter case
// ("*.TPF *.tpf"), and "*.*" matches every file.
QStringList DialogNameFilters(const QString& filter);
