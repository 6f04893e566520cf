// A point in time of the FLP 1.x engine: whole seconds since 1970.
//
// The seconds are held in a long (64 bits on the target), so that dates past
// January 2038 that a server sends (expirations, activations) keep their
// value instead of wrapping.
//
// Threads: a TimeValue is a plain value. The clock hook is meant to be set by
// a test before the code that reads the time runs; reading the clock is safe
// from any thread.
#pragma once

class TimeValue {
 public:
  using Clock = long (*)();

  // The current time.
  TimeValue();
  explicit TimeValue(long seconds) : mSeconds(seconds) {}
  virtual ~TimeValue() = default;
  TimeValue(const TimeValue&) = default;
  TimeValue& operator=(const TimeValue&) = default;

  long seconds() const { return mSeconds; }
  void setSeconds(long seconds) { mSeconds = seconds; }

  bool operator==(const TimeValue& other) const { return mSeconds == other.mSeconds; }
  bool operator!=(const TimeValue& other) const { return mSeconds != other.mSeconds; }

  // The current time in seconds, from the clock in force.
  static long now();
  // Replaces the system clock (tests: a fixed "now"); null restores it.
  static void setClockForTesting(Clock clock);

 private:
  long mSeconds;
};
