// tptune-sim: the emulated bench served on the network (Linux).
//
//   tptune-sim [SCENARIO.json] --listen HOST:PORT [--speed-factor F] [--echo] [--report FILE]
//              [--drop-after NAME:N] [--notify-interval SECONDS]
//
// Each bench port (SIM1, SIM2, …) becomes a Telnet COM Port Control server on PORT, PORT+1, …
// (PORT 0: free ports of the system's choice). The served addresses are printed one a line
// ("SIM1 rfc2217://127.0.0.1:4001") and then "ready". The bench runs in wall time times the
// speed factor. On SIGINT or SIGTERM the server stops and writes the bench report.
#include <sys/prctl.h>

#include <csignal>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "run/Version.h"
#include "sim/Bench.h"
#include "sim/BenchServer.h"

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop.store(true); }

const char kUsage[] =
    "Usage: tptune-sim [SCENARIO.json] --listen HOST:PORT [--speed-factor F] [--echo]\n"
    "                  [--report FILE] [--drop-after NAME:N] [--notify-interval S]\n"
    "\n"
    "Options:\n"
    "  --listen HOST:PORT   first TCP port; the bench's ports follow on PORT+1, ...\n"
    "                       (default 127.0.0.1:4001; PORT 0: free ports)\n"
    "  --speed-factor F     virtual time runs F times wall time (default 1)\n"
    "  --echo               one port that echoes every byte, DSR following DTR\n"
    "  --report FILE        write the bench report when stopped\n"
    "  --drop-after NAME:N  close NAME's connection after N bytes from its client\n"
    "  --notify-interval S  tell modem line changes as a device server that polls its\n"
    "                       lines every S seconds does: up to S late, short ones not at all\n"
    "  --version            show the program's version and build date\n";

int Usage(const std::string& problem) {
  std::cerr << "tptune-sim: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TBenchServerOptions options;
  options.signature = VersionLine("tptune-sim");
  std::string scenario, report;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& to) {
      if (i + 1 >= argc) return false;
      to = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--listen") {
      if (!value(v)) return Usage("--listen needs HOST:PORT");
      const size_t colon = v.rfind(':');
      if (colon == std::string::npos) return Usage("--listen needs HOST:PORT");
      options.host = v.substr(0, colon);
      if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']')
        options.host = options.host.substr(1, options.host.size() - 2);
      try {
        options.firstPort = std::stoi(v.substr(colon + 1));
      } catch (const std::exception&) {
        return Usage("bad port in --listen " + v);
      }
    } else if (a == "--speed-factor") {
      if (!value(v)) return Usage("--speed-factor needs a number");
      try {
        options.speedFactor = std::stod(v);
      } catch (const std::exception&) {
        return Usage("bad --speed-factor " + v);
      }
      if (options.speedFactor <= 0) return Usage("--speed-factor must be above 0");
    } else if (a == "--notify-interval") {
      if (!value(v)) return Usage("--notify-interval needs a number of seconds");
      try {
        options.notifyInterval = std::stod(v);
      } catch (const std::exception&) {
        return Usage("bad --notify-interval " + v);
      }
      if (!(options.notifyInterval >= 0 && options.notifyInterval <= 60))
        return Usage("--notify-interval must be between 0 and 60 seconds");
    } else if (a == "--echo") {
      options.echo = true;
    } else if (a == "--report") {
      if (!value(report)) return Usage("--report needs a file");
    } else if (a == "--drop-after") {
      if (!value(v)) return Usage("--drop-after needs NAME:N");
      const size_t colon = v.rfind(':');
      try {
        options.dropPort = v.substr(0, colon);
        options.dropAfter = std::stoull(v.substr(colon + 1));
      } catch (const std::exception&) {
        return Usage("bad --drop-after " + v);
      }
    } else if (a == "--help" || a == "-h") {
      std::cout << "Serves the emulated bench's ports to other programs over the network, each as "
                   "an RFC 2217 server.\n"
                << kUsage;
      return 0;
    } else if (a == "--version") {
      std::cout << VersionLine("tptune-sim") << "\n";
      return 0;
    } else if (a.rfind("--", 0) != 0 && scenario.empty()) {
      scenario = a;
    } else {
      return Usage("unknown option " + a);
    }
  }

  std::unique_ptr<TBench> bench;
  std::unique_ptr<TBenchServer> server;
  try {
    if (!options.echo)
      bench = std::make_unique<TBench>(scenario.empty() ? TBench::DefaultScenario()
                                                        : TBench::LoadScenario(scenario));
    server = std::make_unique<TBenchServer>(bench.get(), options);
  } catch (const std::exception& e) {
    std::cerr << "tptune-sim: " << e.what() << "\n";
    return 1;
  }
  // The loop sleeps until the next byte arrives on a line, a few microseconds at high speed
  // factors; the default timer slack (50 us) would add that much to every wake-up.
  prctl(PR_SET_TIMERSLACK, 1UL);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  for (const std::string& e : server->Endpoints()) std::cout << e << "\n";
  std::cout << "ready" << std::endl;

  server->Run(gStop);
  server.reset();  // the clients' ports close as their cables would be pulled
  if (bench && !report.empty()) {
    try {
      bench->WriteReport(report);
    } catch (const std::exception& e) {
      std::cerr << "tptune-sim: " << e.what() << "\n";
      return 1;
    }
  }
  std::cout << "stopped" << std::endl;
  return 0;
}
