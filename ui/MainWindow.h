// TMain, the program's one window, drawn with Qt: its controls, the rendering of the presenter's
// state (TMainPresenter holds what the window does: the choices, port lists, histories, the
// settings file, the bundle and the runs), the file dialogs and the Records window. The window
// owns the two port objects and the run's fields.
//
// The worker's window work reaches the window's thread synchronously: each bridge call is carried
// over by the marshalled bridge, which wakes the window's event loop with a queued call, and the
// worker waits until it has run. While the window waits for the worker to end (Cancel, closing)
// it runs a local event loop, so those calls keep being served.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "front/MainLayout.h"
#include "front/MainPresenter.h"
#include "run/Bridge.h"
#include "run/MainFields.h"
#include "serial/ComPort.h"
#include "serial/PortAccess.h"

class Clock;
struct TFrontEndSetup;
class TRecordSink;
class TSerThread;
class TRecordsWindow;
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

  // The first activation (the presenter's); later ones do nothing.
  void DoActiv();
  bool FirstActivate() const;
  // The fields a run reads; the window leaves them alone while a run is under way.
  TMainFields& Fields() { return fields_; }
  TMainPresenter& Presenter() { return *presenter_; }
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
  void ConnectControls();
  void PlaceControls();
  void ApplyAnchors();
  void UpdateMinimumSize();
  QComboBox* BoxWidget(TMainBox box) const;

  void Render(const TMainState& state);
  void RenderBox(TMainBox box, const TMainBoxState& b);
  void PlaceWindow(const TWindowPlacement& placement);
  std::optional<std::string> AskForFile(const TFileRequest& request);
  void OpenRecords(const TRecordsRequest& request);
  void ScrollLogToEnd();

  TMainOptions options_;

  TMainFields fields_;
  TComPort serIF1_, serIF2_;
  std::unique_ptr<TWindowView> view_;
  std::unique_ptr<TMainPresenter> presenter_;
  std::unique_ptr<TRecordsWindow> recordsWindow_;
  std::vector<TAnchored> anchored_;
  // The boxes as last rendered: a list is filled again only when it changed.
  std::array<std::optional<TMainBoxState>, kMainBoxes> shownBoxes_;

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
