// The server a Windows test program uses: started beside Wine by tests/records/with-pg-server.sh,
// bound to 127.0.0.1 on the port it names.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "PgServer.h"

TPgServer::TPgServer(bool) {
  const char* port = std::getenv("TPTUNE_TEST_PG_PORT");
  if (!port || !*port)
    throw std::runtime_error("no PostgreSQL server for the Windows tests: run them under "
                             "tests/records/with-pg-server.sh, which starts one on 127.0.0.1");
  host_ = std::string("host=127.0.0.1&port=") + port;
  running_ = true;
}

TPgServer::~TPgServer() = default;

void TPgServer::Stop() {
  throw std::runtime_error("a Windows test program cannot stop the Linux server it uses");
}

void TPgServer::Start() {
  if (!running_) throw std::runtime_error("a Windows test program cannot start a Linux server");
}
