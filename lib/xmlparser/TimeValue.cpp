#include "TimeValue.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<TimeValue::Clock> gClock{nullptr};
}  // namespace

TimeValue::TimeValue() : mSeconds(now()) {}

long TimeValue::now() {
  Clock clock = gClock.load();
  if (clock != nullptr) return clock();
  return static_cast<long>(std::time(nullptr));
}

void TimeValue::setClockForTesting(Clock clock) { gClock.store(clock); }
