// Time stamps on CLOCK_MONOTONIC, the clock's resolution and the duration
// conversions; the process creation time.
#include <cmath>
#include <cstdlib>

#include "runtime/time/time_internal.h"
#include "vlm/crash.h"

namespace vellum {
namespace time_internal {

uint64_t gStartupTimeStamp = 0;
uint64_t gCreationTimeStamp = 0;
int64_t gResolutionTicks = 0;
int64_t gResolutionDecade = 0;
bool gTimeStampInitialized = false;
int (*gClockGetTime)(clockid_t, struct timespec*) = clock_gettime;
int (*gClockGetRes)(clockid_t, struct timespec*) = clock_getres;

}  // namespace time_internal

using namespace time_internal;

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000;

uint64_t ToNanoseconds(const timespec& ts) {
  return static_cast<uint64_t>(ts.tv_sec) * kNanosecondsPerSecond +
         static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t ReadClock() {
  timespec ts = {};
  gClockGetTime(CLOCK_MONOTONIC, &ts);
  return ToNanoseconds(ts);
}

}  // namespace

TimeStamp TimeStamp::Now(bool /*high_resolution*/) { return TimeStamp(ReadClock()); }

void TimeStamp::Startup() {
  if (gTimeStampInitialized) return;

  timespec ts;
  if (gClockGetTime(CLOCK_MONOTONIC, &ts) != 0) {
    VLM_CrashOOL(182, "VLM_CRASH(CLOCK_MONOTONIC is absent!)");
  }

  // The smallest step between two readings in a row, over ten trials.
  uint64_t resolution = UINT64_MAX;
  for (int trial = 0; trial < 10; ++trial) {
    uint64_t first = ReadClock();
    uint64_t second = ReadClock();
    uint64_t step = second - first;
    if (step < resolution) resolution = step;
  }
  if (resolution == 0) {
    timespec res;
    resolution = gClockGetRes(CLOCK_MONOTONIC, &res) == 0 ? ToNanoseconds(res) : 0;
  }
  if (resolution == 0) resolution = 1000000;  // one millisecond
  // Clamp readings that went backwards (a huge unsigned step) into range.
  if (resolution > static_cast<uint64_t>(INT64_MAX)) resolution = INT64_MAX;
  gResolutionTicks = static_cast<int64_t>(resolution);

  int64_t decade = 1;
  while (decade != gResolutionTicks && decade <= gResolutionTicks / 10) {
    decade *= 10;
  }
  gResolutionDecade = decade;
  gTimeStampInitialized = true;
}

void TimeStamp::Shutdown() {}

TimeStamp TimeStamp::ProcessCreation(bool* is_inconsistent) {
  if (is_inconsistent != nullptr) *is_inconsistent = false;
  if (gCreationTimeStamp != 0) return TimeStamp(gCreationTimeStamp);

  uint64_t creation;
  const char* restart = getenv("VLM_APP_RESTART");
  if (restart != nullptr && restart[0] != '\0') {
    // A restarted application counts from the launcher's first time stamp.
    creation = gStartupTimeStamp;
  } else {
    uint64_t now = ReadClock();
    uint64_t uptime = ComputeProcessUptime();
    int64_t duration =
        BaseTimeDurationPlatformUtils::TicksFromMilliseconds(static_cast<double>(uptime) / 1000.0);
    if (duration > 0 && static_cast<uint64_t>(duration) >= now) {
      creation = 0;
    } else {
      creation = now - static_cast<uint64_t>(duration);
    }
    if (creation > gStartupTimeStamp || uptime == 0) {
      creation = gStartupTimeStamp;
      if (is_inconsistent != nullptr) *is_inconsistent = true;
    }
  }
  gCreationTimeStamp = creation;
  return TimeStamp(creation);
}

void TimeStamp::RecordProcessRestart() { gCreationTimeStamp = 0; }

double BaseTimeDurationPlatformUtils::ToSeconds(int64_t ticks) {
  return static_cast<double>(ticks) / 1e9;
}

double BaseTimeDurationPlatformUtils::ToSecondsSigDigits(int64_t ticks) {
  uint64_t value = static_cast<uint64_t>(ticks);
  // Before Startup there is no resolution to cut to.
  if (gResolutionTicks > 0) value -= value % static_cast<uint64_t>(gResolutionTicks);
  if (gResolutionDecade > 0) value -= value % static_cast<uint64_t>(gResolutionDecade);
  return static_cast<double>(value) / 1e9;
}

int64_t BaseTimeDurationPlatformUtils::TicksFromMilliseconds(double milliseconds) {
  double ticks = milliseconds * 1000000.0;
  if (ticks >= 9223372036854775808.0) return INT64_MAX;
  if (ticks < -9223372036854775808.0) return INT64_MIN;
  // NaN compares false above and has no integer value: no duration at all.
  if (std::isnan(ticks)) return 0;
  return static_cast<int64_t>(ticks);
}

int64_t BaseTimeDurationPlatformUtils::ResolutionInTicks() { return gResolutionTicks; }

void InitTimeStamps() {
  gCreationTimeStamp = 0;
  gStartupTimeStamp = 0;
  TimeStamp::Startup();
  gStartupTimeStamp = ReadClock();
  atexit(TimeStamp::Shutdown);
}

}  // namespace vellum
