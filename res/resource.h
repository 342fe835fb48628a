// Resource, control and timer ids of Kronvel's main window.
#pragma once

// Dialog template
#define IDD_MAIN 101

// Icon group
#define IDI_MAIN 103

// Controls of IDD_MAIN (IDCANCEL, 2, is the "Exit" button; caption labels are -1)
#define IDC_MAX_PERIOD 1001
#define IDC_MIN_PERIOD 1002
#define IDC_CUR_PERIOD 1003
#define IDC_PERIOD_LIST 1004
#define IDC_START_STOP 1005

// Window timer on IDD_MAIN (not a resource)
#define IDT_REFRESH 1337
