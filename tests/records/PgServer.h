// A throwaway PostgreSQL server for the store tests: a fresh data folder made with initdb,
// listening only on a Unix socket inside that folder, run as an unprivileged user when the tests
// run as root (as in CI), stopped and removed at the end. Starting throws when it cannot be
// done: the tests that need it then fail, they are never skipped.
// A Windows test program under Wine cannot start a Linux server: it uses the one that
// tests/records/with-pg-server.sh started for it on 127.0.0.1 (TPTUNE_TEST_PG_PORT), and cannot
// stop or start it.
#pragma once

#include <string>

class TPgServer {
 public:
  // initdb and start; throws std::runtime_error with the server's log. Durable: the server
  // flushes its commits to disk as a production server does (the tests need not wait for it).
  explicit TPgServer(bool durable = false);
  ~TPgServer();
  TPgServer(const TPgServer&) = delete;
  TPgServer& operator=(const TPgServer&) = delete;

  // A location for a database of its own (created here), so cases do not see each other.
  std::string NewDatabase(const std::string& name);
  // The location of the "postgres" database.
  std::string Location(const std::string& database = "postgres") const;

  void Stop();
  void Start();

 private:
  std::string Run(const std::string& command, bool asServerUser) const;
  std::string dir_, bin_;
  std::string host_;  // how a client reaches the server, as location parameters
  bool root_ = false;
  bool running_ = false;
  bool durable_ = false;
};

// Runs statements on a database of the server as its superuser; throws with the server's text.
void PgExec(const std::string& location, const std::string& sql);
