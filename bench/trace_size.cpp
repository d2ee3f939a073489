// How big a record's trace is and what compression would make of it: runs one bench job of
// handhelds through the console front end into a scratch SQLite store, then measures each
// record's trace raw and compressed with zlib at several levels (size and time).
//
//   trace_size [--handhelds N]      (default 5)
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/ConsoleFrontEnd.h"
#include "records/RecordStore.h"

namespace fs = std::filesystem;
using Wall = std::chrono::steady_clock;

int main(int argc, char** argv) {
  int handhelds = 5;
  if (argc == 3 && std::string(argv[1]) == "--handhelds") handhelds = std::atoi(argv[2]);
  const fs::path dir = fs::temp_directory_path() / ("tptune-trace-size-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string demo = DEMO_PACKAGES_DIR;
  for (const char* f : {"tpftune.tpf", "srvftune.sff"}) fs::copy_file(demo + "/" + f, dir / f);
  fs::copy_file("/proc/self/exe", dir / "tptune-cli");

  // The default bench's handhelds, as many as asked (the bench plugs them in one after another).
  std::string scenario = R"({"handhelds": [)";
  for (int i = 0; i < handhelds; ++i)
    scenario += std::string(i ? "," : "") + R"({"crystal_error": )" + std::to_string(3 + i % 7) + "}";
  scenario += "]}";
  std::FILE* f = std::fopen((dir / "s.json").c_str(), "w");
  std::fputs(scenario.c_str(), f);
  std::fclose(f);

  TCliOptions o;
  o.bench = true;
  o.benchScenario = (dir / "s.json").string();
  o.restoreServer = true;
  o.rfModem = demo + "/rfmodem.tpf";
  o.eeprom = demo + "/eeprom.tpf";
  o.serverFirmware = demo + "/server.sff";
  o.records = (dir / "r.db").string();
  o.answers = {"ok"};
  for (int i = 1; i < handhelds; ++i) o.answers.push_back("yes");
  o.answers.push_back("no");
  std::ostringstream out, err;
  const int devNull = open("/dev/null", O_RDONLY);
  TCliIo io{out, err, devNull, false, nullptr, {}};
  RunCli(o, (dir / "tptune-cli").string(), io);
  close(devNull);

  std::vector<TTuningRecord> records;
  OpenRecordStore(o.records, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
    records.push_back(r);
  });
  std::printf("%zu records\n", records.size());
  std::printf("%-8s %12s %10s %10s %10s %10s\n", "record", "trace bytes", "zlib -1", "zlib -6",
              "zlib -9", "log bytes");
  double raw = 0, z[3] = {0, 0, 0}, ms[3] = {0, 0, 0};
  const int levels[3] = {1, 6, 9};
  for (const TTuningRecord& r : records) {
    size_t sizes[3];
    for (int l = 0; l < 3; ++l) {
      uLongf size = compressBound(r.Trace.size());
      std::vector<Bytef> buffer(size);
      const auto start = Wall::now();
      compress2(buffer.data(), &size, reinterpret_cast<const Bytef*>(r.Trace.data()),
                r.Trace.size(), levels[l]);
      ms[l] += std::chrono::duration<double, std::milli>(Wall::now() - start).count();
      sizes[l] = size;
      z[l] += static_cast<double>(size);
    }
    raw += static_cast<double>(r.Trace.size());
    std::printf("%-8lld %12zu %10zu %10zu %10zu %10zu\n", static_cast<long long>(r.Id),
                r.Trace.size(), sizes[0], sizes[1], sizes[2], r.Log.size());
  }
  const double n = static_cast<double>(records.size());
  if (n > 0) {
    std::printf("mean     %12.0f %10.0f %10.0f %10.0f   (bytes per handheld)\n", raw / n, z[0] / n,
                z[1] / n, z[2] / n);
    std::printf("ratio    %12s %9.1fx %9.1fx %9.1fx\n", "", raw / z[0], raw / z[1], raw / z[2]);
    std::printf("time     %12s %8.2fms %8.2fms %8.2fms   (per handheld)\n", "", ms[0] / n,
                ms[1] / n, ms[2] / n);
    std::printf("20000 handhelds: %.2f GB raw, %.2f GB at zlib -6\n", raw / n * 20000 / 1e9,
                z[1] / n * 20000 / 1e9);
  }
  fs::remove_all(dir);
  return 0;
}
