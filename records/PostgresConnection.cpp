// The PostgreSQL back end: one server for a line of stations. Results are read one row at a
// time (single-row mode), so an export never holds the whole table.
#include <libpq-fe.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "records/RecordStore.h"
#include "records/SocketWait.h"
#include "records/SqlConnection.h"

namespace {

// A station must not wait long for a server that does not answer.
constexpr const char* kConnectTimeoutS = "5";
constexpr int kConnectTimeout = 5;
// How long the connection waits for a server that sends nothing at all (a stopped or frozen
// server, whose machine still keeps the connection open) before it gives up; longer than the
// server's own write time-out, which ends every statement that is slow for a reason.
constexpr int kSilenceTimeout = 40;
// The slice a wait is cut into, to notice that the program is ending.
constexpr int kSliceMs = 100;
// How long a write waits for a lock, and how long a write may take in all.
constexpr const char* kLockTimeoutS = "3";
constexpr const char* kWriteTimeoutS = "30";
// Any fixed number: the lock that keeps two stations from creating the schema at once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7305110011)";

// Type numbers of the built-in types the store reads.
constexpr Oid kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700,
              kFloat8 = 701, kNumeric = 1700;

struct TFinish {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
struct TClear {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using TConn = std::unique_ptr<PGconn, TFinish>;
using TResult = std::unique_ptr<PGresult, TClear>;
struct TFreeMem {
  void operator()(unsigned char* p) const noexcept { PQfreemem(p); }
};

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

class TPostgresConnection final : public TSqlConnection {
 public:
  TPostgresConnection(const std::string& location, const std::atomic<bool>* abandon)
      : shown_(ShownLocation(location)), abandon_(abandon) {
    // A server that goes away without a word (a cable pulled) is noticed within seconds, not
    // after the system's TCP time-out; the location may set these otherwise.
    const char* keys[] = {"connect_timeout", "keepalives_idle",  "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout", "dbname",
                          "application_name", nullptr};
    const char* values[] = {kConnectTimeoutS, "5", "2", "3", "10000", location.c_str(), "tptune",
                            nullptr};
    // Connected without blocking, so that the wait can be cut short.
    conn_.reset(PQconnectStartParams(keys, values, 1));
    if (!conn_) throw ERecordError("cannot connect to " + shown_ + ": out of memory");
    for (PostgresPollingStatusType poll = PGRES_POLLING_WRITING;;) {
      if (PQstatus(conn_.get()) == CONNECTION_BAD || poll == PGRES_POLLING_FAILED)
        throw ERecordError("cannot connect to " + shown_ + ": " +
                           Trimmed(PQerrorMessage(conn_.get())));
      if (poll == PGRES_POLLING_OK) break;
      Await(poll == PGRES_POLLING_WRITING, kConnectTimeout, "cannot connect to " + shown_);
      poll = PQconnectPoll(conn_.get());
    }
    if (PQsetnonblocking(conn_.get(), 1) != 0)
      throw ERecordError("cannot connect to " + shown_ + ": " +
                         Trimmed(PQerrorMessage(conn_.get())));
    Exec("SET client_min_messages = warning");
    // A station waits a few seconds for a lock another station holds, then says so; its
    // records wait in the spool meanwhile.
    Exec(std::string("SET lock_timeout = '") + kLockTimeoutS + "s'");
  }

  void Exec(const std::string& sql) override {
    if (!PQsendQuery(conn_.get(), sql.c_str()))
      throw ERecordError(shown_ + ": " + Trimmed(PQerrorMessage(conn_.get())));
    Send();
    // Every result is fetched; the first that failed is raised.
    std::exception_ptr problem;
    while (PGresult* raw = NextResult()) {
      TResult r(raw);
      if (problem) continue;
      try {
        Check(raw);
      } catch (...) {
        problem = std::current_exception();
      }
    }
    if (problem) std::rethrow_exception(problem);
  }

  void Query(const std::string& sql, const std::vector<TSqlValue>& params,
             const std::function<void(const TSqlRow&)>& row) override {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> pointers(params.size(), nullptr);
    std::vector<int> lengths(params.size(), 0), formats(params.size(), 0);
    for (size_t i = 0; i < params.size(); ++i) {
      const TSqlValue& v = params[i];
      if (std::holds_alternative<std::monostate>(v)) continue;
      if (auto* x = std::get_if<int64_t>(&v)) {
        texts[i] = std::to_string(*x);
      } else if (auto* d = std::get_if<double>(&v)) {
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, *d);
        texts[i].assign(buffer, result.ptr);
      } else if (auto* s = std::get_if<std::string>(&v)) {
        texts[i] = *s;
      } else {
        texts[i] = std::get<TSqlBlob>(v).Bytes;
        formats[i] = 1;  // binary: the bytes as they are
      }
      pointers[i] = texts[i].data();
      lengths[i] = static_cast<int>(texts[i].size());
    }
    if (!PQsendQueryParams(conn_.get(), sql.c_str(), static_cast<int>(params.size()), nullptr,
                           pointers.data(), lengths.data(), formats.data(), 0))
      throw ERecordError(shown_ + ": " + Trimmed(PQerrorMessage(conn_.get())));
    PQsetSingleRowMode(conn_.get());
    Send();

    // Every result must be fetched before the connection takes the next command, also when a
    // row handler throws; the first problem is raised afterwards.
    std::exception_ptr problem;
    TSqlRow values;
    while (PGresult* raw = NextResult()) {
      TResult r(raw);
      if (problem) continue;
      const ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE) {
        try {
          Convert(raw, values);
          row(values);
        } catch (...) {
          problem = std::current_exception();
        }
      } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        try {
          Check(raw);
        } catch (...) {
          problem = std::current_exception();
        }
      }
    }
    if (problem) std::rethrow_exception(problem);
    if (PQstatus(conn_.get()) != CONNECTION_OK)
      throw ERecordError(shown_ + ": " + Trimmed(PQerrorMessage(conn_.get())));
  }

  std::string Param(int n) const override { return "$" + std::to_string(n); }
  std::string IdColumnType() const override { return "BIGSERIAL PRIMARY KEY"; }
  std::string BlobType() const override { return "BYTEA"; }
  std::string TableCountQuery() const override {
    return "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()";
  }
  void BeginWrite(bool schema) override {
    Exec("BEGIN");
    Exec(std::string("SET LOCAL statement_timeout = '") + kWriteTimeoutS + "s'");
    if (schema) Exec(kSchemaLock);
  }

 private:
  // Waits until the socket is ready, in short slices: gives up when the program is ending or
  // when the server has sent nothing for seconds.
  void Await(bool write, int timeoutS, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
    for (;;) {
      if (abandon_ && abandon_->load())
        throw ERecordError(what + ": given up, the program is ending");
      const int ready = WaitSocket(PQsocket(conn_.get()), write, kSliceMs);
      if (ready != 0) return;  // ready, or an error libpq reports itself on its next call
      if (std::chrono::steady_clock::now() >= deadline)
        throw ERecordError(what + ": the server did not answer within " +
                           std::to_string(timeoutS) + " s");
    }
  }

  // Sends what libpq still holds of a command.
  void Send() {
    for (;;) {
      const int left = PQflush(conn_.get());
      if (left == 0) return;
      if (left < 0) throw ERecordError(shown_ + ": " + Trimmed(PQerrorMessage(conn_.get())));
      Await(true, kSilenceTimeout, shown_);
      // The server may be answering meanwhile (a notice, an error): take it in.
      if (!PQconsumeInput(conn_.get()))
        throw ERecordError(shown_ + ": " + Trimmed(PQerrorMessage(conn_.get())));
    }
  }

  // The command's next result (null after the last), waiting for the server as Await does.
  PGresult* NextResult() {
    while (PQisBusy(conn_.get())) {
      Await(false, kSilenceTimeout, shown_);
      if (!PQconsumeInput(conn_.get()))
        throw ERecordError(shown_ + ": " + Trimmed(PQerrorMessage(conn_.get())));
    }
    return PQgetResult(conn_.get());
  }

  void Check(PGresult* r) {
    const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    std::string text = r ? Trimmed(PQresultErrorMessage(r)) : "";
    if (text.empty()) text = Trimmed(PQerrorMessage(conn_.get()));
    const std::string code = state ? state : "";
    // The time-outs by their names, not as a cancelled statement.
    if (code == "55P03")
      text = std::string("the records are locked by another station (waited ") + kLockTimeoutS +
             " s): " + text;
    else if (code == "57014")
      text = std::string("the server did not finish within ") + kWriteTimeoutS +
             " s (statement time-out): " + text;
    else if (code == "42501")
      text += " (a role that may only read and insert records needs the schema made first: "
              "tptune-records init, run by the database's administrator)";
    throw ERecordError(shown_ + ": " + text, 0, code);
  }

  static void Convert(PGresult* r, TSqlRow& values) {
    const int columns = PQnfields(r);
    values.assign(static_cast<size_t>(columns), std::monostate{});
    for (int c = 0; c < columns; ++c) {
      if (PQgetisnull(r, 0, c)) continue;
      const char* text = PQgetvalue(r, 0, c);
      const int length = PQgetlength(r, 0, c);
      switch (PQftype(r, c)) {
        case kInt2:
        case kInt4:
        case kInt8: {
          int64_t x = 0;
          std::from_chars(text, text + length, x);
          values[c] = x;
          break;
        }
        case kBool:
          values[c] = static_cast<int64_t>(text[0] == 't');
          break;
        case kFloat4:
        case kFloat8:
        case kNumeric: {
          double d = 0;
          std::from_chars(text, text + length, d);
          values[c] = d;
          break;
        }
        case kBytea: {
          size_t size = 0;
          std::unique_ptr<unsigned char, TFreeMem> bytes(
              PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size));
          values[c] = TSqlBlob{bytes ? std::string(reinterpret_cast<char*>(bytes.get()), size)
                                     : std::string()};
          break;
        }
        default:
          values[c] = std::string(text, static_cast<size_t>(length));
          break;
      }
    }
  }

  std::string shown_;
  const std::atomic<bool>* abandon_;
  TConn conn_;
};

}  // namespace

std::unique_ptr<TSqlConnection> OpenPostgres(const std::string& location,
                                             const std::atomic<bool>* abandon) {
  return std::make_unique<TPostgresConnection>(location, abandon);
}
