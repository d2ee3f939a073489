// The Linux window's side of the comparison with the Windows window: the window of the program
// file tptune in the current folder (a copy of the window program, whose header the window reads;
// its settings file tptune.INI beside it) on the emulated
// bench, clicked through one whole run as the Windows window's driver clicks it (Start, Ok, Yes,
// Yes, No), its log written to the file named on the command line; then back to the set-up
// view, where analysis only is ticked and the TallyPilot chosen as golden reference (what the
// driver does with access keys there) and SIM1 chosen for the dongle, and the window closed,
// which writes the settings file.
//
//   tptune_window_run LOG.txt
//
// Exit status 0 when every view came as expected.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "firmware/Packages.h"
#include "front/FrontEndSetup.h"
#include "sim/Bench.h"
#include "UiTestSupport.h"
#include "ui/MainWindow.h"

namespace {

template <class T>
T* Get(TMain& w, const char* name) {
  T* c = w.findChild<T*>(QString::fromLatin1(name));
  if (!c) {
    std::fprintf(stderr, "window run: no control %s\n", name);
    std::exit(1);
  }
  return c;
}

void WaitView(TMain& w, const char* view) {
  QElapsedTimer timer;
  timer.start();
  while (View(w) != QLatin1String(view)) {
    if (timer.elapsed() > 120000 || (View(w) == QLatin1String("ended") && strcmp(view, "ended"))) {
      std::fprintf(stderr, "window run: the %s view did not come; the window shows the %s view:\n%s\n",
                   view, View(w).toUtf8().constData(),
                   Get<QPlainTextEdit>(w, "LogMemo")->toPlainText().toUtf8().constData());
      std::exit(1);
    }
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tptune_window_run LOG.txt\n");
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const std::string program = QDir::current().filePath(QStringLiteral("tptune")).toStdString();

  TBench bench(TBench::DefaultScenario());
  const TFrontEndSetup setup = FrontEndSetup({program, true, "none"});
  TMainOptions options;
  options.ProgramPath = QString::fromStdString(program);
  options.Setup = &setup;
  options.RunClock = &bench.VirtualClock();
  options.EnumPorts = [&bench] { return bench.PortNames(); };
  TMain w(options);
  w.show();
  w.DoActiv();

  Get<QPushButton>(w, "StartBut")->click();  // Start
  WaitView(w, "ok-prompt");
  Get<QPushButton>(w, "StartBut")->click();  // Ok
  WaitView(w, "yes-no");
  Get<QPushButton>(w, "StartBut")->click();  // Yes
  WaitView(w, "yes-no");
  Get<QPushButton>(w, "StartBut")->click();  // Yes
  WaitView(w, "yes-no");
  Get<QPushButton>(w, "ExitBut")->click();  // No
  WaitView(w, "ended");

  QFile log(QString::fromLocal8Bit(argv[1]));
  if (!log.open(QIODevice::WriteOnly) ||
      log.write(Get<QPlainTextEdit>(w, "LogMemo")->toPlainText().toUtf8() + '\n') < 0) {
    std::fprintf(stderr, "window run: cannot write the log\n");
    return 1;
  }
  log.close();

  Get<QPushButton>(w, "StartBut")->click();  // back to set-up
  WaitView(w, "set-up");
  Get<QCheckBox>(w, "AnaChk")->click();
  Get<QRadioButton>(w, "TPradio")->click();
  auto* com1 = Get<QComboBox>(w, "COM1Combo");
  com1->setCurrentIndex(com1->findText(QStringLiteral("SIM1")));
  w.close();
  return 0;
}
