// Kronvel's one window: the dialog procedure and its two bodies.
#pragma once

#include <windows.h>

INT_PTR CALLBACK MainDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// WM_INITDIALOG: one reading, and the request list filled from its bounds.
void FillPeriodList(HWND hDlg);

// WM_TIMER: the three periods written into their labels.
void RefreshReadout(HWND hDlg);
