// LZ4 block compression with sizes as machine words and success as a bool.
//
// The block format and codec are the LZ4 library's; tarvelin also exports
// that library's own LZ4_ functions. All operations are static, thread-safe
// and allocation-free: compression keeps its 16 KiB state on the caller's
// stack. The library works with int sizes, so an input size above INT_MAX
// fails (0 or false) instead of being truncated, and an output capacity
// above INT_MAX is treated as INT_MAX.
#ifndef VLM_LZ4_H_
#define VLM_LZ4_H_

#include <cstddef>

namespace vellum {
namespace Compression {

class LZ4 {
 public:
  // Compresses `inputSize` bytes into `dest`, which must hold
  // maxCompressedSize(inputSize) bytes. Returns the compressed size, or 0 on
  // failure (an input above LZ4's limit of 0x7E000000 bytes).
  static size_t compress(const char* source, size_t inputSize, char* dest);

  // Like compress(), but writes at most `maxOutputSize` bytes and returns 0
  // when the result would not fit.
  static size_t compressLimitedOutput(const char* source, size_t inputSize,
                                      char* dest, size_t maxOutputSize);

  // Decompresses a block whose decompressed size is exactly `outputSize`.
  // The compressed input is trusted: its length is not checked, so use this
  // only on data this process produced.
  [[nodiscard]] static bool decompress(const char* source, char* dest,
                                       size_t outputSize);

  // Decompresses `inputSize` bytes of possibly hostile input into at most
  // `maxOutputSize` bytes at `dest`. Never reads or writes outside the two
  // buffers. Stores the number of bytes produced in *outputSize, or 0 on
  // failure.
  [[nodiscard]] static bool decompress(const char* source, size_t inputSize,
                                       char* dest, size_t maxOutputSize,
                                       size_t* outputSize);

  // The destination size compress() needs: inputSize + inputSize / 255 + 16,
  // or 0 for an input above LZ4's limit.
  static constexpr size_t maxCompressedSize(size_t inputSize) {
    return inputSize > kMaxInputSize ? 0 : inputSize + inputSize / 255 + 16;
  }

  static constexpr size_t kMaxInputSize = 0x7E000000;
};

}  // namespace Compression
}  // namespace vellum

#endif  // VLM_LZ4_H_
