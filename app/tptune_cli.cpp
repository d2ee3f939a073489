// tptune-cli: the tuning run from a terminal.
#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "app/ConsoleFrontEnd.h"
#include "app/ConsolePlatform.h"
#include "firmware/Packages.h"
#include "run/Version.h"

namespace {

// The first Ctrl-C (or SIGTERM, as sent by timeout, service managers and schedulers) cancels the
// run: the closing server restore still runs and the files are written. A second one ends the
// program at once.
std::atomic<bool> interrupted{false};

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
  InstallInterruptHandler(interrupted);

  TCliIo io{std::cout, std::cerr, 0, IsTerminal(2), &interrupted, {}};
  return RunCli(options, ProgramFileName(argv[0]), io);
}
