// What the running program's window shows: this system's readout and
// choices, refreshed every 32 ms; its list, of the common controls' version 6;
// an icon in each of its icon slots.
#include "exe_tests.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>

namespace {

// CB_GETMINVISIBLE, answered by a combo box made here: of version 5 of the
// common controls, user32's, since this program has no manifest; or of
// version 6, under kronvel.exe's own manifest activated around it. Only
// version 6 handles the message (its documentation asks for the manifest);
// version 5 leaves it to DefWindowProc, which answers 0.
LRESULT MinVisibleOfAComboBoxMadeHere(bool underKronvelsManifest)
{
    ACTCTXW manifest = {};
    manifest.cbSize = sizeof manifest;
    manifest.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    manifest.lpSource = g_exePath.c_str();
    manifest.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = underKronvelsManifest ? CreateActCtxW(&manifest) : INVALID_HANDLE_VALUE;
    ULONG_PTR cookie = 0;
    if (context != INVALID_HANDLE_VALUE) {
        ActivateActCtx(context, &cookie);
        // Under it, comctl32.dll is version 6, whose classes this registers.
        INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_STANDARD_CLASSES};
        Export<BOOL(WINAPI *)(const INITCOMMONCONTROLSEX *)>(LoadLibraryW(L"comctl32.dll"),
                                                             "InitCommonControlsEx")(&classes);
    }
    HWND combo = CreateWindowExW(0, L"ComboBox", L"", WS_POPUP | CBS_DROPDOWN, 0, 0, 100, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    LRESULT answer = SendMessageW(combo, CB_GETMINVISIBLE, 0, 0);
    DestroyWindow(combo);
    if (context != INVALID_HANDLE_VALUE) {
        DeactivateActCtx(0, cookie);
        ReleaseActCtx(context);
    }
    return answer;
}

TEST_F(Program, ShowsTheReadoutAndTheChoicesOfThisSystem)
{
    EXPECT_EQ(WindowText(hDlg), L"Kronvel");

    // The readout, once refreshed, shows this system's reading with the
    // program's rounding. The period in force may move between two readings
    // (another process's request), so compare with a fresh one until they meet.
    HMODULE ntdll = BindTimerServices();
    std::wstring expected[3], shown[3];
    const int labels[3] = {IDC_MAX_PERIOD, IDC_MIN_PERIOD, IDC_CUR_PERIOD};
    ResolutionReading reading = {};
    WaitUntil([&] {
        reading = QueryResolution();
        const ULONG periods[3] = {reading.maxPeriod, reading.minPeriod, reading.curPeriod};
        bool same = true;
        for (int i = 0; i < 3; ++i) {
            TextBuffer text;
            FormatPeriodText(periods[i], text);
            expected[i] = text;
            shown[i] = WindowText(GetDlgItem(hDlg, labels[i]));
            same = same && shown[i] == expected[i];
        }
        return same;
    });
    UnbindTimerServices(ntdll);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(shown[i], expected[i]) << "label " << labels[i];

    // The list as Dialog.OpeningFillsTheList... checks it, from this reading.
    PeriodChoices choices = PeriodChoiceRange(reading);
    EXPECT_EQ(ListItems(list), ChoiceItems(choices.hi, choices.lo));
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    TextBuffer first;
    FormatChoiceText(choices.hi, first);
    EXPECT_EQ(WindowText(list), first);
}

TEST_F(Program, ListIsOfCommonControls6)
{
    const LRESULT version5 = MinVisibleOfAComboBoxMadeHere(false), version6 = MinVisibleOfAComboBoxMadeHere(true);
    ASSERT_NE(version5, version6) << "CB_GETMINVISIBLE does not tell the versions apart here";
    EXPECT_EQ(SendMessageW(list, CB_GETMINVISIBLE, 0, 0), version6)
        << "expected version 6's answer (version 5's is " << version5 << ")";
}

// Both of the window's icon slots hold an icon: the small one for its
// caption, the big one for Alt+Tab and the taskbar.
TEST_F(ProgramUnderProbe, FillsBothIconSlots)
{
    PostMessageW(hDlg, PROBE_ICONS, 0, 0);
    ASSERT_TRUE(WaitUntil([] { return g_iconSlots >= 0; })) << "the probe did not answer";
    EXPECT_TRUE(g_iconSlots & 1) << "no small icon";
    EXPECT_TRUE(g_iconSlots & 2) << "no big icon";
}

// The median interval between the first `count` of these message times (or
// as many as came), which a late or dropped tick does not move; or WAIT_MS,
// where no interval came.
DWORD MedianInterval(const std::vector<DWORD> &times, size_t count)
{
    std::vector<DWORD> intervals;
    for (size_t i = 1; i < std::min(count, times.size()); ++i)
        intervals.push_back(times[i] - times[i - 1]);
    if (intervals.empty())
        return WAIT_MS;
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    return intervals[intervals.size() / 2];
}

// The readout refreshes every 32 ms: the median interval between the
// program's refresh ticks. Timers fire on the system timer's ticks and the
// tick count counts them, so an interval may be read up to two of them off:
// the program holds "1 ms" meanwhile, and where the system's tick stays too
// long to tell 32 ms from 48 the check cannot judge. A thread that takes its
// messages late makes every timer of it look slow, so the probe runs a 32 ms
// timer of its own in the program's thread over the same time: where even that
// one is not taken every 32 ms, the thread is starved and the check cannot
// judge either.
TEST_F(ProgramUnderProbe, RefreshesTheReadoutEvery32Ms)
{
    ASSERT_TRUE(Choose(1));
    PressButton(hDlg, IDC_START_STOP);
    HMODULE ntdll = BindTimerServices();
    const double tick = std::max(1.0, QueryResolution().curPeriod / 10000.0); // ms
    UnbindTimerServices(ntdll);
    if (tick >= 4)
        GTEST_SKIP() << "the system timer ticks every " << tick
                     << " ms here, though the program holds 1 ms: too coarse to tell 32 ms from 48";
    const size_t ticks = 41;
    WaitUntil([&] { return g_tickTimes.size() >= ticks && g_referenceTimes.size() >= ticks; });
    ASSERT_GE(g_referenceTimes.size(), 2u)
        << "the program's thread took no tick of the probe's own timer in " << WAIT_MS << " ms";
    const DWORD refresh = MedianInterval(g_tickTimes, ticks), reference = MedianInterval(g_referenceTimes, ticks);
    if (std::abs(double(reference) - 32) > 2 * tick)
        GTEST_SKIP() << "the program's thread took the probe's own 32 ms timer every " << reference
                     << " ms here (the median of " << std::min(ticks, g_referenceTimes.size()) - 1
                     << " intervals), and its refresh timer every " << refresh
                     << " ms: too starved to tell 32 ms from 48";
    ASSERT_GE(g_tickTimes.size(), ticks) << "the program took " << g_tickTimes.size() << " refresh ticks in " << WAIT_MS
                                         << " ms";
    EXPECT_NEAR(refresh, 32, 2 * tick) << "the median interval, ticks of " << tick
                                       << " ms; the probe's own 32 ms timer's: " << reference << " ms";
}

} // namespace
