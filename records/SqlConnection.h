// Internal: one connection to a SQL back end, as the record store uses it. The store's queries
// are written once; a connection supplies the dialect's few differences.
#pragma once

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
  // Starts a write transaction that keeps other writers out until it ends; with schema, also
  // other processes creating or changing the schema.
  virtual void BeginWrite(bool schema) = 0;
};

// Throw ERecordError on failure.
std::unique_ptr<TSqlConnection> OpenSqlite(const std::string& path, bool create);
std::unique_ptr<TSqlConnection> OpenPostgres(const std::string& location);

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
