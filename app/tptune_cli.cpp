// tptune-cli: the tuning run from a terminal.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "app/ConsoleFrontEnd.h"
#include "firmware/Packages.h"
#include "run/Version.h"

namespace {

std::atomic<bool> interrupted{false};

void OnInterrupt(int) {
  // The first Ctrl-C or SIGTERM (from timeout, a service manager, a scheduler) cancels the run:
  // the closing server restore still runs and the trace is written. A second one of either ends
  // the program at once.
  interrupted.store(true);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
  TCliOptions options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (auto problem = ParseCliOptions(args, options)) {
    std::cerr << "tptune-cli: " << *problem << "\n\n" << CliUsage();
    return 2;
  }
  if (options.help) {
    std::cout << CliUsage();
    return 0;
  }
  if (options.version) {
    std::cout << VersionLine("tptune-cli") << '\n';
    return 0;
  }
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  TCliIo io{std::cout, std::cerr, 0, isatty(2) != 0, &interrupted, {}};
  return RunCli(options, ProgramFileName(argv[0]), io);
}
