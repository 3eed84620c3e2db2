// CPU feature flags for choosing vectorised code paths at run time.
//
// tarvelin detects the processor's instruction-set extensions once, during
// static initialisation before its entry point runs, and publishes them here;
// all flags are false until then. AVX and AVX2 are reported only when the
// operating system has enabled the AVX register state. Reading them is safe
// from any thread.
#ifndef VLM_SSE_H_
#define VLM_SSE_H_

namespace vellum {
namespace sse_private {

extern bool ssse3_enabled;
extern bool sse4a_enabled;
extern bool sse4_1_enabled;
extern bool sse4_2_enabled;
extern bool avx_enabled;
extern bool avx2_enabled;
extern bool aes_enabled;

}  // namespace sse_private

inline bool supports_ssse3() { return sse_private::ssse3_enabled; }
inline bool supports_sse4a() { return sse_private::sse4a_enabled; }
inline bool supports_sse4_1() { return sse_private::sse4_1_enabled; }
inline bool supports_sse4_2() { return sse_private::sse4_2_enabled; }
inline bool supports_avx() { return sse_private::avx_enabled; }
inline bool supports_avx2() { return sse_private::avx2_enabled; }
inline bool supports_aes() { return sse_private::aes_enabled; }

}  // namespace vellum

#endif  // VLM_SSE_H_
