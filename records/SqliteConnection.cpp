// The SQLite back end: a file shared by the processes of one station. WAL mode lets readers go
// on while one writer writes; synchronous=FULL makes a committed record survive a power cut;
// the busy time-out lets a second writer wait for the first instead of failing.
#include <sqlite3.h>

#include <memory>
#include <string>

#include "records/RecordStore.h"
#include "records/SqlConnection.h"

namespace {

constexpr int kBusyTimeoutMs = 2000;

struct TCloseDb {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct TFinalize {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using TDb = std::unique_ptr<sqlite3, TCloseDb>;
using TStatement = std::unique_ptr<sqlite3_stmt, TFinalize>;

[[noreturn]] void Fail(sqlite3* db, int rc, const std::string& what) {
  const int code = db ? sqlite3_extended_errcode(db) : rc;
  const std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw ERecordError(what + ": " + text, code);
}

class TSqliteConnection final : public TSqlConnection {
 public:
  TSqliteConnection(const std::string& path, bool write) : path_(path) {
    sqlite3* raw = nullptr;
    // A connection serves one thread at a time (the sink's writer, a window, a program), so it
    // takes no lock of its own on every call: a query over many rows makes several calls a row.
    // Readers open read-only: they never make, change or lock a store for writing.
    const int flags = (write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK) Fail(db_.get(), rc, "cannot open " + path);
    sqlite3_extended_result_codes(db_.get(), 1);
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
    // Reading the schema tells at once whether the file is a database at all.
    Exec("SELECT count(*) FROM sqlite_master");
    if (write) Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA foreign_keys=ON");
  }

  void Exec(const std::string& sql) override {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      const std::string text = message ? message : sqlite3_errstr(rc);
      sqlite3_free(message);
      throw ERecordError(path_ + ": " + text, sqlite3_extended_errcode(db_.get()));
    }
  }

  void Query(const std::string& sql, const std::vector<TSqlValue>& params,
             const std::function<void(const TSqlRow&)>& row) override {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size()), &raw,
                                nullptr);
    TStatement statement(raw);
    if (rc != SQLITE_OK) Fail(db_.get(), rc, path_);
    for (size_t i = 0; i < params.size(); ++i) {
      const int n = static_cast<int>(i) + 1;
      const TSqlValue& v = params[i];
      if (std::holds_alternative<std::monostate>(v)) {
        rc = sqlite3_bind_null(raw, n);
      } else if (auto* x = std::get_if<int64_t>(&v)) {
        rc = sqlite3_bind_int64(raw, n, *x);
      } else if (auto* d = std::get_if<double>(&v)) {
        rc = sqlite3_bind_double(raw, n, *d);
      } else if (auto* s = std::get_if<std::string>(&v)) {
        rc = sqlite3_bind_text(raw, n, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
      } else {
        const std::string& b = std::get<TSqlBlob>(v).Bytes;
        rc = sqlite3_bind_blob(raw, n, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
      }
      if (rc != SQLITE_OK) Fail(db_.get(), rc, path_);
    }
    TSqlRow values;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      const int columns = sqlite3_column_count(raw);
      // The row's texts keep their buffers from one row to the next: a query over many rows
      // then copies its texts without allocating for each.
      values.resize(static_cast<size_t>(columns));
      for (int c = 0; c < columns; ++c) {
        switch (sqlite3_column_type(raw, c)) {
          case SQLITE_INTEGER:
            values[c] = static_cast<int64_t>(sqlite3_column_int64(raw, c));
            break;
          case SQLITE_FLOAT:
            values[c] = sqlite3_column_double(raw, c);
            break;
          case SQLITE_TEXT: {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, c));
            const size_t size = static_cast<size_t>(sqlite3_column_bytes(raw, c));
            if (auto* kept = std::get_if<std::string>(&values[c]))
              kept->assign(text, size);
            else
              values[c] = std::string(text, size);
            break;
          }
          case SQLITE_BLOB: {
            const void* p = sqlite3_column_blob(raw, c);
            const int size = sqlite3_column_bytes(raw, c);
            values[c] = TSqlBlob{p ? std::string(static_cast<const char*>(p),
                                                 static_cast<size_t>(size))
                                   : std::string()};
            break;
          }
          default:
            values[c] = std::monostate{};
            break;
        }
      }
      row(values);
    }
    if (rc != SQLITE_DONE) Fail(db_.get(), rc, path_);
  }

  std::string Param(int n) const override { return "?" + std::to_string(n); }
  std::string IdColumnType() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }
  std::string BlobType() const override { return "BLOB"; }
  void PrepareForWriting() override {
    // Switching to WAL takes the write lock: done once, when the file is not in WAL yet.
    std::string mode;
    Query("PRAGMA journal_mode", {}, [&](const TSqlRow& row) {
      if (auto* text = std::get_if<std::string>(&row[0])) mode = *text;
    });
    if (mode != "wal" && mode != "memory") Exec("PRAGMA journal_mode=WAL");
  }
  std::string TableCountQuery() const override {
    return "SELECT count(*) FROM sqlite_master WHERE type = 'table'";
  }
  // IMMEDIATE takes the write lock at once (waiting up to the busy time-out), so two writers
  // never both read and then collide on the upgrade.
  void BeginWrite(bool) override { Exec("BEGIN IMMEDIATE"); }

 private:
  std::string path_;
  TDb db_;
};

}  // namespace

std::unique_ptr<TSqlConnection> OpenSqlite(const std::string& path, bool write) {
  return std::make_unique<TSqliteConnection>(path, write);
}
