// The throwaway server of the Linux tests: listening only on a Unix socket in its own folder.
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "PgServer.h"

namespace fs = std::filesystem;

namespace {

// The newest installed server's programs (Debian keeps them per major version).
std::string ServerBinDir() {
  std::string best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string name = entry.path().filename().string();
    const int version = std::atoi(name.c_str());
    if (version > bestVersion && fs::exists(entry.path() / "bin" / "initdb")) {
      bestVersion = version;
      best = (entry.path() / "bin").string();
    }
  }
  if (best.empty())
    throw std::runtime_error("no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb); "
                             "run scripts/setup-deps.sh");
  return best;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TPgServer::TPgServer(bool durable)
    : bin_(ServerBinDir()), root_(::geteuid() == 0), durable_(durable) {
  char pattern[] = "/tmp/tptune-pg-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("cannot make a folder for PostgreSQL");
  dir_ = pattern;
  host_ = "host=" + dir_;
  if (root_) {
    // The server refuses to run as root: the folder belongs to an unprivileged user.
    const passwd* user = ::getpwnam("nobody");
    if (!user || ::chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0)
      throw std::runtime_error("cannot hand " + dir_ + " to the user nobody");
  }
  Run(bin_ + "/initdb -D " + dir_ + "/data -A trust -U postgres -E UTF8 --locale=C --no-sync",
      true);
  Start();
}

TPgServer::~TPgServer() {
  try {
    Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stopping PostgreSQL: %s\n", e.what());
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string TPgServer::Run(const std::string& command, bool asServerUser) const {
  const std::string log = dir_ + "/command.log";
  const std::string full = (asServerUser && root_ ? "runuser -u nobody -- " : "") + command +
                           " >" + log + " 2>&1";
  const int status = std::system(full.c_str());
  if (status != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string server = ReadFile(dir_ + "/server.log");
    throw std::runtime_error("\"" + command + "\" failed:\n" + ReadFile(log) +
                             (server.empty() ? "" : "\nserver log:\n" + server));
  }
  return ReadFile(log);
}

void TPgServer::Start() {
  if (running_) return;
  Run(bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ +
          "/server.log -w -t 60 -o \"-c listen_addresses='' -k " + dir_ +
          (durable_ ? "" : " -c fsync=off") + " -c max_connections=40\" start",
      true);
  running_ = true;
}

void TPgServer::Stop() {
  if (!running_) return;
  running_ = false;
  Run(bin_ + "/pg_ctl -D " + dir_ + "/data -m fast -w -t 60 stop", true);
}

