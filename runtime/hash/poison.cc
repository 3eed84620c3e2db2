// The poison value.
#include "vlm/poison.h"

#include <unistd.h>

extern "C" {

uintptr_t gVellumPoisonValue = 0;
uintptr_t gVellumPoisonBase = 0;
uintptr_t gVellumPoisonSize = 0;

void vlmPoisonValueInit() {
  long page = sysconf(_SC_PAGESIZE);
  uintptr_t size = page > 0 ? static_cast<uintptr_t>(page) : 0;
  gVellumPoisonSize = size;
  // A non-canonical address on x86-64: no mapping can cover it, and any
  // access through it faults.
  gVellumPoisonBase = static_cast<uintptr_t>(0x7FFFFFFFF0DEAFFFull) & ~(size - 1);
  if (size != 0) {
    gVellumPoisonValue = gVellumPoisonBase + size / 2 - 1;
  }
}

}  // extern "C"
