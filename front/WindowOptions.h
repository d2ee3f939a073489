// The window's command line and what it opens with, alike for the Qt window (tptune on Linux)
// and the Win32 window (tptune.exe): the usage text, the options (--bench [SCENARIO.json],
// --bench-speed, --records, --operator, --work-order, --help, --version), and the set-up after
// them: the emulated bench, the front-end set-up and the record sink.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "front/FrontEndSetup.h"
#include "records/RecordSink.h"
#include "sim/Bench.h"

// The window's --help text.
std::string WindowUsage();

struct TWindowOptions {
  bool Bench = false;
  std::string Scenario;  // the bench's scenario file; empty for the default scenario
  double Speed = 1.0;    // the bench's clock against wall time
  std::string Records;   // empty: the default file; "none": no records
  std::string Operator, WorkOrder;
  // The options only one window has (named to the parse), each with its value.
  std::map<std::string, std::string> Own;
};

// What the command line asks the window for.
enum class TWindowAsk { kRun, kHelp, kVersion, kUnusable };
struct TWindowCommand {
  TWindowAsk Ask = TWindowAsk::kRun;
  TWindowOptions Options;  // for kRun
  // What to say, with its line end: the usage (kHelp, for the standard output), the version
  // line (kVersion, likewise) or why the options cannot be used (kUnusable, for the errors).
  std::string Text;
};

// The arguments after the program's name. --help and --version are answered wherever they stand,
// before any unusable option. ownOptions names the options with a value that only the calling
// window knows.
TWindowCommand ParseWindowCommand(const std::vector<std::string>& args,
                                  const std::vector<std::string>& ownOptions = {});

// What a window opens with. The members go in reverse order: the records before the bench whose
// runs they keep.
struct TWindowStart {
  std::unique_ptr<TBench> Bench;  // null without --bench; its ports are offered while it exists
  TFrontEndSetup Setup;
  std::string RecordsNote;               // a line for the log when records can only be spooled
  std::unique_ptr<TRecordSink> Records;  // null when no records are kept
};

// The bench (paced to wall time), the set-up as the console works it out (program files,
// records, bundle, demo packages) with the operator and work order, and the record sink;
// throws when the bench's scenario cannot be read, or records cannot be kept where they go
// (the text says why and what to do).
TWindowStart StartWindow(const TWindowOptions& options, const std::string& programPath);
