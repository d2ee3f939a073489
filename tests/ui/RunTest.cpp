// Whole runs through the real window on the emulated bench, for what is Qt's: the views drawn
// as the run passes through them, Enter on the focused button, and the window's own event loop
// while it waits for a run's end (Cancel, closing). What the window does in a run is tested on
// the presenter.
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
#include "sim/Bench.h"
#include "tools/DemoPackages.h"
#include "tuning/SerThread.h"

namespace {

// Long enough for a whole run under the sanitizers; the bench's clock is virtual, so this bounds
// only the computer's own work.
constexpr int kRunTimeout = 120000;

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

  // Cancel and closing while the handheld is being programmed: the window serves the worker's
  // calls in its own event loop until the run has ended, then shows Run ended (Cancel) or is
  // hidden with the settings written (closing).
  void cancelAndCloseWhileProgramming_data() {
    QTest::addColumn<bool>("close");
    QTest::newRow("Cancel") << false;
    QTest::newRow("closing the window") << true;
  }
  void cancelAndCloseWhileProgramming() {
    QFETCH(bool, close);
    TBenchSetUp s;
    auto w = s.Open();
    Click(*w, "StartBut");
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    Click(*w, "StartBut");
    QTRY_VERIFY_WITH_TIMEOUT(!Child<QWidget>(*w, "PrcBar")->isHidden(), kRunTimeout);
    if (close) {
      QVERIFY(w->close());
      QVERIFY(w->isHidden());
      QVERIFY(!w->SerThread());
      QCOMPARE(s.dir.IniLines().value(5), QStringLiteral("Auto detect\tSIM1"));
    } else {
      Click(*w, "ExitBut");
      QCOMPARE(View(*w), QStringLiteral("ended"));
      QCOMPARE(Child<QPushButton>(*w, "StartBut")->text(), QStringLiteral("&Ok"));
      Click(*w, "StartBut");
      QCOMPARE(View(*w), QStringLiteral("set-up"));
    }
    QVERIFY(Log(*w).contains("Aborted by user!"));
    QVERIFY(Log(*w).contains("--- Restoring server firmware"));
  }
};

QTEST_MAIN(RunTest)
#include "RunTest.moc"
