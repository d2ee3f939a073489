#include "Soak.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/ConsoleFrontEnd.h"
#include "firmware/Decode.h"
#include "firmware/Packages.h"
#include "records/Spool.h"
#include "records/RecordStore.h"
#include "run/DirectBridge.h"
#include "sim/Digest.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// splitmix64: the same numbers everywhere for the same seed.
class TRng {
 public:
  TRng(uint64_t seed, uint64_t index) : state_(seed * 0x9E3779B97F4A7C15ull ^ (index + 1)) {
    Next();
  }
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
  int Int(int lo, int hi) { return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1)); }
  bool Chance(double p) { return Uniform() < p; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Next() % items.size()];
  }

 private:
  uint64_t state_;
};

// A crystal error in steps with a fractional part, a quarter of a step at the finest.
double Steps(TRng& rng, double range) { return std::round(rng.Uniform(-range, range) * 4) / 4; }

// A compensation value, often at an edge of its range.
int Compensation(TRng& rng, int spread) {
  if (rng.Chance(0.3)) return rng.Pick(std::vector<int>{-127, -126, -1, 0, 1, 2, 126, 127});
  return rng.Int(-spread, spread);
}

// Where a fault's byte counting starts to matter: anywhere in a run, a few early bytes more often.
int BytePosition(TRng& rng) {
  const int scale = rng.Pick(std::vector<int>{40, 400, 4000, 40000});
  return rng.Int(1, scale);
}

const std::vector<std::string> kFaultKinds = {
    "lose_answer", "double_answer", "corrupt_answer", "lose_sent", "double_sent", "corrupt_sent",
    "open_fails", "silent", "no_dsr",
    "no_comeback", "dsr_drop", "run_status", "readback_mismatch", "foreign_packets",
    "malformed_packets", "afc_spread", "dongle_swap", "answer_attach", "server_stuck"};

json MakeFault(TRng& rng, const std::string& kind, const std::string& donglePort,
               const std::string& serverPort, int handhelds) {
  json f = {{"kind", kind}};
  const std::string devicePort = rng.Chance(0.5) ? donglePort : serverPort;
  const int handheld = rng.Int(0, handhelds - 1);
  if (kind.find("_answer") != std::string::npos || kind.find("_sent") != std::string::npos) {
    f["port"] = devicePort;
    f["at"] = BytePosition(rng);
    f["count"] = rng.Int(1, 3);
    if (kind.rfind("corrupt_", 0) == 0) f["xor"] = rng.Int(1, 255);
  } else if (kind == "open_fails") {
    f["port"] = devicePort;
    f["errno"] = rng.Pick(std::vector<std::string>{"EACCES", "EBUSY", "ENOENT", "EIO"});
  } else if (kind == "silent") {
    f["port"] = devicePort;
  } else if (kind == "no_dsr" || kind == "afc_spread") {
    f["handheld"] = handheld;
  } else if (kind == "no_comeback") {
    f["handheld"] = handheld;
    f["after_restarts"] = rng.Int(1, 4);
  } else if (kind == "dsr_drop") {
    f["handheld"] = handheld;
    f["at_ms"] = rng.Int(0, 400000);
    f["duration_ms"] = rng.Int(20, 3000);
  } else if (kind == "run_status") {
    f["handheld"] = handheld;
    f["run"] = rng.Int(1, 3);
    f["status"] = rng.Int(1, 255);
    f["at"] = rng.Int(0, 3);
  } else if (kind == "readback_mismatch") {
    f["handheld"] = handheld;
    f["address"] = rng.Int(0, 3000);
  } else if (kind == "foreign_packets" || kind == "malformed_packets") {
    f["handheld"] = handheld;
    f["count"] = rng.Int(1, 6);
  } else if (kind == "dongle_swap") {
    f["port"] = donglePort;
    f["after_resets"] = rng.Int(1, 8);
    f["identity"] = "TPDONGLE00000099";
  } else if (kind == "answer_attach") {
    f["port"] = donglePort;
  } else if (kind == "server_stuck") {
    f["port"] = serverPort;
    if (rng.Chance(0.5)) {
      f["state"] = "mid_frame";
      f["remaining"] = rng.Int(1, 63);
    } else {
      f["state"] = "mid_handshake";
      f["at"] = rng.Int(1, 15);
    }
  }
  return f;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool IsResult(const std::string& line) {
  return line == "Completed successfully!" || line == "Procedure failed!" ||
         line == "Aborted by user!";
}

// The wait of a run that nobody ends: an operator who waited ten minutes of virtual time while
// the run only slept (waiting for a handheld to be plugged in, say) cancels it, and a run that
// still sleeps on half an hour after that never ends.
class TPatientOperator final : public Clock {
 public:
  TPatientOperator(Clock& inner, std::function<void()> cancel)
      : inner_(inner), cancel_(std::move(cancel)) {}
  Duration Now() override { return inner_.Now(); }
  void Sleep(std::chrono::milliseconds duration) override {
    const Duration before = inner_.Now();
    if (before != lastEnd_) streak_ = Duration::zero();  // the run did something in between
    inner_.Sleep(duration);
    lastEnd_ = inner_.Now();
    streak_ += lastEnd_ - before;
    if (!gaveUp_ && streak_ > kPatience) {
      gaveUp_ = true;
      gaveUpAt_ = lastEnd_;
      cancel_();
    } else if (gaveUp_ && lastEnd_ - gaveUpAt_ > kAfterCancel) {
      hung_ = true;
      throw std::runtime_error("the run went on waiting after Cancel");
    }
  }
  bool GaveUp() const { return gaveUp_; }
  bool Hung() const { return hung_; }

 private:
  static constexpr Duration kPatience = std::chrono::minutes(10);
  static constexpr Duration kAfterCancel = std::chrono::minutes(30);
  Clock& inner_;
  std::function<void()> cancel_;
  Duration lastEnd_{-1};
  Duration streak_{0};
  Duration gaveUpAt_{0};
  bool gaveUp_ = false;
  bool hung_ = false;
};

double FrequencyError(const json& device) { return device.value("frequency_error", 0.0); }

// The trace must be records each ended by a carriage return: log lines, bytes sent or received
// on port 1 or 2, port resets, and the mark of a dropped handheld trace.
bool WellFormedRecord(const std::string& r) {
  if (r == "...") return true;
  if (!r.empty() && r[0] == '>') return true;
  size_t i = 0;
  if (i < r.size() && r[i] == '!') ++i;
  if (i >= r.size() || (r[i] != '1' && r[i] != '2')) return false;
  ++i;
  if (i >= r.size()) return false;
  const char what = r[i++];
  if (what == 'R') return i == r.size() && r[0] != '!';
  if (what != '<' && what != '>') return false;
  if (what == '>' && r[0] == '!') return false;
  if (i < r.size() && r[i] == '-' && what == '>') ++i;
  if (i >= r.size()) return false;
  for (; i < r.size(); ++i)
    if (r[i] < '0' || r[i] > '9') return false;
  return true;
}

// The digest of the server's memory once the production package is programmed into it, decoded
// by the tool's own decoder from the package file.
std::string ProductionServerDigest(const std::string& demoDir) {
  static std::mutex mutex;
  static std::map<std::string, std::string> known;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = known.find(demoDir);
  if (it != known.end()) return it->second;
  const auto record = ReadPackageFile(demoDir + "/server.sff");
  if (!record) throw std::runtime_error("cannot read " + demoDir + "/server.sff");
  TMainFields fields;
  TDirectBridge bridge;
  auto run = std::make_unique<TRunRecord>(fields, bridge, RealClock());
  if (DecodeSFF(*run, &*record, 1, "server") != TDecodeStatus::Ok)
    throw std::runtime_error("cannot decode " + demoDir + "/server.sff");
  return known[demoDir] = sim::ServerImageSha256(run->SrvImage[1]);
}

}  // namespace

TSoakCase MakeSoakCase(uint64_t seed, uint64_t index) {
  TRng rng(seed, index);
  TSoakCase c;
  c.seed = seed;
  c.index = index;
  c.goldHandheld = rng.Chance(0.25);
  c.analysisOnly = rng.Chance(0.2);
  c.restoreServer = rng.Chance(0.6);
  c.restoreHandheld = rng.Chance(0.4);

  std::vector<std::string> ports = {"SIM1", "SIM2", "SIM3"};
  const std::string donglePort = ports[rng.Next() % 3];
  ports.erase(std::find(ports.begin(), ports.end(), donglePort));
  const std::string serverPort = ports[rng.Next() % 2];
  ports.erase(std::find(ports.begin(), ports.end(), serverPort));
  const std::string freePort = ports[0];

  json& s = c.scenario;
  s["server"] = {{"port", serverPort},
                 {"crystal_error", Steps(rng, 15)},
                 {"factory_compensation", Compensation(rng, 40)},
                 {"pctool_compensation", rng.Chance(0.6) ? 0 : Compensation(rng, 40)},
                 {"firmware", rng.Pick(std::vector<std::string>{"production", "production",
                                                                "production", "test", "none"})}};
  // Now and then the server already runs the production package's own version.
  if (rng.Chance(0.3)) s["server"]["firmware_version"] = {39, 2};
  s["dongle"] = {{"port", donglePort}};

  const int handhelds = rng.Int(1, 4);
  s["handhelds"] = json::array();
  for (int i = 0; i < handhelds; ++i) {
    const bool beyond = rng.Chance(0.15);
    s["handhelds"].push_back({{"crystal_error", Steps(rng, beyond ? 130 : 35)},
                              {"factory_compensation", Compensation(rng, 60)},
                              {"pctool_compensation", rng.Chance(0.6) ? 0 : Compensation(rng, 60)},
                              {"firmware", rng.Chance(0.85) ? "production" : "none"},
                              {"flags", rng.Int(0, 1)}});
  }
  s["air"] = {{"packets_per_cycle", rng.Chance(0.1) ? rng.Int(3, 7) : rng.Int(8, 16)},
              {"afc_noise", std::round(rng.Uniform(0, 0.5) * 100) / 100},
              {"capture_range", rng.Chance(0.8) ? 40 : rng.Int(15, 60)},
              {"seed", rng.Int(1, 1 << 30)}};

  s["faults"] = json::array();
  if (rng.Chance(0.08)) s["faults"].push_back({{"kind", "loopback"}, {"port", freePort}});
  const double roll = rng.Uniform();
  const int faults = roll < 0.35 ? 0 : roll < 0.8 ? 1 : roll < 0.95 ? 2 : 3;
  for (int i = 0; i < faults; ++i) {
    const std::string& kind = rng.Pick(kFaultKinds);
    s["faults"].push_back(MakeFault(rng, kind, donglePort, serverPort, handhelds));
  }
  // A second server or dongle now and then, on the port left free.
  if (!rng.Chance(0.95) && s["faults"].size() == 0) {
    s["extra_devices"] = {{{"type", rng.Chance(0.5) ? "server" : "dongle"}, {"port", freePort}}};
    c.faultKinds.push_back("extra_device");
  }
  for (const json& f : s["faults"]) c.faultKinds.push_back(f["kind"].get<std::string>());

  c.answers.push_back(rng.Chance(0.92) ? "ok" : "cancel");
  const int more = rng.Int(0, 6);
  for (int i = 0; i < more; ++i) {
    const double a = rng.Uniform();
    c.answers.push_back(a < 0.5 ? "yes" : a < 0.75 ? "no" : a < 0.85 ? "cancel" : "ok");
  }
  return c;
}

TSoakOutput RunSoakCase(const TSoakCase& c, const std::string& workDir, const std::string& demoDir,
                        int wallLimitSeconds) {
  const fs::path dir(workDir);
  fs::create_directories(dir);
  // The program file and the test firmwares beside it, once per folder.
  if (!fs::exists(dir / "tptune-cli")) {
    fs::copy_file("/proc/self/exe", dir / "tptune-cli", fs::copy_options::overwrite_existing);
    for (const char* f : {"tpftune.tpf", "srvftune.sff"})
      fs::copy_file(fs::path(demoDir) / f, dir / f, fs::copy_options::overwrite_existing);
  }
  for (const char* f : {"run.ERR", "report.json", "scenario.json", "records.db", "records.db-wal",
                        "records.db-shm", "records.db.spool"})
    fs::remove(dir / f);
  std::ofstream(dir / "scenario.json") << c.scenario.dump(1);

  TCliOptions o;
  o.goldHandheld = c.goldHandheld;
  o.analysisOnly = c.analysisOnly;
  o.restoreServer = c.restoreServer;
  o.restoreHandheld = c.restoreHandheld;
  o.rfModem = demoDir + "/rfmodem.tpf";
  o.eeprom = demoDir + "/eeprom.tpf";
  o.serverFirmware = demoDir + "/server.sff";
  o.bench = true;
  o.benchScenario = (dir / "scenario.json").string();
  o.benchReport = (dir / "report.json").string();
  o.trace = (dir / "run.ERR").string();
  o.answers = c.answers;
  // Each case's records in a file of its own: every device shown completed must have one.
  const std::string records = (dir / "records.db").string();
  o.records = records;

  std::ostringstream out, err;
  const int devNull = open("/dev/null", O_RDONLY);
  TCliIo io{out, err, devNull, false, nullptr, {}};
  std::unique_ptr<TPatientOperator> patience;
  io.wrapBenchClock = [&patience](Clock& bench, std::function<void()> cancel) -> Clock& {
    patience = std::make_unique<TPatientOperator>(bench, std::move(cancel));
    return *patience;
  };

  // A run that never ends cannot be judged: say which case it was and stop here.
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done.wait_for(lock, std::chrono::seconds(wallLimitSeconds), [&] { return finished; })) {
      std::fprintf(stderr, "hang: case %llu of seed %llu still running after %d s\n%s\n%s\n",
                   static_cast<unsigned long long>(c.index),
                   static_cast<unsigned long long>(c.seed), wallLimitSeconds,
                   c.scenario.dump(1).c_str(), SoakReproduction(c).c_str());
      std::fflush(stderr);
      _exit(3);
    }
  });

  TSoakOutput result;
  result.productionServerDigest = ProductionServerDigest(demoDir);
  result.status = RunCli(o, (dir / "tptune-cli").string(), io);
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  done.notify_all();
  watchdog.join();
  close(devNull);

  result.ended = !(patience && patience->Hung());
  result.operatorGaveUp = patience && patience->GaveUp();
  result.out = out.str();
  std::ifstream trace(dir / "run.ERR", std::ios::binary);
  result.traceWritten = static_cast<bool>(trace);
  result.trace.assign(std::istreambuf_iterator<char>(trace), {});
  std::ifstream report(dir / "report.json");
  if (report) result.report = json::parse(report, nullptr, false);
  // The completed records, in the store or still waiting in its spool.
  auto keep = [&result](const TTuningRecord& r) {
    if (r.Outcome == kRecordCompleted && !r.Mac.empty()) ++result.completedRecords["0x" + r.Mac];
  };
  try {
    if (fs::exists(records)) OpenRecordStore(records, TStoreOpen::kExisting)->Export({}, keep);
  } catch (const std::exception&) {
    // A store that cannot be read keeps nothing the check could count.
  }
  for (const TTuningRecord& r : TSpool(SpoolFolder(records, workDir), records).Waiting())
    keep(r);
  return result;
}

const std::vector<std::string>& SoakInvariants() {
  static const std::vector<std::string> names = {
      "crash-or-hang",          // the run did not end by itself, or ended with an internal error
      "completed-off-reference",  // a device said completed but is off the golden reference
      "completed-left-wrong",   // a device said completed but holds test or partial firmware
      "status-zero-with-failure",  // exit status 0 although a device did not complete
      "stored-under-analysis",  // analysis only changed a compensation
      "left-wrong-unreported",  // a device left on test or partial firmware without a failure
      "server-not-restored",    // a restore was asked, yet the server keeps test firmware and no
                                // restore was tried
      "trace",                  // the error log file missing or not CR-ended records
      "record-missing",         // a device shown completed has no record, neither in the
                                // store nor in its spool
  };
  return names;
}

std::vector<std::string> CheckSoakRun(const TSoakCase& c, const TSoakOutput& o) {
  std::vector<std::string> v;
  auto fail = [&v](const std::string& invariant, const std::string& what) {
    v.push_back(invariant + ": " + what);
  };

  if (!o.ended) fail("crash-or-hang", "the run went on waiting after Cancel");
  if (o.status != 0 && o.status != 1) fail("crash-or-hang", "exit status " + std::to_string(o.status));
  if (o.out.find("Internal error") != std::string::npos) fail("crash-or-hang", "internal error");
  if (!o.report.is_object() || !o.report.contains("handhelds")) {
    fail("crash-or-hang", "no bench report");
    return v;
  }

  const json& handhelds = o.report["handhelds"];
  const json& start = c.scenario;
  // Every server on the bench (a second one may answer on the port left free), with what it ran
  // at the start.
  struct TServerSeen {
    const json* report;
    std::string startFirmware;
  };
  std::vector<TServerSeen> servers;
  if (o.report["server"].is_object())
    servers.push_back({&o.report["server"], start["server"].value("firmware", "production")});
  if (o.report.contains("extra_devices"))
    for (const json& e : o.report["extra_devices"])
      if (e.value("type", "") == "server") servers.push_back({&e, "production"});

  // Which handhelds the log shows completed: a result line that ends the pass of a handheld
  // whose radio address was read (the prompts that repeat a result are not result lines).
  const std::vector<std::string> lines = Lines(o.out);
  // The golden or tuned server is the one the run found last.
  const json* server = servers.empty() ? nullptr : servers[0].report;
  for (const std::string& line : lines)
    if (line.rfind("Server found on ", 0) == 0)
      for (const TServerSeen& s : servers)
        if (line.rfind("Server found on " + s.report->value("port", "") + ",", 0) == 0) server = s.report;

  std::set<std::string> completedMacs;
  std::map<std::string, std::string> lastResult;  // per radio address
  bool serverRestoreCompleted = false;
  std::string mac;
  bool restoring = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const size_t at = line.find(", MAC=0x");
    if (line.rfind("RF modem V", 0) == 0 && at != std::string::npos) mac = "0x" + line.substr(at + 8);
    if (line.rfind("--- Restoring server firmware", 0) == 0) restoring = true;
    if (line == "=== Next TallyPilot ===" || line == "=== Next attempt ===") mac.clear();
    const bool prompt = i + 2 < lines.size() && lines[i + 1].empty() &&
                        lines[i + 2].rfind("Do you want", 0) == 0;
    if (!IsResult(line) || prompt) continue;
    if (restoring) {
      serverRestoreCompleted = line == "Completed successfully!";
      restoring = false;
    } else if (!mac.empty()) {
      lastResult[mac] = line;
      mac.clear();
    }
  }
  const bool failureShown = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l == "Procedure failed!" || l == "Aborted by user!";
  });
  for (const auto& [m, result] : lastResult)
    if (result == "Completed successfully!") completedMacs.insert(m);

  const bool handheldRestored = c.restoreHandheld || !c.goldHandheld;
  const bool serverRestored = c.restoreServer || c.goldHandheld;
  auto handheldTouched = [&](size_t i) {
    const json& h = handhelds[i];
    return h.value("restarts", 0) > 0 || h.value("programmings", 0) > 0 ||
           h.value("firmware", "") != start["handhelds"][i].value("firmware", "production");
  };
  auto handheldLeftWrong = [&](size_t i) {
    return handheldRestored && handheldTouched(i) && handhelds[i].value("firmware", "") != "production";
  };
  // A server the run programmed must end up holding exactly the production package, word for
  // word; one it only found must still run production firmware.
  auto serverLeftWrong = [&](const TServerSeen& s) {
    const bool programmed = s.report->value("rows_written", 0) > 0;
    const bool touched = programmed || s.report->value("firmware", "") != s.startFirmware;
    if (!serverRestored || !touched) return false;
    return s.report->value("firmware", "") != "production" ||
           (programmed && s.report->value("image_sha256", "") != o.productionServerDigest);
  };

  for (size_t i = 0; i < handhelds.size(); ++i) {
    const json& h = handhelds[i];
    const std::string m = h.value("mac", "");
    const std::string name = "handheld " + m;
    if (completedMacs.count(m) != 0) {
      const double apart = server ? std::abs(FrequencyError(h) - FrequencyError(*server)) : 0;
      // The estimator truncates, so two steps is the bound; a result of 0 means "no setting"
      // and is stored as -1 (on the server a result of 1 too, as 2), one step more.
      const json& tuned = c.goldHandheld && server ? *server : h;
      const int stored = tuned.value("pctool_compensation", 0);
      const bool substituted = stored == -1 || (c.goldHandheld && stored == 2);
      const double bound = substituted ? 3.0 : 2.0;
      if (!c.analysisOnly && apart > bound)
        fail("completed-off-reference",
             (c.goldHandheld ? "server against " : "") + name + " " + std::to_string(apart) + " steps apart");
      if (handheldLeftWrong(i)) fail("completed-left-wrong", name + " holds " + h.value("firmware", ""));
    }
    if (o.status == 0 && handheldTouched(i) && completedMacs.count(m) == 0)
      fail("status-zero-with-failure", name + " did not complete");
    if (handheldLeftWrong(i) && (o.status == 0 || !failureShown))
      fail("left-wrong-unreported", name + " holds " + h.value("firmware", ""));
    if (c.analysisOnly &&
        (!h["stored"].empty() || h.value("pctool_compensation", 0) !=
                                     start["handhelds"][i].value("pctool_compensation", 0)))
      fail("stored-under-analysis", name);
  }
  // A server left wrong is excused only by a restore that was tried and said it failed, a server
  // that could not be reached again, or a second server that made the run unsure which to use.
  size_t lastRestore = lines.size();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind("--- Restoring server firmware", 0) == 0) lastRestore = i;
  const bool restoreFailed =
      lastRestore < lines.size() &&
      std::find(lines.begin() + static_cast<long>(lastRestore), lines.end(), "Procedure failed!") != lines.end();
  auto shown = [&lines](const char* line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  const bool excused = restoreFailed || shown("Failed to initialize server!") ||
                       shown("Second server found, uncertain which one to use?!");
  for (const TServerSeen& s : servers) {
    if (!serverLeftWrong(s)) continue;
    const std::string name = "server on " + s.report->value("port", "");
    if (!excused) fail("server-not-restored", name + " holds " + s.report->value("firmware", ""));
    if (o.status == 0 || !failureShown)
      fail("left-wrong-unreported", name + " holds " + s.report->value("firmware", ""));
    if (serverRestoreCompleted && s.report == server)
      fail("completed-left-wrong", name + ": its restore said completed");
  }
  if (o.status == 0 && completedMacs.empty()) fail("status-zero-with-failure", "nothing completed");
  if (c.analysisOnly && o.report["server"].is_object() &&
      o.report["server"].value("pctool_compensation", 0) != start["server"].value("pctool_compensation", 0))
    fail("stored-under-analysis", "server");

  for (const std::string& m : completedMacs) {
    const auto found = o.completedRecords.find(m);
    const int n = found == o.completedRecords.end() ? 0 : found->second;
    if (n == 0) fail("record-missing", "handheld " + m + " has no record");
  }

  if (!o.traceWritten) {
    fail("trace", "no error log file");
  } else if (!o.trace.empty()) {
    if (o.trace.back() != '\r') fail("trace", "the last record is not ended by CR");
    if (o.trace.find('\n') != std::string::npos) fail("trace", "a line feed in the trace");
    std::istringstream records(o.trace);
    for (std::string r; std::getline(records, r, '\r');)
      if (!WellFormedRecord(r)) {
        fail("trace", "malformed record \"" + r.substr(0, 40) + "\"");
        break;
      }
  }
  return v;
}

std::string SoakReproduction(const TSoakCase& c) {
  return "tptune-soak --case " + std::to_string(c.seed) + " " + std::to_string(c.index);
}

void TSoakTally::Add(const TSoakCase& c, const TSoakOutput& o,
                     const std::vector<std::string>& violations) {
  ++cases;
  if (o.status == 0) ++completedRuns;
  if (o.operatorGaveUp) ++cancelledByOperator;
  ++perStatus[o.status];
  std::set<std::string> kinds(c.faultKinds.begin(), c.faultKinds.end());
  if (kinds.empty()) kinds.insert("(none)");
  for (const std::string& k : kinds) ++perFault[k];
  for (const std::string& line : violations) ++perInvariant[line.substr(0, line.find(':'))];
}

void TSoakTally::Merge(const TSoakTally& other) {
  cases += other.cases;
  completedRuns += other.completedRuns;
  cancelledByOperator += other.cancelledByOperator;
  for (const auto& [k, n] : other.perFault) perFault[k] += n;
  for (const auto& [k, n] : other.perInvariant) perInvariant[k] += n;
  for (const auto& [k, n] : other.perStatus) perStatus[k] += n;
}

nlohmann::json TSoakTally::Json() const {
  json statuses = json::object();
  for (const auto& [status, n] : perStatus) statuses[std::to_string(status)] = n;
  return {{"cases", cases},           {"completed", completedRuns},
          {"gave_up", cancelledByOperator}, {"faults", perFault},
          {"invariants", perInvariant}, {"statuses", statuses}};
}

TSoakTally TSoakTally::FromJson(const nlohmann::json& j) {
  TSoakTally t;
  t.cases = j.at("cases");
  t.completedRuns = j.at("completed");
  t.cancelledByOperator = j.at("gave_up");
  t.perFault = j.at("faults").get<std::map<std::string, uint64_t>>();
  t.perInvariant = j.at("invariants").get<std::map<std::string, uint64_t>>();
  for (const auto& [status, n] : j.at("statuses").items()) t.perStatus[std::stoi(status)] = n;
  return t;
}

std::string TSoakTally::Text() const {
  std::ostringstream t;
  t << cases << " cases: " << completedRuns << " ended with status 0, " << cases - completedRuns
    << " with status 1 or other; " << cancelledByOperator << " cancelled after a long wait\n";
  t << "exit statuses:";
  for (const auto& [status, n] : perStatus) t << " " << status << "=" << n;
  t << "\ncases per fault kind:\n";
  for (const auto& [kind, n] : perFault) t << "  " << kind << " " << n << "\n";
  t << "violations per invariant:\n";
  for (const std::string& name : SoakInvariants()) {
    const auto it = perInvariant.find(name);
    t << "  " << name << " " << (it == perInvariant.end() ? 0 : it->second) << "\n";
  }
  return t.str();
}
