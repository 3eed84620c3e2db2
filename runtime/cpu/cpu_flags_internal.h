// Computation of the CPU feature flags (not exported).
#ifndef VLM_RUNTIME_CPU_CPU_FLAGS_INTERNAL_H_
#define VLM_RUNTIME_CPU_CPU_FLAGS_INTERNAL_H_

#include "runtime/cpu/cpuid.h"

namespace vellum {

struct CpuFlags {
  bool ssse3, sse4a, sse4_1, sse4_2, avx, avx2, aes;
};

// Where the flags come from: the processor, or a table in tests.
class CpuInfoSource {
 public:
  virtual cpu::CpuidRegisters Cpuid(uint32_t leaf) const = 0;
  virtual uint64_t Xgetbv(uint32_t xcr) const = 0;

 protected:
  ~CpuInfoSource() = default;
};

// The flags that `source` describes. Calls Xgetbv only when CPUID reports
// XSAVE, OSXSAVE and AVX.
CpuFlags ComputeCpuFlags(const CpuInfoSource& source);

// Computes the flags of this processor and publishes them in
// vellum::sse_private. tarvelin calls it once during static initialisation.
void InitCpuFlags();

}  // namespace vellum

#endif  // VLM_RUNTIME_CPU_CPU_FLAGS_INTERNAL_H_
