// Process-wide time stamp state and the seams the tests use (not exported).
#ifndef VLM_RUNTIME_TIME_TIME_INTERNAL_H_
#define VLM_RUNTIME_TIME_TIME_INTERNAL_H_

#include <time.h>

#include <cstdint>

#include "vlm/time_stamp.h"

namespace vellum {

// Static initialisation of the time stamps: clears the creation and startup
// time stamps, runs TimeStamp::Startup, takes the startup time stamp and
// registers TimeStamp::Shutdown at exit. tarvelin calls it once, after the
// CPU feature flags are computed.
void InitTimeStamps();

namespace time_internal {

extern uint64_t gStartupTimeStamp;   // taken during static initialisation
extern uint64_t gCreationTimeStamp;  // 0 until computed
extern int64_t gResolutionTicks;
extern int64_t gResolutionDecade;  // largest power of ten <= resolution
extern bool gTimeStampInitialized;

// The clock functions Startup and Now call; tests replace them.
extern int (*gClockGetTime)(clockid_t, struct timespec*);
extern int (*gClockGetRes)(clockid_t, struct timespec*);

// The /proc directory of this process ("/proc/self"); tests point it
// elsewhere to make the uptime unknowable.
extern const char* gProcSelfDir;

// The start time (field 22, clock ticks since boot) from a /proc stat file;
// 0 when the file cannot be read or parsed.
uint64_t ReadStartTime(const char* path);

}  // namespace time_internal
}  // namespace vellum

#endif  // VLM_RUNTIME_TIME_TIME_INTERNAL_H_
