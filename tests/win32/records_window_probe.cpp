// The Win32 Records window on its own, over a record store: for trying it by hand and for the
// documentation's pictures.
//   records_window_probe STORE [--drift-settings FILE] [--pages]
// Without --pages it runs until the window is closed. With --pages it shows the History, Lot
// statistics and Golden drift pages in turn once the records are read: "page N" on standard
// output says that page is drawn; a line on standard input moves on to the next page.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "win32/RecordsWindow.h"

int main(int argc, char** argv) {
  TRecordsWindowOptions options;
  bool pages = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pages") == 0)
      pages = true;
    else if (std::strcmp(argv[i], "--drift-settings") == 0 && i + 1 < argc)
      options.DriftSettingsPath = argv[++i];
    else
      options.Location = argv[i];
  }
  if (options.Location.empty()) {
    std::fprintf(stderr, "usage: records_window_probe STORE [--drift-settings FILE] [--pages]\n");
    return 2;
  }
  TRecordsWindow window(options, nullptr);
  if (!window.Handle()) {
    std::fprintf(stderr, "records_window_probe: no window (no display?)\n");
    return 1;
  }
  window.Show();

  // Lines on standard input, counted on a thread of their own.
  std::atomic<int> lines{0};
  std::atomic<bool> inputEnded{false};
  if (pages)
    std::thread([&] {
      std::string line;
      while (std::getline(std::cin, line)) ++lines;
      inputEnded = true;
    }).detach();

  int page = -1;         // the page last said to be drawn
  DWORD settledAt = 0;  // when the browser last had what it asked for
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return 0;
      if (!window.PreTranslate(msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    if (!IsWindowVisible(window.Handle())) return 0;
    if (pages) {
      if (window.Busy()) settledAt = 0;
      else if (!settledAt) settledAt = GetTickCount();
      // A page is said to be drawn when the records have been read and it has been shown for a
      // moment; the next one follows a line of input.
      const int wanted = lines.load();
      if (wanted > 2 || (inputEnded && wanted > page)) return 0;
      if (settledAt && wanted == page + 1 && GetTickCount() - settledAt > 500) {
        window.SelectPage(wanted);
        UpdateWindow(window.Handle());
        RedrawWindow(window.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        page = wanted;
        Sleep(300);
        std::printf("page %d\n", page);
        std::fflush(stdout);
      }
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}
