// The dialog procedure: moves values between the controls and the timer code.
#include "main_dialog.h"

#include "resource.h"
#include "timer_resolution.h"

void FillPeriodList(HWND hDlg)
{
    HWND list = GetDlgItem(hDlg, IDC_PERIOD_LIST);
    PeriodChoices choices = PeriodChoiceRange(QueryResolution());
    TextBuffer text;
    for (int n = choices.hi; n >= choices.lo; --n) {
        FormatChoiceText(n, text);
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        // The item's index from the count: the list is unsorted, so it is the last.
        LRESULT index = SendMessageW(list, CB_GETCOUNT, 0, 0) - 1;
        SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index), n);
    }
    SendMessageW(list, CB_SETCURSEL, 0, 0); // the longest period
}

void RefreshReadout(HWND hDlg)
{
    ResolutionReading reading = QueryResolution();
    TextBuffer text;
    FormatPeriodText(reading.maxPeriod, text);
    SetWindowTextW(GetDlgItem(hDlg, IDC_MAX_PERIOD), text);
    FormatPeriodText(reading.minPeriod, text);
    SetWindowTextW(GetDlgItem(hDlg, IDC_MIN_PERIOD), text);
    FormatPeriodText(reading.curPeriod, text);
    SetWindowTextW(GetDlgItem(hDlg, IDC_CUR_PERIOD), text);
}

INT_PTR CALLBACK MainDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    switch (message) {
    case WM_INITDIALOG:
        FillPeriodList(hDlg);
        return TRUE; // focus to the first tab stop, Start/Stop

    case WM_COMMAND:
        // Only the id: every notification from the button counts as a click.
        switch (LOWORD(wParam)) {
        case IDCANCEL: // "Exit", and Escape through the dialog manager
            SendMessageW(hDlg, WM_CLOSE, 0, 0);
            return TRUE;
        case IDC_START_STOP:
            OnStartStop(GetDlgItem(hDlg, IDC_START_STOP), GetDlgItem(hDlg, IDC_PERIOD_LIST));
            return TRUE;
        }
        return FALSE;

    case WM_TIMER:
        if (wParam != IDT_REFRESH || pNtQueryTimerResolution == nullptr)
            return FALSE;
        RefreshReadout(hDlg);
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
