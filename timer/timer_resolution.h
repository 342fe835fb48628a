// Timer resolution control: the native timer services, readings of the three
// timer periods and what the window makes of them, and the one request the
// process holds.
#pragma once

#include <windows.h>

// One query's three periods, each in 100-ns units (10000 to the millisecond).
struct ResolutionReading {
    ULONG maxPeriod; // longest supported period: the coarsest resolution
    ULONG minPeriod; // shortest supported period: the finest resolution
    ULONG curPeriod; // period in force now
};

// Every text the program formats or reads back goes into one of these.
const int TEXT_BUFFER_UNITS = 128;
typedef WCHAR TextBuffer[TEXT_BUFFER_UNITS];

// ntdll's exports, bound by name at start-up; null while unbound.
typedef LONG(NTAPI *NtQueryTimerResolutionFn)(PULONG maximumTime, PULONG minimumTime, PULONG currentTime);
typedef LONG(NTAPI *NtSetTimerResolutionFn)(ULONG desiredTime, BOOLEAN setResolution, PULONG actualTime);
extern NtQueryTimerResolutionFn pNtQueryTimerResolution;
extern NtSetTimerResolutionFn pNtSetTimerResolution;

// Binding the native services. The returned module handle is kept until unbinding.
HMODULE BindTimerServices();
void UnbindTimerServices(HMODULE ntdll);

// One reading; all zeros when the query service is missing or fails.
ResolutionReading QueryResolution();

// Places (set TRUE) or withdraws (set FALSE) this process's kernel request.
// Makes no call while the set service is missing.
void SetKernelResolution(ULONG desired, BOOLEAN set);

// Windows 11 stops honouring the timer requests of a process whose windows are
// all minimised or covered, unless the process opts out. SetProcessInformation
// exists from Windows 8 on, so it is looked up at run time: null before that.
typedef BOOL(WINAPI *SetProcessInformationFn)(HANDLE process, int informationClass, LPVOID information, DWORD size);
SetProcessInformationFn FindSetProcessInformation();
// Opts this process out, once, before its window exists. Does nothing when the
// function is missing; a refusal (before Windows 11) is of no consequence.
void KeepTimerRequestsWhenHidden(SetProcessInformationFn setProcessInformation);

// Periods as the window shows them.
double ToMilliseconds(ULONG period);
int WholeMilliseconds(ULONG period);
void FormatPeriodText(ULONG period, TextBuffer buffer); // "15.625 ms"
void FormatChoiceText(int n, TextBuffer buffer);        // "15 ms"

// The whole-millisecond request choices run from hi down to lo, both included;
// there are none when hi < lo.
struct PeriodChoices {
    int hi;
    int lo;
};
PeriodChoices PeriodChoiceRange(const ResolutionReading &reading);

// The held request: -1 for none, 0 for the kernel's shortest period, n > 0 for
// a multimedia period of n ms.
extern int g_requestedPeriod;

// The Start/Stop button's click: starts when the caption reads exactly "Start",
// stops otherwise.
void OnStartStop(HWND button, HWND list);
void StartRequest(HWND button, HWND list);
void StopRequest(HWND button, HWND list);
