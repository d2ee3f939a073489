// The console front end's platform services on Windows: waiting on the standard input handle
// (a console, a pipe or a file), a console control handler for Ctrl-C, and whether the console
// window is the program's own.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "app/ConsolePlatform.h"

namespace {

TInputResult ReadSome(int fd, std::string& buffer) {
  char chunk[256];
  const int n = _read(fd, chunk, sizeof chunk);
  if (n <= 0) return TInputResult::kEnd;
  buffer.append(chunk, static_cast<size_t>(n));
  return TInputResult::kData;
}

}  // namespace

TInputResult ReadAvailableInput(int fd, std::string& buffer, int timeoutMs) {
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE) return TInputResult::kEnd;
  switch (GetFileType(h)) {
    case FILE_TYPE_PIPE: {
      // A pipe says how much it holds without blocking; a closed writer ends the input.
      const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
      for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr))
          return TInputResult::kEnd;  // the writer closed it (or it broke)
        if (available > 0) return ReadSome(fd, buffer);
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return TInputResult::kNothingYet;
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 10)));
      }
    }
    case FILE_TYPE_CHAR: {
      // A console is signalled when input events are queued; the line is read once the
      // operator typed something (the read returns with the line).
      if (WaitForSingleObject(h, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
        return TInputResult::kNothingYet;
      DWORD mode = 0;
      if (GetConsoleMode(h, &mode)) {
        INPUT_RECORD records[16];
        DWORD count = 0;
        if (!PeekConsoleInputW(h, records, 16, &count)) return TInputResult::kEnd;
        const bool keys = std::any_of(records, records + count, [](const INPUT_RECORD& r) {
          return r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown;
        });
        if (!keys) {
          // Focus, mouse and size events: not input for us.
          FlushConsoleInputBuffer(h);
          return TInputResult::kNothingYet;
        }
      }
      return ReadSome(fd, buffer);
    }
    default:
      // A file (or the null device): reads never block, and 0 bytes is its end.
      return ReadSome(fd, buffer);
  }
}

namespace {

std::atomic<bool>* interruptFlag = nullptr;

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  // The first Ctrl-C is ours; the next one goes to the system's handler, which ends the program.
  if (interruptFlag->exchange(true)) return FALSE;
  return TRUE;
}

}  // namespace

void InstallInterruptHandler(std::atomic<bool>& interrupted) {
  interruptFlag = &interrupted;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool IsTerminal(int fd) { return _isatty(fd) != 0; }

bool HasOwnConsole() {
  // A console started for this program alone lists only this process; cmd.exe, PowerShell and
  // a script's console list themselves as well. No console at all lists none.
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

void WaitForKeyPress() {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;  // no keyboard to wait for
  std::fputs("Press any key to close this window.\n", stderr);
  std::fflush(stderr);
  FlushConsoleInputBuffer(in);
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputW(in, &record, 1, &count) || count == 0) return;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
  }
}
