// The kill table: bench jobs of the console program killed with SIGKILL at the moments a record
// is most at risk (while records go to the store, while another process holds the store's
// lock, during the wait at the end of the run, during the closing server restore, and at any
// moment), two and four programs on the one location at once, and jobs whose PostgreSQL server
// stops answering, on a SQLite file and on a PostgreSQL server. After the kills one further run starts
// the station again; then every device the operator was shown "Completed successfully!" for
// must have exactly one record, and no device more than one.
//
//   kill_table [--kills N] [--together HANDHELDS] [--seed S] [--backend sqlite|postgres|both]
//
// --together: how many handhelds each of the programs running at once tunes (default 10).
//
// Prints one line per back end with the figures; exit status 0 when nothing was lost or
// duplicated, 1 otherwise, 2 when the table could not be run.
#include <fcntl.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PgServer.h"
#include "RecordsTestUtil.h"
#include "records/Spool.h"
#include "records/RecordStore.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono;

namespace {

enum class TMoment { kDelivery, kLock, kEndWait, kServerRestore, kAnywhere };
constexpr TMoment kMoments[] = {TMoment::kDelivery, TMoment::kLock, TMoment::kEndWait,
                                TMoment::kServerRestore, TMoment::kAnywhere};
const char* Name(TMoment m) {
  switch (m) {
    case TMoment::kDelivery: return "delivery";
    case TMoment::kLock: return "lock";
    case TMoment::kEndWait: return "end-of-run wait";
    case TMoment::kServerRestore: return "server restore";
    default: return "anywhere";
  }
}

constexpr int kHandhelds = 4;

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The devices the operator was shown "Completed successfully!" for: a handheld by its MAC, a
// tuned server by its identity. The prompt that repeats the result is not a result line, nor is
// the closing restore's line.
std::set<std::string> ShownCompleted(const std::string& out, const std::string& serverIdentity,
                                     bool serverTuned) {
  std::set<std::string> shown;
  const std::vector<std::string> lines = Lines(out);
  std::string mac;
  bool restoring = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const size_t at = line.find(", MAC=0x");
    if (line.rfind("RF modem V", 0) == 0 && at != std::string::npos) mac = line.substr(at + 8);
    if (line.rfind("--- Restoring server firmware", 0) == 0) restoring = true;
    const bool prompt = i + 2 < lines.size() && lines[i + 1].empty() &&
                        lines[i + 2].rfind("Do you want", 0) == 0;
    if (line != "Completed successfully!" || prompt || restoring) continue;
    shown.insert(serverTuned ? serverIdentity : mac);
  }
  return shown;
}

// Another process that holds the store's write lock while it lives.
class TLockHolder {
 public:
  explicit TLockHolder(const std::string& location) {
    if (IsServerLocation(location)) {
      pg_ = PQconnectdb(location.c_str());
      Pg("BEGIN");
      Pg("LOCK TABLE tuning_record IN EXCLUSIVE MODE");
    } else {
      if (sqlite3_open(location.c_str(), &db_) != SQLITE_OK ||
          sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot lock " + location);
    }
  }
  ~TLockHolder() {
    if (pg_) PQfinish(pg_);
    if (db_) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close(db_);
    }
  }

 private:
  void Pg(const char* sql) {
    PGresult* r = PQexec(pg_, sql);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok) throw std::runtime_error(std::string(sql) + ": " + PQerrorMessage(pg_));
  }
  PGconn* pg_ = nullptr;
  sqlite3* db_ = nullptr;
};

struct TFigures {
  int kills = 0, missed = 0, shown = 0, lost = 0, duplicated = 0, runs = 0, deliveredAfter = 0;
  int stoppedServerJobs = 0;
  double slowestEnd = 0;  // seconds from such a job's last result line to its end, at most
  std::map<std::string, int> perMoment;
  std::vector<std::string> problems;
};

class TTable {
 public:
  TTable(fs::path dir, std::string location, uint64_t seed)
      : dir_(std::move(dir)), location_(std::move(location)), rng_(seed) {
    fs::create_directories(dir_);
    fs::copy_file(TPTUNE_CLI, dir_ / "tptune-cli", fs::copy_options::overwrite_existing);
    for (const char* f : {"tpftune.tpf", "srvftune.sff"})
      fs::copy_file(fs::path(DEMO_PACKAGES_DIR) / f, dir_ / f, fs::copy_options::overwrite_existing);
    // The store exists before the first lock is taken on it.
    OpenRecordStore(location_, TStoreOpen::kCreate);
  }

  // One job, killed at the moment (or run to its end with kill false).
  void Job(TMoment moment, bool kill) {
    const TJob job = MakeJob(moment, moment == TMoment::kServerRestore ? 1 : kHandhelds);
    std::unique_ptr<TLockHolder> lock;
    if (moment == TMoment::kLock || moment == TMoment::kEndWait)
      lock = std::make_unique<TLockHolder>(location_);
    const pid_t pid = Spawn(job.args, job.outFile);
    const bool killed = kill && KillAt(pid, moment, job.outFile);
    if (killed) {
      ++figures_.kills;
      ++figures_.perMoment[Name(moment)];
    } else if (kill) {
      ++figures_.missed;
    }
    Collect(pid, job, killed);
  }

  // A job whose PostgreSQL server stops answering on its open connections (its processes
  // stopped with SIGSTOP, as a frozen machine would) after the first handheld: it must end
  // within 10 s of its last result line, and what it could not store waits in the spool.
  void StoppedServerJob() {
    const TJob job = MakeJob(TMoment::kAnywhere, kHandhelds);
    const pid_t pid = Spawn(job.args, job.outFile);
    std::vector<int> stopped;
    int results = 0;
    auto lastResult = steady_clock::now();
    for (;;) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        const double took = duration<double>(steady_clock::now() - lastResult).count();
        figures_.slowestEnd = std::max(figures_.slowestEnd, took);
        if (took > 10)
          figures_.problems.push_back("run " + std::to_string(job.n) + " ended " +
                                      std::to_string(took) + " s after its last device");
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0))
          figures_.problems.push_back("run " + std::to_string(job.n) + " ended with status " +
                                      std::to_string(status));
        break;
      }
      const std::string out = FileText(job.outFile);
      int seen = 0;
      for (size_t at = out.find("Completed successfully!"); at != std::string::npos;
           at = out.find("Completed successfully!", at + 1))
        ++seen;
      if (seen > results) {
        results = seen;
        lastResult = steady_clock::now();
      }
      if (results > 0 && stopped.empty()) {
        stopped = Backends();
        for (int p : stopped) ::kill(p, SIGSTOP);
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
    for (int p : stopped) ::kill(p, SIGCONT);
    ++figures_.stoppedServerJobs;
    for (const std::string& d : ShownCompleted(FileText(job.outFile), job.identity, false))
      shown_.insert(d);
  }

  // Several programs of the station on the one location at once (two stations on one PC, the
  // window beside the console), each with handhelds of its own; with kill, the first is killed
  // while the others go on.
  void Together(int programs, int handhelds, bool kill) {
    std::vector<TJob> jobs;
    std::vector<pid_t> pids;
    for (int p = 0; p < programs; ++p) {
      jobs.push_back(MakeJob(TMoment::kAnywhere, handhelds));
      pids.push_back(Spawn(jobs.back().args, jobs.back().outFile));
    }
    for (int p = 0; p < programs; ++p) {
      const bool killed = kill && p == 0 && KillAt(pids[p], TMoment::kDelivery, jobs[p].outFile);
      if (killed) {
        ++figures_.kills;
        ++figures_.perMoment["programs at once"];
      }
      Collect(pids[p], jobs[p], killed);
    }
  }

  int Kills() const { return figures_.kills; }

  TFigures Check() {
    // What the last job could not deliver within its wait goes out as the records program's
    // spool command would send it.
    {
      TSpool spool(SpoolFolder(location_, dir_.string()), location_);
      auto store = OpenRecordStore(location_, TStoreOpen::kCreate);
      figures_.deliveredAfter = spool.Deliver(*store).Delivered;
    }
    std::map<std::string, int> records;
    OpenRecordStore(location_, TStoreOpen::kExisting)->Export({}, [&](const TTuningRecord& r) {
      ++records[r.DeviceKind == "server" ? r.DeviceIdentity : r.Mac];
    });
    figures_.shown = static_cast<int>(shown_.size());
    figures_.runs = runs_;
    for (const std::string& d : shown_)
      if (records[d] == 0) {
        ++figures_.lost;
        figures_.problems.push_back("lost: " + d);
      }
    for (const auto& [d, count] : records)
      if (!d.empty() && count > 1) {
        ++figures_.duplicated;
        figures_.problems.push_back("duplicated: " + d + " (" + std::to_string(count) + ")");
      }
    return figures_;
  }

 private:
  // The server processes that serve the tuning programs now.
  std::vector<int> Backends() const {
    std::vector<int> pids;
    PGconn* c = PQconnectdb(location_.c_str());
    PGresult* r = PQexec(c, "SELECT pid FROM pg_stat_activity WHERE application_name = 'tptune'");
    for (int i = 0; i < PQntuples(r); ++i) pids.push_back(std::atoi(PQgetvalue(r, i, 0)));
    PQclear(r);
    PQfinish(c);
    return pids;
  }

  struct TJob {
    std::vector<std::string> args;
    fs::path outFile;
    std::string identity;
    bool serverTuned = false;
    int n = 0;
  };

  // A job's scenario (a server of its own, handhelds of their own) and its command line.
  TJob MakeJob(TMoment moment, int handhelds) {
    TJob job;
    job.n = ++runs_;
    const int n = job.n;
    job.serverTuned = moment == TMoment::kServerRestore;
    char identity[32];
    std::snprintf(identity, sizeof identity, "RFTPSERVER%06d", n);
    job.identity = identity;
    json scenario = json::parse(R"({
      "ports": ["SIM1", "SIM2"],
      "dongle": {"port": "SIM1", "identity": "TPDONGLE00000042", "hw_version": 17},
      "server": {"port": "SIM2", "hw_version": 18, "crystal_error": 3.0,
                 "factory_compensation": -4, "pctool_compensation": 0,
                 "firmware": "production", "firmware_version": [37, 6]},
      "handhelds": []})");
    scenario["server"]["identity"] = identity;
    for (int h = 0; h < handhelds; ++h) {
      char mac[16];
      std::snprintf(mac, sizeof mac, "0x%08X", 0x10000000u + static_cast<unsigned>(n) * 16u +
                                                   static_cast<unsigned>(h));
      scenario["handhelds"].push_back({{"hw_version", 34}, {"mac", mac},
                                       {"crystal_error", 5.0 + h}, {"factory_compensation", 4},
                                       {"pctool_compensation", 0}, {"modem_version", 35}});
    }
    const fs::path scenarioFile = dir_ / ("scenario" + std::to_string(n) + ".json");
    job.outFile = dir_ / ("out" + std::to_string(n) + ".txt");
    std::ofstream(scenarioFile) << scenario.dump();

    job.args = {(dir_ / "tptune-cli").string(), "--bench",
                scenarioFile.string(), "--restore-server",
                "--records", location_,
                "--rf-modem", std::string(DEMO_PACKAGES_DIR) + "/rfmodem.tpf",
                "--eeprom", std::string(DEMO_PACKAGES_DIR) + "/eeprom.tpf",
                "--server-firmware",
                std::string(DEMO_PACKAGES_DIR) + "/server.sff"};
    if (job.serverTuned) {
      job.args.insert(job.args.end(), {"--gold", "handheld", "--answers", "ok"});
    } else {
      std::string answers = "ok";
      for (int h = 1; h < handhelds; ++h) answers += ",yes";
      job.args.insert(job.args.end(), {"--answers", answers + ",no"});
    }
    return job;
  }

  // Waits for a job's end; what it showed as completed counts.
  void Collect(pid_t pid, const TJob& job, bool killed) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
      figures_.problems.push_back("run " + std::to_string(job.n) + " ended with status " +
                                  std::to_string(status) + ":\n" + FileText(job.outFile));
    for (const std::string& d : ShownCompleted(FileText(job.outFile), job.identity, job.serverTuned))
      shown_.insert(d);
  }

  pid_t Spawn(const std::vector<std::string>& args, const fs::path& outFile) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(out, 1);
      ::dup2(null, 2);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  // Waits for the moment (a line in the program's output, or a time) and kills the program a
  // random short while after it; a program that ended before is not killed.
  bool KillAt(pid_t pid, TMoment moment, const fs::path& outFile) {
    std::string trigger;
    int count = 1;
    milliseconds after{0};
    switch (moment) {
      case TMoment::kDelivery:
      case TMoment::kLock:
        trigger = "Completed successfully!";
        count = std::uniform_int_distribution<int>(1, kHandhelds)(rng_);
        after = milliseconds(std::uniform_int_distribution<int>(0, 30)(rng_));
        break;
      case TMoment::kEndWait:
        trigger = "Waiting up to 5 seconds";
        after = milliseconds(std::uniform_int_distribution<int>(0, 1500)(rng_));
        break;
      case TMoment::kServerRestore:
        trigger = "--- Restoring server firmware";
        after = milliseconds(std::uniform_int_distribution<int>(0, 40)(rng_));
        break;
      default:
        after = milliseconds(std::uniform_int_distribution<int>(0, 400)(rng_));
        break;
    }
    const auto deadline = steady_clock::now() + seconds(30);
    while (!trigger.empty() && steady_clock::now() < deadline) {
      const std::string out = FileText(outFile);
      int seen = 0;
      for (size_t at = out.find(trigger); at != std::string::npos; at = out.find(trigger, at + 1))
        ++seen;
      if (seen >= count) break;
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) return false;  // ended before the moment
      std::this_thread::sleep_for(microseconds(500));
    }
    std::this_thread::sleep_for(after);
    // Killed while it ran (a program that has just ended is a zombie until waited for).
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;
    return ::kill(pid, SIGKILL) == 0;
  }

  fs::path dir_;
  std::string location_;
  std::mt19937_64 rng_;
  int runs_ = 0;
  std::set<std::string> shown_;
  TFigures figures_;
};

TFigures RunTable(const std::string& backend, const fs::path& dir, const std::string& location,
                  int kills, int together, uint64_t seed) {
  TTable table(dir, location, seed);
  // Jobs that end before their moment comes do not count as kills. Now and then a job runs to
  // its end, as the operator's next job would.
  for (int i = 0; table.Kills() < kills && i < 3 * kills; ++i) {
    table.Job(kMoments[i % std::size(kMoments)], true);
    if (i % 10 == 9) table.Job(TMoment::kAnywhere, false);
  }
  // Two and four programs on the location at once, with handhelds of their own, killed and not.
  for (const int programs : {2, 4}) {
    table.Together(programs, together, false);
    table.Together(programs, together, true);
  }
  if (IsServerLocation(location))
    for (int i = 0; i < 2; ++i) table.StoppedServerJob();
  // The station starts again: one further job, run to its end.
  table.Job(TMoment::kAnywhere, false);
  TFigures f = table.Check();
  std::printf("%-8s %4d kills (", backend.c_str(), f.kills);
  bool first = true;
  for (const auto& [moment, n] : f.perMoment) {
    std::printf("%s%s %d", first ? "" : ", ", moment.c_str(), n);
    first = false;
  }
  std::printf("), %d ended before their moment, %d jobs; %d devices shown completed, %d lost, "
              "%d duplicated (%d records sent from the spool after the last job)\n",
              f.missed, f.runs, f.shown, f.lost, f.duplicated, f.deliveredAfter);
  if (f.stoppedServerJobs > 0)
    std::printf("%-8s %d jobs whose server stopped answering: ended %.1f s after their last device "
                "at the most\n", backend.c_str(), f.stoppedServerJobs, f.slowestEnd);
  for (const std::string& p : f.problems) std::printf("  %s\n", p.c_str());
  std::fflush(stdout);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int kills = 20;
  int together = 10;
  uint64_t seed = 1;
  std::string backend = "both";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--kills") kills = std::atoi(argv[i + 1]);
    else if (a == "--together") together = std::atoi(argv[i + 1]);
    else if (a == "--seed") seed = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--backend") backend = argv[i + 1];
    else {
      std::fprintf(stderr, "kill_table: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  try {
    TScratchDir dir;
    int bad = 0;
    if (backend == "sqlite" || backend == "both") {
      const TFigures f = RunTable("sqlite", dir.Path("sqlite"), dir.Path("sqlite/line.db"), kills,
                                  together, seed);
      bad += f.lost + f.duplicated + static_cast<int>(f.problems.size());
    }
    if (backend == "postgres" || backend == "both") {
      TPgServer server(true);
      const TFigures f = RunTable("postgres", dir.Path("postgres"), server.NewDatabase("kills"),
                                  kills, together, seed);
      bad += f.lost + f.duplicated + static_cast<int>(f.problems.size());
    }
    return bad == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kill_table: %s\n", e.what());
    return 2;
  }
}
