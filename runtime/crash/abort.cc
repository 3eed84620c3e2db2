// The process's own abort: every call of abort in the process, from any
// library, reports itself on standard error and ends in the crash.
#include <cstdlib>

#include "vlm/crash.h"

extern "C" void abort() { vlmalloc_abort("Redirecting call to abort() to vlmalloc_abort\n"); }
