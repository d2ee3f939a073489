// tptune: the fine-tuning tool's window.
//
//   tptune                          the devices on the PC's serial ports
//   tptune --bench [SCENARIO.json]  the port lists also offer the emulated bench's ports; runs
//                                   on the bench follow its clock, paced to wall time
//
// For the pictures of the documentation, "--screenshots DIR" (with --bench) clicks through a
// run by itself and saves the window at its main stages as PNG files in DIR.
#include <QApplication>
#include <QMessageBox>
#include <QCheckBox>
#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QTabWidget>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "firmware/Packages.h"
#include "front/WindowOptions.h"
#include "ui/MainWindow.h"
#include "ui/RecordsWindow.h"

namespace {

// Clicks through one run on the bench and saves the window at each stage: the set-up view, the
// connect prompt, programming with the progress bar, the question after a handheld (answered
// No) and the Run ended view. Before the run it opens the Records window over the records
// already kept and saves its three pages (history, lot statistics, golden drift). Then it closes
// the windows.
class TScreenshotDriver : public QObject {
 public:
  TScreenshotDriver(TMain& window, const QString& dir) : w_(window), dir_(dir) {
    QDir().mkpath(dir_);
    connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
    timer_.start(20);
    QTimer::singleShot(15 * 60 * 1000, this, [this] { Fail("the run took too long"); });
  }

 private:
  enum class TStage { SetUp, Records, Prompt, Progress, Question, Ended, Done };

  template <class T>
  T* Get(const char* name) {
    return w_.findChild<T*>(QString::fromLatin1(name));
  }

  void Save(const char* name, QWidget* window = nullptr) {
    const QString path = QDir(dir_).filePath(QString::fromLatin1(name));
    if (!(window ? window : &w_)->grab().save(path)) Fail("cannot save the picture");
    std::printf("saved %s\n", path.toLocal8Bit().constData());
    std::fflush(stdout);
  }

  void Fail(const char* why) {
    std::fprintf(stderr, "tptune: screenshots: %s\n", why);
    std::fflush(stderr);
    // A run may still be under way; nothing is worth tidying up for a failed picture run.
    std::_Exit(1);
  }

  void Step() {
    auto* start = Get<QPushButton>("StartBut");
    auto* exit = Get<QPushButton>("ExitBut");
    auto* status = Get<QLabel>("StatTxt");
    auto* bar = Get<QProgressBar>("PrcBar");
    switch (stage_) {
      case TStage::SetUp:
        if (w_.FirstActivate()) return;
        if (++settle_ < 10) return;  // let the first paint settle
        Save("setup.png");
        Get<QPushButton>("RecordsBut")->click();
        if (!w_.RecordsWindow()) Fail("the Records window did not open");
        w_.RecordsWindow()->resize(1000, 680);
        settle_ = 0;
        stage_ = TStage::Records;
        break;
      case TStage::Records: {
        if (++settle_ < 10) return;
        TRecordsWindow* records = w_.RecordsWindow();
        auto* tabs = records->findChild<QTabWidget*>(QStringLiteral("Tabs"));
        const char* const pages[] = {"records-history.png", "records-statistics.png",
                                     "records-drift.png"};
        for (int i = 0; i < 3; ++i) {
          tabs->setCurrentIndex(i);
          QApplication::processEvents();
          Save(pages[i], records);
        }
        records->close();
        start->click();
        stage_ = TStage::Prompt;
        break;
      }
      case TStage::Prompt:
        if (start->isHidden() || status->isHidden() || start->text() != QLatin1String("&Ok"))
          return;
        Save("prompt.png");
        start->click();
        stage_ = TStage::Progress;
        break;
      case TStage::Progress:
        if (exit->text() == QLatin1String("&No") || exit->isHidden())
          Fail("the run reached its end without programming");
        if (bar->isHidden() || bar->value() < 40) return;
        Save("progress.png");
        stage_ = TStage::Question;
        break;
      case TStage::Question:
        if (exit->isHidden()) Fail("the run ended without the question after the handheld");
        if (exit->text() != QLatin1String("&No")) return;
        Save("question.png");
        exit->click();
        stage_ = TStage::Ended;
        break;
      case TStage::Ended:
        if (!exit->isHidden() || start->isHidden()) return;
        Save("run-ended.png");
        stage_ = TStage::Done;
        w_.close();
        break;
      case TStage::Done:
        break;
    }
  }

  TMain& w_;
  QString dir_;
  QTimer timer_;
  TStage stage_ = TStage::SetUp;
  int settle_ = 0;
};

// The arguments after the program's name, as UTF-8.
std::vector<std::string> Arguments(const QStringList& args) {
  std::vector<std::string> out;
  for (qsizetype i = 1; i < args.size(); ++i) out.push_back(args[i].toStdString());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  // --help and --version are answered before the toolkit starts, so that they work without a
  // display (the manual page is made from them at build time).
  const TWindowCommand first = ParseWindowCommand(std::vector<std::string>(argv + 1, argv + argc));
  if (first.Ask == TWindowAsk::kHelp || first.Ask == TWindowAsk::kVersion) {
    std::fputs(first.Text.c_str(), stdout);
    return 0;
  }
  // Found as the console finds it, so a window started through the dynamic loader does not
  // take the loader's name.
  const std::string programPath = ProgramFileName(argv[0]);
  QApplication app(argc, argv);
  // The menu entry tptune.desktop and its icon belong to this window (taskbar, window list).
  QGuiApplication::setDesktopFileName(QStringLiteral("tptune"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tptune")));
  // The arguments the toolkit left.
  const TWindowCommand command =
      ParseWindowCommand(Arguments(QCoreApplication::arguments()), {"--screenshots"});
  if (command.Ask != TWindowAsk::kRun) {
    std::fputs(command.Text.c_str(), stderr);
    return 2;
  }
  const auto screenshots = command.Options.Own.find("--screenshots");
  if (screenshots != command.Options.Own.end() && !command.Options.Bench) {
    std::fprintf(stderr, "tptune: --screenshots needs --bench\n");
    return 2;
  }

  // The bench lives as long as the window: its ports are offered while it exists. The records
  // outlive the window, whose last run may still hand one over.
  TWindowStart start;
  try {
    start = StartWindow(command.Options, programPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tptune: %s\n", e.what());
    // Started from the desktop, nobody reads the error stream.
    if (QGuiApplication::platformName() != QStringLiteral("offscreen"))
      QMessageBox::critical(nullptr, QStringLiteral("tptune"), QString::fromStdString(e.what()));
    return 2;
  }
  if (!start.RecordsNote.empty()) std::fprintf(stderr, "tptune: %s\n", start.RecordsNote.c_str());

  TMainOptions windowOptions;
  windowOptions.ProgramPath = QString::fromStdString(programPath);
  windowOptions.Setup = &start.Setup;
  windowOptions.Records = start.Records.get();
  if (start.Bench) windowOptions.RunClock = &start.Bench->VirtualClock();
  TMain window(windowOptions);
  window.show();
  window.activateWindow();

  std::unique_ptr<TScreenshotDriver> driver;
  if (screenshots != command.Options.Own.end())
    driver = std::make_unique<TScreenshotDriver>(
        window, QString::fromStdString(screenshots->second));
  return app.exec();
}
