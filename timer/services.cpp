// The native timer-resolution services, looked up in ntdll.dll at start-up.
#include "timer_resolution.h"

NtQueryTimerResolutionFn pNtQueryTimerResolution = nullptr;
NtSetTimerResolutionFn pNtSetTimerResolution = nullptr;

namespace {

// GetProcAddress's FARPROC claims a type no export has; void (*)() is the
// compiler's "any function" and converts to the real type without complaint.
typedef void (*AnyFunction)();

AnyFunction LookUp(HMODULE module, const char *name)
{
    return reinterpret_cast<AnyFunction>(GetProcAddress(module, name));
}

} // namespace

HMODULE BindTimerServices()
{
    // Neither result is tested: a failed lookup leaves its slot null, and
    // every user of the slots copes with that.
    HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
    pNtQueryTimerResolution = reinterpret_cast<NtQueryTimerResolutionFn>(LookUp(ntdll, "NtQueryTimerResolution"));
    pNtSetTimerResolution = reinterpret_cast<NtSetTimerResolutionFn>(LookUp(ntdll, "NtSetTimerResolution"));
    return ntdll;
}

void UnbindTimerServices(HMODULE ntdll)
{
    pNtQueryTimerResolution = nullptr;
    pNtSetTimerResolution = nullptr;
    FreeLibrary(ntdll);
}

ResolutionReading QueryResolution()
{
    ResolutionReading reading = {0, 0, 0};
    if (pNtQueryTimerResolution == nullptr)
        return reading;
    LONG status = pNtQueryTimerResolution(&reading.maxPeriod, &reading.minPeriod, &reading.curPeriod);
    // A failed query may have written some of the values, or none: show none.
    if (status < 0) {
        ResolutionReading none = {0, 0, 0};
        return none;
    }
    return reading;
}

void SetKernelResolution(ULONG desired, BOOLEAN set)
{
    if (pNtSetTimerResolution == nullptr)
        return;
    ULONG current; // the period then in force; not needed
    pNtSetTimerResolution(desired, set, &current);
}

namespace {

const int PROCESS_POWER_THROTTLING = 4;               // ProcessPowerThrottling
const ULONG THROTTLING_STATE_VERSION = 1;             // PROCESS_POWER_THROTTLING_CURRENT_VERSION
const ULONG IGNORE_TIMER_RESOLUTION_THROTTLING = 0x4; // PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION

// PROCESS_POWER_THROTTLING_STATE
struct PowerThrottlingState {
    ULONG Version;
    ULONG ControlMask; // the policies this call decides
    ULONG StateMask;   // those of them switched on
};

} // namespace

SetProcessInformationFn FindSetProcessInformation()
{
    return reinterpret_cast<SetProcessInformationFn>(
        LookUp(GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation"));
}

void KeepTimerRequestsWhenHidden(SetProcessInformationFn setProcessInformation)
{
    if (setProcessInformation == nullptr)
        return;
    // The timer-resolution policy under our control, and off: requests hold
    // whatever becomes of the window.
    PowerThrottlingState state = {THROTTLING_STATE_VERSION, IGNORE_TIMER_RESOLUTION_THROTTLING, 0};
    setProcessInformation(GetCurrentProcess(), PROCESS_POWER_THROTTLING, &state, sizeof state);
}
