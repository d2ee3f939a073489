// tptune-cli: the tuning run from a terminal.
#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "app/ConsoleFrontEnd.h"
#include "app/ConsolePlatform.h"
#include "firmware/Packages.h"
#include "run/Paths.h"
#include "run/Version.h"

namespace {

// The first Ctrl-C (or SIGTERM, as sent by timeout, service managers and schedulers) cancels the
// run: the closing server restore still runs and the files are written. A second one ends the
// program at once.
std::atomic<bool> interrupted{false};

}  // namespace

int main(int argc, char** argv) {
  TCliOptions options;
  // File names and the operator's name in UTF-8, whatever the system's code page.
  std::vector<std::string> args = ProgramArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  // A double click gives no options and a console window that closes with the program: say what
  // it needs and keep the window open until the operator has read it.
  if (auto help = NoOptionsHelp(args, HasOwnConsole())) {
    std::cerr << *help;
    WaitForKeyPress();
    return 2;
  }
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
