// The printf engine. Outline of vprint:
//   1. A first pass over the format decides between sequential and numbered
//      arguments ("%N$...") and rejects a mix of both.
//   2. With numbered arguments a second pass records each argument's kind,
//      then one walk over the argument list remembers where every argument
//      starts (a copy of the va_list per argument number).
//   3. The main loop copies ordinary characters and converts each
//      directive, reading its argument either from the caller's list or
//      from the remembered position.
// Everything lives on the stack; nothing here allocates.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "vlm/crash.h"
#include "vlm/printf.h"

namespace vellum {
namespace detail {
namespace {

enum Flag : unsigned {
  kFlagLeft = 1,
  kFlagPlus = 2,
  kFlagSpace = 4,
  kFlagZero = 8,
  kFlagNeg = 16,
};

// Length modifiers as far as they matter: h, or one of the 64-bit ones
// (l, ll, L, z, I).
enum class Modifier { kNone, kShort, kWide };

enum class ArgKind : unsigned char {
  kUnknown,
  kInt,     // int, short and unsigned short travel as int
  kUInt,
  kLong,    // long, long long
  kULong,
  kText,
  kDouble,
  kCountPointer,
  kPointer,
};

constexpr int kMaxNumbered = 20;
// A floating result may have up to this many characters.
constexpr size_t kFloatResultMax = 320;
// Longer floating directives (as written) are skipped.
constexpr size_t kFloatDirectiveMax = 19;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '0'; }

// Reads decimal digits at `p`, saturating at INT_MAX.
int ReadNumber(const char*& p) {
  int n = 0;
  while (IsDigit(*p)) {
    int digit = *p++ - '0';
    n = n <= (INT_MAX - digit) / 10 ? n * 10 + digit : INT_MAX;
  }
  return n;
}

void SkipDigits(const char*& p) {
  while (IsDigit(*p)) ++p;
}

Modifier ReadModifier(const char*& p) {
  switch (*p) {
    case 'h':
      ++p;
      return Modifier::kShort;
    case 'l':
      ++p;
      if (*p == 'l') ++p;
      return Modifier::kWide;
    case 'L':
    case 'z':
    case 'I':
      ++p;
      return Modifier::kWide;
    default:
      return Modifier::kNone;
  }
}

// The kind of argument a numbered conversion takes, or kUnknown for a
// conversion character that numbered mode does not support.
ArgKind KindOf(char conversion, Modifier modifier) {
  bool wide = modifier == Modifier::kWide;
  switch (conversion) {
    case 'd':
    case 'i':
      return wide ? ArgKind::kLong : ArgKind::kInt;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      return wide ? ArgKind::kULong : ArgKind::kUInt;
    case 'c':
      // %lc reads nothing, but its number still names an argument slot.
      return ArgKind::kInt;
    case 's':
      return ArgKind::kText;
    case 'p':
      return ArgKind::kPointer;
    case 'n':
      return ArgKind::kCountPointer;
    case 'e':
    case 'f':
    case 'g':
      return ArgKind::kDouble;
    default:
      return ArgKind::kUnknown;
  }
}

void SkipArgument(va_list& args, ArgKind kind) {
  switch (kind) {
    case ArgKind::kInt:
      va_arg(args, int);
      break;
    case ArgKind::kUInt:
      va_arg(args, unsigned);
      break;
    case ArgKind::kLong:
      va_arg(args, long);
      break;
    case ArgKind::kULong:
      va_arg(args, unsigned long);
      break;
    case ArgKind::kText:
      va_arg(args, const char*);
      break;
    case ArgKind::kDouble:
      va_arg(args, double);
      break;
    case ArgKind::kCountPointer:
      va_arg(args, int*);
      break;
    case ArgKind::kPointer:
      va_arg(args, void*);
      break;
    case ArgKind::kUnknown:
      break;
  }
}

// Calls `visit(p)` with `p` just past the '%' of every conversion
// directive, the way both numbering passes see them: every '%' that is
// not the first of "%%" starts one, and scanning goes on right after it.
template <typename Visit>
void ForEachConversion(const char* format, Visit visit) {
  for (const char* p = format; *p;) {
    if (*p != '%') {
      ++p;
    } else if (p[1] == '%') {
      p += 2;
    } else {
      ++p;
      visit(p);
    }
  }
}

bool IsNumbered(const char* p) {
  const char* q = p;
  SkipDigits(q);
  return q > p && *q == '$';
}

// First pass: the number of numbered conversions (0 for sequential mode).
int CountNumbered(const char* format) {
  int numbered = 0;
  bool unnumbered = false;
  ForEachConversion(format, [&](const char* p) {
    if (IsNumbered(p)) {
      if (unnumbered) VLM_CrashOOL(337, "VLM_CRASH(Bad format string)");
      ++numbered;
    } else {
      if (numbered > 0) VLM_CrashOOL(341, "VLM_CRASH(Bad format string)");
      unnumbered = true;
    }
  });
  if (numbered > kMaxNumbered) VLM_CrashOOL(355, "VLM_RELEASE_ASSERT(number <= 20)");
  return numbered;
}

// Reads "N$" at `p` in numbered mode and returns N, which must name one of
// the `count` arguments.
int ReadArgumentNumber(const char*& p, int count) {
  int number = ReadNumber(p);
  if (*p != '$' || number == 0 || number > count) {
    VLM_CrashOOL(382, "VLM_CRASH(Bad format string)");
  }
  ++p;
  return number;
}

// The numbered arguments' positions in the caller's argument list.
class NumberedArguments {
 public:
  NumberedArguments(const char* format, int count, va_list args) : count_(count) {
    ArgKind kinds[kMaxNumbered];
    for (int i = 0; i < count; ++i) kinds[i] = ArgKind::kUnknown;
    ForEachConversion(format, [&](const char* p) {
      int number = ReadArgumentNumber(p, count);
      if (kinds[number - 1] != ArgKind::kUnknown) return;
      while (IsFlag(*p)) ++p;
      if (*p == '*') VLM_CrashOOL(399, "VLM_CRASH(Bad format string)");
      SkipDigits(p);
      if (*p == '.') {
        ++p;
        if (*p == '*') VLM_CrashOOL(411, "VLM_CRASH(Bad format string)");
        SkipDigits(p);
      }
      Modifier modifier = ReadModifier(p);
      ArgKind kind = KindOf(*p, modifier);
      if (kind == ArgKind::kUnknown) VLM_CrashOOL(501, "VLM_CRASH(Bad format string)");
      kinds[number - 1] = kind;
    });
    // Every number from 1 to count must be used, and is then used once.
    // Checked before the walk, so that no argument is read for a format
    // that is rejected.
    for (int i = 0; i < count; ++i) {
      if (kinds[i] == ArgKind::kUnknown) VLM_CrashOOL(534, "VLM_CRASH()");
    }
    va_list walk;
    va_copy(walk, args);
    for (int i = 0; i < count; ++i) {
      va_copy(positions_[i], walk);
      SkipArgument(walk, kinds[i]);
    }
    va_end(walk);
  }

  ~NumberedArguments() {
    for (int i = 0; i < count_; ++i) va_end(positions_[i]);
  }

  NumberedArguments(const NumberedArguments&) = delete;
  NumberedArguments& operator=(const NumberedArguments&) = delete;

  // Where argument `number` (1-based) starts.
  va_list& Position(int number) { return positions_[number - 1]; }

 private:
  int count_;
  va_list positions_[kMaxNumbered];
};

// Writes `value` in `kRadix` backwards, ending at `end`; returns the first
// digit. A constant radix lets the compiler replace the divisions.
template <unsigned kRadix>
char* WriteDigits(char* end, uint64_t value, const char* digit_set) {
  char* first = end;
  do {
    *--first = digit_set[value % kRadix];
    value /= kRadix;
  } while (value != 0);
  return first;
}

// Writes the decimal digits of `value` (not negative) at `out`; returns the
// end.
char* WriteDecimal(char* out, int value) {
  char digits[12];
  char* end = digits + sizeof(digits);
  char* first = WriteDigits<10>(end, static_cast<uint64_t>(value), "0123456789");
  while (first < end) *out++ = *first++;
  return out;
}

const char kSpaces[] = "                                                                ";
const char kZeros[] = "0000000000000000000000000000000000000000000000000000000000000000";

}  // namespace

// One vprint call.
class PrintfEngine {
 public:
  explicit PrintfEngine(PrintfTarget* target) : target_(target) {}

  bool Run(const char* format, va_list& args);

 private:
  struct Directive {
    unsigned flags = 0;
    int width = 0;
    int precision = -1;
    Modifier modifier = Modifier::kNone;
    char conversion = 0;
  };

  bool Emit(const char* text, size_t length) {
    if (length == 0) return true;
    target_->emittedCount += length;
    return target_->writeChunk(text, length);
  }

  bool Pad(const char* fill, int64_t count) {
    while (count > 0) {
      size_t piece = count < 64 ? static_cast<size_t>(count) : 64;
      if (!Emit(fill, piece)) return false;
      count -= static_cast<int64_t>(piece);
    }
    return true;
  }

  bool Convert(const Directive& directive, va_list& source, size_t written_length);
  bool EmitInteger(const Directive& directive, uint64_t value, bool negative, bool is_signed,
                   unsigned radix, const char* digit_set);
  bool EmitString(const Directive& directive, const char* text);
  bool EmitChar(const Directive& directive, const char* byte);
  bool EmitFloat(const Directive& directive, double value, size_t written_length);

  PrintfTarget* target_;
};

bool PrintfEngine::Run(const char* format, va_list& args) {
  int numbered = CountNumbered(format);
  // Constructed only in numbered mode: its va_list copies are not free.
  alignas(NumberedArguments) unsigned char storage[sizeof(NumberedArguments)];
  NumberedArguments* positions =
      numbered > 0 ? new (storage) NumberedArguments(format, numbered, args) : nullptr;
  bool ok = true;
  const char* p = format;
  while (ok && *p) {
    if (*p != '%') {
      ok = Emit(p++, 1);
      continue;
    }
    if (p[1] == '%') {
      ok = Emit(p, 1);
      p += 2;
      continue;
    }
    const char* start = p++;
    // A directive that the format ends inside is written as it stands
    // and ends the output; checked before any '*' takes an argument.
    const char* end = p;
    if (positions) {
      SkipDigits(end);
      if (*end == '$') ++end;
    }
    while (IsFlag(*end)) ++end;
    if (*end == '*') {
      ++end;
    } else {
      SkipDigits(end);
    }
    if (*end == '.') {
      ++end;
      if (*end == '*') {
        ++end;
      } else {
        SkipDigits(end);
      }
    }
    ReadModifier(end);
    if (*end == '\0') {
      ok = Emit(start, static_cast<size_t>(end - start));
      break;
    }

    Directive directive;
    va_list numbered_source;
    va_list* source = &args;
    // The floating rule limits the directive as written; in numbered
    // mode that is "%" and the text after "$".
    size_t written_length = 0;
    const char* written_from = start;
    if (positions) {
      int number = ReadArgumentNumber(p, numbered);
      va_copy(numbered_source, positions->Position(number));
      source = &numbered_source;
      written_from = p - 1;
    }
    while (IsFlag(*p)) {
      switch (*p++) {
        case '-': directive.flags |= kFlagLeft; break;
        case '+': directive.flags |= kFlagPlus; break;
        case ' ': directive.flags |= kFlagSpace; break;
        case '0': directive.flags |= kFlagZero; break;
      }
    }
    if (directive.flags & kFlagPlus) directive.flags &= ~kFlagSpace;
    if (directive.flags & kFlagLeft) directive.flags &= ~kFlagZero;
    if (*p == '*') {
      if (positions) VLM_CrashOOL(399, "VLM_CRASH(Bad format string)");
      ++p;
      int width = va_arg(*source, int);
      if (width < 0) {
        directive.flags |= kFlagLeft;
        directive.flags &= ~kFlagZero;
        width = width == INT_MIN ? INT_MAX : -width;
      }
      directive.width = width;
    } else {
      directive.width = ReadNumber(p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        if (positions) VLM_CrashOOL(411, "VLM_CRASH(Bad format string)");
        ++p;
        directive.precision = va_arg(*source, int);
      } else {
        directive.precision = ReadNumber(p);
      }
    }
    directive.modifier = ReadModifier(p);
    directive.conversion = *p++;
    written_length = static_cast<size_t>(p - written_from);
    ok = Convert(directive, *source, written_length);
    if (positions) va_end(numbered_source);
  }
  if (positions) positions->~NumberedArguments();
  return ok;
}

bool PrintfEngine::Convert(const Directive& directive, va_list& source, size_t written_length) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  bool wide = directive.modifier == Modifier::kWide;
  switch (directive.conversion) {
    case 'd':
    case 'i': {
      int64_t value = wide ? va_arg(source, int64_t) : va_arg(source, int);
      uint64_t magnitude = static_cast<uint64_t>(value);
      if (value < 0) magnitude = 0 - magnitude;
      return EmitInteger(directive, magnitude, value < 0, true, 10, kLower);
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X': {
      uint64_t value;
      if (wide) {
        value = va_arg(source, uint64_t);
      } else {
        value = va_arg(source, unsigned);
        if (directive.modifier == Modifier::kShort) value = static_cast<uint16_t>(value);
      }
      unsigned radix = directive.conversion == 'u' ? 10 : directive.conversion == 'o' ? 8 : 16;
      return EmitInteger(directive, value, false, false, radix,
                         directive.conversion == 'X' ? kUpper : kLower);
    }
    case 'p':
      return EmitInteger(directive, va_arg(source, uint64_t), false, false, 16, kLower);
    case 'c': {
      if (wide) return EmitChar(directive, nullptr);
      char byte = static_cast<char>(va_arg(source, int));
      return EmitChar(directive, &byte);
    }
    case 's':
      if (directive.modifier != Modifier::kNone) return true;
      return EmitString(directive, va_arg(source, const char*));
    case 'S':
      return true;
    case 'n': {
      int32_t* count = va_arg(source, int32_t*);
      if (count) *count = static_cast<int32_t>(target_->emittedCount);
      return true;
    }
    case 'e':
    case 'E':
    case 'f':
    case 'g':
      return EmitFloat(directive, va_arg(source, double), written_length);
    default: {
      char text[2] = {'%', directive.conversion};
      return Emit(text, 2);
    }
  }
}

bool PrintfEngine::EmitInteger(const Directive& directive, uint64_t value, bool negative,
                               bool is_signed, unsigned radix, const char* digit_set) {
  if (value == 0 && directive.precision == 0) return true;
  char digits[24];
  char* end = digits + sizeof(digits);
  char* first;
  switch (radix) {
    case 10:
      first = WriteDigits<10>(end, value, digit_set);
      break;
    case 16:
      first = WriteDigits<16>(end, value, digit_set);
      break;
    default:
      first = WriteDigits<8>(end, value, digit_set);
      break;
  }
  int64_t digit_count = end - first;

  char sign = 0;
  if (is_signed) {
    if (negative) {
      sign = '-';
    } else if (directive.flags & kFlagPlus) {
      sign = '+';
    } else if (directive.flags & kFlagSpace) {
      sign = ' ';
    }
  }
  int64_t precision_zeros =
      directive.precision > digit_count ? directive.precision - digit_count : 0;
  int64_t length = (sign ? 1 : 0) + digit_count + precision_zeros;
  int64_t width_zeros = 0;
  if ((directive.flags & kFlagZero) && directive.precision < 0 && directive.width > length) {
    width_zeros = directive.width - length;
  }
  int64_t spaces = directive.width - (length + width_zeros);
  if (spaces < 0) spaces = 0;

  if (!(directive.flags & kFlagLeft) && !Pad(kSpaces, spaces)) return false;
  // Sign, zeros and digits go out as one piece when they fit in a small
  // buffer, which they do unless a width or precision is very large.
  char number[96];
  int64_t zeros = precision_zeros + width_zeros;
  if (length + width_zeros <= static_cast<int64_t>(sizeof(number))) {
    char* out = number;
    if (sign) *out++ = sign;
    memset(out, '0', static_cast<size_t>(zeros));
    out += zeros;
    memcpy(out, first, static_cast<size_t>(digit_count));
    out += digit_count;
    if (!Emit(number, static_cast<size_t>(out - number))) return false;
  } else {
    if (sign && !Emit(&sign, 1)) return false;
    if (!Pad(kZeros, zeros)) return false;
    if (!Emit(first, static_cast<size_t>(digit_count))) return false;
  }
  if ((directive.flags & kFlagLeft) && !Pad(kSpaces, spaces)) return false;
  return true;
}

bool PrintfEngine::EmitString(const Directive& directive, const char* text) {
  if (directive.precision == 0) return true;
  if (!text) text = "(null)";
  // With a precision only that many bytes are looked at: the text need not
  // be terminated within them.
  size_t length = directive.precision > 0 ? strnlen(text, static_cast<size_t>(directive.precision))
                                     : strlen(text);
  int64_t padding = directive.width - static_cast<int64_t>(length);
  if (directive.flags & kFlagLeft) {
    return Emit(text, length) && Pad(kSpaces, padding);
  }
  return Pad(directive.flags & kFlagZero ? kZeros : kSpaces, padding) && Emit(text, length);
}

bool PrintfEngine::EmitChar(const Directive& directive, const char* byte) {
  int64_t padding = directive.width > 1 ? directive.width - 1 : 0;
  if (!byte) return Pad(kSpaces, padding);
  if (directive.flags & kFlagLeft) return Emit(byte, 1) && Pad(kSpaces, padding);
  return Pad(kSpaces, padding) && Emit(byte, 1);
}

bool PrintfEngine::EmitFloat(const Directive& directive, double value, size_t written_length) {
  if (written_length > kFloatDirectiveMax) return true;
  // A result at least as long as the width, or with that many decimals,
  // cannot fit; say so without having the C library produce it first.
  bool decimals = directive.conversion != 'g';
  if (directive.width > static_cast<int>(kFloatResultMax) ||
      (decimals && directive.precision > static_cast<int>(kFloatResultMax))) {
    VLM_CrashOOL(281, "VLM_RELEASE_ASSERT(len <= sizeof(fout))");
  }
  // The C library gets a directive rebuilt from what was parsed, with
  // the '*' values already resolved and no length modifier, so that it reads
  // exactly the one double it is given.
  // %g drops trailing zeros, and no double has more than 767 significant
  // digits or 1074 decimals: beyond 1100 a larger precision changes nothing
  // but the C library's work buffers, so it is capped there.
  int precision = directive.precision;
  if (!decimals && precision > 1100) precision = 1100;
  char conversion[40];
  char* out = conversion;
  *out++ = '%';
  if (directive.flags & kFlagLeft) *out++ = '-';
  if (directive.flags & kFlagPlus) *out++ = '+';
  if (directive.flags & kFlagSpace) *out++ = ' ';
  if (directive.flags & kFlagZero) *out++ = '0';
  if (directive.width > 0) out = WriteDecimal(out, directive.width);
  if (precision >= 0) {
    *out++ = '.';
    out = WriteDecimal(out, precision);
  }
  *out++ = directive.conversion;
  *out = '\0';
  char fout[kFloatResultMax + 1];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int length = snprintf(fout, sizeof(fout), conversion, value);
#pragma GCC diagnostic pop
  if (length < 0 || static_cast<size_t>(length) > kFloatResultMax) {
    VLM_CrashOOL(281, "VLM_RELEASE_ASSERT(len <= sizeof(fout))");
  }
  return Emit(fout, static_cast<size_t>(length));
}

}  // namespace detail

PrintfTarget::PrintfTarget() : emittedCount(0) {}

PrintfTarget::~PrintfTarget() {}

bool PrintfTarget::print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = vprint(format, args);
  va_end(args);
  return ok;
}

bool PrintfTarget::vprint(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  detail::PrintfEngine engine(this);
  bool ok = engine.Run(format, copy);
  va_end(copy);
  return ok;
}

}  // namespace vellum
