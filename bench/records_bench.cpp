// Benchmark of the record store: inserts synthetic records one transaction each, as the run's
// sink does, and reports records per second and the slowest insert for each back end; then times
// the queries of tptune-records over them (list --mac, stats, export) and the memory export
// takes, which must not grow with the number of records.
//
//   records_bench [--count N] [--postgres LOCATION | --no-postgres] [--keep DIR]
//
// Without --postgres a throwaway PostgreSQL server (fsync on, as in production) is started in a
// temporary folder.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "PgServer.h"
#include "records/RecordStore.h"
#include "records/Reports.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::string Mac(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", 0x00A00000 + i);
  return text;
}

// A record like a real one: a handful of cycles, a log of some 40 lines and a short trace.
TTuningRecord Synthetic(int i, int macs) {
  TTuningRecord r;
  r.Uid = "bench-" + std::to_string(i);
  char when[40];
  std::snprintf(when, sizeof when, "2026-%02d-%02dT%02d:%02d:%02d.%03dZ", 1 + i / 2678400 % 12,
                1 + i / 86400 % 28, i / 3600 % 24, i / 60 % 60, i % 60, i % 1000);
  r.StartedAt = r.EndedAt = when;
  r.Station = "station-" + std::to_string(i % 4);
  r.ProgramVersion = "0.1";
  r.Golden = "server";
  r.DonglePort = "/dev/ttyUSB0";
  r.DongleIdentity = "TPDONGLE00000042";
  r.DongleHwVersion = "1.1";
  r.ServerPort = "/dev/ttyUSB1";
  r.ServerIdentity = "RFTPSERVER000123";
  r.ServerHwVersion = "1.2";
  r.ServerFirmware = "V2.1.6a";
  r.DeviceKind = "handheld";
  r.Mac = r.DeviceIdentity = Mac(i % macs);
  r.HandheldHwVersion = "2.2";
  r.RfModemVersion = "2.3";
  r.FactoryComp = i % 40 - 20;
  r.PcToolComp = 0;
  r.EffectiveComp = r.FactoryComp;
  r.GoldenComp = -4;
  r.Cycles = {{0, 12, 179, 41, 3, 4}, {9, 12, 179, 1, 0, 1}};
  r.OffsetSteps = i % 31 - 15;
  r.OffsetKhz = *r.OffsetSteps * 0.45;
  r.OffsetPpm = *r.OffsetSteps / 1.92955;
  r.NewCompSteps = *r.FactoryComp + *r.OffsetSteps;
  r.NewCompKhz = *r.NewCompSteps * 0.45;
  r.NewCompPpm = *r.NewCompSteps / 1.92955;
  r.Stored = true;
  r.Restored = {{"rf_modem", "V2.3", true}, {"eeprom", "V1.4.2", true}};
  for (auto& digest : r.PackageSha256) digest = std::string(64, 'c');
  r.Outcome = i % 20 == 0 ? kRecordFailed : kRecordCompleted;
  for (int line = 0; line < 40; ++line) r.Log += "Running test cycle... line " + std::to_string(line) + "\n";
  for (int b = 0; b < 200; ++b) r.Trace += "1<" + std::to_string(b) + "\r";
  return r;
}

void Run(const std::string& name, const std::string& location, int count) {
  std::printf("== %s: %s\n", name.c_str(), location.c_str());
  auto store = OpenRecordStore(location, TStoreOpen::kCreate);
  const int macs = std::max(1, count / 5);
  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(count));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const TTuningRecord r = Synthetic(i, macs);
    const auto t = Clock::now();
    store->Add(r);
    latencies.push_back(Ms(Clock::now() - t));
  }
  const double seconds = Ms(Clock::now() - start) / 1000;
  std::sort(latencies.begin(), latencies.end());
  std::printf("insert %d records: %.1f s, %.0f records/s; per record median %.2f ms, "
              "99th percentile %.2f ms, slowest %.2f ms\n",
              count, seconds, count / seconds, latencies[latencies.size() / 2],
              latencies[latencies.size() * 99 / 100], latencies.back());

  // A fresh connection for the queries, as tptune-records makes one.
  store = OpenRecordStore(location, TStoreOpen::kExisting);
  TRecordFilter byMac;
  byMac.Mac = Mac(macs / 2);
  int listed = 0;
  auto t = Clock::now();
  store->List(byMac, [&](const TTuningRecord&) { ++listed; });
  std::printf("list --mac %s: %d records in %.2f ms\n", byMac.Mac.c_str(), listed, Ms(Clock::now() - t));

  t = Clock::now();
  TRecordFilter all;
  const TRecordStats stats = store->Stats(all);
  std::printf("stats: %lld records, yield %.1f %%, mean %.2f ppm in %.1f ms\n",
              static_cast<long long>(stats.Count), 100 * stats.Yield(), stats.MeanPpm,
              Ms(Clock::now() - t));

  FILE* sink = std::fopen("/dev/null", "w");
  const long rssBefore = MaxRssKb();
  size_t bytes = 0;
  int exported = 0;
  t = Clock::now();
  std::fputs(CsvHeader().c_str(), sink);
  store->Export(all, [&](const TTuningRecord& r) {
    const std::string line = CsvLine(r);
    bytes += line.size();
    ++exported;
    std::fputs(line.c_str(), sink);
  });
  std::fclose(sink);
  std::printf("export --format csv: %d records, %.0f MB in %.1f s; peak memory %ld kB before, "
              "%ld kB after\n",
              exported, bytes / 1e6, Ms(Clock::now() - t) / 1000, rssBefore, MaxRssKb());
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int count = 100000;
  std::string postgres, keep;
  bool noPostgres = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::atoi(argv[++i]);
    } else if (a == "--postgres" && i + 1 < argc) {
      postgres = argv[++i];
    } else if (a == "--no-postgres") {
      noPostgres = true;
    } else if (a == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else {
      std::fprintf(stderr, "usage: records_bench [--count N] [--postgres LOCATION | --no-postgres] "
                           "[--keep DIR]\n");
      return 2;
    }
  }
  if (count < 1) return 2;
  try {
    char pattern[] = "/tmp/records-bench-XXXXXX";
    const std::string dir = keep.empty() ? ::mkdtemp(pattern) : keep;
    Run("SQLite", dir + "/bench.db", count);
    if (keep.empty()) fs::remove_all(dir);
    if (!noPostgres) {
      std::unique_ptr<TPgServer> server;
      if (postgres.empty()) {
        server = std::make_unique<TPgServer>(true);
        postgres = server->NewDatabase("records_bench");
      }
      Run("PostgreSQL", postgres, count);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "records_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
