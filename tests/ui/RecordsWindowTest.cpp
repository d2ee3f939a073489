// The Records window: opened from the main window's set-up view, its table, filters, charts,
// export and drift warning over a store of known records, and its use while a bench run writes
// records.
#include <QApplication>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QValueAxis>
#include <QXYSeries>
#include <QElapsedTimer>
#include <QTimer>
#include <QTableView>
#include <QTest>
#include <nlohmann/json.hpp>
#include <set>

#include "UiTestSupport.h"
#include "records/Drift.h"
#include "records/RecordStore.h"
#include "records/Reports.h"
#include "records/StoreSink.h"
#include "run/Paths.h"
#include "tests/common/RecordsLot.h"
#include "tests/common/SilentServer.h"
#include "sim/Bench.h"
#include "tools/DemoPackages.h"
#include "ui/RecordsModel.h"
#include "ui/RecordsWindow.h"

namespace {

constexpr int kRunTimeout = 120000;

template <class T>
T* Find(QWidget& w, const char* name) {
  return w.findChild<T*>(QString::fromLatin1(name));
}

QChart* Chart(QWidget& w, const char* view) { return Find<QChartView>(w, view)->chart(); }

// The histogram's bar heights.
std::vector<double> Bars(TRecordsWindow& w) {
  std::vector<double> bars;
  const auto series = Chart(w, "HistogramView")->series();
  if (series.isEmpty()) return bars;
  auto* barSeries = qobject_cast<QBarSeries*>(series.first());
  if (!barSeries || barSeries->barSets().isEmpty()) return bars;
  const QBarSet* set = barSeries->barSets().first();
  for (int i = 0; i < set->count(); ++i) bars.push_back(set->at(i));
  return bars;
}

// Points of the trend's completed and failed series.
std::pair<int, int> TrendPoints(TRecordsWindow& w) {
  int completed = -1, failed = -1;
  for (QAbstractSeries* s : Chart(w, "TrendView")->series()) {
    auto* scatter = qobject_cast<QXYSeries*>(s);
    if (!scatter) continue;
    if (scatter->name() == QLatin1String("completed")) completed = scatter->count();
    if (scatter->name() == QLatin1String("failed")) failed = scatter->count();
  }
  return {completed, failed};
}

// The window has what it asked its browser for (it reads on a thread of its own).
bool Settled(TRecordsWindow& w) {
  return QTest::qWaitFor([&w] { return !w.Busy(); }, 20000);
}

// The ids of every row of the table, each page read as a scrolling view asks for it.
std::set<int64_t> ShownIds(TRecordsWindow& w) {
  std::set<int64_t> ids;
  for (int r = 0; r < w.Model()->rowCount(); ++r) {
    const TTuningRecord* record = nullptr;
    if (!QTest::qWaitFor([&] { return (record = w.Model()->RecordAt(r)) != nullptr; }, 20000)) break;
    ids.insert(record->Id);
  }
  return ids;
}

std::unique_ptr<TRecordsWindow> OpenRecords(const std::string& db, const std::string& ini = {}) {
  TRecordsWindowOptions o;
  o.Location = db;
  o.DriftSettingsPath = ini;
  auto w = std::make_unique<TRecordsWindow>(o);
  w->show();
  return w;
}

// A station on the emulated bench: the demo packages and a settings file in a program folder
// (the server as golden reference, both ports found automatically), its records file, and the
// window with a store sink over that file. Records written into Db before Window are there when
// the window opens.
struct TBenchStation {
  TProgramDir Dir;
  TBench Bench;
  TPortList Ports;
  std::string Db;
  std::unique_ptr<TStoreSink> Sink;

  TBenchStation() {
    WriteDemoPackages(Dir.Dir().toStdString());
    Ports.Ports = Bench.PortNames();
    auto pkg = [this](const char* name) { return Dir.Path(QString::fromLatin1(name)); };
    Dir.WriteIni({"", "", "", "", QStringLiteral("SR"), "Auto detect\t", "Auto detect\t",
                  pkg("rfmodem.tpf"), pkg("eeprom.tpf"), pkg("server.sff")});
    Db = Dir.Path(QStringLiteral("tptune-bench.db")).toStdString();
  }
  // The window goes before the station: it holds the sink and the bench's clock.
  std::unique_ptr<TMain> Window(bool benchRecords) {
    TStoreSinkOptions so;
    so.Location = Db;
    so.SpoolFolder = Dir.Path(QStringLiteral("spool/")).toStdString();
    so.Bench = benchRecords;
    Sink = std::make_unique<TStoreSink>(so);
    TMainOptions options;
    options.ProgramPath = Dir.Program();
    options.RunClock = &Bench.VirtualClock();
    options.EnumPorts = [this] { return Ports.Ports; };
    options.Records = Sink.get();
    return std::make_unique<TMain>(options);
  }
};

}  // namespace

class RecordsWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    SilenceSizeHintNotice();
  }

  // The button sits beside Start and Exit at their size with an access key of its own, and
  // opens the window without blocking the main window; without records it is off.
  void buttonOpensTheWindow() {
    TProgramDir dir;
    TPortList ports;
    const std::string db = dir.Path(QStringLiteral("tptune.db")).toStdString();
    Fill(db, kLot);
    TStoreSinkOptions so;
    so.Location = db;
    so.SpoolFolder = dir.Path(QStringLiteral("spool/")).toStdString();
    TStoreSink sink(so);
    TMainOptions options;
    options.ProgramPath = dir.Program();
    options.EnumPorts = [&ports] { return ports.Ports; };
    options.Records = &sink;
    auto w = std::make_unique<TMain>(options);
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));

    auto* records = Child<QPushButton>(*w, "RecordsBut");
    QVERIFY(records && records->isVisible() && records->isEnabled());
    QCOMPARE(records->text(), QStringLiteral("&Records..."));
    const QRect start = Child<QWidget>(*w, "StartBut")->geometry();
    const QRect exit = Child<QWidget>(*w, "ExitBut")->geometry();
    QCOMPARE(records->size(), start.size());
    QCOMPARE(records->size(), exit.size());
    QCOMPARE(records->y(), start.y());
    QVERIFY(records->x() >= start.right() && records->geometry().right() <= exit.x());
    // Alt+R belongs to this button alone.
    int withR = 0;
    for (QWidget* c : w->findChildren<QWidget*>()) {
      QString text;
      if (auto* b = qobject_cast<QAbstractButton*>(c)) text = b->text();
      if (auto* l = qobject_cast<QLabel*>(c)) text = l->text();
      if (text.contains(QLatin1String("&R"), Qt::CaseInsensitive)) ++withR;
    }
    QCOMPARE(withR, 1);

    QVERIFY(!w->RecordsWindow());
    QTest::keyClick(w.get(), Qt::Key_R, Qt::AltModifier);
    QTRY_VERIFY(w->RecordsWindow() && w->RecordsWindow()->isVisible());
    QVERIFY(!w->RecordsWindow()->isModal());
    QVERIFY(!QApplication::activeModalWidget());
    QTRY_COMPARE(w->RecordsWindow()->Model()->rowCount(), static_cast<int>(kLot.size()));
    // The main window still takes its clicks while the Records window is open.
    QVERIFY(Child<QWidget>(*w, "StartBut")->isEnabled());

    // Without records there is nothing to show.
    TMainOptions none = options;
    none.Records = nullptr;
    TMain plain(none);
    QVERIFY(!Child<QPushButton>(plain, "RecordsBut")->isEnabled());
  }

  // Each filter changes the table and the charts' counts alike.
  void filtersChangeTableAndCharts_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("outcome");  // index in the outcome box: any, completed, failed, aborted
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QString>("station");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("completedPoints");
    QTest::addColumn<int>("failedPoints");
    QTest::newRow("all") << "" << "" << 0 << "" << "" << 7 << 5 << 1;
    QTest::newRow("completed") << "" << "" << 1 << "" << "" << 5 << 5 << 0;
    QTest::newRow("failed") << "" << "" << 2 << "" << "" << 1 << 0 << 1;
    QTest::newRow("time range") << "2026-12-02" << "2026-12-05" << 0 << "" << "" << 3 << 3 << 0;
    QTest::newRow("mac") << "" << "" << 0 << "0x1" << "" << 2 << 1 << 1;
    QTest::newRow("station") << "" << "" << 0 << "" << "st2" << 3 << 3 << 0;
    QTest::newRow("station and outcome") << "" << "" << 2 << "" << "st2" << 0 << 0 << 0;
    QTest::newRow("not a mac") << "" << "" << 0 << "zz" << "" << 0 << 0 << 0;
  }
  void filtersChangeTableAndCharts() {
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(int, outcome);
    QFETCH(QString, mac);
    QFETCH(QString, station);
    QFETCH(int, rows);
    QFETCH(int, completedPoints);
    QFETCH(int, failedPoints);
    QTemporaryDir dir;
    const std::string db = dir.filePath(QStringLiteral("r.db")).toStdString();
    Fill(db, kLot);
    auto w = OpenRecords(db);
    Find<QLineEdit>(*w, "FromEdit")->setText(from);
    Find<QLineEdit>(*w, "ToEdit")->setText(to);
    Find<QComboBox>(*w, "OutcomeCombo")->setCurrentIndex(outcome);
    Find<QLineEdit>(*w, "MacEdit")->setText(mac);
    Find<QLineEdit>(*w, "StationEdit")->setText(station);
    // Typing takes effect by itself after a short pause.
    QTRY_VERIFY(w->Filter().From == from.toStdString() && w->Filter().To == to.toStdString() &&
                w->Filter().Mac == mac.toStdString() && w->Filter().Station == station.toStdString());
    QVERIFY(Settled(*w));
    QCOMPARE(w->Model()->rowCount(), rows);
    QCOMPARE(Find<QTableView>(*w, "HistoryView")->model()->rowCount(), rows);
    QVERIFY(Find<QLabel>(*w, "StatsTxt")->text().startsWith(QStringLiteral("Count: %1\n").arg(rows)));
    QCOMPARE(TrendPoints(*w), std::make_pair(completedPoints, failedPoints));
    double histogram = 0;
    for (double b : Bars(*w)) histogram += b;
    QCOMPARE(histogram, static_cast<double>(completedPoints));  // measured, completed
    // Every row shown is one the filter takes.
    for (int r = 0; r < rows; ++r) {
      const TTuningRecord* record = nullptr;
      QTRY_VERIFY((record = w->Model()->RecordAt(r)) != nullptr);
      if (!station.isEmpty()) QCOMPARE(record->Station, station.toStdString());
      if (outcome == 1) QCOMPARE(record->Outcome, std::string(kRecordCompleted));
    }
  }

  // Offsets -2 0 0 1 3 steps completed, one failure far off: one bar a step, empty steps kept,
  // the failure in none; count, yield, mean and spread beside them.
  void histogramBinsHoldTheRightCounts() {
    QTemporaryDir dir;
    const std::string db = dir.filePath(QStringLiteral("r.db")).toStdString();
    Fill(db, kLot);
    auto w = OpenRecords(db);
    QVERIFY(Settled(*w));
    QCOMPARE(Bars(*w), (std::vector<double>{1, 0, 2, 1, 0, 1}));
    auto* axis = qobject_cast<QBarCategoryAxis*>(
        Chart(*w, "HistogramView")->axes(Qt::Horizontal).value(0));
    QVERIFY(axis);
    QCOMPARE(axis->categories(), (QStringList{"-1.0", "-0.5", "0.0", "0.5", "1.0", "1.6"}));
    const QString stats = Find<QLabel>(*w, "StatsTxt")->text();
    QVERIFY2(stats.contains(QLatin1String("Count: 7\nCompleted: 5\nFailed: 1\nAborted: 1\nYield: 83.3 %")),
             qPrintable(stats));
    // Steps -2 0 0 1 3: mean 0.4, standard deviation sqrt(2.64), in ppm.
    QVERIFY2(stats.contains(QLatin1String("Mean: 0.21 ppm\nStd. deviation: 0.84 ppm")),
             qPrintable(stats));
  }

  // A failure that ended before any measurement has no offset: the trend marks it at its time on
  // the chart's lower edge, in a series of its own, and the offset scale stays what the measured
  // devices make it (a device at 0 ppm would read as perfectly tuned).
  void failuresWithoutAnOffsetStayOffTheOffsetScale() {
    const std::vector<TRow> measured = {
        {"00000001", kRecordCompleted, 20, "2026-12-01T08:00:00.000Z"},
        {"00000002", kRecordCompleted, 24, "2026-12-02T08:00:00.000Z"},
        {"00000003", kRecordFailed, 30, "2026-12-03T08:00:00.000Z"},
    };
    auto offsetRange = [](TRecordsWindow& w) {
      auto* axis = qobject_cast<QValueAxis*>(Chart(w, "TrendView")->axes(Qt::Vertical).value(0));
      return axis ? std::make_pair(axis->min(), axis->max()) : std::make_pair(-1e9, -1e9);
    };
    QTemporaryDir dir;
    const std::string plainDb = dir.filePath(QStringLiteral("plain.db")).toStdString();
    Fill(plainDb, measured);
    auto plainWindow = OpenRecords(plainDb);
    QVERIFY(Settled(*plainWindow));
    const auto plain = offsetRange(*plainWindow);
    QVERIFY2(plain.first > 0, "the fixture's offsets should keep 0 ppm off the scale");

    const std::string db = dir.filePath(QStringLiteral("r.db")).toStdString();
    Fill(db, measured);
    TTuningRecord early = Make({"00000004", kRecordFailed, 0, "2026-12-04T08:00:00.000Z"}, 50);
    early.OffsetSteps.reset();
    early.OffsetPpm.reset();
    OpenRecordStore(db, TStoreOpen::kCreate)->Add(early);
    auto w = OpenRecords(db);
    QVERIFY(Settled(*w));
    QCOMPARE(offsetRange(*w), plain);
    QCOMPARE(TrendPoints(*w), std::make_pair(2, 1));
    QXYSeries* edge = nullptr;
    for (QAbstractSeries* s : Chart(*w, "TrendView")->series())
      if (s->name() == QLatin1String("failed, no offset")) edge = qobject_cast<QXYSeries*>(s);
    QVERIFY(edge);
    QCOMPARE(edge->count(), 1);
    QCOMPARE(edge->at(0).y(), plain.first);
    QCOMPARE(edge->at(0).x(),
             static_cast<double>(QDateTime::fromString(QStringLiteral("2026-12-04T08:00:00.000Z"),
                                                       Qt::ISODateWithMs)
                                     .toMSecsSinceEpoch()));
    QVERIFY(Chart(*w, "TrendView")->title().contains(QLatin1String("(4 devices)")));
  }

  // Records written while the window is closed are not read then (a run goes on meanwhile),
  // but as soon as it is shown again.
  void hiddenWindowReadsOnlyOnceShown() {
    QTemporaryDir dir;
    const std::string db = dir.filePath(QStringLiteral("r.db")).toStdString();
    Fill(db, {{"00000010", kRecordCompleted, 0, "2026-12-10T08:00:00.000Z", "st1", "SRV_A", 0}});
    auto w = OpenRecords(db);
    auto* count = Find<QLabel>(*w, "CountTxt");
    QTRY_COMPARE(count->text(), QStringLiteral("1 records"));
    w->hide();
    Fill(db, {{"00000011", kRecordCompleted, 0, "2026-12-10T09:00:00.000Z", "st1", "SRV_A", 0}},
         1);
    w->Refresh();
    QTest::qWait(400);  // twice the refresh delay
    QCOMPARE(count->text(), QStringLiteral("1 records"));
    QCOMPARE(w->Model()->rowCount(), 1);
    w->show();
    QTRY_COMPARE(count->text(), QStringLiteral("2 records"));
  }

  // A records server that accepts connections and then says nothing: the window goes on turning
  // its event loop while the query waits, and its status line says that the store is not
  // answering. Once the server is gone it says why nothing is shown.
  void staysResponsiveWhileTheServerIsSilent() {
    TSilentServer server;
    auto w = OpenRecords(server.Location());
    auto* status = Find<QLabel>(*w, "CountTxt");
    // The pauses counted are those of the wait for the store, not the window's first painting.
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QApplication::processEvents();
    QVERIFY(w->Busy());
    QElapsedTimer sinceTurn;
    qint64 longest = 0;
    QTimer turn;
    QObject::connect(&turn, &QTimer::timeout, [&] {
      longest = std::max(longest, sinceTurn.restart());
    });
    sinceTurn.start();
    turn.start(10);
    QTRY_VERIFY_WITH_TIMEOUT(status->text().contains(QLatin1String("not answering")), 10000);
    // Typing a filter meanwhile does not hold the window up either.
    Find<QLineEdit>(*w, "StationEdit")->setText(QStringLiteral("st1"));
    w->ApplyFilter();
    QTest::qWait(200);
    turn.stop();
    qInfo("longest pause between turns while the server was silent: %lld ms", longest);
    QVERIFY2(longest < 100, qPrintable(QString::number(longest)));
    QVERIFY(w->Busy());
    server.Close();
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(QLatin1String("No records yet (")), 30000);
  }

  // The warning shows exactly when the latest rolling median leaves the band; the threshold is
  // kept in its own settings file.
  void driftWarningFollowsTheBand() {
    QTemporaryDir dir;
    const std::string db = dir.filePath(QStringLiteral("r.db")).toStdString();
    const std::string ini = dir.filePath(QStringLiteral("tptune-drift.ini")).toStdString();
    std::vector<TRow> rows;
    for (int i = 0; i < 19; ++i)
      rows.push_back({"00000010", kRecordCompleted, 0,
                      "2026-12-10T08:00:00.000Z", "st1", "SRV_A", 5});
    Fill(db, rows);
    auto w = OpenRecords(db, ini);
    QVERIFY(Settled(*w));
    auto* warning = Find<QLabel>(*w, "WarningTxt");
    QVERIFY(warning->isHidden());  // 19 devices: no median yet
    Fill(db, {{"00000010", kRecordCompleted, 0, "2026-12-10T09:00:00.000Z", "st1", "SRV_A", 5}},
         100);
    w->Refresh();
    QTRY_VERIFY(!warning->isHidden());
    QVERIFY(warning->text().contains(QLatin1String("#SRV_A")));
    QVERIFY(warning->text().contains(QLatin1String("+5.0 steps = +2.59 ppm")));
    QCOMPARE(w->Warnings().size(), size_t(1));
    // The drift chart: the server's median line and the band.
    QStringList names;
    for (QAbstractSeries* s : Chart(*w, "DriftView")->series()) names << s->name();
    QVERIFY2(names.contains(QLatin1String("#SRV_A")), qPrintable(names.join(',')));

    Find<QDoubleSpinBox>(*w, "ThresholdSpin")->setValue(5);  // the edge is inside
    QVERIFY(warning->isHidden());
    QCOMPARE(ReadDriftThreshold(ini), 5.0);
    Find<QDoubleSpinBox>(*w, "ThresholdSpin")->setValue(4.5);
    QVERIFY(!warning->isHidden());
    // A new window takes the kept threshold.
    auto again = OpenRecords(db, ini);
    QCOMPARE(again->Threshold(), 4.5);
    QCOMPARE(Find<QDoubleSpinBox>(*again, "ThresholdSpin")->value(), 4.5);
  }

  // Export writes the records the filter shows, every column, as CSV or JSON lines.
  void exportWritesWhatTheFilterShows() {
    QTemporaryDir dir;
    const std::string db = dir.filePath(QStringLiteral("r.db")).toStdString();
    Fill(db, kLot);
    auto w = OpenRecords(db);
    Find<QLineEdit>(*w, "StationEdit")->setText(QStringLiteral("st1"));
    w->ApplyFilter();
    QVERIFY(Settled(*w));
    const std::set<int64_t> shown = ShownIds(*w);
    QCOMPARE(shown.size(), size_t(4));

    const QString csv = dir.filePath(QStringLiteral("lot.csv"));
    QVERIFY(w->ExportTo(csv, false));
    QFile c(csv);
    QVERIFY(c.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = c.readAll().split('\n');
    QCOMPARE(lines.first(), QByteArray(CsvHeader().c_str()).trimmed() + "\r");
    std::set<int64_t> csvIds;
    for (qsizetype i = 1; i < lines.size(); ++i)
      if (!lines[i].isEmpty() && lines[i].at(0) >= '0' && lines[i].at(0) <= '9')
        csvIds.insert(lines[i].left(lines[i].indexOf(',')).toLongLong());
    QCOMPARE(csvIds, shown);

    const QString json = dir.filePath(QStringLiteral("lot.json"));
    QVERIFY(w->ExportTo(json, true));
    QFile j(json);
    QVERIFY(j.open(QIODevice::ReadOnly));
    std::set<int64_t> jsonIds;
    for (const QByteArray& line : j.readAll().split('\n')) {
      if (line.isEmpty()) continue;
      const auto object = nlohmann::json::parse(line.toStdString());
      QCOMPARE(object["station"].get<std::string>(), std::string("st1"));
      QVERIFY(object.contains("log") && object.contains("trace"));
      jsonIds.insert(object["id"].get<int64_t>());
    }
    QCOMPARE(jsonIds, shown);
    QVERIFY(!w->ExportTo(dir.filePath(QStringLiteral("no/such/folder/x.csv")), false));
  }

  // A double click shows the whole record, its log and trace included; the table read only
  // the pages it showed, never every row.
  void doubleClickShowsTheWholeRecord() {
    QTemporaryDir dir;
    const std::string db = dir.filePath(QStringLiteral("r.db")).toStdString();
    std::vector<TRow> rows;
    for (int i = 0; i < 1000; ++i) rows.push_back({"00000020", kRecordCompleted, i % 7 - 3, "2026-12-10T08:00:00.000Z"});
    Fill(db, rows);
    auto w = OpenRecords(db);
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QVERIFY(Settled(*w));
    auto* view = Find<QTableView>(*w, "HistoryView");
    QCOMPARE(view->model()->rowCount(), 1000);
    QTRY_VERIFY(w->Model()->RecordAt(0) != nullptr);
    QVERIFY(w->Model()->RowsRead() <= TRecordsModel::kPageSize);
    const QRect cell = view->visualRect(view->model()->index(0, 0));
    // A double click is a press on the row followed by the second press's double-click event.
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    QDialog* dialog = nullptr;
    QTRY_VERIFY((dialog = w->findChild<QDialog*>(QStringLiteral("RecordDlg"))) != nullptr);
    const QString text = dialog->findChild<QPlainTextEdit*>(QStringLiteral("RecordText"))->toPlainText();
    const std::string uid = w->Model()->RecordAt(0)->Uid;
    QVERIFY2(text.contains(QString::fromStdString("log of " + uid)), qPrintable(text));
    QVERIFY(text.contains(QString::fromStdString(">trace of " + uid)));
    view->scrollToBottom();
    QTRY_VERIFY(w->Model()->RowsRead() < 1000);
  }

  // While a bench run writes records the window answers and stays right: each record appears
  // once written, a filter works between handhelds. A station whose golden server drifted gets
  // one line at the start of the run.
  void staysUsableWhileABenchRunWritesRecords() {
    TBenchStation bench;
    // Twenty handhelds of this station tuned 4 steps off against the bench's server.
    const std::string station = StationName();
    std::vector<TRow> earlier;
    for (int i = 0; i < 20; ++i)
      earlier.push_back({"00B00001", kRecordCompleted, 1, "2026-12-01T08:00:00.000Z",
                         station.c_str(), "RFTPSERVER000123", -4});
    Fill(bench.Db, earlier);
    auto w = bench.Window(true);
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    Child<QPushButton>(*w, "RecordsBut")->click();
    TRecordsWindow* records = w->RecordsWindow();
    QVERIFY(records);
    QTRY_COMPARE(records->Model()->rowCount(), 20);

    Child<QPushButton>(*w, "StartBut")->click();
    const QString log = Child<QPlainTextEdit>(*w, "LogMemo")->toPlainText();
    QCOMPARE(log.count(QLatin1String("has drifted")), 1);
    QVERIFY2(log.startsWith(QLatin1String("Golden server #RFTPSERVER000123 has drifted: -4.0 steps = -2.07 ppm")),
             qPrintable(log));
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ok-prompt"), kRunTimeout);
    QVERIFY(Child<QWidget>(*w, "RecordsBut")->isHidden());
    QVERIFY(records->isVisible());
    Child<QPushButton>(*w, "StartBut")->click();  // Ok
    for (int handheld = 1; handheld <= 2; ++handheld) {
      QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("yes-no"), kRunTimeout);
      // The record written at the end of the handheld's pass is in the table by itself.
      QTRY_COMPARE(records->Model()->rowCount(), 20 + handheld);
      const TTuningRecord* newest = nullptr;
      QTRY_VERIFY((newest = records->Model()->RecordAt(0)) != nullptr);
      QVERIFY(newest->Bench);
      QCOMPARE(newest->Mac, std::string(handheld == 1 ? "00A10001" : "00A10002"));
      // A filter answers at once between handhelds, and going back shows them all.
      Find<QLineEdit>(*records, "MacEdit")->setText(QString::fromStdString(newest->Mac));
      records->ApplyFilter();
      QTRY_COMPARE(records->Model()->rowCount(), 1);
      Find<QLineEdit>(*records, "MacEdit")->clear();
      records->ApplyFilter();
      QTRY_COMPARE(records->Model()->rowCount(), 20 + handheld);
      Child<QPushButton>(*w, handheld < 2 ? "StartBut" : "ExitBut")->click();  // Yes, then No
    }
    QTRY_COMPARE_WITH_TIMEOUT(View(*w), QStringLiteral("ended"), kRunTimeout);
    QVERIFY(!Child<QPlainTextEdit>(*w, "LogMemo")->toPlainText().contains(QLatin1String("Record not saved")));
    QTRY_COMPARE(records->Model()->rowCount(), 22);
    // Back in set-up the button is there again.
    Child<QPushButton>(*w, "StartBut")->click();
    QVERIFY(!Child<QWidget>(*w, "RecordsBut")->isHidden());
  }
};

QTEST_MAIN(RecordsWindowTest)
#include "RecordsWindowTest.moc"
