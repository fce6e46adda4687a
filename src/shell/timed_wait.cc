#include "shell/timed_wait.h"

#include <cmath>
#include <limits>

#include "platform/platform.h"

namespace lanfeng {
namespace {

constexpr double kMillisecondsPerUnit[] = {1, 1000, 60000, 3600000};

int64_t SaturatingAdd(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) return std::numeric_limits<int64_t>::max();
  return a + b;
}

}  // namespace

int64_t TimedWaitDueTicks(int64_t interval, int32_t unit) {
  if (unit < kMilliseconds || unit > kHours) return 0;
  double due = static_cast<double>(interval) * kMillisecondsPerUnit[unit] * -10000.0;
  // 2^63 as a double: the first value past the range.
  constexpr double kLimit = 9223372036854775808.0;
  if (due >= kLimit) return std::numeric_limits<int64_t>::max();
  if (due <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(due);  // truncates toward zero
}

bool TimedWait(int64_t interval, int32_t unit) {
  int64_t due = TimedWaitDueTicks(interval, unit);
  if (due >= 0) return !StopRequested(ThisThreadQueue());  // not a time in the future
  // Ticks of 100 ns to whole milliseconds, rounding up so the wait is never short.
  int64_t ticks = due == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -due;
  int64_t wait_ms = ticks / 10000 + (ticks % 10000 != 0 ? 1 : 0);
  int64_t deadline = SaturatingAdd(CurrentPlatform().NowMillis(), wait_ms);
  return WaitUntil(deadline) == WaitResult::kTimeUp;
}

}  // namespace lanfeng
