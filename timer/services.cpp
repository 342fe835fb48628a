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
