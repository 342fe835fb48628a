// The one timer-period request the process holds, driven by the Start/Stop button.
#include "timer_resolution.h"

#include <mmsystem.h>

int g_requestedPeriod = -1;

namespace {

const int CAPTION_LIMIT = 100; // units of the caption read back

bool IsStartCaption(const WCHAR *caption)
{
    const WCHAR start[] = L"Start";
    for (int i = 0; start[i] != L'\0'; ++i)
        if (caption[i] != start[i])
            return false;
    return caption[5] == L'\0';
}

// Disabling the window that has the keyboard focus leaves the focus nowhere, and
// then no key reaches the dialog: not Tab, not Escape. Enter typed in the list's
// edit field starts a request (Start/Stop is the default button), so before the
// list is disabled the focus moves to the button, as the dialog manager moves
// it, and the next Enter or Space there stops the request again.
void MoveFocusOffList(HWND button, HWND list)
{
    HWND focus = GetFocus();
    if (focus != nullptr && (focus == list || IsChild(list, focus)))
        SendMessageW(GetParent(button), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
}

} // namespace

void OnStartStop(HWND button, HWND list)
{
    TextBuffer caption;
    ZeroMemory(caption, CAPTION_LIMIT * sizeof caption[0]);
    GetWindowTextW(button, caption, CAPTION_LIMIT);
    if (IsStartCaption(caption))
        StartRequest(button, list);
    else
        StopRequest(button, list);
}

void StartRequest(HWND button, HWND list)
{
    // With nothing selected (an empty list, or typing in the list's edit field
    // has cleared the selection) there is nothing to request: stay idle rather
    // than claim a request that was never placed.
    LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR)
        return;
    LRESULT value = SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    if (value < 0)
        return;

    g_requestedPeriod = static_cast<int>(value);
    if (g_requestedPeriod != 0) {
        timeBeginPeriod(static_cast<UINT>(g_requestedPeriod));
    } else {
        ResolutionReading reading = QueryResolution();
        SetKernelResolution(reading.minPeriod, TRUE);
    }
    SetWindowTextW(button, L"Stop");
    MoveFocusOffList(button, list);
    EnableWindow(list, FALSE);
}

void StopRequest(HWND button, HWND list)
{
    int value = g_requestedPeriod;
    if (value > 0) {
        timeEndPeriod(static_cast<UINT>(value));
    } else if (value == 0) {
        ResolutionReading reading = QueryResolution();
        SetKernelResolution(reading.maxPeriod, FALSE);
    }
    g_requestedPeriod = -1;
    SetWindowTextW(button, L"Start");
    EnableWindow(list, TRUE);
}
