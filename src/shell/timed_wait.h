// The workers' sleep: waits a number of units while the calling thread's
// posted tasks keep running (as a Windows thread keeps its messages
// dispatched while it sleeps on a waitable timer).
#pragma once

#include <cstdint>

namespace lanfeng {

enum TimedWaitUnit : int32_t {
  kMilliseconds = 0,
  kSeconds = 1,
  kMinutes = 2,
  kHours = 3,
};

// The due time of a wait as a Windows waitable timer takes it: interval ×
// milliseconds per unit × −10000, in double precision, truncated toward zero
// to 100-nanosecond ticks (negative is relative). Saturates instead of
// overflowing. A unit code outside 0..3 gives 0.
int64_t TimedWaitDueTicks(int64_t interval, int32_t unit);

// Blocks for interval units, running the thread's posted tasks meanwhile;
// a task does not move the end of the wait. A due time that is not in the
// future (zero or negative intervals, unknown units) returns at once.
// Returns true when the time is up, false when the wait was cut short
// because the thread was asked to stop.
bool TimedWait(int64_t interval, int32_t unit);

}  // namespace lanfeng
