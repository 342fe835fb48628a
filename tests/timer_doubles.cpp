#include "timer_doubles.h"

#include <mmsystem.h>

namespace {

std::string g_calls;
std::vector<ResolutionReading> g_readings;
size_t g_nextReading = 0;

void Record(const std::string &call)
{
    g_calls += (g_calls.empty() ? "" : " ") + call;
}

LONG NTAPI RecordQuery(PULONG maximumTime, PULONG minimumTime, PULONG currentTime)
{
    Record("Query");
    const ResolutionReading &r =
        g_readings[g_nextReading < g_readings.size() ? g_nextReading++ : g_readings.size() - 1];
    *maximumTime = r.maxPeriod;
    *minimumTime = r.minPeriod;
    *currentTime = r.curPeriod;
    return 0;
}

LONG NTAPI RecordSet(ULONG desiredTime, BOOLEAN setResolution, PULONG actualTime)
{
    Record("Set(" + std::to_string(desiredTime) + "," + std::to_string(int(setResolution)) + ")");
    *actualTime = desiredTime;
    return 0;
}

MMRESULT WINAPI RecordBegin(UINT period)
{
    Record("timeBeginPeriod(" + std::to_string(period) + ")");
    return TIMERR_NOERROR;
}

MMRESULT WINAPI RecordEnd(UINT period)
{
    Record("timeEndPeriod(" + std::to_string(period) + ")");
    return TIMERR_NOERROR;
}

} // namespace

// The product code calls timeBeginPeriod and timeEndPeriod through their import
// slots, exactly as in the shipped program; the test program is linked without
// winmm and fills those slots with the recorders instead. The slots carry the
// functions' link names: decorated for x86's stdcall, plain on x64.
#ifdef _WIN64
#define KV_IMPORT_SLOT(function, argumentBytes) "__imp_" #function
#else
#define KV_IMPORT_SLOT(function, argumentBytes) "__imp__" #function "@" #argumentBytes
#endif
extern "C" {
extern MMRESULT(WINAPI *const kv_imp_timeBeginPeriod)(UINT) __asm__(KV_IMPORT_SLOT(timeBeginPeriod, 4));
extern MMRESULT(WINAPI *const kv_imp_timeEndPeriod)(UINT) __asm__(KV_IMPORT_SLOT(timeEndPeriod, 4));
MMRESULT(WINAPI *const kv_imp_timeBeginPeriod)(UINT) = RecordBegin;
MMRESULT(WINAPI *const kv_imp_timeEndPeriod)(UINT) = RecordEnd;
}

void UseRecordingServices(std::vector<ResolutionReading> readings)
{
    g_calls.clear();
    g_readings = std::move(readings);
    if (g_readings.empty())
        g_readings.push_back({0, 0, 0});
    g_nextReading = 0;
    pNtQueryTimerResolution = RecordQuery;
    pNtSetTimerResolution = RecordSet;
}

std::string &RecordedCalls()
{
    return g_calls;
}
