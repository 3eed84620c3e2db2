// Tests of the patch applier on hand-built patches: header checks, every
// malformed triple, seeks in both directions, and output streams that refuse
// bytes.
#include "updater/formats/patch.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "updater/formats/patch_format.h"

namespace {

using Bytes = std::string;

// A patch built from parts; the header fields follow the blocks unless a
// test overrides them afterwards.
struct PatchParts {
  std::vector<ControlTriple> triples;
  Bytes diff;
  Bytes extra;
  Bytes source;
};

Bytes Encode(const PatchParts& parts, PatchHeader* header) {
  Bytes control(parts.triples.size() * kControlTripleSize, '\0');
  for (size_t i = 0; i < parts.triples.size(); ++i) {
    EncodeControlTriple(parts.triples[i],
                        reinterpret_cast<unsigned char*>(&control[i * kControlTripleSize]));
  }
  memcpy(header->tag, kPatchTag, kPatchTagLength);
  header->sourceLength = static_cast<uint32_t>(parts.source.size());
  header->sourceCrc =
      crc32(reinterpret_cast<const unsigned char*>(parts.source.data()), parts.source.size());
  header->newLength = 0;
  header->controlLength = static_cast<uint32_t>(control.size());
  header->diffLength = static_cast<uint32_t>(parts.diff.size());
  header->extraLength = static_cast<uint32_t>(parts.extra.size());
  unsigned char raw[kPatchHeaderSize];
  EncodePatchHeader(*header, raw);
  return Bytes(reinterpret_cast<char*>(raw), sizeof(raw)) + control + parts.diff + parts.extra;
}

FILE* StreamOf(const Bytes& bytes) {
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  fflush(f);
  rewind(f);
  return f;
}

Bytes ContentsOf(FILE* f) {
  fflush(f);
  rewind(f);
  Bytes out;
  char block[4096];
  size_t n;
  while ((n = fread(block, 1, sizeof(block), f)) > 0) out.append(block, n);
  return out;
}

// Applies `parts` (header as encoded, or as changed by `edit`) to its source.
// Returns the result and leaves what was written in *output.
template <typename Edit>
int Apply(const PatchParts& parts, Bytes* output, Edit edit) {
  PatchHeader header;
  FILE* patch = StreamOf(Encode(parts, &header));
  fseek(patch, kPatchHeaderSize, SEEK_SET);
  edit(&header);
  FILE* out = tmpfile();
  int result = ApplyPatch(&header, patch,
                          reinterpret_cast<const unsigned char*>(parts.source.data()), out);
  *output = ContentsOf(out);
  fclose(out);
  fclose(patch);
  return result;
}

int Apply(const PatchParts& parts, Bytes* output) {
  return Apply(parts, output, [](PatchHeader*) {});
}

TEST(Crc32Test, MatchesTheBzip2Check) {
  const char* check = "123456789";
  EXPECT_EQ(crc32(reinterpret_cast<const unsigned char*>(check), 9), 0xFC891918u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  const unsigned char zero = 0;
  EXPECT_EQ(crc32(&zero, 1), 0xB1F7404Bu);
}

TEST(ReadPatchHeaderTest, ChecksTagAndLength) {
  PatchParts parts{{{2, 1, 0}}, "\x01\x02", "x", "ab"};
  PatchHeader encoded;
  const Bytes valid = Encode(parts, &encoded);

  struct Case {
    int line;
    Bytes file;
    int expected;
  } cases[] = {
      {__LINE__, valid, 0},
      {__LINE__, valid + "!", 41},
      {__LINE__, valid.substr(0, valid.size() - 1), 41},
      // Only the letter case differs.
      {__LINE__, "qbdiff10" + valid.substr(8), 41},
      {__LINE__, "QBDIFF11" + valid.substr(8), 41},
      {__LINE__, valid.substr(0, 31), 6},
      {__LINE__, "", 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    FILE* f = StreamOf(c.file);
    PatchHeader header;
    EXPECT_EQ(ReadPatchHeader(f, &header), c.expected);
    if (c.expected == 0) {
      EXPECT_EQ(ftell(f), 32);
      EXPECT_EQ(header.sourceLength, 2u);
      EXPECT_EQ(header.sourceCrc, encoded.sourceCrc);
      EXPECT_EQ(header.controlLength, 12u);
      EXPECT_EQ(header.diffLength, 2u);
      EXPECT_EQ(header.extraLength, 1u);
    }
    fclose(f);
  }
}

TEST(ReadPatchHeaderTest, LengthsSummingPastFourGiBAreRefused) {
  // The three lengths wrap to the file's real size in 32 bits.
  PatchHeader header = {};
  memcpy(header.tag, kPatchTag, kPatchTagLength);
  header.controlLength = 0x80000000u;
  header.diffLength = 0x80000000u;
  header.extraLength = 12;
  unsigned char raw[kPatchHeaderSize];
  EncodePatchHeader(header, raw);
  FILE* f = StreamOf(Bytes(reinterpret_cast<char*>(raw), sizeof(raw)) + Bytes(12, '\0'));
  EXPECT_EQ(ReadPatchHeader(f, &header), 41);
  fclose(f);
}

TEST(ReadPatchHeaderTest, StreamWithoutDescriptorIsUnreadable) {
  PatchHeader header;
  Bytes valid = Encode(PatchParts{{{0, 0, 0}}, "", "", ""}, &header);
  FILE* f = fmemopen(valid.data(), valid.size(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadPatchHeader(f, &header), 6);
  fclose(f);
}

TEST(ApplyPatchTest, RebuildsTheNewFile) {
  struct Case {
    int line;
    PatchParts parts;
    Bytes expected;
  } cases[] = {
      // Add with zero differences, copy, then add with a change.
      {__LINE__, {{{3, 2, 0}, {2, 0, 0}}, Bytes("\0\0\0\0\x01", 5), "XY", "abcde"},
       "abcXYdf"},
      // A negative seek uses the same source bytes twice.
      {__LINE__, {{{4, 1, -4}, {4, 0, 0}}, Bytes(8, '\0'), "-", "wxyz"}, "wxyz-wxyz"},
      // x = 0, y = 0 triples only move the cursor, forwards and backwards.
      {__LINE__, {{{0, 0, 3}, {1, 0, -3}, {0, 0, -1}, {1, 0, 0}}, Bytes(2, '\0'), "", "abcd"},
       "da"},
      // The cursor may stop exactly at the end of the source.
      {__LINE__, {{{2, 1, 2}, {0, 1, 0}}, Bytes(2, '\0'), "pq", "abcd"}, "abpq"},
      // Sum modulo 256 in the difference bytes.
      {__LINE__, {{{2, 0, 0}}, "\x01\xff", "", "\xff\x02"}, Bytes("\x00\x01", 2)},
      // An empty source with literal bytes only; an empty result.
      {__LINE__, {{{0, 3, 0}}, "", "new", ""}, "new"},
      {__LINE__, {{{0, 0, 0}}, "", "", "old"}, ""},
      // Difference and extra bytes that no triple uses are ignored.
      {__LINE__, {{{1, 1, 0}}, Bytes("\0unused", 7), "xunused", "a"}, "ax"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Bytes output;
    EXPECT_EQ(Apply(c.parts, &output), 0);
    EXPECT_EQ(output, c.expected);
  }
}

TEST(ApplyPatchTest, NewLengthTakesNoPart) {
  PatchParts parts{{{0, 2, 0}}, "", "hi", "s"};
  for (uint32_t newLength : {0u, 1u, 3u, 0xFFFFFFFFu}) {
    Bytes output;
    EXPECT_EQ(Apply(parts, &output, [&](PatchHeader* h) { h->newLength = newLength; }), 0);
    EXPECT_EQ(output, "hi");
  }
}

TEST(ApplyPatchTest, MalformedPatchesFailWith41KeepingEarlierOutput) {
  struct Case {
    int line;
    PatchParts parts;
    Bytes written;  // what the triples before the bad one produced
    int controlLength;  // -1: as encoded
  } cases[] = {
      // Control blocks without whole triples: refused before any output.
      {__LINE__, {{{0, 1, 0}}, "", "x", "s"}, "", 0},
      {__LINE__, {{{0, 1, 0}, {0, 1, 0}}, "", "xy", "s"}, "", 13},
      {__LINE__, {{{0, 1, 0}, {0, 1, 0}}, "", "xy", "s"}, "", 11},
      // Add reaching past the source end, also after a seek.
      {__LINE__, {{{0, 1, 0}, {3, 0, 0}}, Bytes(3, '\0'), "e", "ab"}, "e", -1},
      {__LINE__, {{{1, 0, 1}, {1, 0, 0}}, Bytes(2, '\0'), "", "ab"}, "a", -1},
      // Add reaching past the difference block.
      {__LINE__, {{{1, 0, 0}, {2, 0, 0}}, Bytes(2, '\0'), "", "abcd"}, "a", -1},
      // Copy reaching past the extra block: the added bytes are already out.
      {__LINE__, {{{1, 3, 0}}, Bytes(1, '\0'), "xy", "ab"}, "a", -1},
      // Seek one byte beyond the end of the source.
      {__LINE__, {{{1, 0, 2}, {0, 1, 0}}, Bytes(1, '\0'), "z", "ab"}, "a", -1},
      // Seek before the start of the source, by one and by the most.
      {__LINE__, {{{1, 1, -2}}, Bytes(1, '\0'), "z", "ab"}, "az", -1},
      {__LINE__, {{{0, 0, INT32_MIN}}, "", "", "ab"}, "", -1},
      {__LINE__, {{{0, 0, INT32_MAX}}, "", "", "ab"}, "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Bytes output;
    int result = Apply(c.parts, &output, [&](PatchHeader* h) {
      if (c.controlLength >= 0) h->controlLength = c.controlLength;
    });
    EXPECT_EQ(result, 41);
    EXPECT_EQ(output, c.written);
  }
}

TEST(ApplyPatchTest, TruncatedBlocksFailWith6) {
  PatchParts parts{{{2, 1, 0}}, Bytes(2, '\0'), "x", "ab"};
  Bytes output;
  EXPECT_EQ(Apply(parts, &output, [](PatchHeader* h) { h->extraLength += 1; }), 6);
  EXPECT_EQ(output, "");
}

// An output stream that takes `room` bytes in total and then refuses.
struct Refusing {
  size_t room;
  Bytes taken;
};

ssize_t RefusingWrite(void* cookie, const char* data, size_t size) {
  Refusing* r = static_cast<Refusing*>(cookie);
  size_t n = std::min(size, r->room);
  r->taken.append(data, n);
  r->room -= n;
  return static_cast<ssize_t>(n);  // 0 reports the error
}

TEST(ApplyPatchTest, ShortWritesFailWith64) {
  PatchParts parts{{{4, 4, 0}}, Bytes(4, '\0'), "EFGH", "abcd"};
  for (bool buffered : {false, true}) {
    for (size_t room : {0, 2, 4, 6, 7}) {
      SCOPED_TRACE(testing::Message() << "buffered " << buffered << " room " << room);
      PatchHeader header;
      FILE* patch = StreamOf(Encode(parts, &header));
      fseek(patch, kPatchHeaderSize, SEEK_SET);
      Refusing sink{room, ""};
      FILE* out = fopencookie(&sink, "w", {nullptr, RefusingWrite, nullptr, nullptr});
      ASSERT_NE(out, nullptr);
      if (!buffered) setvbuf(out, nullptr, _IONBF, 0);
      EXPECT_EQ(ApplyPatch(&header, patch,
                           reinterpret_cast<const unsigned char*>(parts.source.data()), out),
                64);
      fclose(out);
      fclose(patch);
      EXPECT_EQ(sink.taken, Bytes("abcdEFGH").substr(0, room));
    }
  }
}

TEST(ApplyPatchTest, FullDiskIsNotSuccess) {
  FILE* full = fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  PatchParts parts{{{0, 5, 0}}, "", "12345", ""};
  PatchHeader header;
  FILE* patch = StreamOf(Encode(parts, &header));
  fseek(patch, kPatchHeaderSize, SEEK_SET);
  EXPECT_EQ(ApplyPatch(&header, patch, nullptr, full), 64);
  fclose(full);
  fclose(patch);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(ApplyPatchTest, NoMemoryForTheBlocksFailsWith12) {
  // In a child whose address space cannot hold 4 GiB of blocks.
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    struct rlimit limit = {512u << 20, 512u << 20};
    setrlimit(RLIMIT_AS, &limit);
    PatchHeader header = {};
    header.controlLength = 12;
    header.diffLength = 0xFFFFFFF0u;
    FILE* patch = tmpfile();
    _exit(ApplyPatch(&header, patch, nullptr, stdout));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 12);
}
#endif

}  // namespace
