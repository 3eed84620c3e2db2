// vellum::Compression::LZ4 over the LZ4 library.
#include "vlm/lz4.h"

#include <climits>

// The fast decoder is deprecated upstream for untrusted input; here it is
// the documented contract of the trusted-input decompress().
#define LZ4_DISABLE_DEPRECATE_WARNINGS
#include <lz4.h>

namespace vellum {
namespace Compression {
namespace {

constexpr size_t kIntMax = static_cast<size_t>(INT_MAX);

static_assert(LZ4::kMaxInputSize == LZ4_MAX_INPUT_SIZE);

int ClampToInt(size_t size) {
  return static_cast<int>(size > kIntMax ? kIntMax : size);
}

size_t CompressInto(const char* source, size_t inputSize, char* dest,
                    size_t maxOutputSize) {
  if (inputSize > LZ4::kMaxInputSize) return 0;
  LZ4_stream_t state;
  static_assert(sizeof(state) == 16416, "LZ4 state size changed");
  int result = LZ4_compress_fast_extState(&state, source, dest,
                                          static_cast<int>(inputSize),
                                          ClampToInt(maxOutputSize), 1);
  return result > 0 ? static_cast<size_t>(result) : 0;
}

}  // namespace

size_t LZ4::compress(const char* source, size_t inputSize, char* dest) {
  return CompressInto(source, inputSize, dest, maxCompressedSize(inputSize));
}

size_t LZ4::compressLimitedOutput(const char* source, size_t inputSize,
                                  char* dest, size_t maxOutputSize) {
  return CompressInto(source, inputSize, dest, maxOutputSize);
}

bool LZ4::decompress(const char* source, char* dest, size_t outputSize) {
  if (outputSize > kIntMax) return false;
  return LZ4_decompress_fast(source, dest, static_cast<int>(outputSize)) >= 0;
}

bool LZ4::decompress(const char* source, size_t inputSize, char* dest,
                     size_t maxOutputSize, size_t* outputSize) {
  int result = -1;
  if (inputSize <= kIntMax) {
    result = LZ4_decompress_safe(source, dest, static_cast<int>(inputSize),
                                 ClampToInt(maxOutputSize));
  }
  *outputSize = result >= 0 ? static_cast<size_t>(result) : 0;
  return result >= 0;
}

}  // namespace Compression
}  // namespace vellum
