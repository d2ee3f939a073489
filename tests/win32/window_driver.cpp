// Drives the Win32 window from outside, as an operator would, through one whole run on the
// emulated bench: it starts the window program, finds the window by its class and its controls
// by their numbers, clicks Start, Ok, Yes, Yes and No, reads the log back from the window when
// the run has ended, returns to the set-up view, opens the Records window on the run's records,
// tries the access keys (Alt+A ticks analysis only, Alt+G moves to the golden reference, Alt+T
// chooses the TallyPilot), and ends the program with Alt+E (Exit), which writes the settings
// file.
//
//   window_driver.exe LOG.txt [--shots DIR] -- PROGRAM [ARGS...]
//   window_driver.exe LOG.txt --layout DPI -- PROGRAM [ARGS...]
//
// With --layout, the driver only checks that the set-up view is laid out for the given DPI
// (the design's sizes scaled) and ends the program.
// LOG.txt gets the log as the window shows it (UTF-8, lines ended by LF), and LOG.txt.status
// the outcome ("ok", or the step that failed), for a driver started where its exit status is
// lost (inside a Wine desktop of its own). With --shots, the
// driver waits at each stage for a file DIR\STAGE.done to appear (someone outside photographs
// the screen meanwhile and then writes it) after writing DIR\STAGE.ready. Exit status 0 when
// every step went as expected; otherwise 1 with the step that failed on standard error.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "win32/MainControls.h"

namespace {

using Clock = std::chrono::steady_clock;

// A whole handheld on the bench's clock, paced; bounds only the computer's own work.
constexpr auto kStepTimeout = std::chrono::seconds(300);

DWORD g_process = 0;
DWORD g_thread = 0;
HANDLE g_processHandle = nullptr;
HWND g_window = nullptr;
std::wstring g_shots;
std::wstring g_status;

void Outcome(const std::string& text) {
  if (!g_status.empty()) std::ofstream(std::filesystem::path(g_status)) << text << '\n';
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "window driver: %s\n", what.c_str());
  std::fflush(stderr);
  Outcome(what);
  if (g_processHandle) TerminateProcess(g_processHandle, 3);
  std::exit(1);
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

HWND Control(int id) {
  HWND c = GetDlgItem(g_window, id);
  if (!c) Fail("control " + std::to_string(id) + " not found");
  return c;
}

// The text of a control of the other process (WM_GETTEXT is carried across processes).
std::wstring Text(int id) {
  HWND c = Control(id);
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(c, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 10000, &length))
    Fail("the window does not answer");
  std::wstring s(length + 1, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(c, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()),
                      SMTO_ABORTIFHUNG, 10000, &got);
  s.resize(got);
  return s;
}

bool Visible(int id) { return IsWindowVisible(Control(id)) != FALSE; }

bool Checked(int id) {
  DWORD_PTR state = 0;
  SendMessageTimeoutW(Control(id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 10000, &state);
  return state == BST_CHECKED;
}

HWND Focus() {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  return GetGUIThreadInfo(g_thread, &info) ? info.hwndFocus : nullptr;
}

// Posted, so that the driver never waits on a handler (Cancel waits for the run's end).
void Click(int id) { PostMessageW(Control(id), BM_CLICK, 0, 0); }

// An access key: Alt and the letter, as the keyboard sends it to the control with the focus.
void AltKey(wchar_t letter) {
  HWND target = Focus();
  if (!target) target = g_window;
  PostMessageW(target, WM_SYSCHAR, letter, 0x20000001);
}

void WaitFor(const std::string& what, const std::function<bool()>& done,
             std::chrono::milliseconds timeout = kStepTimeout) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > end)
      Fail("timed out waiting for " + what + " (the focus is on control " +
           std::to_string(GetDlgCtrlID(Focus())) + ")");
    DWORD code = STILL_ACTIVE;
    if (GetExitCodeProcess(g_processHandle, &code) && code != STILL_ACTIVE)
      Fail("the window program ended (exit status " + std::to_string(code) +
           ") while waiting for " + what);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Which of the five views the window shows, judged by what is visible.
std::string View() {
  if (Visible(idTPGroup)) return "set-up";
  const std::wstring start = Text(idStartBut), exit = Text(idExitBut);
  if (!Visible(idExitBut)) return Visible(idStartBut) && Visible(idLogMemo) ? "ended" : "other";
  if (Visible(idStatTxt) && Visible(idStartBut)) {
    if (start == L"&Yes" && exit == L"&No") return "yes-no";
    if (start == L"&Ok" && exit == L"&Cancel") return "ok-prompt";
    return "other";
  }
  return !Visible(idStartBut) && exit == L"&Cancel" ? "running" : "other";
}

// The Records button opens the Records window over the records the run kept: one for each of the
// three handhelds it tuned (Ok, Yes, Yes, No). Closed, the window hides and the main window is
// the active one again.
void CheckRecords() {
  if (!IsWindowEnabled(Control(idRecordsBut))) Fail("the Records button is disabled after a run");
  Click(idRecordsBut);
  HWND records = nullptr;
  WaitFor("the Records window", [&] {
    records = FindWindowW(L"TptuneRecords", nullptr);
    return records != nullptr && IsWindowVisible(records);
  }, std::chrono::seconds(30));
  HWND list = nullptr;
  EnumChildWindows(
      records,
      [](HWND child, LPARAM found) -> BOOL {
        wchar_t cls[64] = {};
        GetClassNameW(child, cls, 64);
        if (std::wcscmp(cls, L"SysListView32") != 0) return TRUE;
        *reinterpret_cast<HWND*>(found) = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&list));
  if (!list) Fail("the Records window has no list of records");
  DWORD_PTR rows = 0;
  WaitFor("the Records window to list the run's three records", [&] {
    SendMessageTimeoutW(list, 0x1004 /* LVM_GETITEMCOUNT */, 0, 0, SMTO_ABORTIFHUNG, 10000, &rows);
    return rows == 3;
  }, std::chrono::seconds(30));
  PostMessageW(records, WM_CLOSE, 0, 0);
  WaitFor("the Records window to close", [&] { return !IsWindowVisible(records); },
          std::chrono::seconds(10));
  WaitFor("the main window to be active again", [] {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(g_thread, &info) && info.hwndActive == g_window;
  }, std::chrono::seconds(10));
}

void WaitView(const std::string& view) {
  WaitFor("the " + view + " view", [&] { return View() == view; });
}

// Lets the photographer outside take the screen at this stage.
void Stage(const char* name) {
  if (g_shots.empty()) return;
  const std::wstring base = g_shots + L"\\" + std::wstring(name, name + strlen(name));
  // The window's place on the screen, as ImageMagick crops: WIDTHxHEIGHT+LEFT+TOP.
  RECT r{};
  GetWindowRect(g_window, &r);
  std::ofstream(std::filesystem::path(base + L".ready"))
      << r.right - r.left << 'x' << r.bottom - r.top << '+' << r.left << '+' << r.top << '\n';
  WaitFor(std::string("the picture ") + name,
          [&] { return GetFileAttributesW((base + L".done").c_str()) != INVALID_FILE_ATTRIBUTES; },
          std::chrono::seconds(120));
}

// A control's rectangle in the window's client area.
RECT ClientRect(int id) {
  RECT r{};
  GetWindowRect(Control(id), &r);
  MapWindowPoints(nullptr, g_window, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// At dpi dots per inch the window's client area and its controls have their design sizes
// scaled (the texts grow with the DPI, so must the places they are drawn in): the client area,
// the Start button's place, a group's width, and every label's text within its control.
void CheckLayout(int dpi) {
  auto scaled = [dpi](int design) { return MulDiv(design, dpi, 96); };
  auto within = [](long a, long b) { return a >= b - 1 && a <= b + 1; };
  RECT client{};
  GetClientRect(g_window, &client);
  if (!within(client.right, scaled(354)) || !within(client.bottom, scaled(370)))
    Fail("the client area is " + std::to_string(client.right) + "x" +
         std::to_string(client.bottom) + " at " + std::to_string(dpi) + " DPI");
  const RECT start = ClientRect(idStartBut);
  if (!within(start.left, scaled(24)) || !within(start.top, scaled(336)) ||
      !within(start.bottom - start.top, scaled(25)) || start.right - start.left < scaled(97) - 1)
    Fail("the Start button is not placed for " + std::to_string(dpi) + " DPI");
  const RECT group = ClientRect(idTPGroup);
  if (!within(group.right - group.left, scaled(337)))
    Fail("the TallyPilot group is not as wide as its design at " + std::to_string(dpi) + " DPI");
  // The labels' texts fit their controls in the window's own font.
  HDC dc = GetDC(g_window);
  for (int id : {idGoldTxt, idCOM1Txt, idFile1Txt, idFile2Txt, idCOM2Txt}) {
    HWND c = Control(id);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)));
    std::wstring text = Text(id);
    text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    const RECT r = ClientRect(id);
    if (size.cx > r.right - r.left)
      Fail("the label " + Narrow(text) + " does not fit its place at " + std::to_string(dpi) +
           " DPI");
  }
  ReleaseDC(g_window, dc);
}

BOOL CALLBACK FindMain(HWND hwnd, LPARAM) {
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(hwnd, &process);
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (process == g_process && std::wstring(cls) == TPTUNE_MAIN_CLASS) {
    g_window = hwnd;
    g_thread = thread;
    return FALSE;
  }
  return TRUE;
}

std::wstring CommandLine(int argc, wchar_t** argv, int first) {
  std::wstring line;
  for (int i = first; i < argc; ++i) {
    if (!line.empty()) line += L' ';
    line += L'"' + std::wstring(argv[i]) + L'"';
  }
  return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int program = 0;
  for (int i = 1; i < argc; ++i)
    if (std::wstring(argv[i]) == L"--") program = i + 1;
  if (argc < 4 || program == 0 || program >= argc) {
    std::fprintf(stderr,
                 "usage: window_driver LOG.txt [--shots DIR | --layout DPI] -- PROGRAM [ARGS...]\n");
    return 2;
  }
  const std::wstring logPath = argv[1];
  g_status = logPath + L".status";
  DeleteFileW(g_status.c_str());
  int layoutDpi = 0;
  if (std::wstring(argv[2]) == L"--layout") layoutDpi = _wtoi(argv[3]);

  std::wstring line = CommandLine(argc, argv, program);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    Fail("cannot start the window program");
  g_process = pi.dwProcessId;
  g_processHandle = pi.hProcess;

  // The window may be there before its controls are, and before its first activation (ports,
  // settings file) has run; that ends with the focus on Start.
  WaitFor("the window", [] {
    EnumWindows(FindMain, 0);
    return g_window && GetDlgItem(g_window, idStartBut) && Focus() == GetDlgItem(g_window, idStartBut);
  }, std::chrono::seconds(120));
  if (View() != "set-up" || Text(idStartBut) != L"&Start!" || Text(idExitBut) != L"&Exit")
    Fail("the window did not open in its set-up view");
  if (layoutDpi) {
    CheckLayout(layoutDpi);
    AltKey(L'e');  // Exit
    if (WaitForSingleObject(g_processHandle, 60000) != WAIT_OBJECT_0)
      Fail("Alt+E did not close the window");
    std::printf("window driver: the layout is scaled for %d DPI\n", layoutDpi);
    Outcome("ok");
    return 0;
  }
  Stage("setup");

  Click(idStartBut);  // Start
  WaitView("ok-prompt");
  const std::wstring connect = L"Make sure the server, TallyPilot and dongle are powered\r\n";
  if (Text(idStatTxt).substr(0, connect.size()) != connect) Fail("the connect prompt is not shown");
  Stage("prompt");
  Click(idStartBut);  // Ok
  if (!g_shots.empty()) {
    // Programming the handheld, the bar well under way.
    WaitFor("the progress bar", [] {
      DWORD_PTR pos = 0;
      SendMessageTimeoutW(Control(idPrcBar), 0x0408 /* PBM_GETPOS */, 0, 0, SMTO_ABORTIFHUNG,
                          10000, &pos);
      return Visible(idPrcBar) && pos >= 40;
    });
    Stage("progress");
  }
  WaitView("yes-no");
  if (Text(idStatTxt) != L"Completed successfully!\r\n\r\nDo you want to fine-tune another TallyPilot?")
    Fail("the question after the handheld is not shown");
  Click(idStartBut);  // Yes
  WaitView("yes-no");
  Click(idStartBut);  // Yes
  WaitView("yes-no");
  Stage("question");
  Click(idExitBut);  // No
  WaitView("ended");
  if (Text(idStartBut) != L"&Ok") Fail("the run ended without Ok below the log");
  Stage("run-ended");

  std::wstring log = Text(idLogMemo);
  std::string utf8;
  for (char c : Narrow(log))
    if (c != '\r') utf8 += c;
  std::ofstream(std::filesystem::path(logPath), std::ios::binary) << utf8 << '\n';

  Click(idStartBut);  // back to set-up
  WaitView("set-up");
  if (Text(idStartBut) != L"&Start" || Text(idExitBut) != L"&Exit")
    Fail("the set-up view after a run does not offer Start and Exit");
  CheckRecords();

  // Access keys.
  if (Checked(idAnaChk)) Fail("analysis only is ticked before Alt+A");
  AltKey(L'a');
  WaitFor("Alt+A to tick analysis only", [] { return Checked(idAnaChk); },
          std::chrono::seconds(10));
  AltKey(L'g');
  WaitFor("Alt+G to move to the golden reference",
          [] { return Focus() == Control(idTPradio); }, std::chrono::seconds(10));
  AltKey(L't');
  WaitFor("Alt+T to choose the TallyPilot as golden reference",
          [] { return Checked(idTPradio) && !Checked(idSRVradio) && Visible(idTPchk) &&
                      !Visible(idSrvChk); },
          std::chrono::seconds(10));
  // A port chosen from the dongle's list: the box tells its window as it does for a choice made
  // with the mouse (CB_SETCURSEL alone notifies nobody).
  HWND com1 = Control(idCOM1Combo);
  DWORD_PTR index = 0;
  SendMessageTimeoutW(com1, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                      reinterpret_cast<LPARAM>(L"SIM1"), SMTO_ABORTIFHUNG, 10000, &index);
  if (static_cast<LRESULT>(index) == CB_ERR) Fail("the dongle's port list does not offer SIM1");
  SendMessageTimeoutW(com1, CB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, 10000, nullptr);
  PostMessageW(g_window, WM_COMMAND, MAKEWPARAM(idCOM1Combo, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(com1));
  AltKey(L'e');  // Exit
  if (WaitForSingleObject(g_processHandle, 60000) != WAIT_OBJECT_0)
    Fail("Alt+E did not close the window");
  DWORD code = 1;
  GetExitCodeProcess(g_processHandle, &code);
  if (code != 0) Fail("the window program ended with exit status " + std::to_string(code));
  std::printf("window driver: the run, the views and the access keys went as expected\n");
  Outcome("ok");
  return 0;
}
