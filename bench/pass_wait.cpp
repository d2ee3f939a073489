// What keeping records costs a pass: bench jobs of many handhelds through the console front end,
// each line of the log stamped as it reaches the standard output. The wait of a pass is the time
// from the line before its result line (the handheld's end) to the result line: on the
// emulated bench's virtual clock that is the records' work and little else, and the same jobs
// with --records none, run beside the others, show the rest. Records' CPU per pass is the
// process's CPU time (every thread) beyond the job with --records none, per pass.
//
//   pass_wait [--handhelds N] [--backlog N] [--postgres LOCATION | --no-postgres]
//
// Jobs: --records none; a free SQLite file; the same file locked by another connection for the
// whole job with N records (default 300) already waiting in its spool; a free PostgreSQL
// database (a throwaway server, fsync on, unless --postgres names one or --no-postgres).
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "PgServer.h"
#include "app/ConsoleFrontEnd.h"
#include "records/RecordStore.h"
#include "records/Spool.h"

namespace fs = std::filesystem;
using Wall = std::chrono::steady_clock;

namespace {

// An output that keeps each line with the time it was completed.
class TStampedLines : public std::streambuf {
 public:
  struct TLine {
    std::string text;
    Wall::time_point at;
  };
  const std::vector<TLine>& Lines() const { return lines_; }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return 0;
    if (c == '\n') {
      lines_.push_back({current_, Wall::now()});
      current_.clear();
    } else {
      current_ += static_cast<char>(c);
    }
    return c;
  }

 private:
  std::string current_;
  std::vector<TLine> lines_;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TJobFigures {
  std::vector<double> waitsMs;  // one per pass
  double cpuSeconds = 0;
  int status = 0;
};

TJobFigures Job(const fs::path& dir, int handhelds, const std::string& records) {
  TCliOptions o;
  o.bench = true;
  o.benchScenario = (dir / "s.json").string();
  o.restoreServer = true;
  const std::string demo = DEMO_PACKAGES_DIR;
  o.rfModem = demo + "/rfmodem.tpf";
  o.eeprom = demo + "/eeprom.tpf";
  o.serverFirmware = demo + "/server.sff";
  o.records = records;
  o.answers = {"ok"};
  for (int i = 1; i < handhelds; ++i) o.answers.push_back("yes");
  o.answers.push_back("no");
  TStampedLines lines;
  std::ostream out(&lines);
  std::ostringstream err;
  const int devNull = open("/dev/null", O_RDONLY);
  TCliIo io{out, err, devNull, false, nullptr, {}};
  TJobFigures f;
  const double cpu = CpuSeconds();
  f.status = RunCli(o, (dir / "tptune-cli").string(), io);
  f.cpuSeconds = CpuSeconds() - cpu;
  close(devNull);
  const auto& l = lines.Lines();
  // A result line, not the prompt that repeats it (the prompt's text follows it after an empty
  // line).
  for (size_t i = 1; i < l.size(); ++i) {
    const bool prompt =
        i + 2 < l.size() && l[i + 1].text.empty() && l[i + 2].text.rfind("Do you", 0) == 0;
    if (l[i].text.rfind("Completed successfully!", 0) == 0 && !prompt)
      f.waitsMs.push_back(std::chrono::duration<double, std::milli>(l[i].at - l[i - 1].at).count());
  }
  if (f.status != 0) std::fprintf(stderr, "pass_wait: a job ended with %d:\n%s\n", f.status, err.str().c_str());
  return f;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  int handhelds = 60, backlog = 300;
  std::string postgres;
  bool withPostgres = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--handhelds" && i + 1 < argc) handhelds = std::atoi(argv[++i]);
    else if (a == "--backlog" && i + 1 < argc) backlog = std::atoi(argv[++i]);
    else if (a == "--postgres" && i + 1 < argc) postgres = argv[++i];
    else if (a == "--no-postgres") withPostgres = false;
    else {
      std::fprintf(stderr, "usage: pass_wait [--handhelds N] [--backlog N] [--postgres LOCATION | --no-postgres]\n");
      return 2;
    }
  }
  const fs::path dir = fs::temp_directory_path() / ("tptune-pass-wait-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string demo = DEMO_PACKAGES_DIR;
  for (const char* f : {"tpftune.tpf", "srvftune.sff"}) fs::copy_file(demo + "/" + f, dir / f);
  fs::copy_file("/proc/self/exe", dir / "tptune-cli");
  std::string scenario = R"({"handhelds": [)";
  for (int i = 0; i < handhelds; ++i) {
    char mac[16];
    std::snprintf(mac, sizeof mac, "0x%08X", 0x10000000u + static_cast<unsigned>(i));
    scenario += std::string(i ? "," : "") + R"({"mac": ")" + mac + R"(", "crystal_error": )" +
                std::to_string(3 + i % 7) + "}";
  }
  scenario += "]}";
  {
    std::FILE* f = std::fopen((dir / "s.json").c_str(), "w");
    std::fputs(scenario.c_str(), f);
    std::fclose(f);
  }

  std::unique_ptr<TPgServer> server;
  if (withPostgres && postgres.empty()) {
    server = std::make_unique<TPgServer>(true);
    postgres = server->NewDatabase("pass_wait");
  }

  struct TRow {
    std::string name;
    TJobFigures f;
  };
  std::vector<TRow> rows;
  rows.push_back({"--records none", Job(dir, handhelds, "none")});
  const std::string file = (dir / "free.db").string();
  rows.push_back({"SQLite, free", Job(dir, handhelds, file)});

  // A backlog in the spool of a store another program holds locked all along: records like the
  // ones just made, under new uids.
  {
    const std::string locked = (dir / "locked.db").string();
    { OpenRecordStore(locked, TStoreOpen::kCreate); }
    std::vector<TTuningRecord> made;
    OpenRecordStore(file, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
      made.push_back(r);
    });
    TSpool spool(SpoolFolder(locked, dir.string() + "/"), locked);
    spool.Prepare();
    for (int i = 0; i < backlog && !made.empty(); ++i) {
      TTuningRecord r = made[static_cast<size_t>(i) % made.size()];
      r.Uid = "backlog" + std::to_string(i);
      spool.Put(r);
    }
    sqlite3* other = nullptr;
    sqlite3_open(locked.c_str(), &other);
    sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    rows.push_back({"SQLite, locked, backlog " + std::to_string(backlog),
                    Job(dir, handhelds, locked)});
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
  }
  if (withPostgres) rows.push_back({"PostgreSQL, free", Job(dir, handhelds, postgres)});

  const double noneCpu = rows[0].f.cpuSeconds;
  std::printf("%d handhelds a job; the wait from a handheld's end to its result line:\n", handhelds);
  std::printf("%-34s %6s %9s %9s %9s %16s\n", "records", "passes", "p50 ms", "p99 ms", "max ms",
              "records' CPU/pass");
  for (const TRow& r : rows) {
    const double passes = static_cast<double>(std::max<size_t>(r.f.waitsMs.size(), 1));
    const double extra = r.name == rows[0].name ? 0 : (r.f.cpuSeconds - noneCpu) * 1000 / passes;
    std::printf("%-34s %6zu %9.2f %9.2f %9.2f %13.2f ms\n", r.name.c_str(), r.f.waitsMs.size(),
                Percentile(r.f.waitsMs, 0.5), Percentile(r.f.waitsMs, 0.99),
                Percentile(r.f.waitsMs, 1.0), extra);
  }
  fs::remove_all(dir);
  bool ok = true;
  for (const TRow& r : rows) ok = ok && static_cast<int>(r.f.waitsMs.size()) == handhelds;
  return ok ? 0 : 1;
}
