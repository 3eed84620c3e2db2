#include <map>

#include "gtest/gtest.h"
#include "runtime/cpu/cpu_flags_internal.h"
#include "vlm/sse.h"

namespace vellum {
namespace {

constexpr uint32_t kXsave = 1u << 26, kOsxsave = 1u << 27, kAvx = 1u << 28;
constexpr uint32_t kAvxBits = kXsave | kOsxsave | kAvx;
constexpr uint32_t kAllSse = (1u << 9) | (1u << 19) | (1u << 20) | (1u << 25);

// A processor described by a table of leaves. Leaves not in the table read as
// zeros; an XGETBV without OSXSAVE is a test failure (it would fault).
class FakeCpu final : public CpuInfoSource {
 public:
  FakeCpu(std::map<uint32_t, cpu::CpuidRegisters> leaves, uint64_t xcr0)
      : leaves_(std::move(leaves)), xcr0_(xcr0) {}
  cpu::CpuidRegisters Cpuid(uint32_t leaf) const override {
    auto it = leaves_.find(leaf);
    return it == leaves_.end() ? cpu::CpuidRegisters{} : it->second;
  }
  uint64_t Xgetbv(uint32_t xcr) const override {
    EXPECT_EQ(xcr, 0u);
    EXPECT_TRUE(Cpuid(1).ecx & kOsxsave) << "XGETBV without OSXSAVE";
    return xcr0_;
  }

 private:
  std::map<uint32_t, cpu::CpuidRegisters> leaves_;
  uint64_t xcr0_;
};

cpu::CpuidRegisters Ecx(uint32_t ecx) { return {0, 0, ecx, 0}; }
cpu::CpuidRegisters Eax(uint32_t eax) { return {eax, 0, 0, 0}; }
cpu::CpuidRegisters Ebx(uint32_t ebx) { return {0, ebx, 0, 0}; }

TEST(CpuFlagsTest, Table) {
  struct Case {
    int line;
    std::map<uint32_t, cpu::CpuidRegisters> leaves;
    uint64_t xcr0;
    CpuFlags want;  // ssse3, sse4a, sse4_1, sse4_2, avx, avx2, aes
  } cases[] = {
      // Everything present and enabled.
      {__LINE__,
       {{0, Eax(13)},
        {1, Ecx(kAllSse | kAvxBits)},
        {7, Ebx(1u << 5)},
        {0x80000000u, Eax(0x80000008u)},
        {0x80000001u, Ecx(1u << 6)}},
       0x7,
       {true, true, true, true, true, true, true}},
      // Highest basic leaf 0: nothing is looked at, all false.
      {__LINE__,
       {{0, Eax(0)}, {1, Ecx(kAllSse | kAvxBits)}, {7, Ebx(1u << 5)}},
       0x7,
       {false, false, false, false, false, false, false}},
      // AVX in CPUID but the OS has not enabled the AVX state (bit 2).
      {__LINE__,
       {{0, Eax(7)}, {1, Ecx(kAvxBits)}, {7, Ebx(1u << 5)}},
       0x3,
       {false, false, false, false, false, false, false}},
      // AVX usable, but the highest basic leaf is below 7: no AVX2.
      {__LINE__,
       {{0, Eax(6)}, {1, Ecx(kAvxBits)}, {7, Ebx(1u << 5)}},
       0x7,
       {false, false, false, false, true, false, false}},
      // OSXSAVE missing: XGETBV must not run, no AVX.
      {__LINE__,
       {{0, Eax(7)}, {1, Ecx(kXsave | kAvx)}, {7, Ebx(1u << 5)}},
       0x7,
       {false, false, false, false, false, false, false}},
      // SSE4a only through the extended leaf, which must exist.
      {__LINE__,
       {{0, Eax(1)}, {0x80000000u, Eax(0x80000000u)}, {0x80000001u, Ecx(1u << 6)}},
       0,
       {false, false, false, false, false, false, false}},
      // Single leaf-1 bits map to their flags.
      {__LINE__,
       {{0, Eax(1)}, {1, Ecx(1u << 9)}},
       0,
       {true, false, false, false, false, false, false}},
      {__LINE__,
       {{0, Eax(1)}, {1, Ecx(1u << 19)}},
       0,
       {false, false, true, false, false, false, false}},
      {__LINE__,
       {{0, Eax(1)}, {1, Ecx(1u << 20)}},
       0,
       {false, false, false, true, false, false, false}},
      {__LINE__,
       {{0, Eax(1)}, {1, Ecx(1u << 25)}},
       0,
       {false, false, false, false, false, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    CpuFlags got = ComputeCpuFlags(FakeCpu(c.leaves, c.xcr0));
    EXPECT_EQ(got.ssse3, c.want.ssse3);
    EXPECT_EQ(got.sse4a, c.want.sse4a);
    EXPECT_EQ(got.sse4_1, c.want.sse4_1);
    EXPECT_EQ(got.sse4_2, c.want.sse4_2);
    EXPECT_EQ(got.avx, c.want.avx);
    EXPECT_EQ(got.avx2, c.want.avx2);
    EXPECT_EQ(got.aes, c.want.aes);
  }
}

// On this machine the published flags agree with the compiler's own CPUID
// reading (which also checks the OS-enabled AVX state).
TEST(CpuFlagsTest, PublishedFlagsMatchThisProcessor) {
  InitCpuFlags();
  __builtin_cpu_init();
  EXPECT_EQ(supports_ssse3(), !!__builtin_cpu_supports("ssse3"));
  EXPECT_EQ(supports_sse4_1(), !!__builtin_cpu_supports("sse4.1"));
  EXPECT_EQ(supports_sse4_2(), !!__builtin_cpu_supports("sse4.2"));
  EXPECT_EQ(supports_sse4a(), !!__builtin_cpu_supports("sse4a"));
  EXPECT_EQ(supports_avx(), !!__builtin_cpu_supports("avx"));
  EXPECT_EQ(supports_avx2(), !!__builtin_cpu_supports("avx2"));
  EXPECT_EQ(supports_aes(), !!__builtin_cpu_supports("aes"));
}

}  // namespace
}  // namespace vellum
