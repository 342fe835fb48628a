// What the probe (probe.cpp), hooked into the running kronvel.exe, tells a
// test's window of class PROBE_CLASS: what the program's own thread sees.
#pragma once

#include <windows.h>

#define PROBE_CLASS L"KronvelTestProbe"

// For each timer tick the program's thread takes; wParam, whose timer: the
// program's refresh (PROBE_REFRESH) or the probe's own reference timer of the
// same period (PROBE_REFERENCE), which shows how promptly the thread takes
// its timers; lParam, the tick's message time.
const UINT PROBE_TICK = WM_APP;
const WPARAM PROBE_REFRESH = 0, PROBE_REFERENCE = 1;
// Posted to the program's window, which ignores it; the probe answers with
// the same message: wParam, whether its small icon slot holds an icon; lParam,
// whether its big one does.
const UINT PROBE_ICONS = WM_APP + 1;
