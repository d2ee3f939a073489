#include "app/RecordsTool.h"

#include <charconv>
#include <optional>
#include <ostream>

#include "front/FrontEndSetup.h"
#include "records/Drift.h"
#include "records/RecordStore.h"
#include "records/Reports.h"

namespace {

struct TToolOptions {
  std::string command;
  std::string db;
  std::string format;
  int64_t id = 0;
  bool includeBench = false;
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
    } else if (a == "--from") {
      problem = value(o.filter.From);
    } else if (a == "--to") {
      problem = value(o.filter.To);
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
  if (o.command != "list" && o.command != "show" && o.command != "export" && o.command != "stats")
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
  return {};
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
         "                           one JSON object a line), oldest first\n"
         "  stats                    count, yield, offset mean, standard deviation, min, max\n"
         "                           (ppm), a histogram, and the golden servers' drift: the\n"
         "                           rolling median of 20 handhelds of new less factory\n"
         "                           compensation, with a warning outside the band\n"
         "\n"
         "Filters (list, export, stats):\n"
         "  --mac MAC                one handheld (hexadecimal, 0x optional)\n"
         "  --from TIME --to TIME    started from TIME on, before TIME (UTC, ISO 8601 or a\n"
         "                           leading part of it: 2026-12-10)\n"
         "  --outcome OUTCOME        completed, failed or aborted\n"
         "  --station NAME           made on this station (host name)\n"
         "  --golden-server ID       tuned against the server with this identity\n"
         "  --limit N                at most N records\n"
         "  --drift-threshold STEPS  stats: the drift band's half width (default: the\n"
         "                           Records window's setting in tptune-drift.ini, else 3)\n"
         "  --include-bench          stats: also records made on the emulated bench\n"
         "                           (list and export show them, marked)\n"
         "\n"
         "  --db LOCATION            a SQLite file or a postgresql:// server (default: the\n"
         "                           records file of the programs in this folder, tptune.db)\n"
         "  --help                   show this text\n"
         "\n"
         "Exit status: 0 done, 1 when the store is missing or damaged or the record is not\n"
         "there, 2 for unusable options.\n";
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
  // The factory's records of this installation or folder, where its window and console keep
  // them, unless --db names a store.
  const TFrontEndSetup setup = FrontEndSetup({programPath, false, {}});
  const std::string location = o.db.empty() ? setup.RecordsLocation : o.db;
  try {
    auto store = OpenRecordStore(location, TStoreOpen::kExisting);
    if (o.command == "list") {
      WriteListHeader(out);
      store->List(o.filter, [&](const TTuningRecord& r) { WriteListLine(out, r); });
    } else if (o.command == "show") {
      const auto record = store->Get(o.id);
      if (!record) {
        err << "tptune-records: no record " << o.id << " in " << location << '\n';
        return 1;
      }
      WriteRecordText(out, *record);
    } else if (o.command == "export") {
      if (o.format == "csv") out << CsvHeader();
      store->Export(o.filter, [&](const TTuningRecord& r) {
        out << (o.format == "csv" ? CsvLine(r) : JsonLine(r));
      });
    } else {
      o.filter.IncludeBench = o.includeBench;
      WriteStats(out, store->Stats(o.filter));
      TDriftRule drift;
      store->Points(o.filter, [&](const TRecordPoint& p) { drift.Add(p); });
      out << '\n';
      WriteDrift(out, drift.Series(),
                 o.threshold.value_or(ReadDriftThreshold(setup.DriftSettingsPath)));
    }
    out << std::flush;
  } catch (const std::exception& e) {
    err << "tptune-records: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
