// Kronvel's entry point: binds the timer services, opens the window and runs
// its message loop.
#include <windows.h>
#include <commctrl.h>

#include "main_dialog.h"
#include "resource.h"
#include "timer_resolution.h"

const UINT REFRESH_INTERVAL = 32; // milliseconds

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/, int nCmdShow)
{
    KeepTimerRequestsWhenHidden(FindSetProcessInformation());
    HMODULE ntdll = BindTimerServices();
    InitCommonControls();

    HWND hDlg = CreateDialogParamW(hInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDlgProc, 0);
    if (hDlg == nullptr) {
        // Without a window nothing could ever end the loop below.
        UnbindTimerServices(ntdll);
        return -1;
    }

    // One image at the default icon size serves both slots; never released.
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

    KillTimer(hDlg, IDT_REFRESH); // normally gone already, with the window
    UnbindTimerServices(ntdll);
    return 0;
}
