// A chart on the Win32 API: a child window that paints, with GDI, the scene a function gives for
// its current size (win32/ChartScene.h). It paints into a bitmap first, so resizing and redrawing
// do not flicker.
#pragma once

#include <functional>

// Before windows.h, whose old Yield() macro would empty TRecordStats::Yield (and without that
// macro where windows.h came first).
#ifdef Yield
#undef Yield
#endif
#include "win32/ChartScene.h"

#include <windows.h>

using TSceneSource = std::function<TChartScene(TPixRect area, const TChartMetrics& metrics)>;

// A chart window with the given id; font is the text font (the window's own, never deleted here).
HWND CreateChartView(HWND parent, int id, HFONT font, TSceneSource source);

// Paints a scene into a device context whose text font is selected already.
void PaintChartScene(HDC dc, const TChartScene& scene, const RECT& area);
