// CPU feature flags (see vlm/sse.h).
#include "runtime/cpu/cpu_flags_internal.h"
#include "vlm/sse.h"

namespace vellum {
namespace sse_private {

bool ssse3_enabled = false;
bool sse4a_enabled = false;
bool sse4_1_enabled = false;
bool sse4_2_enabled = false;
bool avx_enabled = false;
bool avx2_enabled = false;
bool aes_enabled = false;

}  // namespace sse_private

namespace {

bool Bit(uint32_t value, int bit) { return (value >> bit) & 1; }

class ProcessorSource final : public CpuInfoSource {
 public:
  cpu::CpuidRegisters Cpuid(uint32_t leaf) const override { return cpu::Cpuid(leaf); }
  uint64_t Xgetbv(uint32_t xcr) const override { return cpu::Xgetbv(xcr); }
};

}  // namespace

CpuFlags ComputeCpuFlags(const CpuInfoSource& source) {
  CpuFlags flags = {};
  uint32_t max_leaf = source.Cpuid(0).eax;
  if (max_leaf == 0) return flags;

  uint32_t ecx1 = source.Cpuid(1).ecx;
  flags.ssse3 = Bit(ecx1, 9);
  flags.sse4_1 = Bit(ecx1, 19);
  flags.sse4_2 = Bit(ecx1, 20);
  flags.aes = Bit(ecx1, 25);

  if (source.Cpuid(0x80000000u).eax >= 0x80000001u) {
    flags.sse4a = Bit(source.Cpuid(0x80000001u).ecx, 6);
  }

  // AVX needs XSAVE (26), OSXSAVE (27) and AVX (28), and the operating system
  // must have enabled the SSE (bit 1) and AVX (bit 2) register state.
  bool avx_usable = false;
  if (Bit(ecx1, 26) && Bit(ecx1, 27) && Bit(ecx1, 28)) {
    uint64_t xcr0 = source.Xgetbv(0);
    avx_usable = (xcr0 & 0x6) == 0x6;
  }
  flags.avx = avx_usable;
  flags.avx2 = avx_usable && max_leaf >= 7 && Bit(source.Cpuid(7).ebx, 5);
  return flags;
}

void InitCpuFlags() {
  CpuFlags flags = ComputeCpuFlags(ProcessorSource());
  sse_private::ssse3_enabled = flags.ssse3;
  sse_private::sse4a_enabled = flags.sse4a;
  sse_private::sse4_1_enabled = flags.sse4_1;
  sse_private::sse4_2_enabled = flags.sse4_2;
  sse_private::avx_enabled = flags.avx;
  sse_private::avx2_enabled = flags.avx2;
  sse_private::aes_enabled = flags.aes;
}

}  // namespace vellum
