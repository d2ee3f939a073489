// The Win32 Records window over a lot of records written here: its filter boxes change the list
// view's rows as the browser counts them, a double click shows the whole record of the row, the
// export writes what the filter takes, and the drift warning follows the band's threshold. The
// window is driven through its controls as a user would, on a real display (Xvfb under Wine).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

#include "records/Drift.h"
#include "records/RecordStore.h"
#include "tests/common/RecordsLot.h"
#include "tests/win32/SilentListener.h"
#include "win32/RecordsWindow.h"
#include "win32/WideText.h"

#include <commctrl.h>

namespace {

namespace fs = std::filesystem;

std::string WindowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

// The lot: 1000 handhelds over ten days on three stations, every tenth failed (from the 8th on),
// every 25th aborted, each MAC tuned 2.5 times on average; the last 30 against a golden server
// that has drifted 5 steps.
constexpr int kLotSize = 1000;

struct TLotRow {
  std::string started, station, mac;
  const char* outcome;
  int drift;
};

TLotRow LotRow(int i) {
  char started[32];
  std::snprintf(started, sizeof started, "2026-12-%02dT%02d:%02d:00.000Z", 1 + i / 100,
                8 + i % 100 / 60, i % 100 % 60);
  char mac[16];
  std::snprintf(mac, sizeof mac, "00A1%04X", i % 400);
  const char* outcome = i % 10 == 7 ? kRecordFailed : i % 25 == 0 ? kRecordAborted : kRecordCompleted;
  return {started, "st" + std::to_string(i % 3 + 1), mac, outcome, i >= kLotSize - 30 ? 5 : 0};
}

int CountOf(const std::function<bool(int, const TLotRow&)>& takes) {
  int n = 0;
  for (int i = 0; i < kLotSize; ++i) n += takes(i, LotRow(i)) ? 1 : 0;
  return n;
}

class Win32RecordsWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() / ("tptune-win32-records-" + std::to_string(GetCurrentProcessId())));
    fs::create_directories(*dir_);
    auto store = OpenRecordStore(Db(), TStoreOpen::kCreate);
    for (int i = 0; i < kLotSize; ++i) {
      const TLotRow l = LotRow(i);
      TRow row{l.mac.c_str(), l.outcome, i % 7 - 3, l.started.c_str(), l.station.c_str(), "SRV_A", l.drift};
      store->Add(Make(row, i));
    }
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(*dir_, ec);
    delete dir_;
  }
  static std::string Db() { return (*dir_ / "records.db").string(); }
  static std::string Path(const char* name) { return (*dir_ / name).string(); }

  void SetUp() override {
    TRecordsWindowOptions o;
    o.Location = Db();
    o.DriftSettingsPath = Path("drift.ini");
    fs::remove(o.DriftSettingsPath);
    w_ = std::make_unique<TRecordsWindow>(o, nullptr);
    ASSERT_NE(w_->Handle(), nullptr) << "no window: is there a display?";
    w_->Show();
    ASSERT_TRUE(Settled());
  }

  // Serves the window's messages until done says so (false after 30 s).
  bool PumpUntil(const std::function<bool()>& done) {
    const DWORD start = GetTickCount();
    lastTurn_ = start;
    for (;;) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!w_->PreTranslate(msg)) {
          TranslateMessage(&msg);
          DispatchMessageW(&msg);
        }
      }
      const DWORD now = GetTickCount();
      longestPause_ = std::max(longestPause_, now - lastTurn_);
      lastTurn_ = now;
      if (done()) return true;
      if (now - start > 30000) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
  }
  bool Settled() { return PumpUntil([this] { return !w_->Busy(); }); }

  HWND Control(int id) { return Control(*w_, id); }
  static HWND Control(TRecordsWindow& w, int id) {
    std::pair<int, HWND> f{id, nullptr};
    EnumChildWindows(
        w.Handle(),
        [](HWND h, LPARAM lp) {
          auto* p = reinterpret_cast<std::pair<int, HWND>*>(lp);
          if (GetDlgCtrlID(h) != p->first) return TRUE;
          p->second = h;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&f));
    return f.second;
  }
  int Rows() { return static_cast<int>(SendMessageW(Control(kRecHistoryView), LVM_GETITEMCOUNT, 0, 0)); }
  std::string Cell(int row, int column) {
    wchar_t text[256] = L"";
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(Control(kRecHistoryView), LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return Utf8(text);
  }
  void Type(int id, const char* text) { SetWindowTextW(Control(id), Wide(text).c_str()); }
  void ChooseOutcome(int index) {
    HWND combo = Control(kRecOutcomeCombo);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    // Choosing in the box notifies its window; setting the selection alone does not.
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(kRecOutcomeCombo, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
  }

  static fs::path* dir_;
  std::unique_ptr<TRecordsWindow> w_;
  // The longest time between two turns of PumpUntil's loop (the window's thread held up).
  DWORD lastTurn_ = 0, longestPause_ = 0;
};

fs::path* Win32RecordsWindow::dir_ = nullptr;

TEST_F(Win32RecordsWindow, FiltersChangeTheListsRowsAsTheBrowserCounts) {
  EXPECT_EQ(Rows(), kLotSize);
  EXPECT_EQ(WindowText(Control(kRecCountTxt)), std::to_string(kLotSize) + " records");
  // Each step types into the boxes (or chooses an outcome) on top of the steps before it.
  struct TStep {
    const char* what;
    std::function<void()> act;
    std::function<bool(int, const TLotRow&)> takes;
  } steps[] = {
      {"station", [&] { Type(kRecStationEdit, "st2"); },
       [](int, const TLotRow& r) { return r.station == "st2"; }},
      {"outcome failed", [&] { ChooseOutcome(2); },
       [](int, const TLotRow& r) { return r.station == "st2" && r.outcome == std::string(kRecordFailed); }},
      {"station cleared", [&] { Type(kRecStationEdit, ""); },
       [](int, const TLotRow& r) { return r.outcome == std::string(kRecordFailed); }},
      {"any outcome, from the 5th", [&] { ChooseOutcome(0), Type(kRecFromEdit, "2026-12-05"); },
       [](int i, const TLotRow&) { return i >= 400; }},
      {"to the 7th", [&] { Type(kRecToEdit, "2026-12-07"); },
       [](int i, const TLotRow&) { return i >= 400 && i < 600; }},
      {"one MAC in that range", [&] { Type(kRecMacEdit, "0x00a100c0"); },
       [](int i, const TLotRow&) { return i >= 400 && i < 600 && i % 400 == 0xc0; }},
      {"everything again",
       [&] { Type(kRecMacEdit, ""), Type(kRecFromEdit, ""), Type(kRecToEdit, " "); },
       [](int, const TLotRow&) { return true; }},
  };
  for (const TStep& s : steps) {
    SCOPED_TRACE(s.what);
    const int expected = CountOf(s.takes);
    s.act();
    // The boxes are read a moment after the typing stops.
    ASSERT_TRUE(PumpUntil([&] { return !w_->Busy() && w_->State().Count == expected; }))
        << "count " << w_->State().Count << ", expected " << expected;
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(WindowText(Control(kRecCountTxt)), std::to_string(expected) + " records");
  }
}

TEST_F(Win32RecordsWindow, RowsShowTheirCellsAndADoubleClickTheWholeRecord) {
  HWND list = Control(kRecHistoryView);
  // Newest first: the last record written; its page comes from the store's thread.
  ASSERT_TRUE(PumpUntil([&] { return !Cell(0, TRecordsBrowser::kDevice).empty(); }));
  const TLotRow newest = LotRow(kLotSize - 1);
  EXPECT_EQ(Cell(0, TRecordsBrowser::kDevice), "0x" + newest.mac);
  EXPECT_EQ(Cell(0, TRecordsBrowser::kStation), newest.station);
  EXPECT_EQ(Cell(0, TRecordsBrowser::kOutcome), newest.outcome);
  // A row far down is read when it is asked for.
  const int deep = kLotSize - 1 - 517;
  ASSERT_TRUE(PumpUntil([&] { return !Cell(517, TRecordsBrowser::kDevice).empty(); }));
  EXPECT_EQ(Cell(517, TRecordsBrowser::kDevice), "0x" + LotRow(deep).mac);

  RECT item{LVIR_BOUNDS, 0, 0, 0};
  ASSERT_TRUE(SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item)));
  const LPARAM at = MAKELPARAM(item.left + 20, (item.top + item.bottom) / 2);
  SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageW(list, WM_LBUTTONUP, 0, at);
  SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
  SendMessageW(list, WM_LBUTTONUP, 0, at);
  HWND shown = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (shown = FindWindowW(L"TptuneRecordText", nullptr)) != nullptr; }));
  const std::string title = WindowText(shown);
  EXPECT_EQ(title.rfind("Record ", 0), 0u) << title;
  const std::string text = WindowText(GetDlgItem(shown, kRecRecordText));
  const std::string uid = "uid" + std::to_string(kLotSize - 1);
  EXPECT_NE(text.find("log of " + uid + "\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("trace of " + uid), std::string::npos);
  EXPECT_NE(text.find(newest.mac), std::string::npos);
  DestroyWindow(shown);
}

TEST_F(Win32RecordsWindow, ExportWritesWhatTheFilterTakes) {
  Type(kRecStationEdit, "st3");
  const int expected = CountOf([](int, const TLotRow& r) { return r.station == "st3"; });
  ASSERT_TRUE(PumpUntil([&] { return !w_->Busy() && w_->State().Count == expected; }));
  std::string error;
  // JSON lines: one record a line, whatever its log and trace hold.
  ASSERT_TRUE(w_->ExportTo(Path("st3.json"), true, &error)) << error;
  std::ifstream json(Path("st3.json"), std::ios::binary);
  std::string line;
  int lines = 0;
  while (std::getline(json, line)) {
    ++lines;
    EXPECT_NE(line.find("\"station\":\"st3\""), std::string::npos) << line.substr(0, 200);
  }
  EXPECT_EQ(lines, expected);

  // A folder that is not there: the reason comes back and the window stays usable.
  EXPECT_FALSE(w_->ExportTo(Path("missing\\st3.csv"), false, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(IsWindowEnabled(Control(kRecExportBut)));
}

TEST_F(Win32RecordsWindow, DriftWarningFollowsTheBand) {
  HWND warning = Control(kRecWarningTxt);
  // Alt+L and Alt+G choose the pages, as their titles' access keys say.
  for (auto [key, shown, hidden] : {std::tuple{'L', kRecHistogramView, kRecHistoryView},
                                    std::tuple{'G', kRecDriftView, kRecHistogramView}}) {
    MSG alt{Control(kRecHistoryView), WM_SYSKEYDOWN, static_cast<WPARAM>(key), 0x20000000, 0, {}};
    EXPECT_TRUE(w_->PreTranslate(alt));
    EXPECT_TRUE(IsWindowVisible(Control(shown))) << key;
    EXPECT_FALSE(IsWindowVisible(Control(hidden))) << key;
  }
  // The last 20 handhelds say the golden server is 5 steps off: outside the default band of 3.
  ASSERT_EQ(w_->Warnings().size(), 1u);
  EXPECT_TRUE(IsWindowVisible(warning));
  EXPECT_EQ(WindowText(warning), DriftWarningLine(w_->Warnings()[0], kDefaultDriftThreshold));
  // A band of 5 (typed, then the box left) holds it: the warning goes and the threshold is kept.
  HWND threshold = Control(kRecThresholdEdit);
  SetWindowTextW(threshold, L"5");
  SendMessageW(GetParent(threshold), WM_COMMAND, MAKEWPARAM(kRecThresholdEdit, EN_KILLFOCUS),
               reinterpret_cast<LPARAM>(threshold));
  EXPECT_EQ(w_->Threshold(), 5.0);
  EXPECT_TRUE(w_->Warnings().empty());
  EXPECT_FALSE(IsWindowVisible(warning));
  EXPECT_EQ(WindowText(threshold), "5.0");
  EXPECT_EQ(ReadDriftThreshold(Path("drift.ini")), 5.0);
  // Text that is no threshold is put back.
  SetWindowTextW(threshold, L"wide");
  SendMessageW(GetParent(threshold), WM_COMMAND, MAKEWPARAM(kRecThresholdEdit, EN_KILLFOCUS),
               reinterpret_cast<LPARAM>(threshold));
  EXPECT_EQ(WindowText(threshold), "5.0");
  EXPECT_EQ(w_->Threshold(), 5.0);
}

// Records written while the window is closed are not read then (a run goes on meanwhile), but as
// soon as it is opened again; opened again it is the same window.
TEST_F(Win32RecordsWindow, ClosedWindowReadsOnlyOnceOpenedAgain) {
  const std::string db = Path("few.db");
  fs::remove(db);
  Fill(db, {kLot[0]});
  TRecordsWindowHost host;
  host.Open(nullptr, {db, ""});
  TRecordsWindow& records = *host.Window();
  HWND count = Control(records, kRecCountTxt);
  ASSERT_TRUE(PumpUntil([&] { return WindowText(count) == "1 records"; }));
  SendMessageW(records.Handle(), WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindowVisible(records.Handle()));
  Fill(db, {kLot[1], kLot[2]}, 1);
  host.RecordsWritten();
  const DWORD start = GetTickCount();
  PumpUntil([&] { return GetTickCount() - start > 600; });  // three times the refresh delay
  EXPECT_EQ(WindowText(count), "1 records");
  EXPECT_EQ(SendMessageW(Control(records, kRecHistoryView), LVM_GETITEMCOUNT, 0, 0), 1);
  host.Open(nullptr, {db, ""});
  EXPECT_EQ(host.Window(), &records);
  EXPECT_TRUE(IsWindowVisible(records.Handle()));
  ASSERT_TRUE(PumpUntil([&] { return WindowText(count) == "3 records"; })) << WindowText(count);
  EXPECT_EQ(SendMessageW(Control(records, kRecHistoryView), LVM_GETITEMCOUNT, 0, 0), 3);
}

// A records server that accepts connections and then says nothing: the window's thread goes on
// turning while the query waits, and the line under the table says the store is not answering.
// Once the server is gone it says why nothing is shown.
TEST_F(Win32RecordsWindow, StaysResponsiveWhileTheServerIsSilent) {
  TSilentListener server;
  TRecordsWindow records({server.Location(), ""}, nullptr);
  records.Show();
  HWND status = Control(records, kRecCountTxt);
  longestPause_ = 0;
  ASSERT_TRUE(PumpUntil([&] { return WindowText(status).find("not answering") != std::string::npos; }))
      << WindowText(status);
  EXPECT_EQ(WindowText(status), "The record store is not answering; still waiting for it");
  EXPECT_TRUE(records.Busy());
  // Typing a filter meanwhile does not hold the window up either.
  SetWindowTextW(Control(records, kRecStationEdit), L"st1");
  const DWORD start = GetTickCount();
  PumpUntil([&] { return GetTickCount() - start > 500; });
  EXPECT_EQ(records.Filter().Station, "st1");
  EXPECT_LT(longestPause_, 250u);
  server.Close();
  ASSERT_TRUE(PumpUntil([&] { return WindowText(status).rfind("No records yet (", 0) == 0; }))
      << WindowText(status);
}

}  // namespace
