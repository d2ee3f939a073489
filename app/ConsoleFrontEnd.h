// The console front end: the same run as the window, driven from a terminal. The log goes to
// standard output as it happens, progress to standard error, and the prompts are answered from
// a list given on the command line, then from standard input (one word a line).
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "run/Clock.h"

struct TCliOptions {
  bool help = false;
  bool version = false;
  bool listPorts = false;
  bool goldHandheld = false;
  bool analysisOnly = false;
  bool restoreServer = false;
  bool restoreHandheld = false;
  std::string dongle = "auto";
  std::string server = "auto";
  std::string rfModem, eeprom, serverFirmware;
  bool bench = false;
  std::string benchScenario;  // empty: the bench's default scenario
  std::string benchReport;
  std::string trace;
  std::vector<std::string> answers;
  // Production records: where they go (empty: the default file beside the program; "none":
  // nowhere), and whether each finished device is printed as one JSON line.
  std::string records;
  bool json = false;
  // Written into every record: who runs the station, and the work order or lot.
  std::string operatorName, workOrder;
};

// Parses the command line (without the program name). Returns an error text for unusable
// options, or nothing.
std::optional<std::string> ParseCliOptions(const std::vector<std::string>& args,
                                           TCliOptions& options);

std::string CliUsage();

// Started without options in a console window of its own (a double click in the file manager):
// the short text that says what the program needs, for the window to show before it closes.
// Nothing otherwise: from a console or a script, no options is an ordinary run.
std::optional<std::string> NoOptionsHelp(const std::vector<std::string>& args, bool ownConsole);

struct TCliIo {
  std::ostream& out;               // the log and the prompts
  std::ostream& err;               // progress and problems
  int answerFd = 0;                // where answers come from once the list is used up
  bool progressBar = false;        // a bar that redraws itself (on a terminal), else lines
  const std::atomic<bool>* interrupted = nullptr;  // set by Ctrl-C or SIGTERM: Cancel
  // A bench run's clock, given the bench's virtual clock and a way to cancel the run that may be
  // called from the run's own thread (the soak plays an operator who gives up after a long wait,
  // at a repeatable virtual time). Unset: the bench's clock.
  std::function<Clock&(Clock& benchClock, std::function<void()> cancelRun)> wrapBenchClock;
};

// The exit status of a job in which a device's record could be kept nowhere.
inline constexpr int kExitRecordNotKept = 3;

// Runs the job the options describe and returns the exit status: 0 when the last attempt on
// every device the run tuned ended "Completed successfully!", 1 otherwise, 2 for options that
// cannot be used.
int RunCli(const TCliOptions& options, const std::string& programPath, TCliIo& io);
