// Recording doubles for the timer services: functions that can sit in the two
// entry-point slots, and the multimedia timer imports. Every call lands in one
// ordered log so that tests can check the exact sequence.
#pragma once

#include "timer_resolution.h"

#include <string>
#include <vector>

// A call as the log shows it: "Query", "Set(5000,1)", "timeBeginPeriod(1)".
using TimerCall = std::string;

std::string Describe(const std::vector<TimerCall> &calls);

TimerCall QueryCall();
TimerCall SetCall(ULONG desired, BOOLEAN set);
TimerCall BeginCall(UINT ms);
TimerCall EndCall(UINT ms);

// Puts the recording doubles into both slots and clears the log. Each query
// reports the next of the given readings (the last one repeats).
void UseRecordingServices(std::vector<ResolutionReading> readings);
std::vector<TimerCall> &RecordedCalls();
