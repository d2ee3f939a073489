// The record store: production records kept in SQLite (a file, the embedded default) or in
// PostgreSQL (a "postgresql://" location, one server for a line of stations), with one schema
// and the same queries. The schema is versioned and created on first use.
//
//   auto store = OpenRecordStore("tptune.db", TStoreOpen::kCreate);
//   store->Add(record);
//   store->List(filter, [](const TTuningRecord& r) { ... });  // newest first
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "records/Drift.h"
#include "records/TuningRecord.h"

// Every failure of a store: what went wrong, with the back end's own code and text.
class ERecordError : public std::runtime_error {
 public:
  explicit ERecordError(const std::string& message, int code = 0, std::string sqlState = {})
      : std::runtime_error(message), code_(code), sqlState_(std::move(sqlState)) {}
  // SQLite's extended result code, or 0.
  int Code() const { return code_; }
  // PostgreSQL's SQLSTATE, or empty.
  const std::string& SqlState() const { return sqlState_; }

 private:
  int code_;
  std::string sqlState_;
};

// Which records a query takes. Empty texts do not filter.
struct TRecordFilter {
  std::string Mac;           // 8 hex digits (any case, "0x" allowed)
  std::string From, To;      // start time from (inclusive) to (exclusive), in a form
                             // ParseRecordTime takes
  std::string Outcome;       // completed, failed or aborted
  std::string Station;
  std::string GoldenServer;  // identity of the server that was the golden reference
  std::string DeviceKind;    // handheld or server: the kind of device tuned
  bool IncludeBench = true;  // also records made on the emulated bench
  int64_t Limit = 0;         // at most this many (0: all)
};

struct TRecordStats {
  int64_t Count = 0, Completed = 0, Failed = 0, Aborted = 0;
  // The measured offsets of the completed records, in ppm.
  int64_t Measured = 0;
  double MeanPpm = 0, StdDevPpm = 0, MinPpm = 0, MaxPpm = 0;
  // How many completed records measured each offset (in steps), smallest first.
  std::vector<std::pair<int, int64_t>> OffsetCounts;
  // Completed among completed and failed (aborted attempts do not count); 0 without either.
  double Yield() const;
};

// The statistics of a stream of records, one at a time: what Stats gives for the records the
// filter takes, for a reader that streams them anyway (the Records window).
class TStatsAccumulator {
 public:
  void Add(const TRecordPoint& point);
  TRecordStats Result() const;

 private:
  TRecordStats s_;
  int64_t sum_ = 0, squares_ = 0, low_ = 0, high_ = 0;
  std::map<int, int64_t> counts_;
};

enum class TStoreOpen {
  // For writing records (the front ends' delivery): a missing store is made, an older schema
  // brought up to date in one transaction; a store that is up to date is not changed at all.
  kCreate,
  // For reading (the records program, the windows, the lookup): never made, changed or
  // migrated; a SQLite file is opened read-only. A missing store is an error.
  kExisting,
};

// The schema version this program writes.
inline constexpr int kRecordSchemaVersion = 4;

// The record's columns as stored, in row order after the id; the log and the trace come last.
// Exports name their columns the same way ("id" first).
inline constexpr const char* kRecordColumns[] = {
    "uid", "started_at", "ended_at", "station", "program_version", "bench", "golden",
    "analysis_only", "dongle_port", "dongle_identity", "dongle_hw_version", "server_port",
    "server_identity", "server_hw_version", "server_firmware", "device_kind", "device_identity",
    "mac", "handheld_hw_version", "rf_modem_version", "factory_comp", "pctool_comp",
    "effective_comp", "golden_comp", "cycles", "offset_steps", "offset_khz", "offset_ppm",
    "new_comp_steps", "new_comp_khz", "new_comp_ppm", "stored", "read_back",
    "firmware_restored", "sha256_rf_modem", "sha256_eeprom", "sha256_server", "sha256_tp_test",
    "sha256_srv_test", "outcome", "failure_reason", "run_id", "attempt", "operator",
    "work_order", "limits", "log", "trace"};

// A store is used by one thread at a time; threads that read or write at once open a store each.
class TRecordStore {
 public:
  virtual ~TRecordStore() = default;

  // Writes the record and its test cycles in one transaction and returns its id. A record whose
  // uid is stored already is not written again (its id is returned).
  // Throws when records cannot be written now (a read-only file, a lock another program
  // holds); writes nothing.
  virtual void CheckWritable() = 0;
  virtual int64_t Add(const TTuningRecord& record) = 0;
  // The whole record, with log and trace.
  virtual std::optional<TTuningRecord> Get(int64_t id) = 0;
  // Newest first, without log and trace.
  virtual void List(const TRecordFilter& filter,
                    const std::function<void(const TTuningRecord&)>& each) = 0;
  // The latest completed record of a handheld's MAC.
  virtual std::optional<TTuningRecord> LatestCompleted(const std::string& mac,
                                                       bool includeBench) = 0;
  virtual TRecordStats Stats(const TRecordFilter& filter) = 0;
  // How many records the filter takes (its limit aside).
  virtual int64_t Count(const TRecordFilter& filter) = 0;
  // One page of the list: in List's order (newest first, without log and trace), the records
  // after the first offset ones, at most limit of them. For a window's table over many records.
  virtual void Page(const TRecordFilter& filter, int64_t offset, int64_t limit,
                    const std::function<void(const TTuningRecord&)>& each) = 0;
  // Oldest first, only the columns the charts and the drift rule read, one record at a time.
  virtual void Points(const TRecordFilter& filter,
                      const std::function<void(const TRecordPoint&)>& each) = 0;
  // Oldest first, every column with log and trace, one record at a time (streamed).
  virtual void Export(const TRecordFilter& filter,
                      const std::function<void(const TTuningRecord&)>& each) = 0;
  virtual int SchemaVersion() = 0;
};

// "postgresql://..." and "postgres://..." name a PostgreSQL server; anything else is a SQLite
// file (":memory:" a private in-memory database, "file:..." a SQLite URI). Throws ERecordError
// when the store cannot be opened, is not a record store ("... holds no production records";
// a database of another program is left as it is), or has a schema newer than this program's.
// abandon (optional): while it is set, every wait for a server ends at once with an error, so a
// program that ends never waits for a server that stopped answering.
std::unique_ptr<TRecordStore> OpenRecordStore(const std::string& location, TStoreOpen mode,
                                              const std::atomic<bool>* abandon = nullptr);

bool IsServerLocation(const std::string& location);

// A location as messages, listings and the spool's file name show it: a password (in the user
// part, split as libpq splits it, or as a "password=" or "sslpassword=" parameter of a URI's
// query or of key=value text) replaced by "***".
std::string ShownLocation(const std::string& location);

// A trace as the store keeps it, compressed ("TPZ1", its length, zlib); a trace packed already
// is returned as it is. UnpackTrace gives a packed trace back whole and a raw one as it is;
// throws ERecordError for a packed trace that is damaged.
std::string PackTrace(const std::string& trace);
std::string UnpackTrace(const std::string& stored);

// A MAC as the store keeps it: 8 upper-case hex digits ("0x" and letter case dropped); empty
// when the text is not one.
std::string NormaliseMac(const std::string& text);

// Whether the filter takes the record, by the same rule as the store's queries (its limit
// aside): a MAC compared as the store keeps it, a time range on the start time's text (from
// inclusive, to exclusive), outcome, station, kind of device, golden server and bench records.
bool RecordFilterAdmits(const TRecordFilter& filter, const TTuningRecord& record);
// The part of that rule the chart columns can tell, MAC and outcome; the store's query takes
// care of the rest.
bool RecordFilterAdmitsPoint(const TRecordFilter& filter, const TRecordPoint& point);
