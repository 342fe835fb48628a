// Helpers for the tests that drive windows, the program's own dialog in this
// process (unit_tests) or the running kronvel.exe in another (exe_tests): one
// wait, one way to read a window's text, a list's items and the focus, one
// press per meaning. Helpers that can fail name their caller's line.
#pragma once

#include "main_dialog.h"
#include "resource.h"
#include "timer_doubles.h"
#include "timer_resolution.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

// The caller's file and line, as default arguments of a helper that can fail
// (GCC's and clang's builtins, evaluated where the helper is called).
#define KV_CALLER const char *callerFile = __builtin_FILE(), int callerLine = __builtin_LINE()
#define KV_TRACE_CALLER(what) testing::ScopedTrace callerTrace(callerFile, callerLine, what)

const DWORD WAIT_MS = 10000;

inline std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// An export of a loaded module, looked up at run time (through void (*)(),
// which converts to any function type without a warning).
template <typename Function> Function Export(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Asks done() until it answers true or WAIT_MS have passed, this thread's own
// windows taking the messages sent to them meanwhile; its last answer.
template <typename Done> bool WaitUntil(Done done)
{
    for (DWORD waited = 0;; waited += 20) {
        if (done())
            return true;
        if (waited >= WAIT_MS)
            return false;
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&msg);
        Sleep(20);
    }
}

// A window's text, of this process or another (which may not answer at once).
inline std::wstring WindowText(HWND window)
{
    TextBuffer text = L"";
    DWORD_PTR copied;
    // SMTO_NORMAL: a program still starting on a slow machine can look hung,
    // and SMTO_ABORTIFHUNG would return at once with no text.
    if (!SendMessageTimeoutW(window, WM_GETTEXT, TEXT_BUFFER_UNITS, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                             WAIT_MS, &copied))
        ADD_FAILURE() << "no answer to WM_GETTEXT within " << WAIT_MS << " ms (error " << GetLastError() << ")";
    return text;
}

// A drop-down list's items as "TEXT = DATA", top to bottom.
inline std::vector<std::string> ListItems(HWND list)
{
    std::vector<std::string> items;
    for (LRESULT i = 0, count = SendMessageW(list, CB_GETCOUNT, 0, 0); i < count; ++i) {
        TextBuffer text = L"(too long)";
        if (SendMessageW(list, CB_GETLBTEXTLEN, WPARAM(i), 0) < TEXT_BUFFER_UNITS)
            SendMessageW(list, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(text));
        items.push_back(Narrow(text) + " = " + std::to_string(SendMessageW(list, CB_GETITEMDATA, WPARAM(i), 0)));
    }
    return items;
}

// The items the program's list holds for choices from hi ms down to lo ms.
inline std::vector<std::string> ChoiceItems(int hi, int lo)
{
    std::vector<std::string> items;
    for (int n = hi; n >= lo; --n) {
        TextBuffer text;
        FormatChoiceText(n, text);
        items.push_back(Narrow(text) + " = " + std::to_string(n));
    }
    return items;
}

// Whether a window is a control of the dialog, or a part of one (the list's
// edit field), that takes input: it and its parents up to the dialog enabled.
inline bool IsEnabledControl(HWND hDlg, HWND window)
{
    if (window == nullptr || window == hDlg || !IsChild(hDlg, window))
        return false;
    for (; window != hDlg; window = GetParent(window))
        if (!IsWindowEnabled(window))
            return false;
    return true;
}

// Where the focus is, in words, for a failure message.
inline std::string FocusName(HWND hDlg, HWND focus)
{
    if (focus == nullptr)
        return "nowhere";
    if (focus == hDlg)
        return "the dialog itself";
    if (!IsChild(hDlg, focus))
        return "a window not of the dialog";
    HWND control = GetParent(focus) == hDlg ? focus : GetParent(focus);
    return "control " + std::to_string(GetDlgCtrlID(control)) + (control == focus ? "" : " (inside it)") +
           (IsEnabledControl(hDlg, focus) ? "" : ", disabled");
}

// What a click on a button sends its dialog: WM_COMMAND with the button's id
// and BN_CLICKED. Unlike BM_CLICK, which the platform says may fail while the
// dialog is not the active window, it does not depend on which window is active.
inline void PressButton(HWND hDlg, int id)
{
    DWORD_PTR result;
    if (!SendMessageTimeoutW(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(hDlg, id)), SMTO_NORMAL,
                             WAIT_MS, &result))
        ADD_FAILURE() << "button " << id << " not pressed: no answer within " << WAIT_MS << " ms (error "
                      << GetLastError() << ")";
}

// A key as the keyboard delivers it, down and up, to the window with the
// focus. A dialog of this thread (hDlg) takes it at once, through the dialog
// manager as the program's message loop does; the running program takes it in
// its own loop.
inline void PressKey(HWND focus, WPARAM key, HWND hDlg = nullptr)
{
    PostMessageW(focus, WM_KEYDOWN, key, 0x00000001);       // repeat count 1
    PostMessageW(focus, WM_KEYUP, key, LPARAM(0xC0000001)); // released
    MSG msg;
    while (hDlg != nullptr && PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE))
        if (!IsDialogMessageW(hDlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
}

// ---------------------------------------------------------------------------
// unit_tests: the program's dialog in this thread

inline bool QuitPosted()
{
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

// The program's own dialog, made from its template in this thread, with the
// recording doubles in the timer slots (unit_tests); opened from a Wine-like
// reading, "15 ms" down to "0 ms" in its list, unless a test opens it otherwise.
class Dialog : public testing::Test {
  protected:
    void SetUp() override { Open({156250, 5000, 20000}); }
    void Open(ResolutionReading reading, KV_CALLER)
    {
        KV_TRACE_CALLER("Open");
        g_requestedPeriod = -1;
        UseRecordingServices({reading});
        hDlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDlgProc, 0);
        ASSERT_NE(hDlg, nullptr);
        list = GetDlgItem(hDlg, IDC_PERIOD_LIST);
        button = GetDlgItem(hDlg, IDC_START_STOP);
    }
    void TearDown() override
    {
        if (IsWindow(hDlg))
            DestroyWindow(hDlg);
        while (QuitPosted()) {
        }
        pNtQueryTimerResolution = nullptr;
        pNtSetTimerResolution = nullptr;
        g_requestedPeriod = -1;
    }
    std::wstring Label(int id) { return WindowText(GetDlgItem(hDlg, id)); }

    HWND hDlg = nullptr, list = nullptr, button = nullptr;
};
