// Recording doubles for the timer services: functions that can sit in the two
// entry-point slots, and the multimedia timer imports. Every call lands in one
// ordered log so that tests can check the exact sequence.
#pragma once

#include "timer_resolution.h"

#include <string>
#include <vector>

struct TimerCall {
    enum Kind { Query, Set, Begin, End } kind;
    ULONG period; // the desired period of a Set, the argument of Begin/End
    BOOLEAN set;  // the flag of a Set
};

std::string Describe(const std::vector<TimerCall> &calls);

TimerCall QueryCall();
TimerCall SetCall(ULONG desired, BOOLEAN set);
TimerCall BeginCall(UINT ms);
TimerCall EndCall(UINT ms);

// Puts the recording doubles into both slots and clears the log. Each query
// reports the next of the given readings (the last one repeats).
void UseRecordingServices(std::vector<ResolutionReading> readings);
std::vector<TimerCall> &RecordedCalls();
