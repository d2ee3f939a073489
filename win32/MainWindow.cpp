#include "win32/MainWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string_view>

#include "firmware/Packages.h"
#include "front/MainPresenter.h"
#include "run/Clock.h"
#include "tuning/SerThread.h"
#include "win32/MainControls.h"
#include "win32/WideText.h"

namespace {

const char kRecords[] = "&Records...";
const char kRestore[] = "Restore firmware after test";

// The worker has calls waiting (posted by Wake from any thread).
constexpr UINT kWakeMessage = WM_APP + 1;
// The first activation, asked for once the window is shown, for a window that the system did
// not activate (no window manager, a start in the background).
constexpr UINT kActivateMessage = WM_APP + 2;

// The height a combo box's list drops down to, in design pixels.
constexpr int kDropDownHeight = 160;

enum class TKind { Label, Button, Check, Radio, Group, Combo, Other };

struct TControlDef {
  int id;
  const char* name;
  TKind kind;
};

// The controls in tab order; the group boxes come last (they lie below the controls inside
// them), and each label comes just before the control its access key leads to.
const TControlDef kControls[] = {
    {idStatTxt, "StatTxt", TKind::Other},         {idGoldTxt, "GoldTxt", TKind::Label},
    {idTPradio, "TPradio", TKind::Radio},         {idSRVradio, "SRVradio", TKind::Radio},
    {idAnaChk, "AnaChk", TKind::Check},           {idCOM1Txt, "COM1Txt", TKind::Label},
    {idCOM1Combo, "COM1Combo", TKind::Combo},     {idTPchk, "TPchk", TKind::Check},
    {idFile1Txt, "File1Txt", TKind::Label},       {idFile1Combo, "File1Combo", TKind::Combo},
    {idFile2Txt, "File2Txt", TKind::Label},       {idFile2Combo, "File2Combo", TKind::Combo},
    {idBrowse1But, "Browse1But", TKind::Button},  {idBrowse2But, "Browse2But", TKind::Button},
    {idUpd1But, "Upd1But", TKind::Button},        {idCOM2Txt, "COM2Txt", TKind::Label},
    {idCOM2Combo, "COM2Combo", TKind::Combo},     {idSrvChk, "SrvChk", TKind::Check},
    {idFile3Txt, "File3Txt", TKind::Label},       {idFile3Combo, "File3Combo", TKind::Combo},
    {idBrowse3But, "Browse3But", TKind::Button},  {idUpd2But, "Upd2But", TKind::Button},
    {idStartBut, "StartBut", TKind::Button},      {idRecordsBut, "RecordsBut", TKind::Button},
    {idExitBut, "ExitBut", TKind::Button},        {idLogMemo, "LogMemo", TKind::Other},
    {idPrcBar, "PrcBar", TKind::Other},           {idTPGroup, "TPGroup", TKind::Group},
    {idSrvGroup, "SrvGroup", TKind::Group},
};

const TControlDef* DefOf(std::string_view name) {
  for (const TControlDef& d : kControls)
    if (name == d.name) return &d;
  return nullptr;
}

// The combo box of each of the presenter's boxes.
int BoxId(TMainBox box) {
  switch (box) {
    case TMainBox::COM1: return idCOM1Combo;
    case TMainBox::COM2: return idCOM2Combo;
    case TMainBox::File1: return idFile1Combo;
    case TMainBox::File2: return idFile2Combo;
    case TMainBox::File3: break;
  }
  return idFile3Combo;
}

const TMainBox kBoxes[] = {TMainBox::COM1, TMainBox::COM2, TMainBox::File1, TMainBox::File2,
                           TMainBox::File3};

std::optional<TMainBox> BoxOf(int id) {
  for (TMainBox box : kBoxes)
    if (BoxId(box) == id) return box;
  return std::nullopt;
}

bool Shown(HWND w) { return (GetWindowLongPtrW(w, GWL_STYLE) & WS_VISIBLE) != 0; }

void Show(HWND w, bool on) {
  if (Shown(w) != on) ShowWindow(w, on ? SW_SHOWNA : SW_HIDE);
}

std::wstring WindowText(HWND w) {
  std::wstring s(static_cast<size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
  s.resize(static_cast<size_t>(GetWindowTextW(w, s.data(), static_cast<int>(s.size()))));
  return s;
}

void SetText(HWND w, const std::wstring& text) {
  if (WindowText(w) != text) SetWindowTextW(w, text.c_str());
}

// A filter text of description and pattern pairs separated by vertical bars, as the file dialog
// takes it: each piece ended by a null character, the whole by a second one.
std::wstring DialogFilter(const std::string& filter) {
  std::wstring f = Wide(filter);
  std::replace(f.begin(), f.end(), L'|', L'\0');
  f.push_back(L'\0');
  return f;
}

}  // namespace

// ---- The presenter's view ----

class TWin32Main::TWindowView final : public TMainView {
 public:
  explicit TWindowView(TWin32Main& window) : w_(window) {}

  void Render(const TMainState& state) override { w_.Render(state); }
  void AppendLog(const ByteText& line) override { w_.AppendLog(line); }
  void RunStarting() override {
    SetWindowTextW(w_.Ctl(idLogMemo), L"");
    w_.logEmpty_ = true;
  }
  void CloseWindow() override { PostMessageW(w_.hwnd_, WM_CLOSE, 0, 0); }
  void Wake() override { PostMessageW(w_.hwnd_, kWakeMessage, 0, 0); }
  void PumpUntil(const std::function<bool()>& done) override { w_.PumpUntil(done); }
  std::optional<std::string> AskForFile(const TFileRequest& request) override {
    return w_.AskForFile(request);
  }
  void OpenRecords(const TRecordsRequest& request) override {
    if (w_.options_.OpenRecords)
      w_.options_.OpenRecords(w_.hwnd_, request.Location, request.DriftSettingsPath);
  }
  void RecordsWritten() override {
    if (w_.options_.RecordsWritten) w_.options_.RecordsWritten();
  }
  TRect WindowRect() const override { return w_.WindowRect(); }
  void PlaceWindow(const TWindowPlacement& placement) override { w_.PlaceWindow(placement); }

 private:
  TWin32Main& w_;
};

// ---- Creation ----

TWin32Main::TWin32Main(TWin32MainOptions options) : options_(std::move(options)) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                            ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);

  SetUpPortObject(serIF1_, 0);
  SetUpPortObject(serIF2_, 1);
  fields_.SerIF1 = &serIF1_;
  fields_.SerIF2 = &serIF2_;

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &TWin32Main::WndProc;
  wc.hInstance = instance;
  // The program's icon is resource 1 when the program has one.
  wc.hIcon = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = TPTUNE_MAIN_CLASS;
  RegisterClassExW(&wc);  // fails harmlessly when a second window registers it again

  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, TPTUNE_MAIN_CLASS, Wide(kMainCaption).c_str(),
                          WS_OVERLAPPEDWINDOW, kMainDesignX, kMainDesignY, CW_USEDEFAULT,
                          CW_USEDEFAULT, nullptr, nullptr, instance, this);
  dpi_ = GetDpiForWindow(hwnd_);
  if (dpi_ == 0) dpi_ = 96;
  MakeFonts();
  CreateControls();

  // The client area of the design, at the window's DPI.
  RECT r{0, 0, Scale(kMainClientSize.W), Scale(kMainClientSize.H)};
  AdjustWindowRectExForDpi(&r, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT, dpi_);
  SetWindowPos(hwnd_, nullptr, kMainDesignX, kMainDesignY, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  ApplyAnchors();

  view_ = std::make_unique<TWindowView>(*this);
  TMainPresenterOptions po;
  po.ProgramPath = options_.ProgramPath.empty() ? ProgramFileName("") : options_.ProgramPath;
  po.Setup = options_.Setup;
  presenter_ = std::make_unique<TMainPresenter>(
      *view_, fields_, options_.RunClock ? *options_.RunClock : RealClock(), options_.Records,
      std::move(po));
  Render(presenter_->State());
}

TWin32Main::~TWin32Main() {
  // A window destroyed without being closed still must not leave a worker behind that calls
  // into it.
  presenter_->Stop();
  if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (font_) DeleteObject(font_);
  if (mono_) DeleteObject(mono_);
}

int TWin32Main::Scale(int designPixels) const {
  return MulDiv(designPixels, static_cast<int>(dpi_), 96);
}

// The dialog font at 8 point, and a fixed-pitch font for the status text small enough (8 point
// at most) for the prompts' longest line, 57 characters, to fit the design width.
void TWin32Main::MakeFonts() {
  if (font_) DeleteObject(font_);
  if (mono_) DeleteObject(mono_);
  auto make = [this](int points, const wchar_t* face, DWORD pitch) {
    return CreateFontW(-MulDiv(points, static_cast<int>(dpi_), 72), 0, 0, 0, FW_NORMAL, FALSE,
                       FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       CLEARTYPE_QUALITY, pitch, face);
  };
  font_ = make(8, L"MS Shell Dlg 2", DEFAULT_PITCH | FF_SWISS);
  HDC dc = GetDC(hwnd_);
  for (int points = 8; points >= 6; --points) {
    mono_ = make(points, L"Courier New", FIXED_PITCH | FF_MODERN);
    HGDIOBJ old = SelectObject(dc, mono_);
    SIZE size{};
    GetTextExtentPoint32W(dc, std::wstring(57, L'M').c_str(), 57, &size);
    SelectObject(dc, old);
    if (size.cx <= Scale(337) || points == 6) break;
    DeleteObject(mono_);
  }
  ReleaseDC(hwnd_, dc);
}

void TWin32Main::CreateControls() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  auto make = [&](const wchar_t* cls, const char* text, DWORD style, int id, DWORD ex = 0) {
    return CreateWindowExW(ex, cls, Wide(text).c_str(), WS_CHILD | style, 0, 0, 0, 0, hwnd_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  };
  const DWORD shown = WS_VISIBLE;
  const DWORD tab = WS_TABSTOP;
  const DWORD right = SS_RIGHT | SS_CENTERIMAGE;
  const DWORD combo = CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | tab | shown;

  make(WC_STATICW, "", SS_LEFT | SS_NOPREFIX, idStatTxt);
  make(WC_STATICW, "&Golden reference", right | shown, idGoldTxt);
  make(WC_BUTTONW, "&TallyPilot", BS_AUTORADIOBUTTON | WS_GROUP | tab | shown, idTPradio);
  make(WC_BUTTONW, "&Server", BS_AUTORADIOBUTTON | tab | shown, idSRVradio);
  // The analysis-only box has its box on the right of its text.
  make(WC_BUTTONW, "&Analysis only, do not change compensation setting",
       BS_AUTOCHECKBOX | BS_LEFTTEXT | BS_RIGHT | WS_GROUP | tab | shown, idAnaChk);
  make(WC_STATICW, "COM port", right | shown, idCOM1Txt);
  make(WC_COMBOBOXW, "", combo, idCOM1Combo);
  make(WC_BUTTONW, kRestore, BS_AUTOCHECKBOX | tab | shown, idTPchk);
  make(WC_STATICW, "RF modem firmware", right | shown, idFile1Txt);
  make(WC_COMBOBOXW, "", combo, idFile1Combo);
  make(WC_STATICW, "EEPROM firmware", right | shown, idFile2Txt);
  make(WC_COMBOBOXW, "", combo, idFile2Combo);
  make(WC_BUTTONW, "...", BS_PUSHBUTTON | tab | shown, idBrowse1But);
  make(WC_BUTTONW, "...", BS_PUSHBUTTON | tab | shown, idBrowse2But);
  make(WC_BUTTONW, "upd", BS_PUSHBUTTON | tab | shown, idUpd1But);
  make(WC_STATICW, "COM port", right | shown, idCOM2Txt);
  make(WC_COMBOBOXW, "", combo, idCOM2Combo);
  make(WC_BUTTONW, kRestore, BS_AUTOCHECKBOX | tab | shown, idSrvChk);
  make(WC_STATICW, "Server firmware", right | shown, idFile3Txt);
  make(WC_COMBOBOXW, "", combo, idFile3Combo);
  make(WC_BUTTONW, "...", BS_PUSHBUTTON | tab | shown, idBrowse3But);
  make(WC_BUTTONW, "upd", BS_PUSHBUTTON | tab | shown, idUpd2But);
  // Start is the window's default button.
  make(WC_BUTTONW, kCaptionStartFirst, BS_DEFPUSHBUTTON | WS_GROUP | tab | shown, idStartBut);
  make(WC_BUTTONW, kRecords, BS_PUSHBUTTON | tab | shown, idRecordsBut);
  make(WC_BUTTONW, kCaptionExit, BS_PUSHBUTTON | tab | shown, idExitBut);
  make(WC_EDITW, "", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | tab, idLogMemo,
       WS_EX_CLIENTEDGE);
  make(PROGRESS_CLASSW, "", PBS_SMOOTH, idPrcBar);
  // The groups draw only their frames: they lie below the controls in them and leave those
  // controls' areas alone.
  make(WC_BUTTONW, "TallyPilot ", BS_GROUPBOX | WS_CLIPSIBLINGS | shown, idTPGroup);
  make(WC_BUTTONW, "Server ", BS_GROUPBOX | WS_CLIPSIBLINGS | shown, idSrvGroup);

  // The stacking order (and so the tab order and the labels' access keys) as listed.
  HWND previous = HWND_TOP;
  for (const TControlDef& d : kControls) {
    HWND w = Ctl(d.id);
    SetWindowPos(w, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = w;
  }
  // The Records button's hint says why it is disabled. A disabled button takes no mouse, so the
  // hint belongs to the window over the button's place.
  tips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0,
                          0, 0, hwnd_, nullptr, instance, nullptr);
  TOOLINFOW tool{};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_SUBCLASS;
  tool.hwnd = hwnd_;
  tool.uId = idRecordsBut;
  tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  HWND log = Ctl(idLogMemo);
  SendMessageW(log, EM_SETLIMITTEXT, 0, 0);
  SendMessageW(Ctl(idPrcBar), PBM_SETRANGE32, 0, 100);
  PlaceControls();
}

// Every control where the layout table puts it for the texts' widths in the window's fonts,
// scaled by the window's DPI; resizing moves them by their anchors.
void TWin32Main::PlaceControls() {
  for (const TControlDef& d : kControls)
    SendMessageW(Ctl(d.id), WM_SETFONT,
                 reinterpret_cast<WPARAM>(d.id == idStatTxt ? mono_ : font_), FALSE);
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, font_);
  const int box = GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi_);
  // The width the control's text needs, in design pixels.
  auto needs = [&](std::string_view name) {
    const TControlDef* d = DefOf(name);
    if (!d) return 0;
    std::wstring text = WindowText(Ctl(d->id));
    text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    int px = size.cx;
    switch (d->kind) {
      case TKind::Check:
      case TKind::Radio:
        px += box + Scale(6);
        break;
      case TKind::Button:
        px += Scale(12);
        break;
      case TKind::Label:
        break;
      default:
        return 0;
    }
    return (px * 96 + static_cast<int>(dpi_) - 1) / static_cast<int>(dpi_);
  };
  const std::vector<TPlace> layout = MainLayout(needs);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);

  placed_.clear();
  for (const TPlace& p : layout) {
    const TControlDef* d = DefOf(p.Name);
    if (!d) continue;
    TPlaced c{Ctl(d->id), p.Rect, p.Anchors, !p.Parent.empty(), nullptr,
              d->kind == TKind::Combo};
    if (c.inGroup) c.group = Ctl(DefOf(p.Parent)->id);
    placed_.push_back(c);
  }
}

void TWin32Main::ApplyAnchors() {
  RECT client{};
  GetClientRect(hwnd_, &client);
  auto scaled = [this](const TRect& r) {
    return TRect{Scale(r.X), Scale(r.Y), Scale(r.W), Scale(r.H)};
  };
  const TSize now{client.right, client.bottom};
  const TSize group{Scale(kMainGroupSize.W), Scale(kMainGroupSize.H)};
  // The window's own controls come first, so a group has its new place before its controls
  // are placed in it.
  HDWP batch = BeginDeferWindowPos(static_cast<int>(placed_.size()));
  std::vector<std::pair<HWND, TRect>> places;
  for (const TPlaced& c : placed_) {
    TRect r;
    if (!c.inGroup) {
      r = Anchored(scaled(c.design), c.anchors,
                   {Scale(kMainClientSize.W), Scale(kMainClientSize.H)}, now);
    } else {
      TRect g{};
      for (const auto& [hwnd, rect] : places)
        if (hwnd == c.group) g = rect;
      r = Anchored(scaled(c.design), c.anchors, group, {g.W, g.H});
      r.X += g.X;
      r.Y += g.Y;
    }
    places.emplace_back(c.hwnd, r);
    // A combo box's height includes its list when dropped down.
    const int h = c.combo ? r.H + Scale(kDropDownHeight) : r.H;
    batch = DeferWindowPos(batch, c.hwnd, nullptr, r.X, r.Y, r.W, h,
                           SWP_NOZORDER | SWP_NOACTIVATE);
  }
  EndDeferWindowPos(batch);
  if (tips_) {
    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = hwnd_;
    tool.uId = idRecordsBut;
    GetWindowRect(Ctl(idRecordsBut), &tool.rect);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&tool.rect), 2);
    SendMessageW(tips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  InvalidateRect(hwnd_, nullptr, TRUE);
}

// ---- Messages ----

LRESULT CALLBACK TWin32Main::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TWin32Main*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<TWin32Main*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || !self->presenter_) return DefWindowProcW(hwnd, msg, wp, lp);
  return self->Handle(msg, wp, lp);
}

LRESULT TWin32Main::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kWakeMessage:
      presenter_->ServeWorker();
      return 0;
    case kActivateMessage:
      presenter_->Activate();
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE && presenter_->FirstActivate())
        PostMessageW(hwnd_, kActivateMessage, 0, 0);
      break;
    case WM_COMMAND:
      OnCommand(LOWORD(wp), HIWORD(wp));
      return 0;
    case DM_GETDEFID:
      return MAKELRESULT(idStartBut, DC_HASDEFID);
    case WM_NEXTDLGCTL: {
      // The dialog keys (Tab, access keys) move the focus through this message, as in a
      // dialog: to the control named, or to the next (previous) one in tab order.
      HWND target = LOWORD(lp) ? reinterpret_cast<HWND>(wp)
                               : GetNextDlgTabItem(hwnd_, GetFocus(), wp != 0);
      if (target) SetFocus(target);
      return 0;
    }
    case WM_SIZE:
      ApplyAnchors();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* mm = reinterpret_cast<MINMAXINFO*>(lp);
      mm->ptMinTrackSize = {Scale(kMainMinOuterSize.W), Scale(kMainMinOuterSize.H)};
      return 0;
    }
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wp);
      MakeFonts();
      PlaceControls();
      const RECT* r = reinterpret_cast<const RECT*>(lp);
      SetWindowPos(hwnd_, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      ApplyAnchors();
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      // The log is read-only but shows as a text area, like the log of a console.
      if (reinterpret_cast<HWND>(lp) == Ctl(idLogMemo)) {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_CLOSE:
      // Nothing cancels the close; a close asked for while the window already closes (its
      // wait for the worker serves messages) is the same close.
      if (closing_) return 0;
      closing_ = true;
      presenter_->Close();
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

void TWin32Main::OnCommand(int id, int code) {
  if (rendering_) return;
  TMainPresenter& p = *presenter_;
  if (const std::optional<TMainBox> box = BoxOf(id)) {
    if (code == CBN_SELCHANGE)
      p.ChooseEntry(*box, static_cast<int>(SendMessageW(Ctl(id), CB_GETCURSEL, 0, 0)));
    else if (code == CBN_EDITCHANGE)
      p.EditText(*box, Utf8(WindowText(Ctl(id))));
    return;
  }
  if (code != BN_CLICKED) return;
  // A hidden button does nothing (Enter goes to the default button, Start, which may be hidden).
  if (HWND c = Ctl(id); !c || !Shown(c) || !IsWindowEnabled(c)) return;
  auto checked = [this](int button) {
    return SendMessageW(Ctl(button), BM_GETCHECK, 0, 0) == BST_CHECKED;
  };
  switch (id) {
    case idStartBut: p.Start(); break;
    case idExitBut: p.Exit(); break;
    case idRecordsBut: p.Records(); break;
    case idUpd1But:
    case idUpd2But: p.UpdatePorts(); break;
    case idBrowse1But: p.Browse(TMainBox::File1); break;
    case idBrowse2But: p.Browse(TMainBox::File2); break;
    case idBrowse3But: p.Browse(TMainBox::File3); break;
    case idTPradio:
    case idSRVradio: p.SetGold(!checked(idSRVradio)); break;
    case idAnaChk: p.SetAnalysisOnly(checked(idAnaChk)); break;
    case idTPchk: p.SetRestoreHandheld(checked(idTPchk)); break;
    case idSrvChk: p.SetRestoreServer(checked(idSrvChk)); break;
    default: break;
  }
}

int TWin32Main::Run(int show) {
  ShowWindow(hwnd_, show);
  UpdateWindow(hwnd_);
  // Without a window manager (or started in the background) the window may not be activated;
  // its first activation then comes at once.
  if (presenter_->FirstActivate()) PostMessageW(hwnd_, kActivateMessage, 0, 0);
  MSG m;
  while (!quitSeen_) {
    const BOOL r = GetMessageW(&m, nullptr, 0, 0);
    if (r <= 0) break;
    if (DialogKey(m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  return 0;
}

void TWin32Main::PumpUntil(const std::function<bool()>& done) {
  MSG m;
  while (!done()) {
    const BOOL r = GetMessageW(&m, nullptr, 0, 0);
    if (r < 0) break;
    if (r == 0) {
      // The program is to end once the wait is over.
      quitSeen_ = true;
      continue;
    }
    if (DialogKey(m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

// The keys of a dialog: Tab, Enter, the access keys. A label's access key leads to the control
// listed right after the label (the golden reference's to the TallyPilot button, whichever radio
// button is selected, where the dialog keys would go to the selected one).
bool TWin32Main::DialogKey(const MSG& m) {
  if (options_.PreTranslate && options_.PreTranslate(const_cast<MSG&>(m))) return true;
  if (!IsWindow(hwnd_) || (m.hwnd != hwnd_ && !IsChild(hwnd_, m.hwnd))) return false;
  if (m.message == WM_SYSCHAR) {
    for (const TControlDef& d : kControls) {
      if (d.kind != TKind::Label) continue;
      HWND label = Ctl(d.id);
      const std::wstring text = WindowText(label);
      const size_t amp = text.find(L'&');
      if (!Shown(label) || amp == std::wstring::npos || amp + 1 >= text.size() ||
          std::towupper(text[amp + 1]) != std::towupper(static_cast<wint_t>(m.wParam)))
        continue;
      // (Not by its tab stop: a radio button that is not selected has none.)
      for (HWND next = GetWindow(label, GW_HWNDNEXT); next; next = GetWindow(next, GW_HWNDNEXT))
        if (Shown(next) && IsWindowEnabled(next) &&
            !(SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_STATIC)) {
          SetFocus(next);
          return true;
        }
    }
  }
  return IsDialogMessageW(hwnd_, const_cast<MSG*>(&m)) != FALSE;
}

// ---- The window's place, dialogs ----

// The outer rectangle as the settings file keeps it; a minimized or maximized window the place
// it has when restored.
TRect TWin32Main::WindowRect() const {
  RECT outer{};
  WINDOWPLACEMENT wp{};
  wp.length = sizeof(wp);
  if ((IsIconic(hwnd_) || IsZoomed(hwnd_)) && GetWindowPlacement(hwnd_, &wp))
    outer = wp.rcNormalPosition;
  else
    GetWindowRect(hwnd_, &outer);
  return {outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top};
}

// An outer size within the minimum and, like a window the operator drags, no larger than the
// screens can show.
void TWin32Main::PlaceWindow(const TWindowPlacement& p) {
  const TRect now = WindowRect();
  auto size = [](std::optional<int32_t> value, int current, int least, int largest) {
    if (!value) return current;
    return static_cast<int>(std::clamp<int64_t>(*value, least, std::max(least, largest)));
  };
  const int w = size(p.Width, now.W, Scale(kMainMinOuterSize.W),
                     GetSystemMetrics(SM_CXVIRTUALSCREEN));
  const int h = size(p.Height, now.H, Scale(kMainMinOuterSize.H),
                     GetSystemMetrics(SM_CYVIRTUALSCREEN));
  SetWindowPos(hwnd_, nullptr, p.Left.value_or(now.X), p.Top.value_or(now.Y), w, h,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

std::optional<std::string> TWin32Main::AskForFile(const TFileRequest& request) {
  std::wstring file(32768, L'\0');
  const std::wstring start = Wide(request.CurrentName);
  std::copy_n(start.begin(), std::min(start.size(), file.size() - 1), file.begin());
  const std::wstring filters = DialogFilter(request.Filter);
  const std::wstring title = Wide(request.Title);
  const std::wstring extension = Wide(request.DefaultExtension);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filters.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrTitle = title.c_str();
  ofn.lpstrDefExt = extension.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
              OFN_ENABLESIZING | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&ofn)) return std::nullopt;
  return Utf8(file.c_str());
}

// ---- Rendering ----

void TWin32Main::AppendLog(const std::string& line) {
  HWND log = Ctl(idLogMemo);
  const std::wstring text = (logEmpty_ ? L"" : L"\r\n") + DisplayText(line);
  logEmpty_ = false;
  const int end = GetWindowTextLengthW(log);
  SendMessageW(log, EM_SETSEL, end, end);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(log, EM_SCROLLCARET, 0, 0);
}

void TWin32Main::RenderBox(TMainBox box, const TMainBoxState& b) {
  HWND c = Ctl(BoxId(box));
  const int n = static_cast<int>(SendMessageW(c, CB_GETCOUNT, 0, 0));
  bool same = n == static_cast<int>(b.Combo.Items.size());
  for (int i = 0; same && i < n; ++i) {
    std::wstring item(static_cast<size_t>(SendMessageW(c, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
    item.resize(static_cast<size_t>(
        SendMessageW(c, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
    same = item == Wide(b.Combo.Items[static_cast<size_t>(i)]);
  }
  if (!same) {
    SendMessageW(c, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : b.Combo.Items)
      SendMessageW(c, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
  }
  if (SendMessageW(c, CB_GETCURSEL, 0, 0) != b.Combo.ItemIndex)
    SendMessageW(c, CB_SETCURSEL, static_cast<WPARAM>(b.Combo.ItemIndex), 0);
  // A box being typed into keeps its text (and cursor) when that is what the state says.
  SetText(c, Wide(b.Combo.Text));
}

// The presenter's state in the controls.
void TWin32Main::Render(const TMainState& s) {
  rendering_ = true;
  SetText(hwnd_, DisplayText(s.Title));
  for (int id : {idTPGroup, idSrvGroup, idGoldTxt, idTPradio, idSRVradio, idAnaChk, idRecordsBut,
                 idCOM1Txt, idCOM1Combo, idUpd1But, idCOM2Txt, idCOM2Combo, idUpd2But})
    Show(Ctl(id), s.SetUpShown);
  // Every control is the window's own child, also those drawn inside a group: they go with
  // their group.
  const TChoiceControls& c = s.Controls;
  Show(Ctl(idTPchk), s.SetUpShown && c.HandheldRestoreShown);
  Show(Ctl(idSrvChk), s.SetUpShown && c.ServerRestoreShown);
  for (int id : {idFile1Txt, idFile1Combo, idBrowse1But, idFile2Txt, idFile2Combo, idBrowse2But})
    Show(Ctl(id), s.SetUpShown && c.HandheldFilesShown);
  for (int id : {idFile3Txt, idFile3Combo, idBrowse3But})
    Show(Ctl(id), s.SetUpShown && c.ServerFilesShown);
  auto check = [this](int id, bool on) {
    SendMessageW(Ctl(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  };
  check(idTPradio, s.GoldTP);
  check(idSRVradio, !s.GoldTP);
  EnableWindow(Ctl(idTPradio), s.GoldEnabled);
  EnableWindow(Ctl(idSRVradio), s.GoldEnabled);
  check(idAnaChk, s.AnalysisOnly);
  EnableWindow(Ctl(idAnaChk), s.AnalysisEnabled);
  check(idTPchk, s.RestoreHandheldTicked);
  check(idSrvChk, s.RestoreServerTicked);
  for (TMainBox box : kBoxes) RenderBox(box, s.Box(box));
  EnableWindow(Ctl(idRecordsBut), s.RecordsEnabled);
  if (const std::wstring hint = Wide(s.RecordsHint); tips_ && hint != recordsHint_) {
    recordsHint_ = hint;
    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = hwnd_;
    tool.uId = idRecordsBut;
    tool.lpszText = recordsHint_.data();
    SendMessageW(tips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  }

  HWND status = Ctl(idStatTxt);
  SetText(status, DisplayText(s.StatusText));
  Show(status, s.StatusShown);
  HWND log = Ctl(idLogMemo);
  const bool logAppears = s.LogShown && !Shown(log);
  Show(log, s.LogShown);
  HWND bar = Ctl(idPrcBar);
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(s.Progress), 0);
  Show(bar, s.ProgressShown);
  if (s.ProgressShown && s.ProgressFinishing) UpdateWindow(log);
  HWND start = Ctl(idStartBut);
  HWND exit = Ctl(idExitBut);
  SetText(start, Wide(s.StartCaption));
  Show(start, s.StartShown);
  SetText(exit, Wide(s.ExitCaption));
  Show(exit, s.ExitShown);
  if (s.Focus == TMainFocus::Start) SetFocus(start);
  if (s.Focus == TMainFocus::Log) SetFocus(log);
  // The keyboard never stays with a control that was hidden.
  if (HWND f = GetFocus(); f && IsChild(hwnd_, f) && !IsWindowVisible(f))
    SetFocus(Shown(log) ? log : Shown(start) ? start : hwnd_);
  // The latest lines are the ones in view, also after the log was hidden behind a prompt.
  if (logAppears || s.Focus != TMainFocus::Unchanged) {
    const int end = GetWindowTextLengthW(log);
    SendMessageW(log, EM_SETSEL, end, end);
    SendMessageW(log, EM_SCROLLCARET, 0, 0);
  }
  rendering_ = false;
}
