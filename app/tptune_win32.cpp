// tptune.exe: the fine-tuning tool's window on Windows.
//
//   tptune                          the devices on the PC's serial ports
//   tptune --bench [SCENARIO.json]  the port lists also offer the emulated bench's ports; runs
//                                   on the bench follow its clock, paced to wall time
//
// A program of the Windows GUI subsystem: it has no console of its own. What it has to say
// before the window opens (--help, --version, unusable options) goes to the standard streams
// it was given, else to the console it was started from, else into a message box.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "firmware/Packages.h"
#include "front/FrontEndSetup.h"
#include "run/Version.h"
#include "sim/Bench.h"
#include "win32/MainWindow.h"
#include "win32/RecordsWindow.h"
#include "win32/WideText.h"

namespace {

const char kUsage[] =
    "Usage: tptune [--bench [SCENARIO.json]] [--bench-speed FACTOR] [--records LOCATION|none]\n"
    "              [--operator NAME] [--work-order TEXT]\n"
    "\n"
    "Options:\n"
    "  --bench [SCENARIO.json]  also offer the emulated bench's ports (default scenario when no\n"
    "                           file is named); runs on them follow the bench's clock\n"
    "  --bench-speed FACTOR     how fast the bench's clock runs against wall time (default 1)\n"
    "  --records LOCATION|none  where the production records go: a SQLite file or a\n"
    "                           postgresql:// server (default: tptune.db beside the\n"
    "                           settings file, in the user's data folder for an installed\n"
    "                           program; with --bench tptune-bench.db)\n"
    "  --operator NAME          who runs the station, kept in every record\n"
    "  --work-order TEXT        the work order or lot, kept in every record\n"
    "  --help                   show this text\n"
    "  --version                show the program's version and build date\n";

// Says text on the given stream when the program has one, else on the console of the program
// that started it, else in a message box.
void Say(const std::string& text, bool error) {
  const DWORD which = error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
      std::freopen("CONOUT$", "w", error ? stderr : stdout);
      h = GetStdHandle(which);
    }
  }
  if (h != nullptr && h != INVALID_HANDLE_VALUE) {
    std::FILE* f = error ? stderr : stdout;
    std::fputs(text.c_str(), f);
    std::fflush(f);
    return;
  }
  MessageBoxW(nullptr, Wide(text).c_str(), L"tptune",
              MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

struct TProgramOptions {
  bool bench = false;
  std::string scenario;
  double speed = 1.0;
  std::string records;  // empty: the default file; "none": no records
  std::string operatorName, workOrder;
};

// The arguments as UTF-8, from the wide command line (file names in any script).
std::vector<std::string> Arguments() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(Utf8(argv[i]));
  LocalFree(argv);
  return args;
}

// 0: go on; else the exit code (help and version shown, or unusable options).
int ParseOptions(const std::vector<std::string>& args, TProgramOptions& o) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0;
    if (a == "--help") {
      Say(kUsage, false);
      return -1;
    }
    if (a == "--version") {
      Say(VersionLine("tptune") + "\n", false);
      return -1;
    }
    if (a == "--bench") {
      o.bench = true;
      if (hasValue) o.scenario = args[++i];
    } else if (a == "--bench-speed" && hasValue) {
      try {
        size_t used = 0;
        o.speed = std::stod(args[++i], &used);
        if (used != args[i].size()) o.speed = 0;
      } catch (const std::exception&) {
        o.speed = 0;
      }
      if (!(o.speed > 0)) {
        Say("tptune: --bench-speed needs a factor above 0\n", true);
        return 2;
      }
    } else if (a == "--records" && hasValue) {
      o.records = args[++i];
    } else if (a == "--operator" && hasValue) {
      o.operatorName = args[++i];
    } else if (a == "--work-order" && hasValue) {
      o.workOrder = args[++i];
    } else {
      Say("tptune: unknown option \"" + a + "\"\n\n" + kUsage, true);
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main() {
  TProgramOptions options;
  if (const int code = ParseOptions(Arguments(), options)) return code < 0 ? 0 : code;

  // The bench lives as long as the window: its ports are offered while it exists.
  std::unique_ptr<TBench> bench;
  if (options.bench) {
    try {
      bench = std::make_unique<TBench>(options.scenario.empty()
                                           ? TBench::DefaultScenario()
                                           : TBench::LoadScenario(options.scenario));
    } catch (const std::exception& e) {
      Say(std::string("tptune: ") + e.what() + "\n", true);
      return 2;
    }
    bench->SetPaced(options.speed);
  }

  // Program files, records, bundle and demo packages as the console works them out.
  const std::string programPath = ProgramFileName("");
  TFrontEndSetup setup = FrontEndSetup({programPath, bench != nullptr, options.records});
  setup.Operator = options.operatorName;
  setup.WorkOrder = options.workOrder;
  // The records outlive the window, whose last run may still hand one over.
  const std::unique_ptr<TRecordSink> records = OpenRecordSink(setup, "tptune", std::cerr);

  // The Records window beside the main window: made on first use, it goes after the main window.
  TRecordsWindowHost recordsWindow;

  TWin32MainOptions windowOptions;
  windowOptions.ProgramPath = programPath;
  windowOptions.Setup = &setup;
  windowOptions.Records = records.get();
  windowOptions.OpenRecords = [&recordsWindow](HWND owner, const std::string& location,
                                               const std::string& driftSettings) {
    recordsWindow.Open(owner, {location, driftSettings});
  };
  windowOptions.RecordsWritten = [&recordsWindow] { recordsWindow.RecordsWritten(); };
  windowOptions.PreTranslate = [&recordsWindow](MSG& message) {
    return recordsWindow.PreTranslate(message);
  };
  if (bench) windowOptions.RunClock = &bench->VirtualClock();
  TWin32Main window(windowOptions);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  const int show =
      (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  return window.Run(show);
}
