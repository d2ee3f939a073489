// Internal: one connection to a SQL back end, as the record store uses it. The store's queries
// are written once; a connection supplies the dialect's few differences.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

struct TSqlBlob {
  std::string Bytes;
};
using TSqlValue = std::variant<std::monostate, int64_t, double, std::string, TSqlBlob>;
using TSqlRow = std::vector<TSqlValue>;

class TSqlConnection {
 public:
  virtual ~TSqlConnection() = default;
  // Statements without parameters or results (several may be given at once).
  virtual void Exec(const std::string& sql) = 0;
  // One statement; each result row is handed over as it arrives.
  virtual void Query(const std::string& sql, const std::vector<TSqlValue>& params,
                     const std::function<void(const TSqlRow&)>& row) = 0;
  // Parameter n (from 1) in the dialect: ?1 or $1.
  virtual std::string Param(int n) const = 0;
  // Column types of the dialect: the record number and binary data.
  virtual std::string IdColumnType() const = 0;
  virtual std::string BlobType() const = 0;
  // The store is known to be a record store (or a new, empty one) that records are written to:
  // the settings that change the file itself are made now, never on another program's file.
  virtual void PrepareForWriting() {}
  // A query of one row and column: how many tables the database holds.
  virtual std::string TableCountQuery() const = 0;
  // Starts a write transaction that keeps other writers out until it ends; with schema, also
  // other processes creating or changing the schema.
  virtual void BeginWrite(bool schema) = 0;
};

// Throw ERecordError on failure. A SQLite store opened for writing is made when missing; one
// opened for reading is opened read-only ("file:" URIs are taken, e.g. "?immutable=1").
std::unique_ptr<TSqlConnection> OpenSqlite(const std::string& path, bool write);
// A PostgreSQL connection waits for its server only while abandon (optional) is not set, and
// never longer than its time-outs.
std::unique_ptr<TSqlConnection> OpenPostgres(const std::string& location,
                                             const std::atomic<bool>* abandon = nullptr);

// Rolls back in its destructor unless committed.
class TSqlTransaction {
 public:
  TSqlTransaction(TSqlConnection& c, bool schema) : c_(c) { c_.BeginWrite(schema); }
  ~TSqlTransaction() noexcept {
    if (open_) {
      try {
        c_.Exec("ROLLBACK");
      } catch (...) {
        // The connection is gone; the back end drops the transaction with it.
      }
    }
  }
  TSqlTransaction(const TSqlTransaction&) = delete;
  TSqlTransaction& operator=(const TSqlTransaction&) = delete;
  void Commit() {
    c_.Exec("COMMIT");
    open_ = false;
  }

 private:
  TSqlConnection& c_;
  bool open_ = true;
};
