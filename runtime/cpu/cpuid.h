// The x86-64 CPUID and XGETBV instructions.
#ifndef VLM_RUNTIME_CPU_CPUID_H_
#define VLM_RUNTIME_CPU_CPUID_H_

#include <cstdint>

namespace vellum::cpu {

struct CpuidRegisters {
  uint32_t eax, ebx, ecx, edx;
};

// CPUID with the given leaf and sub-leaf 0.
CpuidRegisters Cpuid(uint32_t leaf);

// XGETBV with ECX = `xcr`. Only valid when CPUID reports OSXSAVE.
uint64_t Xgetbv(uint32_t xcr);

}  // namespace vellum::cpu

#endif  // VLM_RUNTIME_CPU_CPUID_H_
