// The local time of day, the one place that knows the runtime's thread-safe
// localtime variant.
#pragma once

#include <ctime>

// The current local date and time.
std::tm LocalTimeNow();

// Test seam: from now on LocalTimeNow reports `when` (0: the real clock
// again).  Lets a test run "past midnight" without waiting for it.
void SetClockForTests(std::time_t when);
