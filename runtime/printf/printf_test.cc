#include "vlm/printf.h"

#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/crash/crash_testing.h"

namespace vellum {
namespace {

class StringTarget : public PrintfTarget {
 public:
  std::string text;

 protected:
  bool writeChunk(const char* chunk, size_t length) override {
    text.append(chunk, length);
    return true;
  }
};

// Formats through vprint, which does not let the compiler check the
// arguments against the format: many formats below mean something else
// here than in C.
std::string Fmt(const char* format, ...) {
  StringTarget target;
  va_list args;
  va_start(args, format);
  bool ok = target.vprint(format, args);
  va_end(args);
  EXPECT_TRUE(ok);
  EXPECT_EQ(target.emittedCount, target.text.size());
  return target.text;
}

std::string CFmt(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  EXPECT_GE(n, 0);
  EXPECT_LT(n, static_cast<int>(sizeof(buffer)));
  return buffer;
}

struct Row {
  int line;
  const char* expected;
  const char* call;
  std::function<std::string()> format;
};
#define ROW(expected, ...) \
  Row { __LINE__, expected, #__VA_ARGS__, [] { return Fmt(__VA_ARGS__); } }

void RunRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "line " << row.line << ": " << row.call);
    EXPECT_EQ(row.format(), row.expected);
  }
}

TEST(PrintfTargetTest, Integers) {
  RunRows({
      ROW("+0042", "%+05d", 42),
      ROW("ff    |", "%-6x|", 255),
      ROW("007", "%.3d", 7),
      ROW("5", "%+u", 5),  // unsigned kinds never get a sign
      ROW("", "%5.0d", 0),  // value 0, precision 0: not even padding
      ROW("", "%+.0x", 0),
      ROW("    0", "%5d", 0),
      ROW("70000", "%hd", 70000),  // %hd is not narrowed
      ROW("4464", "%hu", 70000),   // %hu is
      ROW("2345 2345", "%hx %hX", 0x12345, 0x12345),
      ROW("-42", "%d", -42),
      ROW("-2147483648", "%i", INT_MIN),
      ROW("-9223372036854775808", "%ld", LONG_MIN),
      ROW("9223372036854775807", "%lld", LLONG_MAX),
      ROW("-1 -1 -1", "%Ld %zd %Id", -1LL, -1L, -1L),
      ROW("4294967295", "%u", -1),
      ROW("18446744073709551615", "%lu", -1L),
      ROW("ffffffff FFFFFFFFFFFFFFFF", "%x %llX", -1, -1LL),
      ROW("17 777", "%o %lo", 15, 511L),
      ROW(" 5", "% d", 5),
      ROW("+5", "%+ d", 5),  // '+' wins over ' '
      ROW("5    |", "%-05d|", 5),  // '-' wins over '0'
      ROW("-0005", "%05d", -5),
      ROW("   -0005", "%8.4d", -5),
      ROW("   42", "%05.0d", 42),  // a precision turns width zeros off
      ROW("   42", "%*d", 5, 42),
      ROW("42   |", "%*d|", -5, 42),  // negative '*' width: left-aligned
      ROW("42   |", "%0*d|", -5, 42),  // ... which clears '0'
      ROW("0007", "%.*d", 4, 7),
      ROW("0", "%.*d", -1, 0),  // negative precision: none
      ROW("    0007", "%*.*d", 8, 4, 7),
  });
}

TEST(PrintfTargetTest, PointersAndCounts) {
  int32_t count = -1;
  int32_t count2 = -1;
  std::string text = Fmt("abc%n%5d%n", &count, 1, &count2);
  EXPECT_EQ(text, "abc    1");
  EXPECT_EQ(count, 3);
  EXPECT_EQ(count2, 8);
  EXPECT_EQ(Fmt("x%lln%hny", nullptr, nullptr), "xy");  // null: nothing stored
  RunRows({
      ROW("1234abcd", "%p", reinterpret_cast<void*>(0x1234abcd)),
      ROW("  1234abcd", "%10p", reinterpret_cast<void*>(0x1234abcd)),
      ROW("00ff", "%+.4p", reinterpret_cast<void*>(0xff)),
      ROW("0", "%p", nullptr),
      ROW("ffffffffffffffff", "%hp", reinterpret_cast<void*>(-1)),  // always 64 bits
  });
}

TEST(PrintfTargetTest, CharactersAndStrings) {
  RunRows({
      ROW("A", "%c", 'A'),
      ROW("  A|A  |", "%3c|%-3c|", 'A', 'A'),
      ROW("  A", "%03c", 'A'),  // characters are padded with spaces only
      ROW("A", "%hc", 0x141),  // the low byte
      ROW("[  ][65]", "[%3lc][%d]", 65, 66),  // %lc: padding only, no argument
      ROW("[][a]", "[%ls][%s]", "a", "b"),  // %ls: nothing, no argument
      ROW("5", "%S%d", 5),
      ROW("hello", "%s", "hello"),
      ROW("     hello|hello     |", "%10s|%-10s|", "hello", "hello"),
      ROW("000ab", "%05s", "ab"),
      ROW("hel", "%.3s", "hello"),
      ROW("hello", "%.30s", "hello"),
      ROW("", "%.0s", "hello"),
      ROW("", "%5.0s", "hello"),  // precision 0: no padding either
      ROW("(null)", "%s", nullptr),
      ROW("(n", "%.2s", nullptr),
      ROW("  (null)", "%8s", nullptr),
  });
}

TEST(PrintfTargetTest, PrecisionBoundsTheStringRead) {
  // Three bytes right before an inaccessible page: %.3s must not look for a
  // terminator behind them.
  long page = sysconf(_SC_PAGESIZE);
  char* pages = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  char* text = pages + page - 3;
  memcpy(text, "xyz", 3);
  EXPECT_EQ(Fmt("%.3s|%.2s|%-5.3s|", text, text, text), "xyz|xy|xyz  |");
  munmap(pages, 2 * page);
}

TEST(PrintfTargetTest, Floating) {
  std::string s320(312, ' ');
  s320 += "1.500000";
  std::string expected320 = s320;
  EXPECT_EQ(Fmt("%320f", 1.5), expected320);  // exactly 320 characters
  EXPECT_EQ(Fmt("%.300f", 1.0).size(), 302u);
  RunRows({
      ROW("1.500000", "%f", 1.5),
      ROW("1.23e+04 1.500000E+00", "%.2e %E", 12345.678, 1.5),
      ROW("0.0001 1e+20", "%g %g", 0.0001, 1e20),
      ROW("     3.142|3.142     |+3.142", "%10.3f|%-10.3f|%+.3f", 3.14159, 3.14159, 3.14159),
      ROW("0003.1", "%06.1f", 3.14159),
      // '*' values come from the argument list; modifiers are dropped, so
      // the C library reads only the double.
      ROW("  1.500000", "%*f", 10, 1.5),
      ROW("1.23e+03", "%.*e", 2, 1234.5),
      ROW("1.50    |", "%*.*f|", -8, 2, 1.5),
      ROW("1.500000", "%.*f", -3, 1.5),  // negative precision: none
      ROW("1.500000 1.500000 2.5", "%Lf %lf %hg", 1.5, 1.5, 2.5),
      // 19 characters as written are accepted, 20 are skipped silently
      // after their double was read.
      ROW("1.500000", "%00000000000000008f", 1.5),
      ROW("|2.5", "%000000000000000008f|%.1f", 1.5, 2.5),
      // Numbered: "%" plus the text after "$" counts.
      ROW("1.500000", "%1$00000000000000008f", 1.5),
      ROW("%F %G %a", "%F %G %a", 1.5),  // not floating conversions here
      // A huge %g precision is capped where it can no longer matter.
      ROW("1.5 0.1000000000000000055511151231257827021182", "%.*g %.40g", INT_MAX, 1.5, 0.1),
  });
}

TEST(PrintfTargetTest, NumberedArguments) {
  RunRows({
      ROW("b a", "%2$s %1$s", "a", "b"),
      ROW("42 x", "%2$d %1$s", "x", 42),
      // Integers and doubles travel in different registers.
      ROW("7 1.50 z 2.5", "%1$d %2$.2f %3$s %4$.1f", 7, 1.5, "z", 2.5),
      ROW("z 2.5 7 1.50", "%3$s %4$.1f %1$d %2$.2f", 7, 1.5, "z", 2.5),
      ROW("-1 ffffffff 18446744073709551615", "%1$ld %2$x %3$lu", -1L, -1, -1L),
      ROW("  A|00ff|%", "%1$3c|%2$04x|%%", 'A', 255),
      ROW("[ab]", "[%1$.2s]", "abc"),
      ROW("20 19 18 17 16 15 14 13 12 11 10 9 8 7 6 5 4 3 2 1",
          "%20$d %19$d %18$d %17$d %16$d %15$d %14$d %13$d %12$d %11$d %10$d %9$d "
          "%8$d %7$d %6$d %5$d %4$d %3$d %2$d %1$d",
          1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20),
  });
  int32_t count = -1;
  EXPECT_EQ(Fmt("%2$s%1$n", &count, "abcd"), "abcd");
  EXPECT_EQ(count, 4);
}

TEST(PrintfTargetTest, UnknownAndIncompleteDirectives) {
  RunRows({
      ROW("%", "%%"),
      ROW("%%", "%5%"),
      ROW("%y", "%-5y"),
      ROW("%#x 255", "%#x %d", 255),  // '#' is a conversion character here
      ROW("%hd", "%hhd", 5),  // "%h" then "d"
      ROW("%y|4", "%*y|%d", 3, 4),  // '*' takes its argument even so
      ROW("%q%j%t", "%q%j%t"),
      // The format ends inside a directive: what was read is written
      // literally and no argument is taken.
      ROW("abc%", "abc%"),
      ROW("abc%-5", "abc%-5"),
      ROW("x%.*", "x%.*"),
      ROW("x%*", "x%*"),
      ROW("%5.3", "%5.3"),
      ROW("%ll", "%ll"),
      ROW("%0", "%0"),
  });
}

// Records every chunk; returns false for the chunk numbered `fail_at`.
class ChunkTarget : public PrintfTarget {
 public:
  explicit ChunkTarget(int fail_at) : fail_at_(fail_at) {}
  std::vector<std::string> chunks;

 protected:
  bool writeChunk(const char* chunk, size_t length) override {
    chunks.emplace_back(chunk, length);
    return static_cast<int>(chunks.size()) != fail_at_;
  }

 private:
  int fail_at_;
};

TEST(PrintfTargetTest, ChunksGoOutInOrderAndStopOnFalse) {
  ChunkTarget all(0);
  EXPECT_TRUE(all.print("ab%dc%s", 42, "xy"));
  EXPECT_EQ(all.chunks, (std::vector<std::string>{"a", "b", "42", "c", "xy"}));
  EXPECT_EQ(all.emittedCount, 7u);

  for (int fail_at = 1; fail_at <= 5; ++fail_at) {
    SCOPED_TRACE(fail_at);
    ChunkTarget target(fail_at);
    int32_t count = -1;
    EXPECT_FALSE(target.print("ab%dc%s%n", 42, "xy", &count));
    ASSERT_EQ(target.chunks.size(), static_cast<size_t>(fail_at));
    for (int i = 0; i < fail_at; ++i) EXPECT_EQ(target.chunks[i], all.chunks[i]);
    // The failed chunk is counted too.
    size_t emitted = 0;
    for (const auto& chunk : target.chunks) emitted += chunk.size();
    EXPECT_EQ(target.emittedCount, emitted);
    EXPECT_EQ(count, -1);  // nothing after the failure ran
  }
  // Padding stops as soon as a piece is refused.
  ChunkTarget padded(1);
  EXPECT_FALSE(padded.print("%100000d", 1));
  EXPECT_EQ(padded.chunks.size(), 1u);
}

// The engine against the C library on a generated set of integer, string
// and floating conversions where the two are meant to agree (the rows above
// hold the differences: '#', %p, %hd narrowing, precision 0 with the value 0
// or with %s, '0' with %s and %c, the modifiers L and I).
TEST(PrintfTargetTest, AgreesWithTheCLibrary) {
  const char* flag_sets[] = {"", "-", "+", " ", "0", "-+", "+0", " 0", "- ", "-+ 0"};
  const char* widths[] = {"", "1", "7", "25", "*"};
  const char* precisions[] = {"", ".", ".1", ".5", ".22", ".*"};
  const int star_values[] = {-9, 0, 3, 12};
  const long long values[] = {0, 1, -1, 42, -42, 255, 32767, -32768, 65535, 70000,
                              INT_MAX, INT_MIN, UINT_MAX, LLONG_MAX, LLONG_MIN,
                              0x123456789abLL};
  const char* strings[] = {"", "a", "hello", "a longer string of text"};
  const double doubles[] = {0.0, -0.0, 1.5, -2.25, 3.14159265358979, 1e-7, 12345678.9, 1e300};
  int compared = 0;
  auto compare = [&](const std::string& format, auto... args) {
    std::string ours = Fmt(format.c_str(), args...);
    std::string theirs = CFmt(format.c_str(), args...);
    if (ours != theirs) {
      ADD_FAILURE() << "format \"" << format << "\": ours \"" << ours << "\", C \"" << theirs
                    << "\"";
    }
    ++compared;
  };
  for (const char* flags : flag_sets) {
    for (const char* width : widths) {
      for (const char* precision : precisions) {
        std::string directive = std::string("%") + flags + width + precision;
        bool star_width = width[0] == '*';
        bool star_precision = precision[0] == '.' && precision[1] == '*';
        bool zero_precision = precision[0] == '.' && (precision[1] == '\0' || precision[1] == '0');
        auto with_stars = [&](const std::string& format, auto value) {
          if (!star_width && !star_precision) {
            compare(format, value);
            return;
          }
          for (int sw : star_values) {
            for (int sp : star_values) {
              if (star_width && star_precision) {
                compare(format, sw, sp, value);
              } else if (star_width && sp == star_values[0]) {
                compare(format, sw, value);
              } else if (star_precision && sw == star_values[0]) {
                compare(format, sp, value);
              }
            }
          }
        };
        // Integers. The value 0 with precision 0 differs on purpose.
        for (const char* conversion : {"d", "i", "u", "o", "x", "X"}) {
          for (const char* modifier : {"", "h", "l", "ll", "z"}) {
            bool is_signed = conversion[0] == 'd' || conversion[0] == 'i';
            if (is_signed && modifier[0] == 'h') continue;  // not narrowed here
            std::string format = directive + modifier + conversion;
            for (long long value : values) {
              bool wide = modifier[0] == 'l' || modifier[0] == 'z';
              long long seen = wide ? value
                               : modifier[0] == 'h' ? static_cast<uint16_t>(value)
                                                    : static_cast<int>(value);
              if (seen == 0 && (zero_precision || star_precision)) continue;
              if (wide) {
                with_stars(format, value);
              } else {
                with_stars(format, static_cast<int>(value));
              }
            }
          }
        }
        // Strings: '0' and precision 0 differ on purpose.
        if (!strchr(flags, '0') && !zero_precision && !star_precision) {
          for (const char* text : strings) with_stars(directive + "s", text);
        }
        if (!strchr(flags, '0') && precision[0] == '\0') {
          with_stars(directive + "c", 'q');
        }
        // Floating conversions without modifiers agree whatever the text.
        if (width[0] != '2') {  // keep the results short
          for (const char* conversion : {"e", "E", "f", "g"}) {
            for (double value : doubles) {
              if (conversion[0] == 'f' && value == 1e300) continue;
              with_stars(directive + conversion, value);
            }
          }
        }
      }
    }
  }
  EXPECT_GT(compared, 100000);
}

// Formatting allocates nothing: the C library's allocator statistics stay
// the same over many integer and string conversions into a fixed buffer.
class FixedTarget : public PrintfTarget {
 public:
  char buffer[256];
  size_t used = 0;

 protected:
  bool writeChunk(const char* chunk, size_t length) override {
    if (length > sizeof(buffer) - used) return false;
    memcpy(buffer + used, chunk, length);
    used += length;
    return true;
  }
};

TEST(PrintfTargetTest, DoesNotAllocate) {
  struct mallinfo2 before = mallinfo2();
  for (int i = 0; i < 1000; ++i) {
    FixedTarget target;
    target.print("%d %5s %08x %-3c %lu %.1s", i, "ab", i, 'z', 77UL, "cd");
    target.print("%2$s %1$d %3$.1f", i, "ab", 2.5);
  }
  struct mallinfo2 after = mallinfo2();
  EXPECT_EQ(before.uordblks, after.uordblks);
  EXPECT_EQ(before.hblkhd, after.hblkhd);
}

struct FatalRow {
  int line;
  const char* format;
  const char* reason;
  int value;
};

TEST(PrintfTargetDeathTest, BadFormatsCrash) {
  SKIP_CRASH_TESTS_UNDER_SANITIZERS();
  const char* bad = "VLM_CRASH(Bad format string)";
  std::string many;
  for (int i = 1; i <= 21; ++i) many += "%" + std::to_string(i) + "$d";
  const FatalRow rows[] = {
      {__LINE__, "%s %1$s", bad, 337},
      {__LINE__, "%1$s %s", bad, 341},
      {__LINE__, "%1$s %", bad, 341},  // a trailing '%' counts as unnumbered
      {__LINE__, many.c_str(), "VLM_RELEASE_ASSERT(number <= 20)", 355},
      {__LINE__, "%0$d", bad, 382},
      {__LINE__, "%2$d", bad, 382},  // only one numbered conversion
      {__LINE__, "%1$*d", bad, 399},
      {__LINE__, "%1$-*d", bad, 399},
      {__LINE__, "%1$.*d", bad, 411},
      {__LINE__, "%1$E", bad, 501},
      {__LINE__, "%1$S", bad, 501},
      {__LINE__, "%1$", bad, 501},  // ends inside the directive
      {__LINE__, "%1$s %1$s", "VLM_CRASH()", 534},
      {__LINE__, "%2$s %2$s", "VLM_CRASH()", 534},
      {__LINE__, "%321f", "VLM_RELEASE_ASSERT(len <= sizeof(fout))", 281},
      {__LINE__, "%.400f", "VLM_RELEASE_ASSERT(len <= sizeof(fout))", 281},
      {__LINE__, "%.2000g", "VLM_RELEASE_ASSERT(len <= sizeof(fout))", 281},
  };
  for (const FatalRow& row : rows) {
    SCOPED_TRACE(::testing::Message() << "line " << row.line << ": " << row.format);
    const char* format = row.format;
    EXPECT_EXIT(vellum::testing::ReportCrashesAndExit({[format] { Fmt(format, "a", "b", 1e-300); }}),
                ::testing::ExitedWithCode(0),
                ::testing::HasSubstr(std::string("crash: signal=11 addr=0 reason=") + row.reason +
                                     " line=" + std::to_string(row.value) + "\n"));
  }
}

}  // namespace
}  // namespace vellum
