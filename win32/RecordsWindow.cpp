#include "win32/RecordsWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <locale>
#include <sstream>

#include "front/RecordsChart.h"
#include "records/Reports.h"
#include "win32/ChartDrawing.h"
#include "win32/WideText.h"

namespace {

constexpr wchar_t kWindowClass[] = L"TptuneRecords";
constexpr wchar_t kPageClass[] = L"TptuneRecordsPage";
constexpr wchar_t kRecordClass[] = L"TptuneRecordText";
constexpr UINT kWakeMessage = WM_APP + 1;
constexpr UINT_PTR kRefreshTimer = 1, kFilterTimer = 2;

const char* const kOutcomes[] = {"any", kRecordCompleted, kRecordFailed, kRecordAborted};
const char* const kPageTitles[] = {"&History", "&Lot statistics", "&Golden drift"};
// Column widths at 96 dpi, as the Qt window's table has them.
constexpr int kColumnWidths[] = {140, 90, 150, 140, 80, 80, 85, 60, 110};
static_assert(std::size(kColumnWidths) == TRecordsBrowser::kColumnCount);

HWND Item(HWND parent, int id) { return GetDlgItem(parent, id); }

// The chart data before the first reading: empty charts with their axes.
const TRecordsChart& NoChart() {
  static const TRecordsChart none = BuildRecordsChart({}, {});
  return none;
}

// A text for a control, its line breaks (the log has LF, the trace CR) as the control breaks.
void SetText(HWND hwnd, const std::string& text) { SetWindowTextW(hwnd, DisplayText(text).c_str()); }

// A control's text as UTF-8.
std::string WindowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

// The pages of the tab control are windows of their own that pass their controls' messages on
// to the Records window.
LRESULT CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
      return SendMessageW(GetParent(hwnd), msg, wp, lp);
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// A whole record's window: one read-only edit filling it.
LRESULT CALLBACK RecordProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_SIZE) {
    MoveWindow(GetDlgItem(hwnd, kRecRecordText), 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
    return 0;
  }
  if (msg == WM_SETFOCUS) {
    SetFocus(GetDlgItem(hwnd, kRecRecordText));
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void RegisterClasses() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_UPDOWN_CLASS |
                                             ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HCURSOR arrow = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    WNDCLASSW wc{};
    wc.hInstance = instance;
    wc.hCursor = arrow;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); };
    wc.lpszClassName = kWindowClass;
    RegisterClassW(&wc);
    wc.hIcon = nullptr;
    wc.lpfnWndProc = PageProc;
    wc.lpszClassName = kPageClass;
    RegisterClassW(&wc);
    wc.lpfnWndProc = RecordProc;
    wc.lpszClassName = kRecordClass;
    RegisterClassW(&wc);
    return true;
  }();
  (void)registered;
}

// A number as the threshold box has it ("3.5", with a comma taken as the point, a unit after it
// allowed); none when it is not a number.
bool ParseSteps(std::string text, double& value) {
  std::replace(text.begin(), text.end(), ',', '.');
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  return static_cast<bool>(in >> value);
}

}  // namespace

TRecordsWindow::TRecordsWindow(TRecordsWindowOptions options, HWND owner)
    : options_(std::move(options)) {
  RegisterClasses();
  threshold_ = options_.DriftSettingsPath.empty() ? kDefaultDriftThreshold
                                                  : ReadDriftThreshold(options_.DriftSettingsPath);
  HDC screen = GetDC(nullptr);
  dpi_ = std::max(GetDeviceCaps(screen, LOGPIXELSY), 96);
  ReleaseDC(nullptr, screen);
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  font_ = CreateFontIndirectW(&metrics.lfMessageFont);
  LOGFONTW bold = metrics.lfMessageFont;
  bold.lfWeight = FW_BOLD;
  boldFont_ = CreateFontIndirectW(&bold);
  LOGFONTW fixed = metrics.lfMessageFont;
  fixed.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  wcscpy(fixed.lfFaceName, L"Courier New");
  fixedFont_ = CreateFontIndirectW(&fixed);
  warningBrush_ = CreateSolidBrush(RGB(0xb0, 0x00, 0x20));

  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, L"Records", WS_OVERLAPPEDWINDOW,
                          CW_USEDEFAULT, CW_USEDEFAULT, Scaled(1000), Scaled(690), owner, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
  browser_ = std::make_unique<TRecordsBrowser>(TRecordsBrowserOptions{options_.Location},
                                               static_cast<TRecordsView&>(*this));
  // Without a window (no desktop to show it on) the browser stays hidden and reads nothing.
  if (!hwnd_) return;
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TRecordsWindow::Proc));
  CreateControls();
  SetText(Item(Page(0), kRecCountTxt), browser_->State().Status);
  RedrawCharts();
  Layout();
}

// The browser goes first: no wake comes after it, and none reaches a window half gone.
TRecordsWindow::~TRecordsWindow() {
  browser_.reset();
  // (An owner that went first took the window with it.)
  if (hwnd_ && !destroyed_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  for (HGDIOBJ o : {static_cast<HGDIOBJ>(font_), static_cast<HGDIOBJ>(boldFont_),
                    static_cast<HGDIOBJ>(fixedFont_), static_cast<HGDIOBJ>(warningBrush_)})
    if (o) DeleteObject(o);
}

int TRecordsWindow::Scaled(int pixels) const { return MulDiv(pixels, dpi_, 96); }

void TRecordsWindow::Show() {
  ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd_);
}

bool TRecordsWindow::PreTranslate(MSG& msg) {
  if (!hwnd_ || (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd))) return false;
  if (msg.message == WM_SYSKEYDOWN) {
    const int page = msg.wParam == 'H' ? 0 : msg.wParam == 'L' ? 1 : msg.wParam == 'G' ? 2 : -1;
    if (page >= 0) {
      SelectPage(page);
      SetFocus(tabs_);
      return true;
    }
  }
  return IsDialogMessageW(hwnd_, &msg) != 0;
}

void TRecordsWindow::CreateControls() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto make = [&](HWND parent, DWORD exStyle, const wchar_t* cls, const std::string& text, DWORD style,
                  int id) {
    HWND h = CreateWindowExW(exStyle, cls, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0,
                             10, 10, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                             nullptr);
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return h;
  };
  auto label = [&](HWND parent, const char* text, int id = -1) {
    return make(parent, 0, L"STATIC", text, SS_LEFT, id);
  };
  auto edit = [&](int id, const char* labelText, const char* hint) {
    label(hwnd_, labelText);
    HWND e = make(hwnd_, WS_EX_CLIENTEDGE, L"EDIT", "", WS_TABSTOP | ES_AUTOHSCROLL, id);
    SendMessageW(e, EM_SETCUEBANNER, FALSE, reinterpret_cast<LPARAM>(Wide(hint).c_str()));
    return e;
  };

  // The filters, in one row.
  edit(kRecFromEdit, "&From", "2026-12-01");
  edit(kRecToEdit, "&To", "2026-12-31");
  label(hwnd_, "O&utcome");
  HWND outcome = make(hwnd_, 0, L"COMBOBOX", "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                      kRecOutcomeCombo);
  for (const char* o : kOutcomes) SendMessageW(outcome, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(o).c_str()));
  SendMessageW(outcome, CB_SETCURSEL, 0, 0);
  edit(kRecMacEdit, "&MAC", "00A10001");
  edit(kRecStationEdit, "St&ation", "host name");

  HWND warning = make(hwnd_, 0, L"STATIC", "", SS_LEFT | SS_NOPREFIX, kRecWarningTxt);
  SendMessageW(warning, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_), FALSE);
  ShowWindow(warning, SW_HIDE);

  tabs_ = make(hwnd_, 0, WC_TABCONTROLW, "", WS_TABSTOP | WS_CLIPSIBLINGS, kRecTabs);
  for (int i = 0; i < 3; ++i) {
    std::wstring title = Wide(kPageTitles[i]);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = title.data();
    SendMessageW(tabs_, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    pages_[i] = CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, L"", WS_CHILD, 0, 0, 10, 10, hwnd_,
                                nullptr, instance, nullptr);
  }

  // History.
  list_ = make(Page(0), WS_EX_CLIENTEDGE, WC_LISTVIEWW, "",
               WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
               kRecHistoryView);
  SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_LABELTIP);
  for (int c = 0; c < TRecordsBrowser::kColumnCount; ++c) {
    std::wstring title = Wide(TRecordsBrowser::ColumnTitle(c));
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_FMT;
    column.fmt = TRecordsBrowser::NumberColumn(c) ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.pszText = title.data();
    SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
    // At least as wide as its title in this font.
    const int titleWidth = static_cast<int>(
        SendMessageW(list_, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(title.c_str())));
    SendMessageW(list_, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(c),
                 std::max(Scaled(kColumnWidths[c]), titleWidth + Scaled(14)));
  }
  // Each column title explains itself in a tip, as the Qt window's table does.
  HWND header = reinterpret_cast<HWND>(SendMessageW(list_, LVM_GETHEADER, 0, 0));
  columnTips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_,
                                nullptr, instance, nullptr);
  for (int c = 0; c < TRecordsBrowser::kColumnCount; ++c) {
    std::wstring tip = Wide(TRecordsBrowser::ColumnTip(c));
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = header;
    tool.uId = static_cast<UINT_PTR>(c);
    tool.lpszText = tip.data();
    SendMessageW(columnTips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  label(Page(0), "", kRecCountTxt);
  make(Page(0), 0, L"BUTTON", "&Export...", WS_TABSTOP | BS_PUSHBUTTON, kRecExportBut);

  // Lot statistics.
  CreateChartView(Page(1), kRecHistogramView, font_, [this](TPixRect area, const TChartMetrics& m) {
    const auto& chart = browser_->State().Chart;
    return HistogramScene(chart ? *chart : NoChart(), area, m);
  });
  make(Page(1), 0, L"STATIC", "", SS_LEFT | SS_NOPREFIX, kRecStatsTxt);
  CreateChartView(Page(1), kRecTrendView, font_, [this](TPixRect area, const TChartMetrics& m) {
    const auto& chart = browser_->State().Chart;
    return TrendScene(chart ? *chart : NoChart(), area, m);
  });

  // Golden drift.
  CreateChartView(Page(2), kRecDriftView, font_, [this](TPixRect area, const TChartMetrics& m) {
    const auto& chart = browser_->State().Chart;
    const double now = static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
    return DriftScene(chart ? *chart : NoChart(), threshold_, now, area, m);
  });
  label(Page(2), "&Band +/-");
  HWND threshold = make(Page(2), WS_EX_CLIENTEDGE, L"EDIT", Fixed(threshold_, 1),
                        WS_TABSTOP | ES_RIGHT | ES_AUTOHSCROLL, kRecThresholdEdit);
  HWND spin = make(Page(2), 0, UPDOWN_CLASSW, "", UDS_ARROWKEYS | UDS_ALIGNRIGHT, kRecThresholdSpin);
  SendMessageW(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(threshold), 0);
  SendMessageW(spin, UDM_SETRANGE32, 0, 1000);
  SendMessageW(spin, UDM_SETPOS32, 0, 500);
  label(Page(2), "steps");
  make(Page(2), 0, L"STATIC", "", SS_LEFT | SS_NOPREFIX, kRecDriftTxt);
  ShowPage();
}

void TRecordsWindow::Layout() {
  RECT client;
  GetClientRect(hwnd_, &client);
  const int margin = Scaled(8), rowHeight = Scaled(23), gap = Scaled(4);
  HDWP dwp = BeginDeferWindowPos(40);
  auto place = [&](HWND h, int x, int y, int w, int ht) {
    dwp = DeferWindowPos(dwp, h, nullptr, x, y, std::max(w, 0), std::max(ht, 0), SWP_NOZORDER | SWP_NOACTIVATE);
  };

  // The filter row: each label with its box (the labels come right before their boxes).
  struct TSlot {
    int box, labelWidth, boxWidth;
  } slots[] = {{kRecFromEdit, 36, 120}, {kRecToEdit, 22, 120}, {kRecOutcomeCombo, 56, 100},
               {kRecMacEdit, 34, 90}, {kRecStationEdit, 48, 120}};
  int x = margin;
  for (const TSlot& s : slots) {
    HWND box = Item(hwnd_, s.box);
    HWND labelWnd = GetWindow(box, GW_HWNDPREV);
    place(labelWnd, x, margin + Scaled(4), Scaled(s.labelWidth), rowHeight - Scaled(4));
    x += Scaled(s.labelWidth) + gap;
    place(box, x, margin, Scaled(s.boxWidth), s.box == kRecOutcomeCombo ? Scaled(140) : rowHeight);
    x += Scaled(s.boxWidth) + Scaled(12);
  }
  int y = margin + rowHeight + margin;

  HWND warning = Item(hwnd_, kRecWarningTxt);
  if (!warnings_.empty()) {
    // As high as the lines need at this width.
    RECT text{0, 0, client.right - 2 * margin, 0};
    HDC dc = GetDC(warning);
    HGDIOBJ old = SelectObject(dc, boldFont_);
    const std::wstring lines = Wide(WindowText(warning));
    DrawTextW(dc, lines.c_str(), static_cast<int>(lines.size()), &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(warning, dc);
    const int height = text.bottom + Scaled(4);
    place(warning, margin, y, client.right - 2 * margin, height);
    y += height + margin;
  }

  RECT tab{margin, y, client.right - margin, client.bottom - margin};
  place(tabs_, tab.left, tab.top, tab.right - tab.left, tab.bottom - tab.top);
  RECT page = tab;
  // The tab control's display area for its size (it is asked before it is moved: relative
  // to the same origin, so the rectangle holds).
  SendMessageW(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
  const int pw = page.right - page.left, ph = page.bottom - page.top;
  for (HWND p : pages_) place(p, page.left, page.top, pw, ph);
  EndDeferWindowPos(dwp);

  // The pages' contents.
  const int button = Scaled(26);
  MoveWindow(list_, 0, 0, pw, ph - button - gap * 2, TRUE);
  // The last column takes the room the others leave.
  RECT listArea;
  GetClientRect(list_, &listArea);
  int others = 0;
  for (int c = 0; c + 1 < TRecordsBrowser::kColumnCount; ++c)
    others += static_cast<int>(SendMessageW(list_, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0));
  SendMessageW(list_, LVM_SETCOLUMNWIDTH, TRecordsBrowser::kColumnCount - 1,
               std::max<LPARAM>(Scaled(kColumnWidths[TRecordsBrowser::kColumnCount - 1]), listArea.right - others));
  PlaceColumnTips();
  MoveWindow(Item(Page(0), kRecCountTxt), 0, ph - button + Scaled(5), pw - Scaled(110), button - Scaled(5), TRUE);
  MoveWindow(Item(Page(0), kRecExportBut), pw - Scaled(100), ph - button, Scaled(100), button, TRUE);

  const int stats = Scaled(190);
  MoveWindow(Item(Page(1), kRecHistogramView), 0, 0, pw - stats - gap, ph / 2, TRUE);
  MoveWindow(Item(Page(1), kRecStatsTxt), pw - stats, Scaled(8), stats, ph / 2 - Scaled(8), TRUE);
  MoveWindow(Item(Page(1), kRecTrendView), 0, ph / 2 + gap, pw, ph - ph / 2 - gap, TRUE);

  const int row = Scaled(60);
  MoveWindow(Item(Page(2), kRecDriftView), 0, 0, pw, ph - row, TRUE);
  HWND thresholdEdit = Item(Page(2), kRecThresholdEdit);
  MoveWindow(GetWindow(thresholdEdit, GW_HWNDPREV), 0, ph - row + Scaled(10), Scaled(60), rowHeight, TRUE);
  MoveWindow(thresholdEdit, Scaled(62), ph - row + Scaled(6), Scaled(60), rowHeight, TRUE);
  SendMessageW(Item(Page(2), kRecThresholdSpin), UDM_SETBUDDY, reinterpret_cast<WPARAM>(thresholdEdit), 0);
  HWND steps = GetWindow(Item(Page(2), kRecThresholdSpin), GW_HWNDNEXT);
  MoveWindow(steps, Scaled(128), ph - row + Scaled(10), Scaled(40), rowHeight, TRUE);
  MoveWindow(Item(Page(2), kRecDriftTxt), Scaled(176), ph - row + Scaled(4), pw - Scaled(176), row - Scaled(4), TRUE);
}

// The column titles' tips lie over the titles, which move when a column is resized.
void TRecordsWindow::PlaceColumnTips() {
  HWND header = reinterpret_cast<HWND>(SendMessageW(list_, LVM_GETHEADER, 0, 0));
  for (int c = 0; c < TRecordsBrowser::kColumnCount; ++c) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = header;
    tool.uId = static_cast<UINT_PTR>(c);
    SendMessageW(header, HDM_GETITEMRECT, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&tool.rect));
    SendMessageW(columnTips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void TRecordsWindow::SelectPage(int page) {
  SendMessageW(tabs_, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
  ShowPage();
}

void TRecordsWindow::ShowPage() {
  const int shown = static_cast<int>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0));
  for (int i = 0; i < 3; ++i) ShowWindow(pages_[i], i == shown ? SW_SHOW : SW_HIDE);
}

LRESULT CALLBACK TRecordsWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TRecordsWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  return self->OnMessage(msg, wp, lp);
}

LRESULT TRecordsWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kWakeMessage:
      if (browser_) browser_->Pump();
      return 0;
    case WM_SHOWWINDOW:
      if (browser_) browser_->SetShown(wp != 0);
      break;
    case WM_NCDESTROY:
      destroyed_ = true;
      break;
    case WM_CLOSE:
      // Closing hides the window; its owner keeps it for the next time.
      ShowWindow(hwnd_, SW_HIDE);
      return 0;
    case WM_SIZE:
      if (wp != SIZE_MINIMIZED) Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lp);
      info->ptMinTrackSize = {Scaled(640), Scaled(420)};
      return 0;
    }
    case WM_TIMER:
      if (wp == kRefreshTimer) Reload();
      if (wp == kFilterTimer) ApplyFilter();
      return 0;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lp) == Item(hwnd_, kRecWarningTxt)) {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, RGB(0xff, 0xff, 0xff));
        SetBkColor(dc, RGB(0xb0, 0x00, 0x20));
        return reinterpret_cast<LRESULT>(warningBrush_);
      }
      break;
    case WM_NOTIFY:
      return Notify(reinterpret_cast<NMHDR*>(lp));
    case WM_COMMAND: {
      const int id = LOWORD(wp), code = HIWORD(wp);
      if (id == IDOK) {
        // Enter: the box with the focus takes its text.
        HWND focus = GetFocus();
        if (focus == Item(Page(2), kRecThresholdEdit))
          TakeThresholdText();
        else if (focus == list_)
          ShowRecord(static_cast<int>(SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED)));
        else
          ApplyFilter();
        return 0;
      }
      if (code == EN_CHANGE && (id == kRecFromEdit || id == kRecToEdit || id == kRecMacEdit || id == kRecStationEdit))
        SetTimer(hwnd_, kFilterTimer, 300, nullptr);
      else if (code == CBN_SELCHANGE && id == kRecOutcomeCombo)
        ApplyFilter();
      else if (code == BN_CLICKED && id == kRecExportBut)
        DoExport();
      else if (code == EN_KILLFOCUS && id == kRecThresholdEdit)
        TakeThresholdText();
      return 0;
    }
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

LRESULT TRecordsWindow::Notify(NMHDR* n) {
  if (n->hwndFrom == tabs_ && n->code == TCN_SELCHANGE) {
    ShowPage();
    return 0;
  }
  if (n->idFrom == kRecThresholdSpin && n->code == UDN_DELTAPOS) {
    const auto* ud = reinterpret_cast<NMUPDOWN*>(n);
    SetThreshold(std::clamp(threshold_ + 0.5 * ud->iDelta, 0.5, 100.0));
    return 1;  // the box keeps the text the window gave it
  }
  if (n->code == HDN_ENDTRACKW || n->code == HDN_ENDTRACKA || n->code == HDN_ITEMCHANGEDW) {
    PlaceColumnTips();
    return 0;
  }
  if (n->hwndFrom != list_) return 0;
  switch (n->code) {
    case LVN_GETDISPINFOW: {
      auto* di = reinterpret_cast<NMLVDISPINFOW*>(n);
      if ((di->item.mask & LVIF_TEXT) && di->item.pszText && di->item.cchTextMax > 0) {
        // A row whose page has not come yet is shown empty; it is drawn once the page is here.
        const TTuningRecord* r = browser_->RowAt(di->item.iItem);
        const std::wstring text = r ? Wide(TRecordsBrowser::Cell(*r, di->item.iSubItem)) : std::wstring();
        lstrcpynW(di->item.pszText, text.c_str(), di->item.cchTextMax);
      }
      return 0;
    }
    case NM_CUSTOMDRAW: {
      auto* cd = reinterpret_cast<NMLVCUSTOMDRAW*>(n);
      if (cd->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (cd->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
        const TTuningRecord* r = browser_->RowAt(static_cast<int64_t>(cd->nmcd.dwItemSpec));
        if (r && r->Outcome == kRecordFailed) {
          cd->clrText = RGB(0xb0, 0x00, 0x20);
          return CDRF_NEWFONT;
        }
        if (r && r->Outcome == kRecordAborted) {
          cd->clrText = RGB(0x80, 0x80, 0x80);
          return CDRF_NEWFONT;
        }
      }
      return CDRF_DODEFAULT;
    }
    case NM_DBLCLK: {
      const auto* item = reinterpret_cast<NMITEMACTIVATE*>(n);
      if (item->iItem >= 0) ShowRecord(item->iItem);
      return 0;
    }
  }
  return 0;
}

void TRecordsWindow::WakeRecords() {
  // From the browser's threads: the results are taken on the window's thread.
  if (hwnd_) PostMessageW(hwnd_, kWakeMessage, 0, 0);
}

void TRecordsWindow::RecordsChanged(bool countChanged, bool chartChanged) {
  if (countChanged) {
    const int rows = static_cast<int>(std::min<int64_t>(browser_->State().Count, INT_MAX));
    SendMessageW(list_, LVM_SETITEMCOUNT, static_cast<WPARAM>(rows), LVSICF_NOSCROLL);
    InvalidateRect(list_, nullptr, FALSE);
  }
  SetText(Item(Page(0), kRecCountTxt), browser_->State().Status);
  if (chartChanged) RedrawCharts();
}

void TRecordsWindow::RowsArrived(int64_t first, int64_t last) {
  const int64_t rows = SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0);
  if (first >= rows) return;
  last = std::min(last, rows - 1);
  SendMessageW(list_, LVM_REDRAWITEMS, static_cast<WPARAM>(first), static_cast<LPARAM>(last));
}

void TRecordsWindow::Refresh() {
  // Several calls in a short time give one reading; a hidden window reads once shown.
  SetTimer(hwnd_, kRefreshTimer, 200, nullptr);
}

void TRecordsWindow::Reload() {
  KillTimer(hwnd_, kRefreshTimer);
  browser_->Refresh();
}

void TRecordsWindow::ApplyFilter() {
  KillTimer(hwnd_, kFilterTimer);
  auto text = [this](int id) {
    std::string t = WindowText(Item(hwnd_, id));
    const size_t a = t.find_first_not_of(" \t"), b = t.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : t.substr(a, b - a + 1);
  };
  TRecordFilter f;
  f.From = text(kRecFromEdit);
  f.To = text(kRecToEdit);
  const LRESULT outcome = SendMessageW(Item(hwnd_, kRecOutcomeCombo), CB_GETCURSEL, 0, 0);
  if (outcome > 0 && outcome < static_cast<LRESULT>(std::size(kOutcomes))) f.Outcome = kOutcomes[outcome];
  f.Mac = text(kRecMacEdit);
  f.Station = text(kRecStationEdit);
  browser_->SetFilter(f);
}

void TRecordsWindow::RedrawCharts() {
  const auto& chart = browser_->State().Chart;
  SetText(Item(Page(1), kRecStatsTxt), (chart ? *chart : NoChart()).StatsText);
  InvalidateRect(Item(Page(1), kRecHistogramView), nullptr, FALSE);
  InvalidateRect(Item(Page(1), kRecTrendView), nullptr, FALSE);
  UpdateDrift();
}

void TRecordsWindow::UpdateDrift() {
  const auto& chart = browser_->State().Chart;
  static const std::vector<TDriftSeries> kNoSeries;
  const bool hadWarnings = !warnings_.empty();
  warnings_ = DriftWarnings(chart ? chart->DriftSeries : kNoSeries, threshold_);
  SetText(Item(Page(2), kRecDriftTxt), chart ? chart->DriftText : std::string());
  std::string lines;
  for (const TDriftWarning& w : warnings_) lines += (lines.empty() ? "" : "\n") + DriftWarningLine(w, threshold_);
  HWND warning = Item(hwnd_, kRecWarningTxt);
  SetText(warning, lines);
  ShowWindow(warning, warnings_.empty() ? SW_HIDE : SW_SHOW);
  if (hadWarnings || !warnings_.empty()) Layout();
  InvalidateRect(Item(Page(2), kRecDriftView), nullptr, FALSE);
}

void TRecordsWindow::SetThreshold(double steps) {
  if (!ValidDriftThreshold(steps)) return;
  SetText(Item(Page(2), kRecThresholdEdit), Fixed(steps, 1));
  if (steps == threshold_) return;
  threshold_ = steps;
  if (!options_.DriftSettingsPath.empty()) WriteDriftThreshold(options_.DriftSettingsPath, steps);
  UpdateDrift();
}

void TRecordsWindow::TakeThresholdText() {
  double steps = 0;
  if (ParseSteps(WindowText(Item(Page(2), kRecThresholdEdit)), steps) && ValidDriftThreshold(steps))
    SetThreshold(std::round(steps * 10) / 10);
  else
    SetText(Item(Page(2), kRecThresholdEdit), Fixed(threshold_, 1));
}

bool TRecordsWindow::ExportTo(const std::string& path, bool json, std::string* error) {
  if (exporting_) {
    if (error) *error = "an export is under way";
    return false;
  }
  exporting_ = true;
  HWND button = Item(Page(0), kRecExportBut);
  EnableWindow(button, FALSE);
  browser_->Export(path, json);
  // The window goes on answering while the browser's thread writes the file.
  MSG msg;
  while (exporting_) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      // The program is ending: the quit comes again for the loop that waits for it.
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (!PreTranslate(msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  EnableWindow(button, TRUE);
  if (exporting_) {
    exporting_ = false;
    exportOk_ = false;
    exportError_ = "the program is ending";
  }
  if (!exportOk_ && error) *error = exportError_;
  return exportOk_;
}

void TRecordsWindow::ExportEnded(bool ok, const std::string& error) {
  exportOk_ = ok;
  exportError_ = error;
  exporting_ = false;
}

void TRecordsWindow::DoExport() {
  wchar_t file[MAX_PATH] = L"";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = L"CSV (*.csv)\0*.csv\0JSON lines (*.json)\0*.json\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrTitle = L"Export records";
  ofn.lpstrDefExt = L"csv";
  ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  if (!GetSaveFileNameW(&ofn)) return;
  const std::string path = Utf8(file);
  std::string lower = path;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool json = ofn.nFilterIndex == 2 || (lower.size() >= 5 && lower.compare(lower.size() - 5, 5, ".json") == 0);
  std::string error;
  if (!ExportTo(path, json, &error))
    MessageBoxW(hwnd_, Wide(error).c_str(), L"Export records", MB_OK | MB_ICONWARNING);
}

void TRecordsWindow::ShowRecord(int row) {
  if (row < 0) return;
  if (const TTuningRecord* listed = browser_->RowAt(row)) browser_->ShowRecord(listed->Id);
}

void TRecordsWindow::RecordTextArrived(int64_t id, const std::string& text) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND window = CreateWindowExW(0, kRecordClass, Wide("Record " + std::to_string(id)).c_str(),
                                WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, Scaled(720),
                                Scaled(560), hwnd_, nullptr, instance, nullptr);
  HWND view = CreateWindowExW(0, L"EDIT", L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                  ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                              0, 0, 10, 10, window,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kRecRecordText)), instance, nullptr);
  SendMessageW(view, WM_SETFONT, reinterpret_cast<WPARAM>(fixedFont_), FALSE);
  SendMessageW(view, EM_SETLIMITTEXT, 0, 0);
  SetText(view, text);
  RECT client;
  GetClientRect(window, &client);
  MoveWindow(view, 0, 0, client.right, client.bottom, FALSE);
  ShowWindow(window, SW_SHOW);
}

void TRecordsWindowHost::Open(HWND owner, const TRecordsWindowOptions& options) {
  if (!window_ || options.Location != options_.Location ||
      options.DriftSettingsPath != options_.DriftSettingsPath) {
    window_.reset();
    options_ = options;
    window_ = std::make_unique<TRecordsWindow>(options, owner);
  } else {
    window_->Reload();
  }
  window_->Show();
}

void TRecordsWindowHost::RecordsWritten() {
  if (window_) window_->Refresh();
}
