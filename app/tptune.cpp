// tptune: the fine-tuning tool's window.
//
//   tptune                          the devices on the PC's serial ports
//   tptune --bench [SCENARIO.json]  the port lists also offer the emulated bench's ports; runs
//                                   on the bench follow its clock, paced to wall time
//
// For the pictures of the documentation, "--screenshots DIR" (with --bench) clicks through a
// run by itself and saves the window at its main stages as PNG files in DIR.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QTabWidget>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "firmware/Packages.h"
#include "front/FrontEndSetup.h"
#include "run/Version.h"
#include "sim/Bench.h"
#include "ui/MainWindow.h"
#include "ui/RecordsWindow.h"

namespace {

const char kUsage[] =
    "Usage: tptune [--bench [SCENARIO.json]] [--bench-speed FACTOR] [--records LOCATION|none]\n"
    "              [--operator NAME] [--work-order TEXT]\n"
    "\n"
    "Options:\n"
    "  --bench [SCENARIO.json]  also offer the emulated bench's ports (default scenario when no\n"
    "                           file is named); runs on them follow the bench's clock\n"
    "  --bench-speed FACTOR     how fast the bench's clock runs against wall time (default 1)\n"
    "  --records LOCATION|none  where the production records go: a SQLite file or a\n"
    "                           postgresql:// server (default: tptune.db beside the\n"
    "                           settings file, in the user's data folder for an installed\n"
    "                           program; with --bench tptune-bench.db)\n"
    "  --operator NAME          who runs the station, kept in every record\n"
    "  --work-order TEXT        the work order or lot, kept in every record\n"
    "  --help                   show this text\n"
    "  --version                show the program's version and build date\n";

struct TProgramOptions {
  bool bench = false;
  std::string scenario;
  double speed = 1.0;
  QString screenshots;
  std::string records;  // empty: the default file; "none": no records
  std::string operatorName, workOrder;
};

// Parses the arguments the toolkit left; false (with a message) for unusable ones.
bool ParseOptions(const QStringList& args, TProgramOptions& o) {
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    const bool hasValue = i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--"));
    if (a == QLatin1String("--bench")) {
      o.bench = true;
      if (hasValue) o.scenario = args[++i].toStdString();
    } else if (a == QLatin1String("--bench-speed") && hasValue) {
      bool ok = false;
      o.speed = QLocale::c().toDouble(args[++i], &ok);
      if (!ok || o.speed <= 0) {
        std::fprintf(stderr, "tptune: --bench-speed needs a factor above 0\n");
        return false;
      }
    } else if (a == QLatin1String("--records") && hasValue) {
      o.records = args[++i].toStdString();
    } else if (a == QLatin1String("--operator") && hasValue) {
      o.operatorName = args[++i].toStdString();
    } else if (a == QLatin1String("--work-order") && hasValue) {
      o.workOrder = args[++i].toStdString();
    } else if (a == QLatin1String("--screenshots") && hasValue) {
      o.screenshots = args[++i];
    } else {
      std::fprintf(stderr, "tptune: unknown option \"%s\"\n\n%s", a.toLocal8Bit().constData(),
                   kUsage);
      return false;
    }
  }
  if (!o.screenshots.isEmpty() && !o.bench) {
    std::fprintf(stderr, "tptune: --screenshots needs --bench\n");
    return false;
  }
  return true;
}

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

}  // namespace

int main(int argc, char** argv) {
  // Answered before the toolkit starts, so that they work without a display (the manual page is
  // made from them at build time).
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("%s\n", VersionLine("tptune").c_str());
      return 0;
    }
  }
  // Found as the console finds it, so a window started through the dynamic loader does not
  // take the loader's name.
  const std::string programPath = ProgramFileName(argv[0]);
  QApplication app(argc, argv);
  // The menu entry tptune.desktop and its icon belong to this window (taskbar, window list).
  QGuiApplication::setDesktopFileName(QStringLiteral("tptune"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tptune")));
  TProgramOptions options;
  if (!ParseOptions(QCoreApplication::arguments(), options)) return 2;

  // The bench lives as long as the window: its ports are offered while it exists.
  std::unique_ptr<TBench> bench;
  if (options.bench) {
    try {
      bench = std::make_unique<TBench>(options.scenario.empty()
                                           ? TBench::DefaultScenario()
                                           : TBench::LoadScenario(options.scenario));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tptune: %s\n", e.what());
      return 2;
    }
    bench->SetPaced(options.speed);
  }

  // Program files, records, bundle and demo packages as the console works them out: an
  // installed window keeps its records in the user's data folder, beside its settings file.
  TFrontEndSetup setup = FrontEndSetup({programPath, bench != nullptr, options.records});
  setup.Operator = options.operatorName;
  setup.WorkOrder = options.workOrder;
  // The records outlive the window, whose last run may still hand one over. A window with the
  // emulated bench marks its records as the bench's and keeps them apart from the factory's.
  const std::unique_ptr<TRecordSink> records = OpenRecordSink(setup, "tptune", std::cerr);

  TMainOptions windowOptions;
  windowOptions.ProgramPath = QString::fromStdString(programPath);
  windowOptions.Setup = &setup;
  windowOptions.Records = records.get();
  if (bench) windowOptions.RunClock = &bench->VirtualClock();
  TMain window(windowOptions);
  window.show();
  window.activateWindow();

  std::unique_ptr<TScreenshotDriver> driver;
  if (!options.screenshots.isEmpty())
    driver = std::make_unique<TScreenshotDriver>(window, options.screenshots);
  return app.exec();
}
