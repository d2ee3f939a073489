// The window without a run: what it shows for the choices, its port lists and file histories,
// browsing, the settings file and the embedded bundle.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QFileInfo>
#include <QListView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <functional>

#include "UiTestSupport.h"
#include "firmware/Packages.h"
#include "tests/firmware/Commands.h"
#include "tools/PackageBuilder.h"

namespace {

const char* const kHandheldFiles[] = {"File1Txt", "File1Combo", "Browse1But",
                                      "File2Txt", "File2Combo", "Browse2But"};
const char* const kServerFiles[] = {"File3Txt", "File3Combo", "Browse3But"};

// Every control in the list is shown (or hidden) inside the window.
template <size_t N>
bool AllShown(TMain& w, const char* const (&names)[N], bool shown) {
  for (const char* name : names) {
    QWidget* c = Child<QWidget>(w, name);
    if (!c || c->isHidden() == shown) return false;
  }
  return true;
}

// Runs act on the file dialog once it is open (from inside its own event loop).
void WhenDialogOpens(const std::function<void(QFileDialog*)>& act) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    timer->stop();
    timer->deleteLater();
    act(dialog);
  });
  timer->start(10);
}

// The names the dialog's file list shows, sorted, once they equal expected or after a while.
QStringList ListedFiles(QFileDialog* dialog, const QStringList& expected) {
  auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
  if (!view) return {QStringLiteral("<no file list>")};
  auto names = [view] {
    QStringList n;
    const QModelIndex root = view->rootIndex();
    for (int r = 0; r < view->model()->rowCount(root); ++r)
      n << view->model()->index(r, 0, root).data().toString();
    n.sort();
    return n;
  };
  const QDeadlineTimer deadline(5000);
  while (names() != expected && !deadline.hasExpired()) QTest::qWait(20);
  return names();
}

TBytes SmallPackage(uint8_t tag) { return TBytes{tag, 1, 2, 3}; }

std::vector<uint8_t> TestBundle(uint8_t flags) {
  return BuildBundle("Bundled fine-tuning tool", {SmallPackage(1), SmallPackage(2),
                                                  SmallPackage(3), SmallPackage(4),
                                                  SmallPackage(5)},
                     flags);
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    SilenceSizeHintNotice();
  }

  // The first activation happens when the window is activated, once, and leaves the set-up
  // view with Start focused.
  void firstActivation() {
    TProgramDir dir;
    TPortList ports;
    auto w = CreateWindow(dir, ports);
    QVERIFY(w->FirstActivate());
    QCOMPARE(w->windowTitle(), QStringLiteral("TallyPilot Pro automatic fine-tuning tool"));
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QVERIFY(!w->FirstActivate());
    QCOMPARE(QApplication::focusWidget(), Child<QWidget>(*w, "StartBut"));
    QCOMPARE(Child<QPushButton>(*w, "StartBut")->text(), QStringLiteral("&Start!"));
    QCOMPARE(Child<QPushButton>(*w, "ExitBut")->text(), QStringLiteral("&Exit"));
    for (const char* hidden : {"StatTxt", "LogMemo", "PrcBar"})
      QVERIFY2(Child<QWidget>(*w, hidden)->isHidden(), hidden);
    QCOMPARE(w->Fields().ProgDir, dir.Dir().toStdString() + "/");
    QCOMPARE(w->Fields().IniName, dir.IniName().toStdString());
    QVERIFY(!w->Fields().EmbPkg);
    // A later activation changes nothing (the histories are not loaded twice).
    dir.WriteIni({"", "", "", "", "B", "", "", "a\tb", "", ""});
    w->DoActiv();
    QVERIFY(!w->Fields().GoldTP);
    QCOMPARE(Child<QComboBox>(*w, "File1Combo")->count(), 0);
  }

  // Access keys: the golden-reference label leads to the handheld's radio button, and the
  // radio button's own key selects it.
  // Started through the dynamic loader (as some launchers and debuggers do), the window still
  // names its settings file after its own program file, not after the loader.
  void programFileThroughTheLoader() {
    const std::string loader = DynamicLoaderPath();
    QVERIFY(!loader.empty());
    const std::string probe = TPTUNE_WINDOW_PROBE;
    QCOMPARE(RunCommand({probe}).Output, probe + ".INI\n");
    QCOMPARE(RunCommand({loader, probe}).Output, probe + ".INI\n");
  }

  void accessKeys() {
    TProgramDir dir;
    TPortList ports;
    auto w = OpenWindow(dir, ports);
    QTest::keyClick(w.get(), Qt::Key_G, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), Child<QWidget>(*w, "TPradio"));
    QVERIFY(!w->Fields().GoldTP);
    QTest::keyClick(w.get(), Qt::Key_T, Qt::AltModifier);
    QTRY_VERIFY(w->Fields().GoldTP);
    QVERIFY(!Child<QWidget>(*w, "TPchk")->isHidden());
  }

  // Anchored edges keep their distance to the window's edges; the window keeps its minimum.
  void resizingKeepsAnchoredEdges() {
    TProgramDir dir;
    TPortList ports;
    auto w = OpenWindow(dir, ports);
    auto geometry = [&w](const char* name) { return Child<QWidget>(*w, name)->geometry(); };
    const QSize before = w->size();
    const QRect start = geometry("StartBut"), exit = geometry("ExitBut");
    const QRect group = geometry("TPGroup"), combo = geometry("COM1Combo");
    const QRect upd = geometry("Upd1But"), log = geometry("LogMemo"), bar = geometry("PrcBar");
    const QRect radio = geometry("TPradio"), check = geometry("TPchk");

    w->resize(before + QSize(100, 60));
    QCOMPARE(geometry("StartBut"), start.translated(0, 60));
    QCOMPARE(geometry("ExitBut"), exit.translated(100, 60));
    QCOMPARE(geometry("TPGroup"), group.adjusted(0, 0, 100, 0));
    QCOMPARE(geometry("SrvGroup").width(), group.width() + 100);
    QCOMPARE(geometry("COM1Combo"), combo.adjusted(0, 0, 100, 0));
    QCOMPARE(geometry("Upd1But"), upd.translated(100, 0));
    QCOMPARE(geometry("LogMemo"), log.adjusted(0, 0, 100, 60));
    QCOMPARE(geometry("PrcBar"), bar.adjusted(0, 60, 100, 60));
    QCOMPARE(geometry("TPradio"), radio);
    QCOMPARE(geometry("TPchk"), check);

    w->resize(10, 10);
    QVERIFY(w->frameGeometry().width() >= 350);
    QVERIFY(w->frameGeometry().height() >= 388);
  }

  // Which restore box and which file controls are offered, for both golden references, from
  // the settings file's letters and after an operator click.
  void visibility_data() {
    QTest::addColumn<QString>("letters");
    QTest::addColumn<QString>("click");
    QTest::addColumn<bool>("gold");
    QTest::addColumn<bool>("tpChkShown");
    QTest::addColumn<bool>("srvChkShown");
    QTest::addColumn<bool>("handheldFiles");
    QTest::addColumn<bool>("serverFile");
    QTest::addColumn<bool>("restoreTP");
    QTest::addColumn<bool>("restoreSrv");
    QTest::addColumn<bool>("analysis");
    // clang-format off
    //                                             click      gold   TPchk  SrvChk hhFiles srvFile rTP    rSrv   ana
    QTest::newRow("server, boxes clear")    << "S"    << ""        << false << false << true  << true  << false << false << false << false;
    QTest::newRow("server, SrvChk ticked")  << "S"    << "SrvChk"  << false << false << true  << true  << true  << false << true  << false;
    QTest::newRow("server, SrvChk loaded")  << "SR"   << ""        << false << false << true  << true  << true  << false << true  << false;
    QTest::newRow("server, SrvChk cleared") << "SR"   << "SrvChk"  << false << false << true  << true  << false << false << false << false;
    QTest::newRow("server, hidden TPchk")   << "SM"   << ""        << false << false << true  << true  << false << true  << false << false;
    QTest::newRow("handheld, boxes clear")  << "B"    << ""        << true  << true  << false << false << true  << false << false << false;
    QTest::newRow("handheld, TPchk ticked") << "B"    << "TPchk"   << true  << true  << false << true  << true  << true  << false << false;
    QTest::newRow("all letters")            << "BRMA" << ""        << true  << true  << false << true  << true  << true  << true  << true;
    QTest::newRow("S and A")                << "SA"   << ""        << false << false << true  << true  << false << false << false << true;
    QTest::newRow("empty line")             << ""     << ""        << false << false << true  << true  << false << false << false << false;
    QTest::newRow("lower-case b")           << "bA"   << ""        << false << false << true  << true  << false << false << false << true;
    QTest::newRow("operator picks handheld")<< "S"    << "TPradio" << true  << true  << false << false << true  << false << false << false;
    QTest::newRow("operator picks server")  << "BRMA" << "SRVradio"<< false << false << true  << true  << true  << true  << true  << true;
    // clang-format on
  }
  void visibility() {
    QFETCH(QString, letters);
    QFETCH(QString, click);
    QFETCH(bool, gold);
    QFETCH(bool, tpChkShown);
    QFETCH(bool, srvChkShown);
    QFETCH(bool, handheldFiles);
    QFETCH(bool, serverFile);
    QFETCH(bool, restoreTP);
    QFETCH(bool, restoreSrv);
    QFETCH(bool, analysis);
    TProgramDir dir;
    TPortList ports;
    dir.WriteIni({"", "", "", "", letters, "", "", "", "", ""});
    auto w = OpenWindow(dir, ports);
    QCOMPARE(Child<QCheckBox>(*w, "TPchk")->isChecked(), letters.contains('M'));
    QCOMPARE(Child<QCheckBox>(*w, "SrvChk")->isChecked(), letters.contains('R'));
    if (!click.isEmpty()) Child<QAbstractButton>(*w, click.toLatin1().constData())->click();

    QCOMPARE(w->Fields().GoldTP, gold);
    QCOMPARE(Child<QRadioButton>(*w, "TPradio")->isChecked(), gold);
    QCOMPARE(Child<QRadioButton>(*w, "SRVradio")->isChecked(), !gold);
    QCOMPARE(!Child<QWidget>(*w, "TPchk")->isHidden(), tpChkShown);
    QCOMPARE(!Child<QWidget>(*w, "SrvChk")->isHidden(), srvChkShown);
    QVERIFY(AllShown(*w, kHandheldFiles, handheldFiles));
    QVERIFY(AllShown(*w, kServerFiles, serverFile));
    QCOMPARE(w->Fields().RestoreTP, restoreTP);
    QCOMPARE(w->Fields().RestoreSrv, restoreSrv);
    QCOMPARE(w->Fields().AnalysisOnly, analysis);
    QCOMPARE(Child<QCheckBox>(*w, "AnaChk")->isChecked(), analysis);
  }

  // Both port lists: "Auto detect" and the ports present (or the platform's first nine serial
  // device names when none is reported); a chosen port stays chosen while it is present.
  void portList_data() {
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QStringList>("presentAfterUpd");
    QTest::addColumn<QString>("selectedAfterUpd");
    QStringList fallback{"Auto detect"};
    for (int i = 0; i < 9; ++i) fallback << QStringLiteral("/dev/ttyS%1").arg(i);
    QTest::newRow("none reported") << QStringList{} << "" << fallback << "Auto detect"
                                   << QStringList{} << "Auto detect";
    QTest::newRow("chosen port still present")
        << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1"} << "/dev/ttyUSB1"
        << QStringList{"Auto detect", "/dev/ttyUSB0", "/dev/ttyUSB1"} << "/dev/ttyUSB1"
        << QStringList{"/dev/ttyACM0", "/dev/ttyUSB1"} << "/dev/ttyUSB1";
    QTest::newRow("chosen port vanished")
        << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB5"} << "/dev/ttyUSB5"
        << QStringList{"Auto detect", "/dev/ttyUSB0", "/dev/ttyUSB5"} << "/dev/ttyUSB5"
        << QStringList{"/dev/ttyUSB0"} << "Auto detect";
    QTest::newRow("letter case ignored")
        << QStringList{"SIM1", "SIM2"} << "sim2" << QStringList{"Auto detect", "SIM1", "SIM2"}
        << "SIM2" << QStringList{"SIM2", "SIM3"} << "SIM2";
    QTest::newRow("all ports gone")
        << QStringList{"/dev/ttyUSB0"} << "/dev/ttyUSB0"
        << QStringList{"Auto detect", "/dev/ttyUSB0"} << "/dev/ttyUSB0" << QStringList{}
        << "Auto detect";
  }
  void portList() {
    QFETCH(QStringList, present);
    QFETCH(QString, choice);
    QFETCH(QStringList, items);
    QFETCH(QString, selected);
    QFETCH(QStringList, presentAfterUpd);
    QFETCH(QString, selectedAfterUpd);
    auto toStd = [](const QStringList& l) {
      std::vector<std::string> v;
      for (const QString& s : l) v.push_back(s.toStdString());
      return v;
    };
    TProgramDir dir;
    TPortList ports{toStd(present)};
    dir.WriteIni({"", "", "", "", "S", choice, choice, "", "", ""});
    auto w = OpenWindow(dir, ports);
    for (const char* name : {"COM1Combo", "COM2Combo"}) {
      QCOMPARE(Items(Child<QComboBox>(*w, name)), items);
      QCOMPARE(Child<QComboBox>(*w, name)->currentText(), selected);
    }
    ports.Ports = toStd(presentAfterUpd);
    Child<QPushButton>(*w, "Upd2But")->click();
    for (const char* name : {"COM1Combo", "COM2Combo"}) {
      QCOMPARE(Child<QComboBox>(*w, name)->currentText(), selectedAfterUpd);
      QCOMPARE(Child<QComboBox>(*w, name)->itemText(0), QStringLiteral("Auto detect"));
    }
  }

  // A port the user may not open keeps its name in both lists (the run opens what the entry
  // says), greyed, with the reason as its tool tip; once it may be opened, "upd" clears the mark.
  void portListMarksPortsTheUserMayNotOpen() {
    TProgramDir dir;
    TPortList ports{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
    bool locked = true;
    TMainOptions options;
    options.ProgramPath = dir.Program();
    options.EnumPorts = [&ports] { return ports.Ports; };
    options.AccessOf = [&locked](const std::string& port) {
      TPortAccess a{true, true, "dialout", true};
      a.MayOpen = !(locked && port == "/dev/ttyUSB1");
      return a;
    };
    // The settings file chooses the locked port, so the lists are filled again after marking.
    dir.WriteIni({"", "", "", "", "S", "/dev/ttyUSB1", "/dev/ttyUSB1", "", "", ""});
    auto w = std::make_unique<TMain>(options);
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    for (const char* name : {"COM1Combo", "COM2Combo"}) {
      const QComboBox* c = Child<QComboBox>(*w, name);
      QCOMPARE(Items(c), (QStringList{"Auto detect", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
      QCOMPARE(c->currentText(), QStringLiteral("/dev/ttyUSB1"));
      QCOMPARE(c->itemData(2, Qt::ToolTipRole).toString(),
               QStringLiteral("no permission (group dialout)"));
      QVERIFY(c->itemData(2, Qt::ForegroundRole).isValid());
      QVERIFY(!c->itemData(1, Qt::ToolTipRole).isValid());
      QVERIFY(!c->itemData(0, Qt::ToolTipRole).isValid());
    }
    locked = false;
    Child<QPushButton>(*w, "Upd1But")->click();
    for (const char* name : {"COM1Combo", "COM2Combo"})
      QVERIFY(!Child<QComboBox>(*w, name)->itemData(2, Qt::ToolTipRole).isValid());
  }

  // A file used again goes to the top of its history, which keeps at most ten entries.
  void history_data() {
    QTest::addColumn<QStringList>("loaded");
    QTest::addColumn<QString>("used");
    QTest::addColumn<QStringList>("history");
    QStringList ten, twelve;
    for (int i = 0; i < 12; ++i) (i < 10 ? ten : twelve) << QStringLiteral("/f/%1.tpf").arg(i);
    twelve = ten + twelve;
    QTest::newRow("new file on a full history")
        << ten << "/f/new.tpf" << QStringList{"/f/new.tpf"} + ten.mid(0, 9);
    QTest::newRow("third moves to the top")
        << QStringList{"a", "b", "c", "d"} << "c" << QStringList{"c", "a", "b", "d"};
    QTest::newRow("letter case of the latest use")
        << QStringList{"a", "B.tpf", "c"} << "b.TPF" << QStringList{"b.TPF", "a", "c"};
    QTest::newRow("top entry stays as it is")
        << QStringList{"a.tpf", "b"} << "A.TPF" << QStringList{"a.tpf", "b"};
    QTest::newRow("twelve loaded, trimmed at the next use") << twelve << "/f/0.tpf" << ten;
    QTest::newRow("first file") << QStringList{} << "x.tpf" << QStringList{"x.tpf"};
  }
  void history() {
    QFETCH(QStringList, loaded);
    QFETCH(QString, used);
    QFETCH(QStringList, history);
    TProgramDir dir;
    TPortList ports;
    dir.WriteIni({"", "", "", "", "S", "", "", loaded.join('\t'), "", ""});
    auto w = OpenWindow(dir, ports);
    auto* combo = Child<QComboBox>(*w, "File1Combo");
    QCOMPARE(Items(combo), loaded);
    combo->setEditText(used);
    w->Presenter().AddHistory(TMainBox::File1);
    QCOMPARE(Items(combo), history);
    QCOMPARE(combo->currentText(), history.first());
  }

  void dialogFilters_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("nameFilters");
    QTest::newRow("handheld")
        << "TPF packages (*.TPF)|*.TPF|Binary files (*.BIN)|*.BIN|Any file (*.*)|*.*"
        << QStringList{"TPF packages (*.TPF *.tpf)", "Binary files (*.BIN *.bin)",
                       "Any file (*)"};
    QTest::newRow("server")
        << "SFF packages (*.SFF)|*.SFF|HEX files (*.HEX)|*.HEX|Any file (*.*)|*.*"
        << QStringList{"SFF packages (*.SFF *.sff)", "HEX files (*.HEX *.hex)", "Any file (*)"};
    QTest::newRow("several patterns, mixed case")
        << "Images (*.Bin;*.IMG)|*.Bin;*.IMG"
        << QStringList{"Images (*.Bin *.BIN *.bin *.IMG *.img)"};
  }
  void dialogFilters() {
    QFETCH(QString, filter);
    QFETCH(QStringList, nameFilters);
    QCOMPARE(DialogNameFilters(filter), nameFilters);
  }

  // The dialog of each browse button: its title and first filter; cancelled, the box keeps its
  // text; a chosen file replaces it.
  void browse_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("choose");
    const QString tp = "TPF packages (*.TPF *.tpf)", srv = "SFF packages (*.SFF *.sff)";
    QTest::newRow("RF modem, cancelled")
        << "Browse1But" << "File1Combo" << "Select RF modem firmware" << tp << false;
    QTest::newRow("RF modem, chosen")
        << "Browse1But" << "File1Combo" << "Select RF modem firmware" << tp << true;
    QTest::newRow("EEPROM, cancelled")
        << "Browse2But" << "File2Combo" << "Select TallyPilot firmware" << tp << false;
    QTest::newRow("server, cancelled")
        << "Browse3But" << "File3Combo" << "Select server firmware" << srv << false;
    QTest::newRow("server, chosen")
        << "Browse3But" << "File3Combo" << "Select server firmware" << srv << true;
  }
  void browse() {
    QFETCH(QString, button);
    QFETCH(QString, combo);
    QFETCH(QString, title);
    QFETCH(QString, filter);
    QFETCH(bool, choose);
    TProgramDir dir;
    TPortList ports;
    dir.WriteIni({"", "", "", "", "SR", "", "", "", "", ""});
    const QString chosen = dir.Path(QStringLiteral("package.bin"));
    QFile(chosen).open(QIODevice::WriteOnly);
    auto w = OpenWindow(dir, ports);
    auto* box = Child<QComboBox>(*w, combo.toLatin1().constData());
    const QString typed = dir.Path(QStringLiteral("typed-but-missing.tpf"));
    box->setEditText(typed);

    QString seenTitle, seenFilter;
    WhenDialogOpens([&](QFileDialog* dialog) {
      seenTitle = dialog->windowTitle();
      seenFilter = dialog->selectedNameFilter();
      if (choose) {
        // The operator names the file in the dialog's folder and opens it.
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QFileInfo(chosen).fileName());
        static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
      } else {
        dialog->reject();
      }
    });
    Child<QPushButton>(*w, button.toLatin1().constData())->click();
    QCOMPARE(seenTitle, title);
    QCOMPARE(seenFilter, filter);
    QCOMPARE(box->currentText(), choose ? chosen : typed);
    // Browsing alone does not touch the history.
    QCOMPARE(box->count(), 0);
  }

  // The package filters show their files whatever the letter case of the extension.
  void browseListsPackagesInEitherCase() {
    TProgramDir dir;
    TPortList ports;
    QTemporaryDir packages;
    for (const char* name : {"modem.tpf", "EEPROM.TPF", "image.bin", "notes.txt"})
      QFile(packages.filePath(QString::fromLatin1(name))).open(QIODevice::WriteOnly);
    auto w = OpenWindow(dir, ports);
    Child<QComboBox>(*w, "File1Combo")->setEditText(packages.filePath(QStringLiteral("x")));

    QStringList packagesShown, binariesShown, allShown;
    WhenDialogOpens([&](QFileDialog* dialog) {
      const QStringList filters = dialog->nameFilters();
      packagesShown = ListedFiles(dialog, {"EEPROM.TPF", "modem.tpf"});
      dialog->selectNameFilter(filters.value(1));
      binariesShown = ListedFiles(dialog, {"image.bin"});
      dialog->selectNameFilter(filters.value(2));
      allShown = ListedFiles(dialog, {"EEPROM.TPF", "image.bin", "modem.tpf", "notes.txt"});
      dialog->reject();
    });
    Child<QPushButton>(*w, "Browse1But")->click();
    QCOMPARE(packagesShown, (QStringList{"EEPROM.TPF", "modem.tpf"}));
    QCOMPARE(binariesShown, QStringList{"image.bin"});
    QCOMPARE(allShown, (QStringList{"EEPROM.TPF", "image.bin", "modem.tpf", "notes.txt"}));
  }

  // Lines 6 and 7: the port choice and, after a tab, the port the device was last found on.
  void settingsPorts_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("lastPort");
    QTest::addColumn<QString>("written");
    QTest::newRow("auto detect, last port")
        << "Auto detect\tCOM4" << "Auto detect" << "COM4" << "Auto detect\tCOM4";
    QTest::newRow("present port") << "/dev/ttyUSB0\t/dev/ttyUSB0" << "/dev/ttyUSB0"
                                  << "/dev/ttyUSB0" << "/dev/ttyUSB0\t/dev/ttyUSB0";
    QTest::newRow("port not present") << "/dev/ttyUSB9\t/dev/ttyUSB9" << "Auto detect"
                                      << "/dev/ttyUSB9" << "Auto detect\t/dev/ttyUSB9";
    QTest::newRow("no tab, other case")
        << "/DEV/TTYUSB0" << "/dev/ttyUSB0" << "" << "/dev/ttyUSB0\t";
    QTest::newRow("second tab belongs to the last port")
        << "Auto detect\ta\tb" << "Auto detect" << "a\tb" << "Auto detect\ta\tb";
    QTest::newRow("empty") << "" << "Auto detect" << "" << "Auto detect\t";
    QTest::newRow("typed network port")
        << "rfc2217://10.0.0.5:4001\trfc2217://10.0.0.5:4001" << "rfc2217://10.0.0.5:4001"
        << "rfc2217://10.0.0.5:4001" << "rfc2217://10.0.0.5:4001\trfc2217://10.0.0.5:4001";
  }
  void settingsPorts() {
    QFETCH(QString, line);
    QFETCH(QString, selected);
    QFETCH(QString, lastPort);
    QFETCH(QString, written);
    TProgramDir dir;
    TPortList ports{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
    dir.WriteIni({"", "", "", "", "S", line, line, "", "", ""});
    auto w = OpenWindow(dir, ports);
    QCOMPARE(Child<QComboBox>(*w, "COM1Combo")->currentText(), selected);
    QCOMPARE(Child<QComboBox>(*w, "COM2Combo")->currentText(), selected);
    QCOMPARE(QString::fromStdString(w->Fields().LastPort1), lastPort);
    QCOMPARE(QString::fromStdString(w->Fields().LastPort2), lastPort);
    w->close();
    const QStringList lines = dir.IniLines();
    QCOMPARE(lines.size(), 10);
    QCOMPARE(lines[5], written);
    QCOMPARE(lines[6], written);
  }

  // Lines 8 to 10: the histories, loaded in full and written back unchanged.
  void settingsHistories_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("items");
    QStringList twelve;
    for (int i = 0; i < 12; ++i) twelve << QStringLiteral("/p/%1.sff").arg(i);
    QTest::newRow("consecutive tabs") << "a.tpf\t\tb.tpf" << QStringList{"a.tpf", "b.tpf"};
    QTest::newRow("tabs at both ends") << "\ta.tpf\t" << QStringList{"a.tpf"};
    QTest::newRow("twelve entries") << twelve.join('\t') << twelve;
    QTest::newRow("name beyond ASCII") << QStringLiteral("/home/jürgen/Ü.tpf\t/b")
                                       << QStringList{QStringLiteral("/home/jürgen/Ü.tpf"), "/b"};
    QTest::newRow("empty") << "" << QStringList{};
  }
  void settingsHistories() {
    QFETCH(QString, line);
    QFETCH(QStringList, items);
    TProgramDir dir;
    TPortList ports;
    dir.WriteIni({"", "", "", "", "BRM", "", "", line, line, line});
    auto w = OpenWindow(dir, ports);
    for (const char* name : {"File1Combo", "File2Combo", "File3Combo"}) {
      QCOMPARE(Items(Child<QComboBox>(*w, name)), items);
      QCOMPARE(Child<QComboBox>(*w, name)->currentText(), items.value(0));
    }
    w->close();
    const QStringList lines = dir.IniLines();
    QCOMPARE(lines.size(), 10);
    for (int i = 7; i < 10; ++i) QCOMPARE(lines[i], items.join('\t'));
  }

  // Lines 1 to 4: each valid number sets its value, anything else keeps the current one; the
  // minimum size still holds. The rest of a short file counts as empty: every choice stays at
  // its default.
  void settingsGeometry_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QRect>("outer");
    QTest::newRow("decimal") << QStringList{"100", "120", "500", "450"}
                             << QRect(100, 120, 500, 450);
    QTest::newRow("hex and blanks") << QStringList{" $64", "0x78", "500", "  450"}
                                    << QRect(100, 120, 500, 450);
    QTest::newRow("below the minimum") << QStringList{"10", "10", "100", "100"}
                                       << QRect(10, 10, 350, 388);
    // An invalid value keeps what the window had (-1 here: compared with a window without
    // settings).
    QTest::newRow("invalid values") << QStringList{"x", "", "5 0", "1e3"} << QRect(-1, -1, -1, -1);
  }
  void settingsGeometry() {
    QFETCH(QStringList, lines);
    QFETCH(QRect, outer);
    QRect expected = outer;
    if (outer.x() == -1) {
      TProgramDir plain;
      TPortList none;
      expected = OpenWindow(plain, none)->frameGeometry();
    }
    TProgramDir dir;
    TPortList ports{{"/dev/ttyUSB0"}};
    dir.WriteIni(lines);
    auto w = OpenWindow(dir, ports);
    QCOMPARE(w->frameGeometry(), expected);

    QVERIFY(Child<QRadioButton>(*w, "SRVradio")->isChecked());
    for (const char* box : {"TPchk", "SrvChk", "AnaChk"})
      QVERIFY2(!Child<QCheckBox>(*w, box)->isChecked(), box);
    QCOMPARE(Child<QComboBox>(*w, "COM1Combo")->currentText(), QStringLiteral("Auto detect"));
    QCOMPARE(Child<QComboBox>(*w, "COM2Combo")->currentText(), QStringLiteral("Auto detect"));
    for (const char* combo : {"File1Combo", "File2Combo", "File3Combo"})
      QCOMPARE(Child<QComboBox>(*w, combo)->count(), 0);
    QVERIFY(w->Fields().LastPort1.empty() && w->Fields().LastPort2.empty());
  }

  // Sizes at the ends of the number range neither overflow nor make a window larger than the
  // screens or smaller than the minimum.
  void settingsGeometryExtremes() {
    TProgramDir dir;
    TPortList ports;
    dir.WriteIni({"0", "0", "2147483647", "-2147483648"});
    auto w = OpenWindow(dir, ports);
    QCOMPARE(w->frameGeometry().width(), w->screen()->availableVirtualSize().width());
    QCOMPARE(w->frameGeometry().height(), 388);
  }

  // A network port typed into a port box is the box's choice: the run takes it as the chosen
  // port, "upd" keeps it, and the next window has it again.
  void typedNetworkPort() {
    TProgramDir dir;
    TPortList ports{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
    // On loopback: the run started to take the choice tries to open it.
    const QString name = QStringLiteral("rfc2217://127.0.0.1:9");
    {
      auto w = OpenWindow(dir, ports);
      auto* box = Child<QComboBox>(*w, "COM1Combo");
      QVERIFY(box->isEditable());
      box->setEditText(name);
      w->Presenter().Start();
      w->Presenter().Exit();
      w->Presenter().Start();
      QCOMPARE(box->currentText(), name);
      QVERIFY(w->Fields().COM1Combo.ItemIndex > 0);
      QCOMPARE(QString::fromStdString(w->Fields().COM1Combo.Text), name);
      Child<QPushButton>(*w, "Upd1But")->click();
      QCOMPARE(box->currentText(), name);
      // Other typed text is no port: the box goes back to "Auto detect".
      auto* other = Child<QComboBox>(*w, "COM2Combo");
      other->setEditText(QStringLiteral("/dev/ttyUSB7"));
      w->Presenter().Start();
      w->Presenter().Exit();
      w->Presenter().Start();
      QCOMPARE(other->currentText(), QStringLiteral("Auto detect"));
      w->close();
      QCOMPARE(dir.IniLines().value(5), name + "\t");
    }
    auto again = OpenWindow(dir, ports);
    QCOMPARE(Child<QComboBox>(*again, "COM1Combo")->currentText(), name);
  }

  // What the operator chose is written at closing and comes back in the next window.
  void settingsRoundTrip() {
    TProgramDir dir;
    TPortList ports{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
    dir.WriteIni({"", "", "", "", "S", "", "", "/old/m.tpf", "", "/old/s.sff"});
    {
      auto w = OpenWindow(dir, ports);
      w->move(40, 50);
      w->resize(w->size() + QSize(30, 20));
      const QRect outer = w->frameGeometry();
      Child<QRadioButton>(*w, "TPradio")->click();
      Child<QCheckBox>(*w, "TPchk")->click();
      Child<QCheckBox>(*w, "AnaChk")->click();
      Child<QComboBox>(*w, "COM1Combo")->setCurrentIndex(2);
      Child<QComboBox>(*w, "File2Combo")->setEditText("/new/e.tpf");
      w->Presenter().AddHistory(TMainBox::File2);
      w->Fields().LastPort1 = "/dev/ttyUSB1";
      w->Fields().LastPort2 = "/dev/ttyUSB0";
      w->close();
      QCOMPARE(dir.IniLines(),
               (QStringList{QString::number(outer.x()), QString::number(outer.y()),
                            QString::number(outer.width()), QString::number(outer.height()),
                            "BMA", "/dev/ttyUSB1\t/dev/ttyUSB1", "Auto detect\t/dev/ttyUSB0",
                            "/old/m.tpf", "/new/e.tpf", "/old/s.sff"}));
    }
    auto again = OpenWindow(dir, ports);
    QVERIFY(again->Fields().GoldTP && again->Fields().RestoreTP && again->Fields().AnalysisOnly);
    QVERIFY(!again->Fields().RestoreSrv);
    QCOMPARE(again->frameGeometry().topLeft(), QPoint(40, 50));
    QCOMPARE(Child<QComboBox>(*again, "COM1Combo")->currentText(), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(Child<QComboBox>(*again, "File2Combo")->currentText(), QStringLiteral("/new/e.tpf"));
    QCOMPARE(again->Fields().LastPort2, std::string("/dev/ttyUSB0"));
  }

  // Closing writes nothing when the first activation has not finished, and when the program
  // file cannot be read the activation closes the window without writing either.
  void settingsUntouched_data() {
    QTest::addColumn<bool>("unreadableProgram");
    QTest::newRow("closed before the first activation") << false;
    QTest::newRow("program file unreadable") << true;
  }
  void settingsUntouched() {
    QFETCH(bool, unreadableProgram);
    TProgramDir dir;
    TPortList ports;
    const QByteArray original("1\r\n2\r\n400\r\n400\r\nBRMA\r\n");
    dir.WriteIniBytes(original);
    if (unreadableProgram) {
      QFile::remove(dir.Program());
      QFile text(dir.Program());
      QVERIFY(text.open(QIODevice::WriteOnly));
      text.write("#!/bin/sh\necho not a program file\n");
    }
    auto w = CreateWindow(dir, ports);
    if (unreadableProgram) {
      w->show();
      QTRY_VERIFY(!w->FirstActivate());
      QVERIFY(w->isHidden());
    } else {
      w->close();
    }
    QCOMPARE(dir.IniBytes(), original);
  }

  // A settings file that cannot be written does not stop the window from closing.
  void unwritableSettings() {
    TProgramDir dir;
    TPortList ports;
    QVERIFY(QDir(dir.Dir()).mkdir(QStringLiteral("tptune.INI")));
    auto w = OpenWindow(dir, ports);
    QVERIFY(w->close());
    QVERIFY(w->isHidden());
  }

  // A program file carrying a bundle: the bundle's flags fix the golden reference and analysis
  // only (or leave them to the operator), both restores are on, no file control or restore box
  // is offered, and the caption is the bundle's title.
  void bundle_data() {
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("letters");
    QTest::addColumn<bool>("gold");
    QTest::addColumn<bool>("radiosEnabled");
    QTest::addColumn<bool>("analysis");
    QTest::addColumn<bool>("anaEnabled");
    // clang-format off
    QTest::newRow("0x09 handheld fixed, analysis from settings") << 0x09 << "SA" << true  << false << true  << true;
    QTest::newRow("0x09, analysis clear in settings")            << 0x09 << "S"  << true  << false << false << true;
    QTest::newRow("0x0A both left to the operator")             << 0x0A << "BA" << true  << true  << true  << true;
    QTest::newRow("0x0A, server from settings")                 << 0x0A << "S"  << false << true  << false << true;
    QTest::newRow("0x04 server fixed, analysis forced on")      << 0x04 << "B"  << false << false << true  << false;
    QTest::newRow("0x01 handheld fixed, analysis forced off")   << 0x01 << "SA" << true  << false << false << false;
    // clang-format on
  }
  void bundle() {
    QFETCH(int, flags);
    QFETCH(QString, letters);
    QFETCH(bool, gold);
    QFETCH(bool, radiosEnabled);
    QFETCH(bool, analysis);
    QFETCH(bool, anaEnabled);
    TProgramDir dir(TestBundle(static_cast<uint8_t>(flags)));
    TPortList ports;
    dir.WriteIni({"", "", "", "", letters, "", "", "/f/m.tpf", "/f/e.tpf", "/f/s.sff"});
    auto w = OpenWindow(dir, ports);
    QVERIFY(w->Fields().EmbPkg);
    QCOMPARE(w->windowTitle(), QStringLiteral("Bundled fine-tuning tool"));
    auto check = [&](bool expectedGold) {
      QCOMPARE(w->Fields().GoldTP, expectedGold);
      QCOMPARE(Child<QRadioButton>(*w, "TPradio")->isChecked(), expectedGold);
      QCOMPARE(w->Fields().AnalysisOnly, analysis);
      QCOMPARE(Child<QCheckBox>(*w, "AnaChk")->isChecked(), analysis);
      QVERIFY(w->Fields().RestoreSrv && w->Fields().RestoreTP);
      QVERIFY(AllShown(*w, kHandheldFiles, false));
      QVERIFY(AllShown(*w, kServerFiles, false));
      QVERIFY(Child<QWidget>(*w, "TPchk")->isHidden());
      QVERIFY(Child<QWidget>(*w, "SrvChk")->isHidden());
    };
    check(gold);
    QCOMPARE(Child<QWidget>(*w, "TPradio")->isEnabled(), radiosEnabled);
    QCOMPARE(Child<QWidget>(*w, "SRVradio")->isEnabled(), radiosEnabled);
    QCOMPARE(Child<QWidget>(*w, "AnaChk")->isEnabled(), anaEnabled);
    if (radiosEnabled) {
      // Changing the golden reference offers nothing more with a bundle.
      Child<QRadioButton>(*w, gold ? "SRVradio" : "TPradio")->click();
      check(!gold);
    }
    // The settings file records what the bundle made of the choices.
    w->close();
    QCOMPARE(dir.IniLines().value(4).contains('R'), true);
    QCOMPARE(dir.IniLines().value(4).contains('M'), true);
  }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
