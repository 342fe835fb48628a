// Recording doubles for the timer services: functions that can sit in the two
// entry-point slots, and the multimedia timer imports. Every call lands in one
// ordered log so that tests can check the exact sequence.
#pragma once

#include "timer_resolution.h"

#include <string>
#include <vector>

// Puts the recording doubles into both slots and clears the log. Each query
// reports the next of the given readings (the last one repeats).
void UseRecordingServices(std::vector<ResolutionReading> readings);
// The log: the calls in order, as "Query Set(5000,1) timeBeginPeriod(1)"; "" for none.
std::string &RecordedCalls();
