// CPUID and XGETBV (see cpuid.h).
#include "runtime/cpu/cpuid.h"

namespace vellum::cpu {

CpuidRegisters Cpuid(uint32_t leaf) {
  CpuidRegisters r;
  __asm__ volatile("cpuid"
                   : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx)
                   : "a"(leaf), "c"(0));
  return r;
}

uint64_t Xgetbv(uint32_t xcr) {
  uint32_t eax, edx;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(xcr));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

}  // namespace vellum::cpu
