// tptune-cli: the tuning run from a terminal.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "app/ConsoleFrontEnd.h"

namespace {

std::atomic<bool> interrupted{false};

void OnInterrupt(int) {
  // The first Ctrl-C cancels the run (the closing server restore still runs); a second one
  // ends the program at once.
  interrupted.store(true);
  signal(SIGINT, SIG_DFL);
}

std::string ProgramPath(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0;
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
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  TCliIo io{std::cout, std::cerr, 0, isatty(2) != 0, &interrupted};
  return RunCli(options, ProgramPath(argv[0]), io);
}
