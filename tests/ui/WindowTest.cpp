// The window without a run, for what is Qt's: the first activation on showing, access keys,
// anchored resizing, the presenter's state in the widgets and the clicks back, the file dialogs
// and their filters, and placing the window within its minimum and the screens. What the window
// does (choices, port lists, histories, settings, bundle) is tested on the presenter.
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

  // The presenter's state in the widgets and the operator's clicks and typing back in the run's
  // fields: the choices, the restore boxes and file rows, the port lists with a port the user
  // may not open greyed with the reason as its tool tip, the histories, the Records button, and
  // the window's rectangle in the settings file; with a bundle, the fixed choices are disabled
  // and the title is the bundle's.
  void stateReachesTheWidgetsAndBack() {
    TProgramDir dir;
    TPortList ports{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
    dir.WriteIni({"", "", "", "", "BM", "/dev/ttyUSB1", "", "a.tpf\tb.tpf", "", ""});
    TMainOptions options;
    options.ProgramPath = dir.Program();
    options.EnumPorts = [&ports] { return ports.Ports; };
    options.AccessOf = [](const std::string& port) {
      return TPortAccess{true, port != "/dev/ttyUSB1", "dialout", true};
    };
    auto w = std::make_unique<TMain>(options);
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QCOMPARE(w->windowTitle(), QStringLiteral("TallyPilot Pro automatic fine-tuning tool"));
    QVERIFY(Child<QRadioButton>(*w, "TPradio")->isChecked());
    QVERIFY(Child<QCheckBox>(*w, "TPchk")->isChecked());
    QVERIFY(!Child<QWidget>(*w, "TPchk")->isHidden());
    QVERIFY(Child<QWidget>(*w, "SrvChk")->isHidden());
    QVERIFY(AllShown(*w, kHandheldFiles, true));
    QVERIFY(AllShown(*w, kServerFiles, true));
    for (const char* name : {"COM1Combo", "COM2Combo"}) {
      const QComboBox* c = Child<QComboBox>(*w, name);
      QCOMPARE(Items(c), (QStringList{"Auto detect", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
      QCOMPARE(c->itemData(2, Qt::ToolTipRole).toString(),
               QStringLiteral("no permission (group dialout)"));
      QVERIFY(c->itemData(2, Qt::ForegroundRole).isValid());
      QVERIFY(!c->itemData(1, Qt::ToolTipRole).isValid());
    }
    QCOMPARE(Child<QComboBox>(*w, "COM1Combo")->currentText(), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(Child<QComboBox>(*w, "COM2Combo")->currentText(), QStringLiteral("Auto detect"));
    QCOMPARE(Items(Child<QComboBox>(*w, "File1Combo")), (QStringList{"a.tpf", "b.tpf"}));
    QCOMPARE(Child<QComboBox>(*w, "File1Combo")->currentText(), QStringLiteral("a.tpf"));
    auto* records = Child<QPushButton>(*w, "RecordsBut");
    QVERIFY(!records->isEnabled());
    QCOMPARE(records->toolTip(), QStringLiteral("No production records are kept"));

    Child<QRadioButton>(*w, "SRVradio")->click();
    QVERIFY(!w->Fields().GoldTP);
    QVERIFY(Child<QWidget>(*w, "TPchk")->isHidden());
    QVERIFY(!Child<QWidget>(*w, "SrvChk")->isHidden());
    Child<QCheckBox>(*w, "SrvChk")->click();
    QVERIFY(w->Fields().RestoreSrv);
    Child<QCheckBox>(*w, "AnaChk")->click();
    QVERIFY(w->Fields().AnalysisOnly);
    Child<QComboBox>(*w, "COM2Combo")->setCurrentIndex(1);
    QCOMPARE(w->Fields().COM2Combo.Text, std::string("/dev/ttyUSB0"));
    QTest::keyClicks(Child<QComboBox>(*w, "File3Combo")->lineEdit(), "/f/s.sff");
    QCOMPARE(w->Fields().File3Combo.Text, std::string("/f/s.sff"));
    ports.Ports = {"/dev/ttyACM0"};
    Child<QPushButton>(*w, "Upd2But")->click();
    QCOMPARE(Items(Child<QComboBox>(*w, "COM1Combo")), (QStringList{"Auto detect", "/dev/ttyACM0"}));
    w->move(40, 50);
    const QRect outer = w->frameGeometry();
    QVERIFY(w->close());
    QCOMPARE(dir.IniLines().mid(0, 5),
             (QStringList{QString::number(outer.x()), QString::number(outer.y()),
                          QString::number(outer.width()), QString::number(outer.height()),
                          "SRMA"}));

    TProgramDir bundled(TestBundle(0x01));
    auto b = OpenWindow(bundled, ports);
    QCOMPARE(b->windowTitle(), QStringLiteral("Bundled fine-tuning tool"));
    QVERIFY(Child<QRadioButton>(*b, "TPradio")->isChecked());
    QVERIFY(!Child<QWidget>(*b, "TPradio")->isEnabled());
    QVERIFY(!Child<QWidget>(*b, "SRVradio")->isEnabled());
    QVERIFY(!Child<QWidget>(*b, "AnaChk")->isEnabled());
    QVERIFY(AllShown(*b, kHandheldFiles, false));
    QVERIFY(AllShown(*b, kServerFiles, false));
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

  // The settings file's rectangle within the minimum size and the screens.
  void placedWithinTheMinimumAndTheScreens() {
    TProgramDir dir;
    TPortList ports;
    dir.WriteIni({"10", "10", "100", "100"});
    auto w = OpenWindow(dir, ports);
    QCOMPARE(w->frameGeometry(), QRect(10, 10, 350, 388));
    // Values the file does not give leave the window as it would be without them.
    TProgramDir plain, invalid;
    invalid.WriteIni({"x", "", "5 0", "1e3"});
    QCOMPARE(OpenWindow(invalid, ports)->frameGeometry(), OpenWindow(plain, ports)->frameGeometry());
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
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
