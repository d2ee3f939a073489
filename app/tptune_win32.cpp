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
#include <memory>
#include <string>
#include <vector>

#include "firmware/Packages.h"
#include "front/WindowOptions.h"
#include "win32/MainWindow.h"
#include "win32/RecordsWindow.h"
#include "win32/WideText.h"

namespace {

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

// The arguments as UTF-8, from the wide command line (file names in any script).
std::vector<std::string> Arguments() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(Utf8(argv[i]));
  LocalFree(argv);
  return args;
}

}  // namespace

int main() {
  std::vector<std::string> args = Arguments();
  if (!args.empty()) args.erase(args.begin());
  const TWindowCommand command = ParseWindowCommand(args);
  if (command.Ask != TWindowAsk::kRun) {
    const bool unusable = command.Ask == TWindowAsk::kUnusable;
    Say(command.Text, unusable);
    return unusable ? 2 : 0;
  }

  // The bench lives as long as the window; the records outlive the window, whose last run may
  // still hand one over.
  const std::string programPath = ProgramFileName("");
  TWindowStart start;
  try {
    start = StartWindow(command.Options, programPath);
  } catch (const std::exception& e) {
    Say(std::string("tptune: ") + e.what() + "\n", true);
    return 2;
  }
  if (!start.RecordsNote.empty()) Say("tptune: " + start.RecordsNote + "\n", true);

  // The Records window beside the main window: made on first use, it goes after the main window.
  TRecordsWindowHost recordsWindow;

  TWin32MainOptions windowOptions;
  windowOptions.ProgramPath = programPath;
  windowOptions.Setup = &start.Setup;
  windowOptions.Records = start.Records.get();
  windowOptions.OpenRecords = [&recordsWindow](HWND owner, const std::string& location,
                                               const std::string& driftSettings) {
    recordsWindow.Open(owner, {location, driftSettings});
  };
  windowOptions.RecordsWritten = [&recordsWindow] { recordsWindow.RecordsWritten(); };
  windowOptions.PreTranslate = [&recordsWindow](MSG& message) {
    return recordsWindow.PreTranslate(message);
  };
  if (start.Bench) windowOptions.RunClock = &start.Bench->VirtualClock();
  TWin32Main window(windowOptions);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  const int show =
      (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  return window.Run(show);
}
