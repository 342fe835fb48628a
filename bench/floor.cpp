// A floor for kronvel.exe's running cost: the same dialog from the same
// template, the same 32 ms timer and the same message loop, with either
// nothing done on each tick (floor_idle) or three constant texts written into
// the three value labels (floor_texts: the least that this design can cost).
#include <windows.h>
#include <commctrl.h>

#include "resource.h"

#ifndef FLOOR_WRITES_TEXTS
#error "define FLOOR_WRITES_TEXTS as 0 or 1"
#endif

namespace {

const UINT REFRESH_INTERVAL = 32; // milliseconds, as kronvel.exe

// Texts of kronvel.exe's length, rewritten unchanged like its readout.
void WriteConstantTexts(HWND hDlg)
{
    SetWindowTextW(GetDlgItem(hDlg, IDC_MAX_PERIOD), L"15.625 ms");
    SetWindowTextW(GetDlgItem(hDlg, IDC_MIN_PERIOD), L"0.500 ms");
    SetWindowTextW(GetDlgItem(hDlg, IDC_CUR_PERIOD), L"1.000 ms");
}

INT_PTR CALLBACK FloorDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;

    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            SendMessageW(hDlg, WM_CLOSE, 0, 0);
            return TRUE;
        }
        return FALSE;

    case WM_TIMER:
        if (wParam != IDT_REFRESH)
            return FALSE;
        if (FLOOR_WRITES_TEXTS)
            WriteConstantTexts(hDlg);
        return TRUE;

    case WM_CLOSE:
        DestroyWindow(hDlg);
        return TRUE;

    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/, int nCmdShow)
{
    InitCommonControls();
    HWND hDlg = CreateDialogParamW(hInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, FloorDlgProc, 0);
    if (hDlg == nullptr)
        return -1;

    // The same icon as kronvel.exe, so that the caption draws alike.
    HICON icon =
        static_cast<HICON>(LoadImageW(hInstance, MAKEINTRESOURCEW(IDI_MAIN), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    SendMessageW(hDlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    SendMessageW(hDlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    SetTimer(hDlg, IDT_REFRESH, REFRESH_INTERVAL, nullptr);
    ShowWindow(hDlg, nCmdShow);

    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0)
            break;
        if (got == -1)
            return -1;
        if (!IsDialogMessageW(hDlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    KillTimer(hDlg, IDT_REFRESH);
    return 0;
}
