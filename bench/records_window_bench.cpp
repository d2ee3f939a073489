// Benchmark of the Records window over a large store: fills a SQLite store with synthetic
// records (logs and traces of a real record's size, four stations, three golden servers of which
// one drifts), then on Qt's offscreen platform times
//  - opening the window until its first page is drawn (the store opened, the records counted,
//    the charts computed and the table, histogram, trend and drift chart painted);
//  - each of a few filter changes until the charts are drawn again;
// and prints how many rows the table read and the peak resident memory of the process.
//
//   records_window_bench [--count N] [--db FILE]
//
// Without --db the store is made in /dev/shm (where a commit's flush costs nothing, so filling
// it is quick) and removed afterwards; with --db an existing store is used as it is, or a missing
// one is filled and kept.
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QChartView>
#include <QComboBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableView>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "records/RecordStore.h"
#include "ui/RecordsModel.h"
#include "ui/RecordsWindow.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// One minute apart, from 2026-10-01 on; a quarter of a step of drift every 500 devices of the
// first server.
TTuningRecord Synthetic(int i) {
  TTuningRecord r;
  r.Uid = "window-bench-" + std::to_string(i);
  const int minutes = i;
  char when[40];
  std::snprintf(when, sizeof when, "2026-%02d-%02dT%02d:%02d:%02d.000Z", 10 + minutes / 43200,
                1 + minutes / 1440 % 30, minutes / 60 % 24, minutes % 60, i % 60);
  r.StartedAt = r.EndedAt = when;
  r.Station = "station-" + std::to_string(i % 4);
  r.ProgramVersion = "0.1";
  r.Golden = "server";
  r.ServerIdentity = "RFTPSERVER00012" + std::to_string(i % 3);
  r.DonglePort = "/dev/ttyUSB0";
  r.DongleIdentity = "TPDONGLE00000042";
  r.ServerPort = "/dev/ttyUSB1";
  r.DeviceKind = "handheld";
  char mac[16];
  std::snprintf(mac, sizeof mac, "%08X", 0x00A00000 + i);
  r.Mac = r.DeviceIdentity = mac;
  r.FactoryComp = (i * 7) % 41 - 20;
  r.EffectiveComp = r.FactoryComp;
  r.GoldenComp = -4;
  r.Cycles = {{0, 12, 179, 41, 3, 4}, {9, 12, 179, 1, 0, 1}};
  const int spread = (i * 13) % 9 - 4 + ((i * 5) % 7 == 0 ? (i % 3) - 1 : 0);
  const int drift = i % 3 == 0 ? i / 1500 : 0;
  r.OffsetSteps = spread;
  r.OffsetKhz = spread * 0.45;
  r.OffsetPpm = StepsToPpm(spread);
  r.NewCompSteps = *r.FactoryComp + drift + (i % 5 == 0 ? 1 : 0);
  r.NewCompPpm = StepsToPpm(*r.NewCompSteps);
  r.Stored = true;
  r.Outcome = i % 25 == 0 ? kRecordFailed : i % 97 == 0 ? kRecordAborted : kRecordCompleted;
  for (int line = 0; line < 40; ++line) r.Log += "Running test cycle... line " + std::to_string(line) + "\n";
  for (int b = 0; b < 200; ++b) r.Trace += "1<" + std::to_string(b) + "\r";
  return r;
}

// Waits for the readings the window asked its browser for (they run on the browser's thread),
// then paints the window as the screen would (every visible widget), so the table asks for its
// rows and the charts lay out their series, and paints again once those rows have come.
void Draw(TRecordsWindow& w) {
  auto settle = [&w] {
    do QApplication::processEvents(QEventLoop::AllEvents, 5);
    while (w.Busy());
  };
  settle();
  (void)w.grab();
  QElapsedTimer rows;
  rows.start();
  while (rows.elapsed() < 20) QApplication::processEvents(QEventLoop::AllEvents, 5);
  (void)w.grab();
}

}  // namespace

int main(int argc, char** argv) {
  int count = 100000;
  std::string db;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::atoi(argv[++i]);
    } else if (a == "--db" && i + 1 < argc) {
      db = argv[++i];
    } else {
      std::fprintf(stderr, "usage: records_window_bench [--count N] [--db FILE]\n");
      return 2;
    }
  }
  const bool scratch = db.empty();
  if (scratch) db = "/dev/shm/records_window_bench_" + std::to_string(::getpid()) + ".db";
  if (!fs::exists(db)) {
    const auto start = Clock::now();
    auto store = OpenRecordStore(db, TStoreOpen::kCreate);
    for (int i = 0; i < count; ++i) store->Add(Synthetic(i));
    std::printf("filled %s with %d records in %.1f s\n", db.c_str(), count,
                Ms(Clock::now() - start) / 1000);
  }
  std::printf("peak memory before the window: %ld kB\n", MaxRssKb());

  qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
  QApplication app(argc, argv);
  {
    TRecordsWindowOptions o;
    o.Location = db;
    auto t = Clock::now();
    TRecordsWindow w(o);
    w.show();
    Draw(w);
    const double open = Ms(Clock::now() - t);
    std::printf("open and show the first page: %.0f ms (%d records, %lld rows read)\n", open,
                w.Model()->rowCount(), static_cast<long long>(w.Model()->RowsRead()));

    // The charts' tab in view: each filter change redraws the histogram and the trend.
    auto* tabs = w.findChild<QTabWidget*>(QStringLiteral("Tabs"));
    tabs->setCurrentIndex(1);
    Draw(w);
    struct Step {
      const char* what;
      const char* field;  // the filter box
      const char* text;
    } steps[] = {
        {"station-1", "StationEdit", "station-1"},
        {"station-1, from November", "FromEdit", "2026-11"},
        {"all stations, from November", "StationEdit", ""},
        {"no filter", "FromEdit", ""},
    };
    for (const Step& s : steps) {
      t = Clock::now();
      w.findChild<QLineEdit*>(QString::fromLatin1(s.field))->setText(QString::fromLatin1(s.text));
      w.ApplyFilter();
      Draw(w);
      std::printf("filter %-28s charts redrawn in %.0f ms (%d records)\n", s.what,
                  Ms(Clock::now() - t), w.Model()->rowCount());
    }
    t = Clock::now();
    w.findChild<QComboBox*>(QStringLiteral("OutcomeCombo"))->setCurrentIndex(2);  // failed
    Draw(w);
    std::printf("filter %-28s charts redrawn in %.0f ms (%d records)\n", "outcome failed",
                Ms(Clock::now() - t), w.Model()->rowCount());
    tabs->setCurrentIndex(2);
    t = Clock::now();
    Draw(w);
    std::printf("drift chart drawn in %.0f ms (%zu golden servers warned)\n", Ms(Clock::now() - t),
                w.Warnings().size());

    // The whole table scrolled through to its end: pages come and go, the table keeps a few.
    tabs->setCurrentIndex(0);
    w.findChild<QComboBox*>(QStringLiteral("OutcomeCombo"))->setCurrentIndex(0);
    auto* view = w.findChild<QTableView*>(QStringLiteral("HistoryView"));
    t = Clock::now();
    view->scrollToBottom();
    Draw(w);
    std::printf("scroll to the last row: %.0f ms (%lld rows read in all)\n", Ms(Clock::now() - t),
                static_cast<long long>(w.Model()->RowsRead()));
  }
  std::printf("peak memory: %ld kB\n", MaxRssKb());
  if (scratch) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix);
  }
  return 0;
}
