#include "records/RecordStore.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <string_view>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include "records/SqlConnection.h"

using nlohmann::json;

namespace {

// A filter's time as the instant it names, in the records' own form, so that it compares with
// the records' times as text (a text that is not a time is compared as it stands, which the
// programs' own checks keep from happening).
std::string FilterInstant(const std::string& t) {
  const std::string parsed = ParseRecordTime(t);
  return parsed.empty() ? t : parsed;
}

// The schema, one step per version. {ID} and {BLOB} take the dialect's types. Measurements are
// columns of their own so that they can be queried; the test cycles are also kept as JSON in
// the record's row, so that a record reads back in one row.
const char* const kMigrations[] = {
    // 1: the records, their test cycles, and the indexes of the usual queries.
    "CREATE TABLE tuning_record ("
    " id {ID},"
    " uid TEXT NOT NULL UNIQUE,"
    " started_at TEXT NOT NULL, ended_at TEXT NOT NULL,"
    " station TEXT NOT NULL, program_version TEXT NOT NULL,"
    " bench INTEGER NOT NULL, golden TEXT NOT NULL, analysis_only INTEGER NOT NULL,"
    " dongle_port TEXT NOT NULL, dongle_identity TEXT NOT NULL, dongle_hw_version TEXT NOT NULL,"
    " server_port TEXT NOT NULL, server_identity TEXT NOT NULL, server_hw_version TEXT NOT NULL,"
    " server_firmware TEXT NOT NULL,"
    " device_kind TEXT NOT NULL, device_identity TEXT NOT NULL, mac TEXT NOT NULL,"
    " handheld_hw_version TEXT NOT NULL, rf_modem_version TEXT NOT NULL,"
    " factory_comp INTEGER, pctool_comp INTEGER, effective_comp INTEGER, golden_comp INTEGER,"
    " cycles TEXT NOT NULL,"
    " offset_steps INTEGER, offset_khz DOUBLE PRECISION, offset_ppm DOUBLE PRECISION,"
    " new_comp_steps INTEGER, new_comp_khz DOUBLE PRECISION, new_comp_ppm DOUBLE PRECISION,"
    " stored INTEGER NOT NULL, read_back INTEGER NOT NULL,"
    " firmware_restored TEXT NOT NULL,"
    " sha256_rf_modem TEXT NOT NULL, sha256_eeprom TEXT NOT NULL, sha256_server TEXT NOT NULL,"
    " sha256_tp_test TEXT NOT NULL, sha256_srv_test TEXT NOT NULL,"
    " outcome TEXT NOT NULL, failure_reason TEXT NOT NULL,"
    " log TEXT NOT NULL, trace {BLOB} NOT NULL);"
    "CREATE INDEX tuning_record_mac ON tuning_record (mac, started_at);"
    "CREATE INDEX tuning_record_started ON tuning_record (started_at);"
    "CREATE TABLE test_cycle ("
    " record_id BIGINT NOT NULL REFERENCES tuning_record (id),"
    " cycle INTEGER NOT NULL, trial INTEGER NOT NULL, packets INTEGER NOT NULL,"
    " avg_rssi INTEGER NOT NULL, afc_sum BIGINT NOT NULL,"
    " afc_min INTEGER NOT NULL, afc_max INTEGER NOT NULL,"
    " PRIMARY KEY (record_id, cycle));",
    // 2: the columns the charts and the statistics read, in time order, beside the filters'
    // columns: their queries read this index alone and never the rows with their logs.
    "CREATE INDEX IF NOT EXISTS tuning_record_chart ON tuning_record (started_at, id, outcome, station, mac,"
    " bench, golden, server_identity, device_kind, analysis_only, offset_steps, factory_comp,"
    " new_comp_steps);",
    // 3: traces are kept compressed (see PackTrace); the tables stay as they are, the version
    // keeps older programs from reading a compressed trace as text.
    "SELECT 1",
    // 4: who and what for: the run, the attempt within it, the operator, the work order or lot;
    // the limits the pass was judged against with the verdict of each measurement.
    "ALTER TABLE tuning_record ADD COLUMN run_id TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE tuning_record ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1;"
    "ALTER TABLE tuning_record ADD COLUMN operator TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE tuning_record ADD COLUMN work_order TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE tuning_record ADD COLUMN limits TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX tuning_record_run ON tuning_record (run_id);",
};
static_assert(std::size(kMigrations) == kRecordSchemaVersion);

constexpr size_t kColumnCount = std::size(kRecordColumns);
constexpr size_t kColumnsWithoutLogs = kColumnCount - 2;

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at))
    text.replace(at, what.size(), with), at += with.size();
  return text;
}

// The columns as a store of the given schema version has them: a reader does not bring a store
// up to date, so what an older one lacks is read as its default.
std::string ColumnList(bool withLogs, int version) {
  static const std::map<std::string, std::pair<int, const char*>> kAdded = {
      {"run_id", {4, "''"}}, {"attempt", {4, "1"}}, {"operator", {4, "''"}},
      {"work_order", {4, "''"}}, {"limits", {4, "''"}}};
  std::string list = "id";
  for (size_t i = 0; i < (withLogs ? kColumnCount : kColumnsWithoutLogs); ++i) {
    const auto added = kAdded.find(kRecordColumns[i]);
    if (added != kAdded.end() && version < added->second.first)
      list += std::string(", ") + added->second.second;
    else
      list += std::string(", ") + kRecordColumns[i];
  }
  return list;
}

template <class T>
TSqlValue Opt(const std::optional<T>& v) {
  if (!v) return std::monostate{};
  if constexpr (std::is_floating_point_v<T>)
    return static_cast<double>(*v);
  else
    return static_cast<int64_t>(*v);
}

TSqlValue Flag(bool b) { return static_cast<int64_t>(b ? 1 : 0); }

// A trace as the store keeps it: "TPZ1", its size (4 bytes, little-endian) and the zlib stream.
constexpr char kPackedTrace[] = "TPZ1";

}  // namespace

// A trace is some 220 kB a handheld and mostly the same few records over and over: zlib at its
// fastest level keeps about a fifth of it, in some 1 ms (its default level a seventh, in more
// than four times the time, on every pass). A trace never begins with "TPZ1" (its records begin
// with '>', '!', '.' or a port digit), so traces stored raw by an older program read back as
// they are, and a trace packed already (as the spool carries it) is kept as it is.
std::string PackTrace(const std::string& trace) {
  if (trace.empty() || trace.size() > 0xFFFFFFFFu) return trace;
  if (trace.compare(0, 4, kPackedTrace) == 0) return trace;
  uLongf size = compressBound(static_cast<uLong>(trace.size()));
  std::string packed(8 + size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data() + 8), &size,
                reinterpret_cast<const Bytef*>(trace.data()), static_cast<uLong>(trace.size()),
                Z_BEST_SPEED) != Z_OK)
    return trace;
  packed.replace(0, 4, kPackedTrace, 4);
  const auto n = static_cast<uint32_t>(trace.size());
  for (int i = 0; i < 4; ++i) packed[4 + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  packed.resize(8 + size);
  return packed;
}

std::string UnpackTrace(const std::string& stored) {
  if (stored.size() < 8 || stored.compare(0, 4, kPackedTrace) != 0) return stored;
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(stored[4 + i])) << (8 * i);
  std::string trace(n, '\0');
  uLongf size = n;
  if (uncompress(reinterpret_cast<Bytef*>(trace.data()), &size,
                 reinterpret_cast<const Bytef*>(stored.data() + 8),
                 static_cast<uLong>(stored.size() - 8)) != Z_OK ||
      size != n)
    throw ERecordError("a stored trace is damaged (it does not unpack)");
  return trace;
}

namespace {

std::vector<TSqlValue> RowOf(const TTuningRecord& r) {
  json cycles = json::array(), restored = json::array();
  for (const auto& c : r.Cycles)
    cycles.push_back({c.Trial, c.Packets, c.AvgRssi, c.AfcSum, c.AfcMin, c.AfcMax});
  for (const auto& f : r.Restored) restored.push_back({{"kind", f.Kind}, {"version", f.Version},
                                                       {"done", f.Done}});
  const auto dump = [](const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
  };
  // Texts from devices, files and the system are kept as valid UTF-8 (other bytes escaped), so
  // that no store refuses a record for them; the trace is binary and kept as it is.
  const auto t = [](const std::string& text) { return ValidUtf8(text); };
  return {t(r.Uid), t(r.StartedAt), t(r.EndedAt), t(r.Station), t(r.ProgramVersion),
          Flag(r.Bench), t(r.Golden), Flag(r.AnalysisOnly), t(r.DonglePort), t(r.DongleIdentity),
          t(r.DongleHwVersion), t(r.ServerPort), t(r.ServerIdentity), t(r.ServerHwVersion),
          t(r.ServerFirmware), t(r.DeviceKind), t(r.DeviceIdentity), t(r.Mac),
          t(r.HandheldHwVersion), t(r.RfModemVersion), Opt(r.FactoryComp), Opt(r.PcToolComp),
          Opt(r.EffectiveComp), Opt(r.GoldenComp), dump(cycles), Opt(r.OffsetSteps),
          Opt(r.OffsetKhz), Opt(r.OffsetPpm), Opt(r.NewCompSteps), Opt(r.NewCompKhz),
          Opt(r.NewCompPpm), Flag(r.Stored), Flag(r.ReadBack), dump(restored),
          r.PackageSha256[0], r.PackageSha256[1], r.PackageSha256[2], r.PackageSha256[3],
          r.PackageSha256[4], t(r.Outcome), t(r.FailureReason), t(r.RunId),
          static_cast<int64_t>(r.Attempt), t(r.Operator), t(r.WorkOrder), t(r.Limits), t(r.Log),
          TSqlBlob{PackTrace(r.Trace)}};
}

// Readers of one column value.
std::string Text(const TSqlValue& v) {
  if (auto* s = std::get_if<std::string>(&v)) return *s;
  if (auto* b = std::get_if<TSqlBlob>(&v)) return b->Bytes;
  if (auto* x = std::get_if<int64_t>(&v)) return std::to_string(*x);
  return {};
}
int64_t Int(const TSqlValue& v) {
  if (auto* x = std::get_if<int64_t>(&v)) return *x;
  if (auto* d = std::get_if<double>(&v)) return static_cast<int64_t>(std::llround(*d));
  return 0;
}
std::optional<int> OptInt(const TSqlValue& v) {
  if (std::holds_alternative<std::monostate>(v)) return std::nullopt;
  return static_cast<int>(Int(v));
}
std::optional<double> OptDouble(const TSqlValue& v) {
  if (auto* d = std::get_if<double>(&v)) return *d;
  if (auto* x = std::get_if<int64_t>(&v)) return static_cast<double>(*x);
  return std::nullopt;
}

TTuningRecord RecordOf(const TSqlRow& row) {
  size_t i = 0;
  auto next = [&]() -> const TSqlValue& { return row[i++]; };
  TTuningRecord r;
  r.Id = Int(next());
  r.Uid = Text(next());
  r.StartedAt = Text(next());
  r.EndedAt = Text(next());
  r.Station = Text(next());
  r.ProgramVersion = Text(next());
  r.Bench = Int(next()) != 0;
  r.Golden = Text(next());
  r.AnalysisOnly = Int(next()) != 0;
  r.DonglePort = Text(next());
  r.DongleIdentity = Text(next());
  r.DongleHwVersion = Text(next());
  r.ServerPort = Text(next());
  r.ServerIdentity = Text(next());
  r.ServerHwVersion = Text(next());
  r.ServerFirmware = Text(next());
  r.DeviceKind = Text(next());
  r.DeviceIdentity = Text(next());
  r.Mac = Text(next());
  r.HandheldHwVersion = Text(next());
  r.RfModemVersion = Text(next());
  r.FactoryComp = OptInt(next());
  r.PcToolComp = OptInt(next());
  r.EffectiveComp = OptInt(next());
  r.GoldenComp = OptInt(next());
  for (const json& c : json::parse(Text(next()), nullptr, false))
    if (c.is_array() && c.size() == 6)
      r.Cycles.push_back({c[0].get<int>(), c[1].get<int>(), c[2].get<int>(),
                          c[3].get<int64_t>(), c[4].get<int>(), c[5].get<int>()});
  r.OffsetSteps = OptInt(next());
  r.OffsetKhz = OptDouble(next());
  r.OffsetPpm = OptDouble(next());
  r.NewCompSteps = OptInt(next());
  r.NewCompKhz = OptDouble(next());
  r.NewCompPpm = OptDouble(next());
  r.Stored = Int(next()) != 0;
  r.ReadBack = Int(next()) != 0;
  for (const json& f : json::parse(Text(next()), nullptr, false))
    if (f.is_object())
      r.Restored.push_back({f.value("kind", ""), f.value("version", ""), f.value("done", false)});
  for (auto& digest : r.PackageSha256) digest = Text(next());
  r.Outcome = Text(next());
  r.FailureReason = Text(next());
  r.RunId = Text(next());
  r.Attempt = static_cast<int>(Int(next()));
  r.Operator = Text(next());
  r.WorkOrder = Text(next());
  r.Limits = Text(next());
  if (row.size() > kColumnsWithoutLogs + 1) {
    r.Log = Text(next());
    r.Trace = UnpackTrace(Text(next()));
  }
  return r;
}

class TSqlStore final : public TRecordStore {
 public:
  TSqlStore(std::unique_ptr<TSqlConnection> c, const std::string& location, TStoreOpen mode)
      : c_(std::move(c)), location_(ShownLocation(location)) {
    // Only a program that writes records ever changes a store, and only when its schema is
    // older than the program's: a store that is up to date is used without a word of DDL, so
    // that a role that may only read and insert writes records, and a reader never takes a
    // write lock.
    const int version = VersionOrZero();
    version_ = version;
    if (mode == TStoreOpen::kExisting) {
      if (version == 0 || !HasRecordsTable()) throw NoRecords();
      CheckVersion(version);
      return;
    }
    CheckVersion(version);
    if (version > 0 && !HasRecordsTable()) throw NoRecords("; records are not added to it");
    if (version == 0 && TableCount() > 0) throw NoRecords("; records are not added to it");
    c_->PrepareForWriting();
    if (version < kRecordSchemaVersion) Migrate();
    version_ = kRecordSchemaVersion;
  }

  void CheckWritable() override {
    TSqlTransaction transaction(*c_, false);  // rolled back: nothing written
  }

  int64_t Add(const TTuningRecord& record) override {
    TSqlTransaction transaction(*c_, false);
    std::string sql = "INSERT INTO tuning_record (";
    std::string values;
    for (size_t i = 0; i < kColumnCount; ++i) {
      sql += std::string(i ? ", " : "") + kRecordColumns[i];
      values += (i ? ", " : "") + c_->Param(static_cast<int>(i) + 1);
    }
    sql += ") VALUES (" + values + ") ON CONFLICT (uid) DO NOTHING RETURNING id";
    std::optional<int64_t> id;
    c_->Query(sql, RowOf(record), [&](const TSqlRow& row) { id = Int(row[0]); });
    if (!id) {
      // Sent before (a resend from the spool after a write whose answer was lost).
      c_->Query("SELECT id FROM tuning_record WHERE uid = " + c_->Param(1), {record.Uid},
                [&](const TSqlRow& row) { id = Int(row[0]); });
      transaction.Commit();
      return id.value_or(0);
    }
    std::string cycleSql = "INSERT INTO test_cycle (record_id, cycle, trial, packets, avg_rssi, "
                           "afc_sum, afc_min, afc_max) VALUES (";
    for (int i = 1; i <= 8; ++i) cycleSql += (i > 1 ? ", " : "") + c_->Param(i);
    cycleSql += ")";
    int n = 0;
    for (const TTestCycle& cycle : record.Cycles)
      c_->Query(cycleSql,
                {*id, static_cast<int64_t>(++n), static_cast<int64_t>(cycle.Trial),
                 static_cast<int64_t>(cycle.Packets), static_cast<int64_t>(cycle.AvgRssi),
                 cycle.AfcSum, static_cast<int64_t>(cycle.AfcMin),
                 static_cast<int64_t>(cycle.AfcMax)},
                [](const TSqlRow&) {});
    transaction.Commit();
    return *id;
  }

  std::optional<TTuningRecord> Get(int64_t id) override {
    std::optional<TTuningRecord> found;
    c_->Query("SELECT " + ColumnList(true, version_) + " FROM tuning_record WHERE id = " + c_->Param(1),
              {id}, [&](const TSqlRow& row) { found = RecordOf(row); });
    return found;
  }

  void List(const TRecordFilter& filter,
            const std::function<void(const TTuningRecord&)>& each) override {
    std::vector<TSqlValue> params;
    std::string sql = "SELECT " + ColumnList(false, version_) + " FROM tuning_record" +
                      Where(filter, params) + " ORDER BY started_at DESC, id DESC" +
                      Limit(filter);
    c_->Query(sql, params, [&](const TSqlRow& row) { each(RecordOf(row)); });
  }

  std::optional<TTuningRecord> LatestCompleted(const std::string& mac,
                                               bool includeBench) override {
    TRecordFilter filter;
    filter.Mac = mac.empty() ? "-" : mac;
    filter.Outcome = kRecordCompleted;
    filter.DeviceKind = "handheld";
    filter.IncludeBench = includeBench;
    filter.Limit = 1;
    std::optional<TTuningRecord> found;
    List(filter, [&](const TTuningRecord& r) { found = r; });
    return found;
  }

  TRecordStats Stats(const TRecordFilter& filter) override {
    // One pass over the chart columns (which their index holds), counted as the window counts
    // them; every record the filter takes, whatever its limit.
    TRecordFilter all = filter;
    all.Limit = 0;
    TStatsAccumulator stats;
    Points(all, [&](const TRecordPoint& p) { stats.Add(p); });
    return stats.Result();
  }

  int64_t Count(const TRecordFilter& filter) override {
    std::vector<TSqlValue> params;
    int64_t n = 0;
    c_->Query("SELECT COUNT(*) FROM tuning_record" + Where(filter, params), params,
              [&](const TSqlRow& row) { n = Int(row[0]); });
    return n;
  }

  void Page(const TRecordFilter& filter, int64_t offset, int64_t limit,
            const std::function<void(const TTuningRecord&)>& each) override {
    if (limit <= 0) return;
    std::vector<TSqlValue> params;
    std::string sql = "SELECT " + ColumnList(false, version_) + " FROM tuning_record" +
                      Where(filter, params) + " ORDER BY started_at DESC, id DESC";
    params.push_back(limit);
    sql += " LIMIT " + c_->Param(static_cast<int>(params.size()));
    params.push_back(std::max<int64_t>(offset, 0));
    sql += " OFFSET " + c_->Param(static_cast<int>(params.size()));
    c_->Query(sql, params, [&](const TSqlRow& row) { each(RecordOf(row)); });
  }

  void Points(const TRecordFilter& filter,
              const std::function<void(const TRecordPoint&)>& each) override {
    std::vector<TSqlValue> params;
    TRecordPoint p;
    c_->Query("SELECT id, started_at, outcome, golden, server_identity, device_kind,"
              " analysis_only, offset_steps, factory_comp, new_comp_steps, mac FROM tuning_record" +
                  Where(filter, params) + " ORDER BY started_at, id" + Limit(filter),
              params, [&](const TSqlRow& row) {
                p.Id = Int(row[0]);
                p.StartedAt = Text(row[1]);
                p.Outcome = Text(row[2]);
                p.Golden = Text(row[3]);
                p.ServerIdentity = Text(row[4]);
                p.DeviceKind = Text(row[5]);
                p.AnalysisOnly = Int(row[6]) != 0;
                p.OffsetSteps = OptInt(row[7]);
                p.FactoryComp = OptInt(row[8]);
                p.NewCompSteps = OptInt(row[9]);
                p.Mac = Text(row[10]);
                each(p);
              });
  }

  void Export(const TRecordFilter& filter,
              const std::function<void(const TTuningRecord&)>& each) override {
    std::vector<TSqlValue> params;
    c_->Query("SELECT " + ColumnList(true, version_) + " FROM tuning_record" + Where(filter, params) +
                  " ORDER BY id" + Limit(filter),
              params, [&](const TSqlRow& row) { each(RecordOf(row)); });
  }

  int SchemaVersion() override { return ReadVersion(); }

 private:
  int ReadVersion() {
    int version = 0;
    c_->Query("SELECT MAX(version) FROM schema_version", {},
              [&](const TSqlRow& row) { version = static_cast<int>(Int(row[0])); });
    return version;
  }

  // The schema version, 0 for a database without one (new, or another program's).
  int VersionOrZero() {
    try {
      return ReadVersion();
    } catch (const ERecordError& e) {
      // A database that cannot be read at all (not a database, gone) says so itself.
      if (!MissingTable(e)) throw;
      return 0;
    }
  }

  bool HasRecordsTable() {
    try {
      c_->Query("SELECT id FROM tuning_record WHERE 1 = 0", {}, [](const TSqlRow&) {});
      return true;
    } catch (const ERecordError& e) {
      if (!MissingTable(e)) throw;
      return false;
    }
  }

  int64_t TableCount() {
    int64_t n = 0;
    c_->Query(c_->TableCountQuery(), {}, [&](const TSqlRow& row) { n = Int(row[0]); });
    return n;
  }

  static bool MissingTable(const ERecordError& e) {
    // PostgreSQL's undefined_table; SQLite's generic error with its "no such table" text.
    return e.SqlState() == "42P01" ||
           std::string(e.what()).find("no such table") != std::string::npos;
  }

  ERecordError NoRecords(const std::string& more = "") const {
    return ERecordError(location_ + " holds no production records" + more);
  }

  void CheckVersion(int version) {
    if (version > kRecordSchemaVersion)
      throw ERecordError(location_ + " has records of schema version " + std::to_string(version) +
                         ", newer than this program's (" +
                         std::to_string(kRecordSchemaVersion) + "); use a newer program");
  }

  // Creates the schema or brings it up to this program's version, in one transaction that
  // keeps other processes out meanwhile (another station may have done it in the meantime).
  void Migrate() {
    TSqlTransaction transaction(*c_, true);
    const bool fresh = TableCount() == 0;
    c_->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const int version = ReadVersion();
    CheckVersion(version);
    if (version == 0 && !fresh) throw NoRecords("; records are not added to it");
    for (int v = version; v < kRecordSchemaVersion; ++v) {
      std::string sql = Replace(kMigrations[v], "{ID}", c_->IdColumnType());
      c_->Exec(Replace(sql, "{BLOB}", c_->BlobType()));
    }
    if (version < kRecordSchemaVersion) {
      c_->Exec("DELETE FROM schema_version");
      c_->Exec("INSERT INTO schema_version (version) VALUES (" +
               std::to_string(kRecordSchemaVersion) + ")");
    }
    transaction.Commit();
  }

  std::string Where(const TRecordFilter& f, std::vector<TSqlValue>& params) const {
    std::vector<std::string> conditions;
    auto add = [&](const std::string& column, const std::string& op, const std::string& value) {
      params.push_back(value);
      conditions.push_back(column + " " + op + " " + c_->Param(static_cast<int>(params.size())));
    };
    if (!f.IncludeBench) conditions.push_back("bench = 0");
    if (!f.Mac.empty()) {
      const std::string mac = NormaliseMac(f.Mac);
      add("mac", "=", mac.empty() ? f.Mac : mac);
    }
    if (!f.From.empty()) add("started_at", ">=", FilterInstant(f.From));
    if (!f.To.empty()) add("started_at", "<", FilterInstant(f.To));
    if (!f.Outcome.empty()) add("outcome", "=", f.Outcome);
    if (!f.Station.empty()) add("station", "=", f.Station);
    if (!f.DeviceKind.empty()) add("device_kind", "=", f.DeviceKind);
    if (!f.GoldenServer.empty()) {
      conditions.push_back("golden = 'server'");
      add("server_identity", "=", f.GoldenServer);
    }
    std::string where;
    for (size_t i = 0; i < conditions.size(); ++i)
      where += (i ? " AND " : " WHERE ") + conditions[i];
    return where;
  }

  static std::string Limit(const TRecordFilter& f) {
    return f.Limit > 0 ? " LIMIT " + std::to_string(f.Limit) : "";
  }

  std::unique_ptr<TSqlConnection> c_;
  std::string location_;
  int version_ = kRecordSchemaVersion;  // the schema the store has (a reader leaves it as it is)
};

}  // namespace

void TStatsAccumulator::Add(const TRecordPoint& p) {
  ++s_.Count;
  if (p.Outcome == kRecordCompleted)
    ++s_.Completed;
  else if (p.Outcome == kRecordFailed)
    ++s_.Failed;
  else if (p.Outcome == kRecordAborted)
    ++s_.Aborted;
  if (p.Outcome != kRecordCompleted || !p.OffsetSteps) return;
  const int64_t v = *p.OffsetSteps;
  if (s_.Measured == 0) low_ = high_ = v;
  ++s_.Measured;
  sum_ += v;
  squares_ += v * v;
  low_ = std::min(low_, v);
  high_ = std::max(high_, v);
  ++counts_[static_cast<int>(v)];
}

TRecordStats TStatsAccumulator::Result() const {
  TRecordStats s = s_;
  if (s.Measured > 0) {
    // Sums of whole steps are exact; the spread follows from them.
    const double n = static_cast<double>(s.Measured);
    const double mean = static_cast<double>(sum_) / n;
    const double variance = std::max(0.0, (static_cast<double>(squares_) - n * mean * mean) / n);
    s.MeanPpm = StepsToPpm(mean);
    s.StdDevPpm = StepsToPpm(std::sqrt(variance));
    s.MinPpm = StepsToPpm(static_cast<double>(low_));
    s.MaxPpm = StepsToPpm(static_cast<double>(high_));
  }
  s.OffsetCounts.assign(counts_.begin(), counts_.end());
  return s;
}

double TRecordStats::Yield() const {
  const int64_t decided = Completed + Failed;
  return decided > 0 ? static_cast<double>(Completed) / static_cast<double>(decided) : 0.0;
}

bool IsServerLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

namespace {

constexpr std::string_view kPasswordKeys[] = {"password", "sslpassword"};

bool IsPasswordKey(std::string key) {
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (std::string_view k : kPasswordKeys)
    if (key == k) return true;
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A URI's text with its percent escapes decoded, as libpq decodes keys and values.
std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Whether text before the first '/' or '?' of a URI without a user part reads as libpq's host
// list: hosts, each with a port of digits if any ("h1:5432,[::1]:5433").
bool IsHostList(std::string_view hosts) {
  size_t start = 0;
  while (start <= hosts.size()) {
    const size_t comma = std::min(hosts.find(',', start), hosts.size());
    std::string_view item = hosts.substr(start, comma - start);
    if (!item.empty() && item.front() == '[') {
      const size_t close = item.find(']');
      if (close == std::string_view::npos) return false;
      item.remove_prefix(close + 1);
      if (!item.empty() && item.front() != ':') return false;
    }
    const size_t colon = item.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view port = item.substr(colon + 1);
      if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    }
    start = comma + 1;
  }
  return true;
}

// A postgresql:// URI as libpq parses it: the user part runs from after the "//" to the first
// '@' before any '/' (so '?', '#', ':' and spaces in a password belong to it), the password
// from the first ':' in it; the query from the first '?' after the host list, with '&' between
// parameters whose names are percent-decoded. A password that libpq would cut short (a raw '@'
// or '/' in it) is hidden up to the '@' the person who typed it meant: the host libpq then
// reads holds an '@', or the text before the '/' is no host list.
std::string ShownServerUri(const std::string& location) {
  std::string s = location;
  const size_t start = s.find("://") + 3;
  const size_t firstMark = s.find_first_of("@/", start);
  size_t at = std::string::npos;
  if (firstMark != std::string::npos && s[firstMark] == '@') {
    // The user part as libpq reads it, widened to the last '@' of the host libpq reads next.
    at = s.rfind('@', std::min(s.find_first_of("/?", firstMark), s.size()) - 1);
  } else {
    const size_t hostsEnd = std::min(s.find_first_of("/?", start), s.size());
    const size_t next = s.find('@', hostsEnd);
    if (next != std::string::npos &&
        !IsHostList(std::string_view(s).substr(start, hostsEnd - start)))
      at = s.rfind('@', std::min(s.find_first_of("/?", next), s.size()) - 1);
  }
  size_t queryFrom = start;
  if (at != std::string::npos) {
    const size_t colon = s.find(':', start);
    if (colon < at) {
      s.replace(colon + 1, at - colon - 1, "***");
      at = colon + 4;
    }
    queryFrom = at;
  }
  const size_t query = s.find('?', queryFrom);
  if (query == std::string::npos) return s;
  std::string shown = s.substr(0, query + 1);
  size_t pos = query + 1;
  while (pos <= s.size()) {
    const size_t end = std::min(s.find('&', pos), s.size());
    const std::string_view param = std::string_view(s).substr(pos, end - pos);
    const size_t equals = param.find('=');
    if (equals != std::string_view::npos && IsPasswordKey(PercentDecoded(param.substr(0, equals))))
      shown += std::string(param.substr(0, equals + 1)) + "***";
    else
      shown += param;
    if (end < s.size()) shown += '&';
    pos = end + 1;
  }
  return shown;
}

// Anything else, a key=value connection string among them (not a server location, but what a
// person may type for one): each password value hidden, quoted ('...' with backslash escapes)
// or up to the next white space.
std::string ShownKeyValues(const std::string& location) {
  std::string shown;
  size_t pos = 0;
  while (pos < location.size()) {
    const size_t equals = location.find('=', pos);
    if (equals == std::string::npos) break;
    // The word before the '=' (white space allowed between them).
    size_t keyEnd = equals;
    while (keyEnd > pos && std::isspace(static_cast<unsigned char>(location[keyEnd - 1]))) --keyEnd;
    size_t keyStart = keyEnd;
    while (keyStart > pos && std::isalnum(static_cast<unsigned char>(location[keyStart - 1])))
      --keyStart;
    size_t value = equals + 1;
    while (value < location.size() && std::isspace(static_cast<unsigned char>(location[value])))
      ++value;
    if (!IsPasswordKey(location.substr(keyStart, keyEnd - keyStart))) {
      shown += location.substr(pos, value - pos);
      pos = value;
      continue;
    }
    size_t end = value;
    if (end < location.size() && location[end] == '\'') {
      for (++end; end < location.size() && location[end] != '\''; ++end)
        if (location[end] == '\\') ++end;
      end = std::min(end + 1, location.size());
    } else {
      while (end < location.size() && !std::isspace(static_cast<unsigned char>(location[end]))) {
        if (location[end] == '\\') ++end;
        ++end;
      }
      end = std::min(end, location.size());
    }
    shown += location.substr(pos, value - pos) + "***";
    pos = end;
  }
  return shown + location.substr(std::min(pos, location.size()));
}

}  // namespace

std::string ShownLocation(const std::string& location) {
  // A server location, or a mistyped one that is read as a file name: shown alike.
  return location.find("://") != std::string::npos ? ShownServerUri(location)
                                                   : ShownKeyValues(location);
}

std::string NormaliseMac(const std::string& text) {
  std::string t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.erase(0, 2);
  if (t.empty() || t.size() > 8) return {};
  for (char& ch : t) {
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return {};
    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  return std::string(8 - t.size(), '0') + t;
}

namespace {

bool MacAdmitted(const TRecordFilter& f, const std::string& mac) {
  if (f.Mac.empty()) return true;
  const std::string wanted = NormaliseMac(f.Mac);
  return mac == (wanted.empty() ? f.Mac : wanted);
}

}  // namespace

bool RecordFilterAdmitsPoint(const TRecordFilter& f, const TRecordPoint& p) {
  return MacAdmitted(f, p.Mac) && (f.Outcome.empty() || p.Outcome == f.Outcome);
}

bool RecordFilterAdmits(const TRecordFilter& f, const TTuningRecord& r) {
  if (!f.IncludeBench && r.Bench) return false;
  if (!MacAdmitted(f, r.Mac)) return false;
  if (!f.From.empty() && r.StartedAt < FilterInstant(f.From)) return false;
  if (!f.To.empty() && !(r.StartedAt < FilterInstant(f.To))) return false;
  if (!f.Outcome.empty() && r.Outcome != f.Outcome) return false;
  if (!f.Station.empty() && r.Station != f.Station) return false;
  if (!f.DeviceKind.empty() && r.DeviceKind != f.DeviceKind) return false;
  if (!f.GoldenServer.empty() && (r.Golden != "server" || r.ServerIdentity != f.GoldenServer))
    return false;
  return true;
}

std::unique_ptr<TRecordStore> OpenRecordStore(const std::string& location, TStoreOpen mode,
                                              const std::atomic<bool>* abandon) {
  if (location.empty()) throw ERecordError("no records location given");
  std::unique_ptr<TSqlConnection> c =
      IsServerLocation(location) ? OpenPostgres(location, abandon)
                                 : OpenSqlite(location, mode == TStoreOpen::kCreate);
  return std::make_unique<TSqlStore>(std::move(c), location, mode);
}
