// The running kronvel.exe, started and driven from this process as a user
// would drive it, and the checks of what only real Windows does with it. Its
// file's bytes are checked on the build host (exe_file_test.py).
//
// Usage: exe_tests PATH-TO-kronvel.exe [gtest options]
#include "probe.h"
#include "resource.h"
#include "windows_test.h"

#include <commctrl.h>
#include <dbghelp.h>

#include <climits>
#include <cstring>
#include <cwchar>

namespace {

POINT Middle(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// A point of the dialog that no control covers: its client area's corner.
// (Its caption would do on Windows; under Wine the window manager's caption
// lies outside the window.)
POINT BareSpot(HWND hDlg)
{
    POINT at = {2, 2};
    ClientToScreen(hDlg, &at);
    return at;
}

// Why this session cannot click, or "" when it can. Without an interactive
// desktop (a service's session, a locked or disconnected one) the cursor
// cannot be placed or input cannot be sent; whether a click arrives is the
// test's own question.
std::string WhyNoMouse(POINT at)
{
    const std::string none = "no interactive desktop: ";
    if (!SetCursorPos(at.x, at.y))
        return none + "the cursor cannot be placed (SetCursorPos: error " + std::to_string(GetLastError()) + ")";
    // Placed again while it reads elsewhere: another program may report an
    // earlier position meanwhile (see Click).
    if (!WaitUntil([&] {
            POINT now = {-1, -1};
            if (GetCursorPos(&now) && now.x == at.x && now.y == at.y)
                return true;
            SetCursorPos(at.x, at.y);
            return false;
        }))
        return none + "the cursor did not go where it was placed";
    INPUT still = {};
    still.type = INPUT_MOUSE;
    still.mi.dwFlags = MOUSEEVENTF_MOVE; // by (0, 0)
    if (SendInput(1, &still, sizeof still) != 1)
        return none + "input cannot be sent (SendInput: error " + std::to_string(GetLastError()) + ")";
    return "";
}

// A real click at a point of a window (or a control): the pointer there, the
// left button pressed and released, through the system's input queue. Its
// top-level window is raised above all others for it, without activating it,
// so that nothing else on the desktop takes the click; a click is input the
// foreground rules let move the foreground.
void Click(HWND window, POINT at, KV_CALLER)
{
    KV_TRACE_CALLER("Click");
    HWND top = GetAncestor(window, GA_ROOT);
    SetWindowPos(top, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(WindowFromPoint(at), window) << "something else is at (" << at.x << ", " << at.y << ")";
    // Each press carries its point, on the primary monitor's scale of 65536:
    // a pointer placed first, then pressed, may be taken elsewhere meanwhile
    // (under Wine, by another program's window that reports the pointer's
    // earlier position when it gets round to it).
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT clicks[2] = {};
    for (INPUT &click : clicks) {
        click.type = INPUT_MOUSE;
        click.mi.dx = (at.x * 65536 + width - 1) / width;
        click.mi.dy = (at.y * 65536 + height - 1) / height;
    }
    clicks[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN;
    clicks[1].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP;
    EXPECT_EQ(SendInput(2, clicks, sizeof clicks[0]), 2u) << "error " << GetLastError();
    SetWindowPos(top, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

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

class Program : public testing::Test {
  protected:
    void SetUp() override { StartShown(); }
    // Starts the program at path, shown as a launcher asks (a shortcut's
    // "Run" setting), and waits until it shows its window or ends.
    void Start(const std::wstring &path, WORD show = SW_SHOWNORMAL, KV_CALLER)
    {
        KV_TRACE_CALLER("Start");
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = show;
        std::wstring command = L"\"" + path + L"\"";
        ASSERT_TRUE(
            CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            << "cannot start " << Narrow(path) << ", error " << GetLastError();
        WaitForInputIdle(process.hProcess, WAIT_MS);
        WaitUntil([&] { // its dialog, visible, or its end
            DWORD pid = 0;
            for (hDlg = nullptr; (hDlg = FindWindowExW(nullptr, hDlg, L"#32770", nullptr)) != nullptr;)
                if (GetWindowThreadProcessId(hDlg, &pid) && pid == process.dwProcessId && IsWindowVisible(hDlg))
                    return true;
            return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
        });
        button = GetDlgItem(hDlg, IDC_START_STOP);
        list = GetDlgItem(hDlg, IDC_PERIOD_LIST);
    }
    // Starts the program as Start does, and fails where it shows no window.
    void StartShown(const std::wstring &path = g_exePath, WORD show = SW_SHOWNORMAL, KV_CALLER)
    {
        KV_TRACE_CALLER("StartShown");
        Start(path, show);
        ASSERT_NE(hDlg, nullptr) << WhyNoWindow();
    }
    std::string WhyNoWindow()
    {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code) && code != STILL_ACTIVE)
            return (testing::Message() << "the program ended with code 0x" << std::hex << code
                                       << " before it showed a window")
                .GetString();
        return "no window appeared";
    }
    // Ends the program, if it still runs, and lets its handles go.
    void End()
    {
        if (process.hProcess != nullptr) {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, WAIT_MS);
            }
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        process = {};
        hDlg = nullptr;
    }
    void TearDown() override { End(); }
    // Selects the list's item for n ms, as a user's choice does; false when
    // the list offers none.
    bool Choose(int n)
    {
        for (LRESULT i = 0, count = SendMessageW(list, CB_GETCOUNT, 0, 0); i < count; ++i)
            if (SendMessageW(list, CB_GETITEMDATA, WPARAM(i), 0) == n)
                return SendMessageW(list, CB_SETCURSEL, WPARAM(i), 0) == i;
        return false;
    }
    // Input arrives in its own time: the text of a window once it reads
    // expected, or whatever it reads when the wait ends.
    std::wstring TextOnceItReads(HWND window, const std::wstring &expected)
    {
        std::wstring text;
        WaitUntil([&] { return (text = WindowText(window)) == expected; });
        return text;
    }
    // The window with the keyboard focus in the program's thread: none while
    // the program is not the active one.
    HWND ProgramFocus()
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(process.dwThreadId, &info);
        return info.hwndFocus;
    }
    DWORD ExitCode(KV_CALLER)
    {
        KV_TRACE_CALLER("ExitCode");
        EXPECT_EQ(WaitForSingleObject(process.hProcess, WAIT_MS), WAIT_OBJECT_0) << "the program did not end";
        DWORD code = 12345;
        GetExitCodeProcess(process.hProcess, &code);
        return code;
    }

    PROCESS_INFORMATION process = {};
    HWND hDlg = nullptr, button = nullptr, list = nullptr;
};

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

// The first show is the one the launcher asked for, at least minimised,
// maximised and normal. Where it asked for no activation the window must not
// take the foreground, which is judged only where a normal start takes it:
// the foreground rules may keep a program away from it (when its launcher is
// not in the foreground itself).
TEST_F(Program, FirstShowIsTheLaunchersChoice)
{
    static const struct {
        WORD show;
        const char *name;
        bool iconic, zoomed, activates;
    } shows[] = {
        {SW_SHOWNORMAL, "SW_SHOWNORMAL", false, false, true}, // first: it tells whether activation can be seen
        {SW_SHOWMINIMIZED, "SW_SHOWMINIMIZED", true, false, true},
        {SW_SHOWMAXIMIZED, "SW_SHOWMAXIMIZED", false, true, true},
        {SW_SHOWMINNOACTIVE, "SW_SHOWMINNOACTIVE", true, false, false}, // a shortcut's "Minimised"
        {SW_SHOWNOACTIVATE, "SW_SHOWNOACTIVATE", false, false, false},
        {SW_SHOWNA, "SW_SHOWNA", false, false, false},
    };
    bool activationSeen = false;
    for (const auto &s : shows) {
        SCOPED_TRACE(s.name);
        End();
        ASSERT_NO_FATAL_FAILURE(StartShown(g_exePath, s.show));
        DWORD_PTR done; // answered from its message loop, so after its first show
        SendMessageTimeoutW(hDlg, WM_NULL, 0, 0, SMTO_NORMAL, WAIT_MS, &done);
        EXPECT_EQ(IsIconic(hDlg) != FALSE, s.iconic);
        EXPECT_EQ(IsZoomed(hDlg) != FALSE, s.zoomed);
        if (s.show == SW_SHOWNORMAL) {
            activationSeen = WaitUntil([&] { return GetForegroundWindow() == hDlg; });
        } else if (!s.activates && activationSeen) {
            EXPECT_NE(GetForegroundWindow(), hDlg) << "the window took the foreground";
        }
    }
    if (!activationSeen)
        GTEST_SKIP() << "the show states were judged, but not the starts without activation: a normal start does "
                        "not take the foreground here either";
}

// What the probe tells this thread's hidden window of its class.
std::vector<DWORD> g_tickTimes;
int g_iconSlots = -1; // unanswered; or bit 0, the small slot filled, bit 1, the big one

LRESULT CALLBACK TakeFromProbe(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PROBE_TICK)
        g_tickTimes.push_back(DWORD(lParam));
    if (message == PROBE_ICONS)
        g_iconSlots = (wParam ? 1 : 0) | (lParam ? 2 : 0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// The program with the probe (probe.cpp) hooked into its thread. The probe
// travels in this program's resources, and is written to a file of its own
// for the program to load.
class ProgramUnderProbe : public Program {
  protected:
    void SetUp() override
    {
        Program::SetUp();
        HRSRC probe = FindResourceW(nullptr, L"PROBE", RT_RCDATA);
        ASSERT_NE(probe, nullptr);
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = temp + (L"kronvel-probe-" + std::to_wstring(GetCurrentProcessId()) + L".dll");
        std::ofstream(Narrow(path), std::ios::binary)
            .write(static_cast<const char *>(LockResource(LoadResource(nullptr, probe))),
                   std::streamsize(SizeofResource(nullptr, probe)));
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = TakeFromProbe;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = PROBE_CLASS;
        RegisterClassW(&windowClass); // or registered already, by an earlier test
        window = CreateWindowExW(0, PROBE_CLASS, L"", 0, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
        dll = LoadLibraryW(path.c_str());
        ASSERT_NE(dll, nullptr) << "cannot load " << Narrow(path) << ", error " << GetLastError();
        hook = SetWindowsHookExW(WH_GETMESSAGE, Export<HOOKPROC>(dll, "ProbeHook"), dll, process.dwThreadId);
        ASSERT_NE(hook, nullptr) << "error " << GetLastError();
        g_tickTimes.clear();
        g_iconSlots = -1;
    }
    void TearDown() override
    {
        // Each of these lets a null handle pass, where SetUp stopped early.
        UnhookWindowsHookEx(hook);
        End(); // the program has ended, so the file can go
        DestroyWindow(window);
        FreeLibrary(dll);
        DeleteFileW(path.c_str());
    }
    std::wstring path;
    HWND window = nullptr;
    HMODULE dll = nullptr;
    HHOOK hook = nullptr;
};

// Both of the window's icon slots hold an icon: the small one for its
// caption, the big one for Alt+Tab and the taskbar.
TEST_F(ProgramUnderProbe, FillsBothIconSlots)
{
    PostMessageW(hDlg, PROBE_ICONS, 0, 0);
    ASSERT_TRUE(WaitUntil([] { return g_iconSlots >= 0; })) << "the probe did not answer";
    EXPECT_TRUE(g_iconSlots & 1) << "no small icon";
    EXPECT_TRUE(g_iconSlots & 2) << "no big icon";
}

// The readout refreshes every 32 ms: the median of the intervals between the
// program's refresh ticks, which a late or dropped one does not move. Timers
// fire on the system timer's ticks and the tick count counts them, so an
// interval may be read up to two of them off: the program holds "1 ms"
// meanwhile, and where the system's tick stays too long to tell 32 ms from 48
// the check cannot judge.
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
    ASSERT_TRUE(WaitUntil([&] { return g_tickTimes.size() >= ticks; }))
        << "the program took " << g_tickTimes.size() << " refresh ticks in " << WAIT_MS << " ms";
    std::vector<DWORD> intervals;
    for (size_t i = 1; i < ticks; ++i)
        intervals.push_back(g_tickTimes[i] - g_tickTimes[i - 1]);
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    EXPECT_NEAR(intervals[intervals.size() / 2], 32, 2 * tick) << "the median interval, ticks of " << tick << " ms";
}

// Start and Stop switch the button and the list in the running program; each
// way of closing it then ends it with code 0, a request held or not.
TEST_F(Program, StartStopAndEveryWayOfClosingEndWithCodeZero)
{
    static const struct {
        const char *way;
        bool held;
        void (*close)(HWND dialog);
    } ways[] = {
        {"the Exit button", false, [](HWND dialog) { PressButton(dialog, IDCANCEL); }},
        {"Escape", true, [](HWND dialog) { PressKey(GetDlgItem(dialog, IDCANCEL), VK_ESCAPE); }},
        {"the close box", true, [](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const auto &w : ways) {
        SCOPED_TRACE(w.way);
        if (hDlg == nullptr) { // the way before ended it
            ASSERT_NO_FATAL_FAILURE(StartShown());
        }
        PressButton(hDlg, IDC_START_STOP);
        ASSERT_EQ(WindowText(button), L"Stop");
        EXPECT_FALSE(IsWindowEnabled(list));
        if (!w.held) {
            PressButton(hDlg, IDC_START_STOP);
            EXPECT_EQ(WindowText(button), L"Start");
            EXPECT_TRUE(IsWindowEnabled(list));
        }
        w.close(hDlg);
        EXPECT_EQ(ExitCode(), 0u);
        End();
    }
}

TEST_F(Program, MouseClicksOnTheButtonsReachTheProgram)
{
    KV_SKIP_IF(WhyNoMouse(Middle(button)));
    Click(button, Middle(button));
    EXPECT_EQ(TextOnceItReads(button, L"Stop"), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(list));
    Click(button, Middle(button));
    EXPECT_EQ(TextOnceItReads(button, L"Start"), L"Start");
    EXPECT_TRUE(IsWindowEnabled(list));
    HWND exitButton = GetDlgItem(hDlg, IDCANCEL);
    Click(exitButton, Middle(exitButton));
    EXPECT_EQ(ExitCode(), 0u);
}

// The held-request check's readings, in 100 ns units as the timer counts: the
// period in force before Start, after Start (once it reached the target or the
// wait ended) and after Stop (once it rose above it or the wait ended), for the
// list's choice of n ms, where the shortest period is shortest.
struct HeldReadings {
    int choice;
    ULONG shortest, before, started, stopped;
    ULONG Target() const { return choice == 0 ? shortest : ULONG(choice) * 10000; } // "0 ms": the shortest
};
enum class Verdict { Pass, Skip, Fail };
struct Judgement {
    Verdict verdict;
    std::string why;
};
const ULONG DISPLAY_UNIT = 10; // 0.001 ms, the readout's last digit

// Whether the readings show the program's request held and withdrawn. The
// period in force is the shortest any process asks for, so a period already
// at the target says nothing; hardware periods (0.9766 ms, 0.997 ms) differ
// from what was asked, so the target is reached within a display unit.
Judgement JudgeHeldRequest(const HeldReadings &r)
{
    auto ms = [](ULONG period) {
        TextBuffer text;
        FormatPeriodText(period, text);
        return Narrow(text);
    };
    const ULONG target = r.Target();
    if (r.choice == 0 && r.shortest >= 10000)
        return {Verdict::Skip, "the list offers no \"0 ms\" where the shortest period is " + ms(r.shortest)};
    if (r.before <= target + DISPLAY_UNIT)
        return {Verdict::Skip, "something else already held " + ms(r.before) + " before Start, at or below the " +
                                   ms(target) + " asked for"};
    if (r.started > target + DISPLAY_UNIT)
        return {Verdict::Fail, "after Start the period in force reached " + ms(r.started) + ", not " + ms(target)};
    if (r.stopped > target + DISPLAY_UNIT)
        return {Verdict::Pass, ""};
    if (r.started < target - target / 10)
        return {Verdict::Skip, "something else held " + ms(r.started) + ", below the " + ms(target) +
                                   " asked for, so the rise after Stop cannot be judged"};
    return {Verdict::Fail, "after Stop the period in force stayed at " + ms(r.stopped)};
}

TEST(HeldRequestJudgement, PassesOnlyARequestSeenHeldAndWithdrawn)
{
    static const struct {
        HeldReadings readings;
        Verdict verdict;
    } cases[] = {
        {{1, 5000, 156250, 10000, 156250}, Verdict::Pass},
        {{1, 5000, 156250, 9766, 20000}, Verdict::Pass},    // a hardware period; something else holds 2 ms
        {{0, 5000, 156250, 5000, 156250}, Verdict::Pass},   // "0 ms": the shortest
        {{1, 5000, 10000, 10000, 10000}, Verdict::Skip},    // already held
        {{1, 5000, 9766, 9766, 9766}, Verdict::Skip},       // already held, shorter
        {{0, 10000, 156250, 10000, 10000}, Verdict::Skip},  // no "0 ms" offered
        {{1, 5000, 156250, 5000, 5000}, Verdict::Skip},     // something shorter held meanwhile
        {{1, 5000, 156250, 156250, 156250}, Verdict::Fail}, // never reached
        {{1, 5000, 156250, 10020, 156250}, Verdict::Fail},  // two display units short
        {{0, 5000, 156250, 10000, 156250}, Verdict::Fail},  // "0 ms" held as 1 ms
        {{1, 5000, 156250, 10000, 10000}, Verdict::Fail},   // never fell back
    };
    for (const auto &c : cases) {
        const HeldReadings &r = c.readings;
        SCOPED_TRACE(testing::Message() << r.choice << " ms: shortest " << r.shortest << ", before " << r.before
                                        << ", started " << r.started << ", stopped " << r.stopped);
        Judgement judgement = JudgeHeldRequest(r);
        EXPECT_EQ(int(judgement.verdict), int(c.verdict)) << judgement.why;
        EXPECT_EQ(judgement.why.empty(), c.verdict == Verdict::Pass) << judgement.why;
    }
}

// The period the readout shows, read back as a number.
ULONG ShownPeriod(HWND label)
{
    return ULONG(wcstod(WindowText(label).c_str(), nullptr) * 10000 + 0.5);
}

// While the program holds a request, its own readout shows the period in force
// at the target; once it withdraws it, above.
TEST_F(Program, HeldRequestShowsInItsOwnReadout)
{
    KV_SKIP_IF(WhyNotHere("its timer requests change nothing"));
    HWND current = GetDlgItem(hDlg, IDC_CUR_PERIOD);
    std::string skipped;
    for (int choice : {1, 0}) {
        SCOPED_TRACE(testing::Message() << "holding \"" << choice << " ms\"");
        HMODULE ntdll = BindTimerServices();
        ResolutionReading now = QueryResolution();
        UnbindTimerServices(ntdll);
        HeldReadings r = {choice, now.minPeriod, now.curPeriod, now.curPeriod, now.curPeriod};
        const ULONG target = r.Target();
        // Judged as if it held and fell back: a skip now comes from what was
        // read before Start.
        if (JudgeHeldRequest({choice, r.shortest, r.before, 0, ULONG_MAX}).verdict != Verdict::Skip && Choose(choice)) {
            PressButton(hDlg, IDC_START_STOP);
            WaitUntil([&] { return (r.started = ShownPeriod(current)) <= target + DISPLAY_UNIT; });
            PressButton(hDlg, IDC_START_STOP);
            WaitUntil([&] { return (r.stopped = ShownPeriod(current)) > target + DISPLAY_UNIT; });
        }
        Judgement judgement = JudgeHeldRequest(r);
        if (judgement.verdict == Verdict::Fail)
            ADD_FAILURE() << judgement.why;
        if (judgement.verdict == Verdict::Skip)
            skipped += (skipped.empty() ? "" : "; ") + std::to_string(choice) + " ms: " + judgement.why;
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

// A copy of the program alone in a fresh folder, beside a winmm.dll of zero
// bytes, as a planted DLL would lie beside it in a downloads folder. Loaded,
// it would stop the program before its window. The control: a copy whose
// DependentLoadFlags are zeroed, which that folder must stop.
class ProgramBesideAPlantedDll : public Program {
  protected:
    void SetUp() override
    {
        KV_SKIP_IF(
            WhyNotHere("its loader takes no DependentLoadFlags from the load configuration", 14393, "Windows 10 1607"));
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder =
            temp + (L"kronvel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << "error " << GetLastError();
        std::ifstream in(Narrow(g_exePath), std::ios::binary);
        std::vector<char> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        Write(L"\\kronvel.exe", image);
        // The load configuration where the image helper finds it in the file;
        // DependentLoadFlags follows CSDVersion (MinGW-w64's headers named it
        // Reserved1 before release 13).
        ULONG size = 0;
        auto *config = static_cast<IMAGE_LOAD_CONFIG_DIRECTORY *>(
            ImageDirectoryEntryToData(image.data(), FALSE, IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG, &size));
        ASSERT_NE(config, nullptr) << "no load configuration in " << Narrow(g_exePath);
        memset(&config->CSDVersion + 1, 0, sizeof(WORD));
        Write(L"\\unflagged.exe", image);
        Write(L"\\winmm.dll", {});
        // A loader failure then ends the program without a message box.
        SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
    }
    void Write(const wchar_t *name, const std::vector<char> &bytes, KV_CALLER)
    {
        KV_TRACE_CALLER("Write");
        std::ofstream out(Narrow(folder + name), std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        ASSERT_TRUE(out.flush()) << "cannot write " << Narrow(folder + name);
    }
    void TearDown() override
    {
        End(); // the program has ended, so its file can go
        if (folder.empty())
            return;
        // A virus scanner may still hold a file it has just seen.
        EXPECT_TRUE(WaitUntil([&] {
            for (const wchar_t *file : {L"\\kronvel.exe", L"\\unflagged.exe", L"\\winmm.dll"})
                DeleteFileW((folder + file).c_str());
            return RemoveDirectoryW(folder.c_str()) != FALSE;
        })) << "cannot remove "
            << Narrow(folder) << ", error " << GetLastError();
    }
    std::wstring folder;
};

TEST_F(ProgramBesideAPlantedDll, StartsWithItsImportsFromSystem32)
{
    Start(folder + L"\\unflagged.exe");
    if (hDlg != nullptr)
        GTEST_SKIP() << "without DependentLoadFlags the program starts beside a zero-byte winmm.dll all the same "
                        "here, so this Windows cannot judge the flags";
    DWORD code = ExitCode();
    EXPECT_GE(code, 0xC0000000u) << "the copy without DependentLoadFlags ended with 0x" << std::hex << code
                                 << ", not a loader status";
    End();
    ASSERT_NO_FATAL_FAILURE(StartShown(folder + L"\\kronvel.exe"));
    PressButton(hDlg, IDCANCEL);
    EXPECT_EQ(ExitCode(), 0u);
}

// Windows 11 stops honouring the timer requests of a process whose windows are
// all hidden, unless it opts out: the program does, before its window exists.
TEST_F(Program, OptsOutOfTimerThrottlingWhileHidden)
{
    KV_SKIP_IF(WhyNotHere("its kernel32 has no GetProcessInformation", 22000, "Windows 11"));
    ULONG state[3] = {1, 0, 0};                // PROCESS_POWER_THROTTLING_STATE: version, control mask, state mask
    const ULONG IGNORE_TIMER_RESOLUTION = 0x4; // PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION
    auto getProcessInformation =
        Export<BOOL(WINAPI *)(HANDLE, int, LPVOID, DWORD)>(GetModuleHandleW(L"kernel32.dll"), "GetProcessInformation");
    ASSERT_NE(getProcessInformation, nullptr);
    if (!getProcessInformation(process.hProcess, 4 /* ProcessPowerThrottling */, &state, sizeof state)) {
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER && WindowsBuild() < 22621)
            GTEST_SKIP() << "GetProcessInformation(ProcessPowerThrottling) fails with error 87 before Windows 11 22H2 "
                            "(build 22621); this is build "
                         << WindowsBuild();
        FAIL() << "GetProcessInformation(ProcessPowerThrottling): error " << error;
    }
    EXPECT_TRUE(state[1] & IGNORE_TIMER_RESOLUTION) << "ControlMask 0x" << std::hex << state[1];
    EXPECT_FALSE(state[2] & IGNORE_TIMER_RESOLUTION) << "StateMask 0x" << std::hex << state[2];
}

TEST_F(Program, ListIsOfCommonControls6)
{
    const LRESULT version5 = MinVisibleOfAComboBoxMadeHere(false), version6 = MinVisibleOfAComboBoxMadeHere(true);
    ASSERT_NE(version5, version6) << "CB_GETMINVISIBLE does not tell the versions apart here";
    EXPECT_EQ(SendMessageW(list, CB_GETMINVISIBLE, 0, 0), version6)
        << "expected version 6's answer (version 5's is " << version5 << ")";
}

// The program, and a window of this process's own to leave it for. The
// foreground moves between them by clicks, real input, which the foreground
// rules let move it wherever some other process's window (a console's, say)
// holds it.
class ProgramAndAnotherWindow : public Program {
  protected:
    void SetUp() override
    {
        Program::SetUp();
        RECT beside; // the program's window, for this one to lie beside it
        GetWindowRect(hDlg, &beside);
        other = CreateWindowExW(0, L"Static", L"Another window", WS_OVERLAPPEDWINDOW | WS_VISIBLE | SS_NOTIFY,
                                beside.right + 20, beside.top, 200, 100, nullptr, nullptr, GetModuleHandleW(nullptr),
                                nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(other);
        Program::TearDown();
    }
    // Clicks a window at a point and waits until it is the foreground window.
    void Activate(HWND window, POINT at, KV_CALLER)
    {
        KV_TRACE_CALLER(window == hDlg ? "Activate: the program's window" : "Activate: the other window");
        ASSERT_NO_FATAL_FAILURE(Click(window, at));
        ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == window; }))
            << "the foreground stayed with another window";
    }
    HWND other = nullptr;
};

// A start that arrives while the window is inactive finds no focus to move
// off the list; coming back, the window must not hand it to the disabled list.
TEST_F(ProgramAndAnotherWindow, StartWhileInactiveLeavesTheFocusOnAnEnabledControl)
{
    KV_SKIP_IF(WhyNoMouse(Middle(other)));
    ASSERT_NO_FATAL_FAILURE(Activate(hDlg, BareSpot(hDlg)));
    SendMessageW(hDlg, WM_NEXTDLGCTL, WPARAM(list), TRUE); // where Tab puts it: the list's edit field
    ASSERT_TRUE(IsChild(list, ProgramFocus())) << "focus on " << FocusName(hDlg, ProgramFocus());
    ASSERT_NO_FATAL_FAILURE(Activate(other, Middle(other)));

    PressButton(hDlg, IDC_START_STOP);
    ASSERT_EQ(WindowText(button), L"Stop");
    ASSERT_FALSE(IsWindowEnabled(list));
    ASSERT_NO_FATAL_FAILURE(Activate(hDlg, BareSpot(hDlg)));
    // Activated, the dialog holds the focus itself for a moment before it
    // hands it to a control: judge where it lands.
    HWND focus = nullptr;
    WaitUntil([&] { return (focus = ProgramFocus()) != nullptr && focus != hDlg; });
    ASSERT_TRUE(IsEnabledControl(hDlg, focus))
        << "expected the focus on an enabled control, got it on " << FocusName(hDlg, focus);
    PressKey(focus, VK_RETURN);
    EXPECT_EQ(TextOnceItReads(button, L"Start"), L"Start") << "Enter did not stop the request";
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // One full path for every check, whatever the current folder or the DLL
    // search order.
    WCHAR full[MAX_PATH];
    DWORD length =
        argc == 2 ? GetFullPathNameW(std::wstring(argv[1], argv[1] + strlen(argv[1])).c_str(), MAX_PATH, full, nullptr)
                  : 0;
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "usage: exe_tests PATH-TO-kronvel.exe [gtest options]\n");
        return 2;
    }
    g_exePath = full;
    return RUN_ALL_TESTS();
}
