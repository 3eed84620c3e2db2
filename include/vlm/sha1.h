// SHA-1 digests (FIPS 180-4).
//
// A SHA1Sum is fed with update() any number of times and then finished once;
// it is not reset, so after finish() it must be neither fed nor finished
// again (debug builds assert this). One object belongs to one thread at a
// time. Nothing allocates; the object is about 180 bytes and may live on the
// stack.
#ifndef VLM_SHA1_H_
#define VLM_SHA1_H_

#include <cstddef>
#include <cstdint>

namespace vellum {

class SHA1Sum {
 public:
  static constexpr size_t kHashSize = 20;
  typedef uint8_t Hash[kHashSize];

  SHA1Sum();

  // Appends `length` bytes at `data` to the message; a length of 0 does
  // nothing (and `data` may then be null).
  void update(const void* data, uint32_t length);

  // Pads the message, writes its digest to `out` and marks the object done.
  void finish(Hash& out);

 private:
  uint8_t mBlock[64];     // bytes of the current, incomplete block
  uint64_t mSize;         // bytes fed so far
  uint32_t mH[5];         // chaining values
  uint32_t mW[16];        // message schedule of the block being compressed
  bool mDone;
};

}  // namespace vellum

#endif  // VLM_SHA1_H_
