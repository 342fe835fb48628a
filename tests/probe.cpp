// The probe: a DLL that exe_tests hooks into the running program's thread
// (SetWindowsHookEx, WH_GETMESSAGE), to see the messages it takes.
#include "probe.h"

#include "resource.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeHook(int code, WPARAM removed, LPARAM lParam)
{
    // The reference: a thread timer, set at the first message the hook sees.
    // Its WM_TIMER has no window and no timer procedure, so the program's loop
    // passes it through IsDialogMessage and DispatchMessage untouched.
    static const UINT_PTR reference = SetTimer(nullptr, 0, 32, nullptr);
    const MSG &msg = *reinterpret_cast<const MSG *>(lParam);
    if (code == HC_ACTION && removed == PM_REMOVE) {
        if (msg.message == WM_TIMER && msg.hwnd != nullptr && msg.wParam == IDT_REFRESH)
            PostMessageW(FindWindowW(PROBE_CLASS, nullptr), PROBE_TICK, PROBE_REFRESH, LPARAM(msg.time));
        if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == reference)
            PostMessageW(FindWindowW(PROBE_CLASS, nullptr), PROBE_TICK, PROBE_REFERENCE, LPARAM(msg.time));
        // Asked from its own thread: Wine passes no WM_GETICON between processes.
        if (msg.message == PROBE_ICONS)
            PostMessageW(FindWindowW(PROBE_CLASS, nullptr), PROBE_ICONS,
                         SendMessageW(msg.hwnd, WM_GETICON, ICON_SMALL, 0) != 0,
                         SendMessageW(msg.hwnd, WM_GETICON, ICON_BIG, 0) != 0);
    }
    return CallNextHookEx(nullptr, code, removed, lParam);
}
