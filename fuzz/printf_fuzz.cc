// Fuzzes PrintfTarget's format handling. The input's first byte picks the
// argument pool, the rest is the format. The crash primitive is replaced by
// a jump back here: formats that are fatal by design (mixed or unused
// numbered arguments and the like) are an accepted outcome, as long as the
// crash comes with one of the engine's line values; anything else (an
// unexpected line value, a read past the format or the arguments, a hang) is
// a finding.
#include <limits.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "vlm/crash.h"
#include "vlm/printf.h"

namespace {

jmp_buf gEscape;
int gCrashLine = 0;

class CappedTarget : public vellum::PrintfTarget {
 protected:
  // Keeps the last bytes only; stops huge paddings at 1 MiB.
  bool writeChunk(const char* text, size_t length) override {
    total_ += length;
    size_t n = length < sizeof(tail_) ? length : sizeof(tail_);
    memcpy(tail_, text + (length - n), n);
    return total_ < (1u << 20);
  }

 private:
  char tail_[256];
  size_t total_ = 0;
};

// %s reads and %n writes through integer arguments: in the pointer pool
// they all point here.
alignas(8) char gText[64];

}  // namespace

extern "C" void VLM_CrashOOL(int line, const char* /*reason*/) {
  gCrashLine = line;
  longjmp(gEscape, 1);
}

// 64 integers and 16 doubles for every call.
#define I4(a) a, a, a, a
#define I16(a) I4(a), I4(a), I4(a), I4(a)
#define D4 d[0], d[1], d[2], d[3]
#define D16 D4, D4, D4, D4
#define POOL(i) ints[(i) % kInts]

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  bool pointers = data[0] & 1;
  // Exactly the input, terminated: a read past the end is caught.
  std::string format(reinterpret_cast<const char*>(data + 1), size - 1);
  // Each conversion takes at most three arguments ('*' width and
  // precision): 16 conversions stay within the 64 integers and 16 doubles
  // passed below. Long digit runs only make the C library pad for long.
  int percents = 0;
  int digits = 0;
  for (char c : format) {
    if (c == '%') ++percents;
    digits = (c >= '0' && c <= '9') ? digits + 1 : 0;
    if (digits > 6) return 0;
    if (!pointers && (c == 's' || c == 'n')) return 0;  // would dereference
  }
  if (percents > 16) return 0;

  memset(gText, 0, sizeof(gText));
  memcpy(gText, "fuzz text", 9);
  static const long kValues[] = {0, 1, -1, 42, 255, 65535, 70000, INT_MAX, INT_MIN,
                                 LONG_MAX, LONG_MIN, 0x123456789abL, -32768, 7};
  constexpr int kInts = sizeof(kValues) / sizeof(kValues[0]);
  long ints[kInts];
  for (int i = 0; i < kInts; ++i) {
    ints[i] = pointers ? reinterpret_cast<long>(gText) : kValues[i];
  }
  const double d[4] = {1.5, -0.0, 1e300, 3.14159};

  CappedTarget target;
  if (setjmp(gEscape) == 0) {
    target.print(format.c_str(),
                 POOL(0), POOL(1), POOL(2), POOL(3), POOL(4), POOL(5), POOL(6), POOL(7),
                 POOL(8), POOL(9), POOL(10), POOL(11), POOL(12), POOL(13), POOL(14),
                 POOL(15), POOL(16), POOL(17), POOL(18), POOL(19), POOL(20), POOL(21),
                 POOL(22), POOL(23), POOL(24), POOL(25), POOL(26), POOL(27), POOL(28),
                 POOL(29), POOL(30), POOL(31), D16, I16(POOL(5)), I16(POOL(8)));
  } else {
    switch (gCrashLine) {
      case 281: case 337: case 341: case 355: case 382:
      case 399: case 411: case 501: case 534:
        break;
      default:
        abort();
    }
  }
  return 0;
}
