#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "gtest/gtest.h"
#include "runtime/crash/crash_testing.h"
#include "runtime/time/time_internal.h"

namespace vellum {
namespace {

using namespace time_internal;
using Utils = BaseTimeDurationPlatformUtils;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// Restores the process-wide time state a test changes.
class TimeStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gTimeStampInitialized) InitTimeStamps();
    saved_resolution_ = gResolutionTicks;
    saved_decade_ = gResolutionDecade;
    saved_startup_ = gStartupTimeStamp;
    // The process is at least a few clock ticks old before the startup time
    // stamp, so a creation time worked out from /proc lies before it.
    usleep(30000);
    gStartupTimeStamp = TimeStamp::Now().RawNanoseconds();
    unsetenv("VLM_APP_RESTART");
    TimeStamp::RecordProcessRestart();
  }
  void TearDown() override {
    gResolutionTicks = saved_resolution_;
    gResolutionDecade = saved_decade_;
    gStartupTimeStamp = saved_startup_;
    gClockGetTime = clock_gettime;
    gClockGetRes = clock_getres;
    gProcSelfDir = "/proc/self";
    gTimeStampInitialized = true;
    unsetenv("VLM_APP_RESTART");
    TimeStamp::RecordProcessRestart();
  }

  int64_t saved_resolution_ = 0, saved_decade_ = 0;
  uint64_t saved_startup_ = 0;
};

TEST(TimeStampTest, NowIsMonotonicNanoseconds) {
  timespec ts;
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &ts), 0);
  uint64_t before = static_cast<uint64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  TimeStamp a = TimeStamp::Now(false);
  TimeStamp b = TimeStamp::Now(true);
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &ts), 0);
  uint64_t after = static_cast<uint64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  EXPECT_LE(before, a.RawNanoseconds());
  EXPECT_LE(a, b);
  EXPECT_LE(b.RawNanoseconds(), after);
  EXPECT_FALSE(a.IsNull());
  EXPECT_EQ((b - a).ToTicks(), static_cast<int64_t>(b.RawNanoseconds() - a.RawNanoseconds()));
}

TEST(TimeStampTest, TicksFromMilliseconds) {
  struct Case {
    int line;
    double milliseconds;
    int64_t ticks;
  } cases[] = {
      {__LINE__, 1.5, 1500000},
      {__LINE__, -1.5, -1500000},
      {__LINE__, 0.0000019, 1},  // 1.9 ticks truncate toward zero
      {__LINE__, -0.0000019, -1},
      {__LINE__, 1e13, kMax},  // saturates
      {__LINE__, -1e13, kMin},
      {__LINE__, 9223372036854.775808, kMax},   // exactly 2^63 ticks
      {__LINE__, -9223372036854.775808, kMin},  // exactly -2^63 ticks
      {__LINE__, INFINITY, kMax},
      {__LINE__, -INFINITY, kMin},
      {__LINE__, NAN, 0},  // no integer value: no duration
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Utils::TicksFromMilliseconds(c.milliseconds), c.ticks);
  }
  EXPECT_TRUE(TimeDuration::FromMilliseconds(1e300).IsForever());
}

TEST_F(TimeStateTest, SecondsConversions) {
  EXPECT_EQ(Utils::ToSeconds(1500000000), 1.5);
  EXPECT_EQ(Utils::ToSeconds(-250000000), -0.25);

  struct Case {
    int line;
    int64_t resolution, decade, ticks;
    double seconds;
  } cases[] = {
      {__LINE__, 1000, 1000, 123456789, 0.123456},
      {__LINE__, 30, 10, 123456789, 0.12345678},  // 123456780 is a multiple of both
      {__LINE__, 1, 1, 123456789, 0.123456789},
      {__LINE__, 1000000, 1000000, 999999, 0.0},
      // Negative ticks are taken as unsigned.
      {__LINE__, 1, 1, -1, 18446744073.709551615},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    gResolutionTicks = c.resolution;
    gResolutionDecade = c.decade;
    EXPECT_EQ(Utils::ToSecondsSigDigits(c.ticks), c.seconds);
    EXPECT_EQ(Utils::ResolutionInTicks(), c.resolution);
  }
}

// A fake clock that advances by a fixed step on every reading.
uint64_t gFakeNow;
uint64_t gFakeStep;
int64_t gFakeRes;  // <0: clock_getres fails
int FakeGetTime(clockid_t, timespec* ts) {
  ts->tv_sec = static_cast<time_t>(gFakeNow / 1000000000);
  ts->tv_nsec = static_cast<long>(gFakeNow % 1000000000);
  gFakeNow += gFakeStep;
  return 0;
}
int FakeGetRes(clockid_t, timespec* ts) {
  if (gFakeRes < 0) return -1;
  ts->tv_sec = static_cast<time_t>(gFakeRes / 1000000000);
  ts->tv_nsec = static_cast<long>(gFakeRes % 1000000000);
  return 0;
}

TEST_F(TimeStateTest, StartupMeasuresResolution) {
  struct Case {
    int line;
    uint64_t step;
    int64_t getres;
    int64_t resolution, decade;
  } cases[] = {
      {__LINE__, 30, 1, 30, 10},
      {__LINE__, 1000, 1, 1000, 1000},
      {__LINE__, 999, 1, 999, 100},
      {__LINE__, 1, 5, 1, 1},
      // A clock that does not move between readings: ask clock_getres.
      {__LINE__, 0, 4000, 4000, 1000},
      {__LINE__, 0, 2000000000, 2000000000, 1000000000},  // over a second
      // ... and when that reports 0 or fails, one millisecond.
      {__LINE__, 0, 0, 1000000, 1000000},
      {__LINE__, 0, -1, 1000000, 1000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    gFakeNow = 5000000000;
    gFakeStep = c.step;
    gFakeRes = c.getres;
    gClockGetTime = FakeGetTime;
    gClockGetRes = FakeGetRes;
    gTimeStampInitialized = false;
    TimeStamp::Startup();
    EXPECT_TRUE(gTimeStampInitialized);
    EXPECT_EQ(gResolutionTicks, c.resolution);
    EXPECT_EQ(gResolutionDecade, c.decade);
    // Once initialised, Startup does nothing.
    gFakeStep = 7;
    TimeStamp::Startup();
    EXPECT_EQ(gResolutionTicks, c.resolution);
  }
}

int AbsentClock(clockid_t, timespec*) { return -1; }

TEST(TimeStampDeathTest, StartupWithoutMonotonicClockCrashes) {
  EXPECT_EXIT(testing::ReportCrashesAndExit({[] {
                gClockGetTime = AbsentClock;
                gTimeStampInitialized = false;
                TimeStamp::Startup();
              }}),
              ::testing::ExitedWithCode(0),
              "reason=VLM_CRASH\\(CLOCK_MONOTONIC is absent!\\) line=182\n");
}

TEST(UptimeTest, ReadStartTime) {
  struct Case {
    int line;
    std::string content;
    uint64_t start;
  } cases[] = {
      {__LINE__,
       "4242 (tarvelin) S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 "
       "987654 1000 200\n",
       987654},
      // The command name may hold ") " and parentheses: the last ")" ends it.
      {__LINE__, "7 (a) b (c) d) R 1 7 7 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 31337 0 0\n", 31337},
      {__LINE__, "7 no name at all 1 2 3\n", 0},
      {__LINE__, "7 (short) S 1 2 3\n", 0},
      {__LINE__, "7 (x)", 0},  // nothing after the name
      {__LINE__, "", 0},
      {__LINE__, "7 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 abc\n", 0},
  };
  std::string path = ::testing::TempDir() + "/vlm_stat_" + std::to_string(getpid());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.content;
    EXPECT_EQ(ReadStartTime(path.c_str()), c.start);
  }
  std::remove(path.c_str());
  EXPECT_EQ(ReadStartTime("/nonexistent/stat"), 0u);
}

TEST_F(TimeStateTest, UptimeAndCreation) {
  uint64_t uptime = TimeStamp::ComputeProcessUptime();
  EXPECT_GE(uptime, 20000u);
  EXPECT_LT(uptime, 3600ull * 1000000);

  bool inconsistent = true;
  TimeStamp creation = TimeStamp::ProcessCreation(&inconsistent);
  EXPECT_FALSE(inconsistent);
  EXPECT_LE(creation.RawNanoseconds(), gStartupTimeStamp);
  EXPECT_GT(creation.RawNanoseconds(), 0u);

  // Cached: /proc is not read again.
  gProcSelfDir = "/nonexistent";
  inconsistent = true;
  EXPECT_EQ(TimeStamp::ProcessCreation(&inconsistent), creation);
  EXPECT_FALSE(inconsistent);

  // Forgotten after a restart; now the uptime cannot be found out, so the
  // creation is the startup time stamp, flagged as an approximation.
  TimeStamp::RecordProcessRestart();
  EXPECT_EQ(TimeStamp::ComputeProcessUptime(), 0u);
  EXPECT_EQ(TimeStamp::ProcessCreation(&inconsistent).RawNanoseconds(), gStartupTimeStamp);
  EXPECT_TRUE(inconsistent);
  EXPECT_EQ(TimeStamp::ProcessCreation().RawNanoseconds(), gStartupTimeStamp);
}

TEST_F(TimeStateTest, RestartedApplicationUsesStartupTimeStamp) {
  struct Case {
    int line;
    const char* value;  // null: unset
    bool restart;
  } cases[] = {
      {__LINE__, "1", true},
      {__LINE__, "anything", true},
      {__LINE__, "", false},  // empty counts as unset
      {__LINE__, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    if (c.value)
      setenv("VLM_APP_RESTART", c.value, 1);
    else
      unsetenv("VLM_APP_RESTART");
    TimeStamp::RecordProcessRestart();
    bool inconsistent = true;
    uint64_t creation = TimeStamp::ProcessCreation(&inconsistent).RawNanoseconds();
    EXPECT_FALSE(inconsistent);
    if (c.restart) {
      EXPECT_EQ(creation, gStartupTimeStamp);
    } else {
      EXPECT_LT(creation, gStartupTimeStamp);
    }
  }
}

}  // namespace
}  // namespace vellum
