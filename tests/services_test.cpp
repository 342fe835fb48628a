// Binding ntdll's timer services, and the operations behind the two slots.
#include "windows_test.h"

#include <algorithm>
#include <cstring>

namespace {

TEST(Services, BindingFillsBothSlotsFromNtdllAndUnbindingClearsThem)
{
    HMODULE ntdll = BindTimerServices();
    ASSERT_NE(ntdll, nullptr);
    EXPECT_EQ(ntdll, GetModuleHandleW(L"ntdll.dll"));
    EXPECT_EQ(pNtQueryTimerResolution, Export<NtQueryTimerResolutionFn>(ntdll, "NtQueryTimerResolution"));
    EXPECT_EQ(pNtSetTimerResolution, Export<NtSetTimerResolutionFn>(ntdll, "NtSetTimerResolution"));
    EXPECT_NE(pNtQueryTimerResolution, nullptr);
    EXPECT_NE(pNtSetTimerResolution, nullptr);

    // A reading from the real service is consistent.
    ResolutionReading r = QueryResolution();
    EXPECT_GE(r.maxPeriod, r.curPeriod);
    EXPECT_GE(r.curPeriod, r.minPeriod);
    EXPECT_GT(r.minPeriod, 0u);

    UnbindTimerServices(ntdll);
    EXPECT_EQ(pNtQueryTimerResolution, nullptr);
    EXPECT_EQ(pNtSetTimerResolution, nullptr);
    // ntdll stays loaded: the process's own reference outlives ours.
    EXPECT_EQ(GetModuleHandleW(L"ntdll.dll"), ntdll);
}

// Counts its calls, writes the out-values if the test asks for it, and
// answers the test's status.
struct QueryScript {
    int calls;
    bool writes;
    LONG status;
} g_script;

LONG NTAPI ScriptedQuery(PULONG maximumTime, PULONG minimumTime, PULONG currentTime)
{
    ++g_script.calls;
    if (g_script.writes)
        *maximumTime = *minimumTime = *currentTime = 0xDEADBEEF;
    return g_script.status;
}

TEST(Services, MissingOrFailingQueryGivesAReadingOfZeros)
{
    static const struct {
        const char *what;
        NtQueryTimerResolutionFn query;
        bool writes;
        LONG status;
        int calls;
    } cases[] = {
        {"no query service", nullptr, false, 0, 0},
        {"failure that writes the out-values", ScriptedQuery, true, LONG(0xC0000001), 1},
        {"failure that leaves them unwritten", ScriptedQuery, false, LONG(0xC0000022), 1}, // STATUS_ACCESS_DENIED
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        g_script = {0, c.writes, c.status};
        pNtQueryTimerResolution = c.query;
        ResolutionReading r = QueryResolution();
        EXPECT_EQ(g_script.calls, c.calls);
        EXPECT_EQ(r.maxPeriod, 0u);
        EXPECT_EQ(r.minPeriod, 0u);
        EXPECT_EQ(r.curPeriod, 0u);
    }
    pNtQueryTimerResolution = nullptr;
}

TEST(Services, SetKernelResolutionPassesPeriodAndFlagOnce)
{
    UseRecordingServices({});
    SetKernelResolution(5000, TRUE);
    SetKernelResolution(156250, FALSE); // a withdrawal still names a period
    EXPECT_EQ(RecordedCalls(), "Set(5000,1) Set(156250,0)");

    // With the set service missing nothing is called, and nothing breaks.
    pNtSetTimerResolution = nullptr;
    SetKernelResolution(5000, TRUE);
    EXPECT_EQ(RecordedCalls(), "Set(5000,1) Set(156250,0)");
    pNtQueryTimerResolution = nullptr;
}

struct ThrottlingCall {
    int calls;
    HANDLE process;
    int informationClass;
    ULONG state[3]; // version, control mask, state mask
    DWORD size;
    bool refuses; // as before Windows 11
} g_throttling;

BOOL WINAPI RecordSetProcessInformation(HANDLE process, int informationClass, LPVOID information, DWORD size)
{
    ++g_throttling.calls;
    g_throttling.process = process;
    g_throttling.informationClass = informationClass;
    g_throttling.size = size;
    memcpy(g_throttling.state, information, std::min<DWORD>(size, sizeof g_throttling.state));
    if (g_throttling.refuses)
        SetLastError(ERROR_INVALID_PARAMETER);
    return !g_throttling.refuses;
}

TEST(Throttling, OptsOutOfTimerResolutionThrottlingForThisProcess)
{
    g_throttling = {};
    KeepTimerRequestsWhenHidden(RecordSetProcessInformation);
    EXPECT_EQ(g_throttling.calls, 1);
    EXPECT_EQ(g_throttling.process, GetCurrentProcess());
    EXPECT_EQ(g_throttling.informationClass, 4); // ProcessPowerThrottling
    EXPECT_EQ(g_throttling.size, 12u);
    EXPECT_EQ(g_throttling.state[0], 1u);   // version
    EXPECT_EQ(g_throttling.state[1], 0x4u); // control: IGNORE_TIMER_RESOLUTION
    EXPECT_EQ(g_throttling.state[2], 0u);   // state: not throttled
}

TEST(Throttling, MissingOrRefusingFunctionIsNoObstacle)
{
    g_throttling = {};
    g_throttling.refuses = true;
    KeepTimerRequestsWhenHidden(nullptr);
    KeepTimerRequestsWhenHidden(RecordSetProcessInformation);
    EXPECT_EQ(g_throttling.calls, 1);

    // The lookup finds kernel32's export where there is one (Windows 8 on).
    EXPECT_EQ(FindSetProcessInformation(),
              Export<SetProcessInformationFn>(GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation"));
}

} // namespace
