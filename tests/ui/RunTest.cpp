// Whole runs through the real window on the emulated bench: the views the window passes
// through, the operator's answers, Cancel, Exit and closing the window during a run.
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "UiTestSupport.h"
#include "firmware/Packages.h"
#include "records/RecordStore.h"
#include "records/StoreSink.h"
#include "sim/Bench.h"
#include "tools/DemoPackages.h"
#include "tools/PackageBuilder.h"
#include "tuning/SerThread.h"

namespace {

// Long enough for a whole run under the sanitizers; the bench's clock is virtual, so this bounds
// only the computer's own work.
constexpr int kRunTimeout = 120000;

// Which of the five views the window shows, judged by what is visible as the handlers do.
QString View(TMain& w) {
  auto shown = [&w](const char* name) { return !Child<QWidget>(w, name)->isHidden(); };
  const QString start = Child<QPushButton>(w, "StartBut")->text();
  const QString exit = Child<QPushButton>(w, "ExitBut")->text();
  if (shown("TPGroup")) return QStringLiteral("set-up");
  if (!shown("ExitBut")) return shown("StartBut") && shown("LogMemo") ? "ended" : "other";
  if (shown("StatTxt") && shown("StartBut"))
    return start == QLatin1String("&Yes") && exit == QLatin1String("&No") ? "yes-no"
           : start == QLatin1String("&Ok") && exit == QLatin1String("&Cancel") ? "ok-prompt"
                                                                              : "other";
  return !shown("StartBut") && exit == QLatin1String("&Cancel") ? "running" : "other";
}

QString Log(TMain& w) { return Child<QPlainTextEdit>(w, "LogMemo")->toPlainText(); }
QString Status(TMain& w) { return Child<QLabel>(w, "StatTxt")->text(); }
void Click(TMain& w, const char* button) { Child<QPushButton>(w, button)->click(); }

// A program directory with the demo packages: the test firmwares under their fixed names beside
// the program, the production packages for the file boxes.
struct TBenchSetUp {
  TProgramDir dir;
  TBench bench;
  TPortList ports;

  explicit TBenchSetUp(const char* letters = "SR", const std::vector<uint8_t>& bundle = {},
                       bool packageFiles = true)
      : dir(bundle) {
    if (packageFiles) WriteDemoPackages(dir.Dir().toStdString());
    ports.Ports = bench.PortNames();
    dir.WriteIni({"", "", "", "", QString::fromLatin1(letters), "Auto detect\t",
                  "Auto detect\t", Pkg("rfmodem.tpf"), Pkg("eeprom.tpf"), Pkg("server.sff")});
  }
  QString Pkg(const char* name) const { return dir.Path(QString::fromLatin1(name)); }
  std::unique_ptr<TMain> Open() { return OpenWindow(dir, ports, &bench.VirtualClock()); }
};

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::vector<uint8_t> DemoBundle(uint8_t flags) {
  std::array<TBytes, 5> packages;
  const char* order[] = {"rfmodem.tpf", "eeprom.tpf", "server.sff", "tpftune.tpf",
                         "srvftune.sff"};
  for (const TDemoFile& f : DemoPackageFiles())
    for (size_t i = 0; i < 5; ++i)
      if (f.Name == order[i]) packages[i] = f.Bytes;
  return BuildBundle("TallyPilot Pro line 3 fine-tuning", packages, flags);
}

}  // namespace

class RunTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    SilenceSizeHintNotice();
  }

  // Start, Ok, Yes after the first handheld, No after the second: the window goes through every
  // view, and the run's file use reaches the history.
  void okYesNo() {
    TBenchSetUp s;
    s.dir.WriteIni({"", "", "", "", "SR", "Auto detect\t", "Auto detect\t", s.Pkg("old.tpf"),
                    s.Pkg("eeprom.tpf"), s.Pkg("server.sff")});
    auto w = s.Open();
    QCOMPARE(View(*w), QStringLiteral("set-up"));
    // A name typed into the box, not yet in its history.
    auto* rf = Child<QComboBox>(*w, "File1Combo");
    const QString typed = s.Pkg("rfmodem.tpf");
    rf->setEditText(typed);

    // Enter works the focused button, Start.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(w->SerThread());
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    QVERIFY(Status(*w).startsWith("Make sure the server, TallyPilot and dongle are powered\n"));
    QCOMPARE(QApplication::focusWidget(), Child<QWidget>(*w, "StartBut"));

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);  // Ok
    QCOMPARE(View(*w), QStringLiteral("running"));
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("yes-no"), kRunTimeout);
    QCOMPARE(Status(*w),
             QStringLiteral("Completed successfully!\n\nDo you want to fine-tune another TallyPilot?"));

    Click(*w, "StartBut");  // Yes
    QCOMPARE(View(*w), QStringLiteral("running"));
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("yes-no"), kRunTimeout);
    // An empty log line comes before the next handheld's heading.
    QVERIFY(Log(*w).contains("\n\n=== Next TallyPilot ===\n"));

    Click(*w, "ExitBut");  // No
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ended"), kRunTimeout);
    QCOMPARE(Child<QPushButton>(*w, "StartBut")->text(), QStringLiteral("&Ok"));
    QCOMPARE(Log(*w).count("Completed successfully!"), 3);  // two handhelds and the server
    QCOMPARE(Log(*w).count("=== Next TallyPilot ==="), 1);
    QVERIFY(Log(*w).endsWith("Error log file written"));
    QVERIFY(!ReadFile(s.dir.ErrName()).isEmpty());
    // The worker found the devices; the window keeps where.
    QCOMPARE(w->Fields().LastPort1, std::string("SIM1"));
    QCOMPARE(w->Fields().LastPort2, std::string("SIM2"));

    Click(*w, "StartBut");
    QCOMPARE(View(*w), QStringLiteral("set-up"));
    QVERIFY(!w->SerThread());
    // The package files were read: the typed name heads the history now.
    QCOMPARE(Items(rf), (QStringList{typed, s.Pkg("old.tpf")}));
    QCOMPARE(Child<QPushButton>(*w, "StartBut")->text(), QStringLiteral("&Start"));
    QCOMPARE(Child<QPushButton>(*w, "ExitBut")->text(), QStringLiteral("&Exit"));
    QVERIFY(Child<QWidget>(*w, "PrcBar")->isHidden());
  }

  // Cancel while the handheld is being programmed: the run ends at once with "Aborted by user!",
  // asks nothing, and leaves the window in Run ended with only Ok below the log; Ok leads back
  // to set-up.
  // The window hands each device's record to the sink it was given.
  void recordsOfARun() {
    TBenchSetUp s;
    const std::string db = s.dir.Path(QStringLiteral("records.db")).toStdString();
    TStoreSinkOptions so;
    so.Location = db;
    so.SpoolPath = s.dir.Path(QStringLiteral("records.spool")).toStdString();
    so.Bench = true;
    TStoreSink sink(so);
    TMainOptions options;
    options.ProgramPath = s.dir.Program();
    options.RunClock = &s.bench.VirtualClock();
    options.EnumPorts = [&s] { return s.ports.Ports; };
    options.Records = &sink;
    auto w = std::make_unique<TMain>(options);
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));

    Click(*w, "StartBut");  // Start
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    Click(*w, "StartBut");  // Ok
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("yes-no"), kRunTimeout);
    Click(*w, "ExitBut");  // No
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ended"), kRunTimeout);
    QVERIFY(!Log(*w).contains(QLatin1String("Record not saved")));
    w.reset();
    std::vector<TTuningRecord> records;
    OpenRecordStore(db, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
      records.push_back(r);
    });
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].Outcome, std::string(kRecordCompleted));
    QVERIFY(records[0].Bench);
    QCOMPARE(records[0].Mac, std::string("00A10001"));
  }

  void cancelDuringRun() {
    TBenchSetUp s;
    auto w = s.Open();
    Click(*w, "StartBut");
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    Click(*w, "StartBut");
    QTRY_VERIFY_WITH_TIMEOUT(!Child<QWidget>(*w, "PrcBar")->isHidden(), kRunTimeout);

    // Returns only when the run has ended, having served the worker meanwhile.
    Click(*w, "ExitBut");
    QCOMPARE(View(*w), QStringLiteral("ended"));
    QVERIFY(Child<QWidget>(*w, "ExitBut")->isHidden());
    QCOMPARE(Child<QPushButton>(*w, "StartBut")->text(), QStringLiteral("&Ok"));
    // The worker object stays until Ok leads back to set-up; its thread only returns now.
    QVERIFY(w->SerThread());
    QTRY_VERIFY(w->SerThread()->Ended());
    QVERIFY(Log(*w).contains("Aborted by user!"));
    // The closing server restore still ran, its log lines served while the window waited.
    QVERIFY(Log(*w).contains("--- Restoring server firmware"));
    QVERIFY(!ReadFile(s.dir.ErrName()).isEmpty());

    Click(*w, "StartBut");
    QCOMPARE(View(*w), QStringLiteral("set-up"));
    QCOMPARE(Child<QPushButton>(*w, "StartBut")->text(), QStringLiteral("&Start"));
    QVERIFY(!w->SerThread());

    // The next run starts with an empty log and a worker of its own; Cancel at its connect
    // prompt ends it before any handheld.
    Click(*w, "StartBut");
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    QCOMPARE(Log(*w), QString());
    Click(*w, "ExitBut");
    QCOMPARE(View(*w), QStringLiteral("ended"));
    QVERIFY(!Log(*w).contains("Aborted by user!"));
  }

  // Exit in the set-up view closes the window at once and writes the settings.
  void exitInSetUp() {
    TBenchSetUp s("BA");
    auto w = s.Open();
    Click(*w, "ExitBut");
    QVERIFY(w->isHidden());
    QVERIFY(!w->SerThread());
    QCOMPARE(s.dir.IniLines().value(4), QStringLiteral("BA"));
  }

  // Closing the window during a run: the settings are written, the worker is released and ends
  // (writing its trace), and the window closes. While the worker runs freely it is stopped
  // before the settings are written, as it may be writing the last-found ports.
  void closeDuringRun_data() {
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("lastPorts");
    QTest::newRow("connect prompt") << "ok-prompt" << "";
    QTest::newRow("programming") << "programming" << "SIM1";
    QTest::newRow("question after a handheld") << "yes-no" << "SIM1";
  }
  void closeDuringRun() {
    QFETCH(QString, stage);
    QFETCH(QString, lastPorts);
    TBenchSetUp s;
    auto w = s.Open();
    Click(*w, "StartBut");
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    if (stage == "programming") {
      Click(*w, "StartBut");
      QTRY_VERIFY_WITH_TIMEOUT(!Child<QWidget>(*w, "PrcBar")->isHidden(), kRunTimeout);
    } else if (stage == "yes-no") {
      Click(*w, "StartBut");
      QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("yes-no"), kRunTimeout);
    }
    QVERIFY(!QFile::exists(s.dir.ErrName()));

    QVERIFY(w->close());
    QVERIFY(w->isHidden());
    QVERIFY(!w->SerThread());
    const QStringList ini = s.dir.IniLines();
    QCOMPARE(ini.size(), 10);
    QCOMPARE(ini.value(4), QStringLiteral("SR"));
    QCOMPARE(ini.value(5), "Auto detect\t" + lastPorts);
    // The trace is written even when it is empty (nothing was logged before the connect
    // prompt).
    QVERIFY(QFile::exists(s.dir.ErrName()));
    const QByteArray trace = ReadFile(s.dir.ErrName());
    QCOMPARE(trace.isEmpty(), stage == "ok-prompt");
    QVERIFY(!trace.contains("Error log file written"));
    // Only a handheld that was started gets a result line.
    QCOMPARE(Log(*w).contains("Aborted by user!"), stage == "programming");
    QCOMPARE(Log(*w).contains("Completed successfully!"), stage != "ok-prompt");
  }

  // A program carrying a bundle runs on the bundle's packages: no package file lies beside it
  // and none is asked for.
  void bundledRun() {
    TBenchSetUp s("SR", DemoBundle(kBundleGoldOpen | kBundleAnalysisOpen), false);
    auto w = s.Open();
    QCOMPARE(w->windowTitle(), QStringLiteral("TallyPilot Pro line 3 fine-tuning"));
    Click(*w, "StartBut");
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    Click(*w, "StartBut");
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("yes-no"), kRunTimeout);
    Click(*w, "ExitBut");
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ended"), kRunTimeout);
    QVERIFY(!Log(*w).contains("Error reading file(s):"));
    QCOMPARE(Log(*w).count("Completed successfully!"), 2);
  }
};

QTEST_MAIN(RunTest)
#include "RunTest.moc"
