#include "win32/ChartDrawing.h"

#include <memory>
#include <string>

#include "win32/WideText.h"

namespace {

constexpr wchar_t kChartClass[] = L"TptuneChart";

COLORREF Rgb(uint32_t c) { return RGB((c >> 16) & 0xff, (c >> 8) & 0xff, c & 0xff); }

struct TChartData {
  HFONT Font = nullptr;
  TSceneSource Source;
};

// A font like the selected one: bold, or turned a quarter upright (reading upwards).
HFONT DerivedFont(HDC dc, bool bold, bool upright) {
  LOGFONTW lf{};
  GetObjectW(GetCurrentObject(dc, OBJ_FONT), sizeof lf, &lf);
  if (bold) lf.lfWeight = FW_BOLD;
  if (upright) lf.lfEscapement = lf.lfOrientation = 900;
  return CreateFontIndirectW(&lf);
}

void Text(HDC dc, int x, int y, UINT align, const std::string& text) {
  const std::wstring w = Wide(text);
  SetTextAlign(dc, align);
  TextOutW(dc, x, y, w.c_str(), static_cast<int>(w.size()));
}

SIZE Extent(HDC dc, const std::string& text) {
  const std::wstring w = Wide(text);
  SIZE size{};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
  return size;
}

void Line(HDC dc, int x0, int y0, int x1, int y1) {
  MoveToEx(dc, x0, y0, nullptr);
  LineTo(dc, x1, y1);
}

HPEN Pen(uint32_t colour, int width, bool dashed) {
  LOGBRUSH brush{BS_SOLID, Rgb(colour), 0};
  return ExtCreatePen(PS_GEOMETRIC | (dashed ? PS_DASH : PS_SOLID) | PS_ENDCAP_FLAT, width, &brush,
                      0, nullptr);
}

void Dot(HDC dc, TPixPoint at, int size, uint32_t colour) {
  HBRUSH brush = CreateSolidBrush(Rgb(colour));
  HPEN pen = CreatePen(PS_SOLID, 1, Rgb(colour));
  HGDIOBJ oldBrush = SelectObject(dc, brush), oldPen = SelectObject(dc, pen);
  const int r = size / 2;
  Ellipse(dc, at.X - r, at.Y - r, at.X - r + size, at.Y - r + size);
  SelectObject(dc, oldBrush);
  SelectObject(dc, oldPen);
  DeleteObject(brush);
  DeleteObject(pen);
}

LRESULT CALLBACK ChartProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* data = reinterpret_cast<TChartData*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      break;
    }
    case WM_NCDESTROY:
      delete data;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    case WM_ERASEBKGND:
      return 1;
    case WM_SIZE:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT area;
      GetClientRect(hwnd, &area);
      HDC mem = CreateCompatibleDC(dc);
      HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<LONG>(area.right, 1), std::max<LONG>(area.bottom, 1));
      HGDIOBJ oldBitmap = SelectObject(mem, bitmap);
      HGDIOBJ oldFont = SelectObject(mem, data && data->Font ? data->Font : GetStockObject(DEFAULT_GUI_FONT));
      TEXTMETRICW tm{};
      GetTextMetricsW(mem, &tm);
      const TChartMetrics metrics{std::max<int>(tm.tmAveCharWidth, 1), std::max<int>(tm.tmHeight, 1)};
      FillRect(mem, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
      if (data && data->Source)
        PaintChartScene(mem, data->Source({area.left, area.top, area.right, area.bottom}, metrics), area);
      BitBlt(dc, 0, 0, area.right, area.bottom, mem, 0, 0, SRCCOPY);
      SelectObject(mem, oldFont);
      SelectObject(mem, oldBitmap);
      DeleteObject(bitmap);
      DeleteDC(mem);
      EndPaint(hwnd, &ps);
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

HWND CreateChartView(HWND parent, int id, HFONT font, TSceneSource source) {
  static const bool registered = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ChartProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kChartClass;
    return RegisterClassW(&wc) != 0;
  }();
  (void)registered;
  auto* data = new TChartData{font, std::move(source)};
  HWND hwnd = CreateWindowExW(0, kChartClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                              GetModuleHandleW(nullptr), data);
  if (!hwnd) delete data;
  return hwnd;
}

void PaintChartScene(HDC dc, const TChartScene& s, const RECT& area) {
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0x30, 0x30, 0x30));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  const int lineHeight = tm.tmHeight;
  const TPixRect& p = s.Plot;

  // Title, bold, centred above.
  {
    HFONT bold = DerivedFont(dc, true, false);
    HGDIOBJ old = SelectObject(dc, bold);
    Text(dc, (area.left + area.right) / 2, area.top + lineHeight / 4, TA_CENTER | TA_TOP, s.Title);
    SelectObject(dc, old);
    DeleteObject(bold);
  }

  // Grid and axes.
  HPEN grid = CreatePen(PS_SOLID, 1, RGB(0xe0, 0xe0, 0xe0));
  HPEN axis = CreatePen(PS_SOLID, 1, RGB(0x80, 0x80, 0x80));
  HGDIOBJ oldPen = SelectObject(dc, grid);
  for (const TTick& t : s.YTicks) Line(dc, p.Left, t.At, p.Right, t.At);
  if (s.XGrid)
    for (const TTick& t : s.XTicks) Line(dc, t.At, p.Top, t.At, p.Bottom);
  SelectObject(dc, axis);
  Line(dc, p.Left, p.Top, p.Left, p.Bottom);
  Line(dc, p.Left, p.Bottom, p.Right + 1, p.Bottom);
  SelectObject(dc, oldPen);
  DeleteObject(grid);
  DeleteObject(axis);

  // Labels: the left axis right-aligned beside it, the bottom axis below it (upright when many).
  for (const TTick& t : s.YTicks) Text(dc, p.Left - 5, t.At - lineHeight / 2, TA_RIGHT | TA_TOP, t.Label);
  int below = p.Bottom + 4 + lineHeight;
  if (s.XLabelsUpright) {
    HFONT upright = DerivedFont(dc, false, true);
    HGDIOBJ old = SelectObject(dc, upright);
    int widest = 0;
    for (const TTick& t : s.XTicks) {
      // Reading upwards, ending just under the axis.
      Text(dc, t.At - lineHeight / 2, p.Bottom + 4, TA_RIGHT | TA_TOP, t.Label);
      widest = std::max<int>(widest, Extent(dc, t.Label).cx);
    }
    SelectObject(dc, old);
    DeleteObject(upright);
    below = p.Bottom + 4 + widest;
  } else {
    for (const TTick& t : s.XTicks) Text(dc, t.At, p.Bottom + 4, TA_CENTER | TA_TOP, t.Label);
  }
  Text(dc, (p.Left + p.Right) / 2, below + 2, TA_CENTER | TA_TOP, s.XTitle);
  {
    HFONT upright = DerivedFont(dc, false, true);
    HGDIOBJ old = SelectObject(dc, upright);
    Text(dc, area.left + 2, (p.Top + p.Bottom) / 2, TA_CENTER | TA_TOP, s.YTitle);
    SelectObject(dc, old);
    DeleteObject(upright);
  }

  // What the chart shows, clipped to the plot.
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, p.Left, p.Top - 6, p.Right + 6, p.Bottom + 6);
  if (!s.Bars.empty()) {
    HBRUSH bar = CreateSolidBrush(Rgb(kBarColour));
    for (const TPixRect& b : s.Bars) {
      const RECT r{b.Left, b.Top, b.Right, b.Bottom};
      FillRect(dc, &r, bar);
    }
    DeleteObject(bar);
  }
  for (const TPolyline& l : s.Lines) {
    if (l.Points.size() < 2) continue;
    HPEN pen = Pen(l.Colour, l.Width, l.Dashed);
    HGDIOBJ old = SelectObject(dc, pen);
    std::vector<POINT> points;
    for (const TPixPoint& pt : l.Points) points.push_back({pt.X, pt.Y});
    Polyline(dc, points.data(), static_cast<int>(points.size()));
    SelectObject(dc, old);
    DeleteObject(pen);
  }
  for (const TMarker& m : s.Markers) Dot(dc, m.At, m.Size, m.Colour);
  RestoreDC(dc, saved);

  // The legend, one row centred along the bottom.
  if (!s.Legend.empty()) {
    const int swatch = lineHeight * 3 / 2, gap = lineHeight;
    int width = 0;
    for (const TLegendEntry& e : s.Legend) width += swatch + 4 + Extent(dc, e.Text).cx + gap;
    width -= gap;
    int x = (area.left + area.right - width) / 2;
    const int y = area.bottom - lineHeight * 3 / 2;
    for (const TLegendEntry& e : s.Legend) {
      const int mid = y + lineHeight / 2;
      if (e.Line) {
        HPEN pen = Pen(e.Colour, 2, e.Dashed);
        HGDIOBJ old = SelectObject(dc, pen);
        Line(dc, x, mid, x + swatch, mid);
        SelectObject(dc, old);
        DeleteObject(pen);
      } else {
        Dot(dc, {x + swatch / 2, mid}, lineHeight / 2, e.Colour);
      }
      x += swatch + 4;
      Text(dc, x, y, TA_LEFT | TA_TOP, e.Text);
      x += Extent(dc, e.Text).cx + gap;
    }
  }
}
