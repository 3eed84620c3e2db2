// Time stamps and durations on the monotonic clock.
//
// vellum::TimeStamp is one unsigned 64-bit value, the nanoseconds of
// CLOCK_MONOTONIC (0 is the null time stamp). vellum::TimeDuration counts
// signed 64-bit ticks of one nanosecond; the largest value means forever.
// Now() and the conversions are safe from any thread and allocate nothing.
#ifndef VLM_TIME_STAMP_H_
#define VLM_TIME_STAMP_H_

#include <compare>
#include <cstdint>
#include <limits>

namespace vellum {

class BaseTimeDurationPlatformUtils {
 public:
  // ticks / 1e9.
  static double ToSeconds(int64_t ticks);
  // ticks (as unsigned) cut to a multiple of the clock's resolution, then of
  // its decade, then / 1e9.
  static double ToSecondsSigDigits(int64_t ticks);
  // milliseconds * 1e6, saturated to the int64_t range, truncated toward 0.
  static int64_t TicksFromMilliseconds(double milliseconds);
  static int64_t ResolutionInTicks();
};

class TimeDurationValueCalculator {
 public:
  static constexpr int64_t kForever = std::numeric_limits<int64_t>::max();
};

template <typename ValueCalculator>
class BaseTimeDuration {
 public:
  constexpr BaseTimeDuration() : value_(0) {}
  static constexpr BaseTimeDuration FromTicks(int64_t ticks) {
    BaseTimeDuration d;
    d.value_ = ticks;
    return d;
  }
  static constexpr BaseTimeDuration Forever() {
    return FromTicks(ValueCalculator::kForever);
  }
  static BaseTimeDuration FromMilliseconds(double ms) {
    return FromTicks(BaseTimeDurationPlatformUtils::TicksFromMilliseconds(ms));
  }
  constexpr int64_t ToTicks() const { return value_; }
  double ToSeconds() const { return BaseTimeDurationPlatformUtils::ToSeconds(value_); }
  double ToMilliseconds() const { return ToSeconds() * 1000.0; }
  constexpr bool IsForever() const { return value_ == ValueCalculator::kForever; }

 private:
  int64_t value_;
};

using TimeDuration = BaseTimeDuration<TimeDurationValueCalculator>;

class TimeStamp {
 public:
  constexpr TimeStamp() : value_(0) {}
  constexpr explicit TimeStamp(uint64_t nanoseconds) : value_(nanoseconds) {}

  // Reads CLOCK_MONOTONIC; the flag (high resolution wanted) is ignored.
  static TimeStamp Now(bool high_resolution = true);
  // Measures the clock's resolution once; later calls do nothing.
  static void Startup();
  static void Shutdown();
  // When the process really started; `is_inconsistent`, if given, is set when
  // the value is only an approximation (the launcher's first time stamp).
  static TimeStamp ProcessCreation(bool* is_inconsistent = nullptr);
  // Forgets the cached creation time stamp.
  static void RecordProcessRestart();
  // The process's age in microseconds, 0 when it cannot be found out.
  static uint64_t ComputeProcessUptime();

  constexpr bool IsNull() const { return value_ == 0; }
  constexpr uint64_t RawNanoseconds() const { return value_; }
  TimeDuration operator-(const TimeStamp& other) const {
    return TimeDuration::FromTicks(static_cast<int64_t>(value_ - other.value_));
  }
  TimeStamp operator+(const TimeDuration& d) const {
    return TimeStamp(value_ + static_cast<uint64_t>(d.ToTicks()));
  }
  constexpr bool operator==(const TimeStamp&) const = default;
  constexpr auto operator<=>(const TimeStamp&) const = default;

 private:
  uint64_t value_;
};

}  // namespace vellum

#endif  // VLM_TIME_STAMP_H_
