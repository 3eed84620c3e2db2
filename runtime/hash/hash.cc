// HashBytes and IsFloat32Representable.
#include "vlm/hash.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace vellum {
namespace {

constexpr uint32_t kGoldenRatio = 0x9E3779B9u;

inline uint32_t RotateLeft5(uint32_t value) {
  return (value << 5) | (value >> 27);
}

inline uint32_t AddToHash(uint32_t hash, uint32_t value) {
  return kGoldenRatio * (RotateLeft5(hash) ^ value);
}

}  // namespace

uint32_t HashBytes(const void* bytes, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  uint32_t hash = 0;
  size_t i = 0;
  // Whole words, read unaligned in the machine's (little-endian) order. The
  // word's size, 8 as a 64-bit value, enters as its two halves, 8 and 0.
  for (; i + sizeof(uint64_t) <= length; i += sizeof(uint64_t)) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof(word));
    hash = AddToHash(hash, static_cast<uint32_t>(word));
    hash = AddToHash(hash, static_cast<uint32_t>(word >> 32));
    hash = AddToHash(hash, static_cast<uint32_t>(sizeof(uint64_t)));
    hash = AddToHash(hash, 0);
  }
  // The tail byte by byte, each as a signed char widened to 32 bits.
  for (; i < length; ++i) {
    hash = AddToHash(hash, static_cast<uint32_t>(
                               static_cast<int32_t>(static_cast<signed char>(p[i]))));
  }
  return hash;
}

bool IsFloat32Representable(double value) {
  if (std::isnan(value)) return false;
  if (std::isinf(value)) return true;
  // A finite value beyond the float range never survives; testing it here
  // keeps the conversion below within the float range.
  if (std::fabs(value) > static_cast<double>(FLT_MAX)) return false;
  volatile float narrowed = static_cast<float>(value);
  return static_cast<double>(narrowed) == value;
}

}  // namespace vellum
