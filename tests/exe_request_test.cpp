// The request the running program holds: its own readout shows it held and
// then withdrawn (judged by a rule checked on its own table), and the program
// opts out of the throttling that would stop Windows 11 honouring it while the
// window is hidden.
#include "exe_tests.h"

#include <climits>
#include <cwchar>

namespace {

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

} // namespace
