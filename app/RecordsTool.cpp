#include "app/RecordsTool.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <optional>
#include <ostream>

#include "front/FrontEndSetup.h"
#include "records/Drift.h"
#include "records/RecordStore.h"
#include "records/Spool.h"
#include "records/StoreSink.h"
#include "records/Reports.h"
#include "run/Paths.h"

#include <nlohmann/json.hpp>

namespace {

struct TToolOptions {
  std::string command;
  std::string db;
  std::string format;
  int64_t id = 0;
  bool includeBench = false;
  bool withTrace = false;
  bool cycles = false;
  bool deliver = false;
  bool help = false;
  std::optional<double> threshold;
  TRecordFilter filter;
};

bool ParseNumber(const std::string& text, int64_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && value > 0;
}

std::string Parse(const std::vector<std::string>& args, TToolOptions& o) {
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) -> std::string {
      if (i + 1 >= args.size() || args[i + 1].empty()) return "option " + a + " needs a value";
      into = args[++i];
      return {};
    };
    std::string problem;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--db") {
      problem = value(o.db);
    } else if (a == "--mac") {
      problem = value(o.filter.Mac);
      if (problem.empty() && NormaliseMac(o.filter.Mac).empty())
        problem = "--mac takes up to 8 hexadecimal digits, not \"" + o.filter.Mac + "\"";
    } else if (a == "--from" || a == "--to") {
      std::string& into = a == "--from" ? o.filter.From : o.filter.To;
      problem = value(into);
      // Kept in the records' own form, so that it compares as the instant it names.
      const std::string instant = ParseRecordTime(into);
      if (problem.empty() && instant.empty())
        problem = a + " takes a time such as " + kRecordTimeForms + ", not \"" + into + "\"";
      into = instant;
    } else if (a == "--outcome") {
      problem = value(o.filter.Outcome);
      if (problem.empty() && o.filter.Outcome != kRecordCompleted &&
          o.filter.Outcome != kRecordFailed && o.filter.Outcome != kRecordAborted)
        problem = "--outcome takes completed, failed or aborted, not \"" + o.filter.Outcome + "\"";
    } else if (a == "--station") {
      problem = value(o.filter.Station);
    } else if (a == "--golden-server") {
      problem = value(o.filter.GoldenServer);
    } else if (a == "--limit") {
      std::string n;
      problem = value(n);
      if (problem.empty() && !ParseNumber(n, o.filter.Limit))
        problem = "--limit takes a number above 0, not \"" + n + "\"";
    } else if (a == "--format") {
      problem = value(o.format);
      if (problem.empty() && o.format != "csv" && o.format != "json")
        problem = "--format takes csv or json, not \"" + o.format + "\"";
    } else if (a == "--drift-threshold") {
      std::string t;
      problem = value(t);
      double v = 0;
      const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
      if (problem.empty() && (r.ec != std::errc() || r.ptr != t.data() + t.size() ||
                              !ValidDriftThreshold(v)))
        problem = "--drift-threshold takes a number of steps above 0 and up to 100, not \"" + t + "\"";
      if (problem.empty()) o.threshold = v;
    } else if (a == "--include-bench") {
      o.includeBench = true;
    } else if (a == "--with-trace") {
      o.withTrace = true;
    } else if (a == "--cycles") {
      o.cycles = true;
    } else if (a == "--deliver") {
      o.deliver = true;
    } else if (a.rfind("--", 0) == 0) {
      problem = "unknown option \"" + a + "\"";
    } else {
      words.push_back(a);
    }
    if (!problem.empty()) return problem;
  }
  if (o.help) return {};
  if (words.empty()) return "no command given";
  o.command = words[0];
  if (o.command != "list" && o.command != "show" && o.command != "export" && o.command != "stats" &&
      o.command != "spool" && o.command != "init")
    return "unknown command \"" + o.command + "\"";
  if (o.command == "show") {
    if (words.size() != 2) return "show takes one record ID";
    if (!ParseNumber(words[1], o.id)) return "a record ID is a number, not \"" + words[1] + "\"";
  } else if (words.size() > 1) {
    return "unexpected \"" + words[1] + "\"";
  }
  if (o.command == "export" && o.format.empty()) return "export needs --format csv or json";
  if (o.command != "export" && !o.format.empty()) return "--format belongs to export";
  if (o.command != "stats" && o.threshold) return "--drift-threshold belongs to stats";
  if (o.command != "export" && (o.withTrace || o.cycles))
    return std::string(o.withTrace ? "--with-trace" : "--cycles") + " belongs to export";
  if (o.withTrace && o.cycles) return "--with-trace and --cycles do not go together";
  if (o.command != "spool" && o.deliver) return "--deliver belongs to spool";
  return {};
}

std::string CycleCsvHeader() {
  return "id,uid,started_at,mac,device_identity,cycle,trial,packets,avg_rssi,afc_sum,afc_min,"
         "afc_max\r\n";
}

void WriteCycles(std::ostream& out, const TTuningRecord& r, bool csv) {
  int n = 0;
  for (const TTestCycle& c : r.Cycles) {
    ++n;
    if (csv) {
      out << r.Id << ',' << CsvField(r.Uid) << ',' << CsvField(r.StartedAt) << ','
          << CsvField(r.Mac) << ',' << CsvField(ValidUtf8(r.DeviceIdentity)) << ',' << n << ','
          << c.Trial << ',' << c.Packets << ',' << c.AvgRssi << ',' << c.AfcSum << ','
          << c.AfcMin << ',' << c.AfcMax << "\r\n";
    } else {
      out << nlohmann::json{{"id", r.Id},           {"uid", r.Uid},
                            {"started_at", r.StartedAt}, {"mac", r.Mac},
                            {"device_identity", ValidUtf8(r.DeviceIdentity)},
                            {"cycle", n},           {"trial", c.Trial},
                            {"packets", c.Packets}, {"avg_rssi", c.AvgRssi},
                            {"afc_sum", c.AfcSum},  {"afc_min", c.AfcMin},
                            {"afc_max", c.AfcMax}}
                 .dump()
          << '\n';
    }
  }
}

// list, show, export and stats over one store or more (the factory's and the bench's).
int Read(const TToolOptions& o, std::vector<std::unique_ptr<TRecordStore>>& stores,
         const std::vector<std::string>& locations, const std::string& iniName,
         std::ostream& out, std::ostream& err) {
  if (o.command == "list") {
    WriteListHeader(out);
    if (stores.size() == 1) {
      stores[0]->List(o.filter, [&](const TTuningRecord& r) { WriteListLine(out, r); });
      return 0;
    }
    std::vector<TTuningRecord> all;
    for (auto& store : stores) store->List(o.filter, [&](const TTuningRecord& r) { all.push_back(r); });
    std::stable_sort(all.begin(), all.end(), [](const TTuningRecord& a, const TTuningRecord& b) {
      return a.StartedAt > b.StartedAt;
    });
    if (o.filter.Limit > 0 && all.size() > static_cast<size_t>(o.filter.Limit))
      all.resize(static_cast<size_t>(o.filter.Limit));
    for (const TTuningRecord& r : all) WriteListLine(out, r);
  } else if (o.command == "show") {
    for (auto& store : stores)
      if (const auto record = store->Get(o.id)) {
        WriteRecordText(out, *record);
        return 0;
      }
    err << "tptune-records: no record " << o.id << " in " << ShownLocation(locations[0]);
    for (size_t i = 1; i < locations.size(); ++i) err << " or " << ShownLocation(locations[i]);
    err << '\n';
    return 1;
  } else if (o.command == "export") {
    const bool csv = o.format == "csv";
    if (o.cycles) {
      // The cycles of each record, oldest record first.
      if (csv) out << CycleCsvHeader();
      for (auto& store : stores) {
        std::vector<TTuningRecord> records;
        store->List(o.filter, [&](const TTuningRecord& r) { records.push_back(r); });
        for (auto it = records.rbegin(); it != records.rend(); ++it) WriteCycles(out, *it, csv);
      }
      return 0;
    }
    if (csv) out << CsvHeader(o.withTrace);
    // The factory's records, then the bench's.
    for (auto& store : stores)
      store->Export(o.filter, [&](const TTuningRecord& r) {
        out << (csv ? CsvLine(r, o.withTrace) : JsonLine(r));
      });
  } else {
    // The points of every store in time order: the drift rule follows each golden server.
    std::vector<TRecordPoint> points;
    for (auto& store : stores)
      store->Points(o.filter, [&](const TRecordPoint& p) { points.push_back(p); });
    std::stable_sort(points.begin(), points.end(), [](const TRecordPoint& a, const TRecordPoint& b) {
      return a.StartedAt < b.StartedAt;
    });
    TStatsAccumulator stats;
    TDriftRule drift;
    for (const TRecordPoint& p : points) {
      stats.Add(p);
      drift.Add(p);
    }
    WriteStats(out, stats.Result());
    out << '\n';
    WriteDrift(out, drift.Series(),
               o.threshold.value_or(ReadDriftThreshold(DefaultDriftSettingsPath(iniName))));
  }
  return 0;
}

// What waits in the station's spool for a store, and with --deliver sending it.
int Spool(const TToolOptions& o, const std::string& location, const std::string& dataDir,
          std::ostream& out) {
  TSpool spool(SpoolFolder(location, dataDir), location);
  TSpoolState state;
  const std::vector<TTuningRecord> waiting = spool.Waiting(&state);
  const size_t n = waiting.size();
  out << ShownLocation(location) << ": " << n << (n == 1 ? " record waits" : " records wait")
      << " in " << spool.Folder();
  if (state.HeldOpen > 0) out << " (" << state.HeldOpen << " more held by a run under way)";
  if (state.Damaged > 0) out << "; " << state.Damaged << " damaged, in " << spool.Damaged();
  if (state.Rejected > 0) out << "; " << state.Rejected << " refused by the store, in " << spool.Rejected();
  out << '\n';
  if (n > 0) {
    WriteListHeader(out);
    for (const TTuningRecord& r : waiting) WriteListLine(out, r);
  }
  if (!o.deliver || state.Waiting + state.HeldOpen == 0) return 0;
  TSpoolDelivery result;
  try {
    auto store = OpenRecordStore(location, TStoreOpen::kCreate);
    result = spool.Deliver(*store);
  } catch (const std::exception& e) {
    result.Problem = e.what();
    result.Waiting = spool.State().Waiting;
  }
  for (const std::string& note : result.Notes) out << note << '\n';
  out << result.Delivered << " sent";
  if (result.Rejected > 0)
    out << ", " << result.Rejected << " refused by the store (moved to " << spool.Rejected()
        << ")";
  out << ", " << result.Waiting << " still waiting";
  if (!result.Problem.empty()) out << ": " << result.Problem;
  out << '\n';
  return result.Waiting > 0 ? 1 : 0;
}

}  // namespace

std::string RecordsUsage() {
  return "Usage: tptune-records [--db LOCATION] COMMAND [filters]\n"
         "Production records of the tuning programs: every device tuned, when, where, to what.\n"
         "\n"
         "Commands:\n"
         "  list                     the records, newest first\n"
         "  show ID                  one record with every measurement, its log and its trace\n"
         "  export --format csv|json every column of the records (CSV with a header line, or\n"
         "                           one JSON object a line), oldest first; CSV without the\n"
         "                           trace unless --with-trace; --cycles: the test cycles, one\n"
         "                           a row, instead\n"
         "  stats                    count, yield, offset mean, standard deviation, min, max\n"
         "                           (ppm), a histogram, and the golden servers' drift: the\n"
         "                           rolling median of 20 handhelds of new less factory\n"
         "                           compensation, with a warning outside the band\n"
         "  spool [--deliver]        the records that wait in this station's spool for their\n"
         "                           store; --deliver sends them now\n"
         "  init                     make the records' schema (or bring it up to date): for the\n"
         "                           administrator of a PostgreSQL server whose stations may\n"
         "                           only read and insert\n"
         "\n"
         "Filters (list, export, stats):\n"
         "  --mac MAC                one handheld (hexadecimal, 0x optional)\n"
         "  --from TIME --to TIME    started from TIME on, before TIME: 2026-12-10,\n"
         "                           2026-12-10T14:30, 2026-12-10 14:30:05, with Z or an\n"
         "                           offset such as +05:00 (without one: UTC)\n"
         "  --outcome OUTCOME        completed, failed or aborted\n"
         "  --station NAME           made on this station (host name)\n"
         "  --golden-server ID       tuned against the server with this identity\n"
         "  --limit N                at most N records\n"
         "  --drift-threshold STEPS  stats: the drift band's half width (default: the\n"
         "                           Records window's setting in tptune-drift.ini, else 3)\n"
         "  --include-bench          also the records made on the emulated bench (their own\n"
         "                           file, tptune-bench.db); they are read by themselves when\n"
         "                           only they exist\n"
         "\n"
         "Options:\n"
         "  --db LOCATION            a SQLite file or a postgresql:// server (default: the\n"
         "                           records file of the tuning programs, tptune.db: beside a\n"
         "                           portable program, in the user's data folder for an\n"
         "                           installed one)\n"
         "  --help                   show this text\n"
         "  --version                show the program's version and build date\n"
         "\n"
         "Exit status: 0 done, 1 when the store is missing or damaged or the record is not\n"
         "there (spool --deliver: when records still wait), 2 for unusable options.\n";
}

int RunRecordsTool(const std::vector<std::string>& args, const std::string& programPath,
                   std::ostream& out, std::ostream& err) {
  TToolOptions o;
  if (const std::string problem = Parse(args, o); !problem.empty()) {
    err << "tptune-records: " << problem << "\n\n" << RecordsUsage();
    return 2;
  }
  if (o.help) {
    out << RecordsUsage();
    return 0;
  }
  // The records of this installation or folder, where its window and console keep them.
  const TFrontEndSetup setup = FrontEndSetup({programPath, false, {}});
  const std::string& iniName = setup.Files.IniName;
  // The factory's records file, or the records of the emulated bench (their own file) when only
  // they are there or when asked for them as well.
  std::vector<std::string> locations;
  bool benchAlone = false;
  if (!o.db.empty()) {
    locations.push_back(o.db);
  } else {
    const std::string factory = DefaultRecordsLocation(iniName, false);
    const std::string bench = DefaultRecordsLocation(iniName, true);
    std::error_code ec;
    const bool factoryThere = std::filesystem::exists(FilePath(factory), ec);
    const bool benchThere = std::filesystem::exists(FilePath(bench), ec);
    benchAlone = !factoryThere && benchThere;
    if (factoryThere || !benchThere) locations.push_back(factory);
    if (benchThere && (o.includeBench || benchAlone)) locations.push_back(bench);
  }
  o.filter.IncludeBench = o.command != "stats" || o.includeBench || benchAlone;
  int status = 0;
  try {
    if (o.command == "spool") {
      for (const std::string& location : locations)
        status = std::max(status, Spool(o, location, DataFolder(iniName), out));
    } else if (o.command == "init") {
      for (const std::string& location : locations) {
        auto store = OpenRecordStore(location, TStoreOpen::kCreate);
        out << ShownLocation(location) << ": records schema version " << store->SchemaVersion()
            << '\n';
      }
    } else {
      std::vector<std::unique_ptr<TRecordStore>> stores;
      for (const std::string& location : locations)
        stores.push_back(OpenRecordStore(location, TStoreOpen::kExisting));
      status = Read(o, stores, locations, iniName, out, err);
    }
    out << std::flush;
  } catch (const std::exception& e) {
    err << "tptune-records: " << e.what() << '\n';
    return 1;
  }
  return status;
}
