// printf-style formatting into any output target.
//
// PrintfTarget owns no output buffer: every piece of output is handed to the
// subclass's writeChunk, so the same engine writes into a growing string, a
// fixed buffer or a stream. Integer, character and string conversions are
// done here; only floating-point conversions go to the C library. Formatting
// never allocates on the heap (its tables and buffers live on the stack) and
// touches no shared state, so distinct targets may be used from distinct
// threads at once.
//
// The format language is C's with these differences:
// - flags are '-', '+', ' ' and '0'; '#' is not a flag;
// - length modifiers h, l, ll, L, z and I (l, ll, L, z and I all mean 64
//   bits); %hd is not narrowed, %hu/%ho/%hx/%hX are narrowed to 16 bits;
// - %p is lower-case hexadecimal without a prefix; %S, %ls and %lc write no
//   argument (%lc writes only its padding), and %ls, %lc consume none;
// - a conversion with a precision of 0 and the value 0, and %s with a
//   precision of 0, write nothing at all, not even padding; %0Ns pads with
//   '0' characters;
// - an unknown conversion character is written as itself after a '%' and
//   consumes nothing; a format that ends inside a directive
//   writes what it read literally and stops;
// - numbered arguments ("%2$s %1$d") are supported, up to 20, and must be
//   used exactly once each; they cannot be mixed with unnumbered ones and
//   take no '*' width or precision.
// Malformed formats of the kinds just listed under numbered arguments, and
// a floating-point result longer than 320 characters, are programming errors:
// they end the process through the crash facility (see crash.h).
#ifndef VLM_PRINTF_H_
#define VLM_PRINTF_H_

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

namespace vellum {

namespace detail {
class PrintfEngine;
}

class PrintfTarget {
 public:
  // Both return true when the whole format was processed and every
  // writeChunk succeeded; false as soon as one writeChunk returned false
  // (output stops there).
  bool print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool vprint(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

  // The number of characters handed to writeChunk so far, counted just
  // before each piece is handed over (also when writeChunk then fails).
  uint64_t emittedCount;

 protected:
  PrintfTarget();
  // Objects are never deleted through this class.
  virtual ~PrintfTarget();

  // Receives the next `length` characters of output (not NUL-terminated);
  // returns false to stop formatting.
  virtual bool writeChunk(const char* text, size_t length) = 0;

 private:
  friend class detail::PrintfEngine;
};

}  // namespace vellum

#endif  // VLM_PRINTF_H_
