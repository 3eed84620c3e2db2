// Fast non-cryptographic hashing, the single-precision round-trip test and
// the small data objects that the engine's inline code shares.
//
// HashBytes is a pure function: safe from any thread and from signal
// handlers, allocates nothing, and reads exactly `length` bytes (no
// alignment needed). Its values are part of the interface: the engine may
// store them, so the function must never change.
#ifndef VLM_HASH_H_
#define VLM_HASH_H_

#include <cstddef>
#include <cstdint>

namespace vellum {

// 32-bit hash of the bytes [bytes, bytes + length); 0 for an empty range.
// Whole 8-byte words are mixed in as two 32-bit halves followed by the word's
// size; the remaining bytes as sign-extended chars.
uint32_t HashBytes(const void* bytes, size_t length);

// True when `value` survives a conversion to float and back unchanged.
// False for NaN and for finite values beyond the float range; true for the
// infinities and both zeros.
bool IsFloat32Representable(double value);

// The type of vellum::Unused: assigning anything to it discards the value.
struct UnusedResult {
  template <typename T>
  void operator=(const T&) const {}
};

// Target for results that are deliberately ignored:
//   vellum::Unused = WriteSomething();
extern const UnusedResult Unused;

namespace detail {

// For each byte, the letter that follows a backslash in its two-character
// escape (b t n f r " \), or 0 when the byte has no such escape.
extern const char gTwoCharEscapes[256];

// Chaos-mode settings of the engine; this library only provides storage
// (both start at 0).
extern uint32_t gChaosFeatures;
extern uint32_t gChaosModeCounter;

}  // namespace detail
}  // namespace vellum

#endif  // VLM_HASH_H_
