// tarvelin's static initialisation, in one place so that its order is fixed:
// initialisers in different translation units have no defined order. It runs
// ahead of every other initialiser of the executable (init_priority 101).
//   1. the held Bootstrap is cleared and its exit handler registered;
//   2. the CPU feature flags are computed;
//   3. the time stamp clock is started and the first time stamp taken.
#include "launcher/entry.h"
#include "runtime/cpu/cpu_flags_internal.h"
#include "runtime/time/time_internal.h"

namespace vellum::launcher {
namespace {

struct StaticInit {
  StaticInit() {
    InitHeldBootstrap();
    InitCpuFlags();
    InitTimeStamps();
  }
};

__attribute__((init_priority(101))) StaticInit gStaticInit;

}  // namespace
}  // namespace vellum::launcher
