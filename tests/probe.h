// What the probe (probe.cpp), hooked into the running kronvel.exe, tells a
// test's window of class PROBE_CLASS: what the program's own thread sees.
#pragma once

#include <windows.h>

#define PROBE_CLASS L"KronvelTestProbe"

// For each refresh tick the program takes; lParam: the tick's message time.
const UINT PROBE_TICK = WM_APP;
// Posted to the program's window, which ignores it; the probe answers with
// the same message: wParam, whether its small icon slot holds an icon; lParam,
// whether its big one does.
const UINT PROBE_ICONS = WM_APP + 1;
