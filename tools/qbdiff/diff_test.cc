// Round trips of the patch writer through the updater's applier, on
// generated files and on a real binary from this machine with sections
// changed. Besides reproducing the new file exactly, the patch of a small
// change must stay small: a writer that silently stops matching would still
// round-trip.
#include "tools/qbdiff/diff.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>

#include "updater/formats/patch.h"
#include "updater/formats/patch_format.h"

namespace {

using Bytes = std::string;

struct Made {
  PatchHeader header;
  Bytes rebuilt;
  int applyResult;
};

// Makes a patch from old to new, checks its header, and applies it.
Made RoundTrip(const Bytes& old, const Bytes& newer) {
  Made made = {};
  FILE* patch = tmpfile();
  Bytes scratch = newer;  // the writer reuses the new file's buffer
  EXPECT_EQ(WriteDiffPatch(reinterpret_cast<const unsigned char*>(old.data()), old.size(),
                           reinterpret_cast<unsigned char*>(scratch.data()), scratch.size(), patch),
            DiffResult::kOk);
  rewind(patch);
  EXPECT_EQ(ReadPatchHeader(patch, &made.header), 0);
  EXPECT_EQ(made.header.sourceLength, old.size());
  EXPECT_EQ(made.header.sourceCrc,
            crc32(reinterpret_cast<const unsigned char*>(old.data()), old.size()));
  EXPECT_EQ(made.header.newLength, newer.size());
  FILE* out = tmpfile();
  made.applyResult =
      ApplyPatch(&made.header, patch, reinterpret_cast<const unsigned char*>(old.data()), out);
  rewind(out);
  char block[65536];
  size_t n;
  while ((n = fread(block, 1, sizeof(block), out)) > 0) made.rebuilt.append(block, n);
  fclose(out);
  fclose(patch);
  return made;
}

Bytes Random(std::mt19937_64& rng, size_t size) {
  Bytes bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// Text-like bytes with much repetition, where suffix matches are many.
Bytes Words(std::mt19937_64& rng, size_t size) {
  static const char* kWords[] = {"function ", "return ", "var ", "this.", "(a, b)", "{\n",
                                 "}\n",        "if (",    "x",    "y",     " = ",    ";\n"};
  Bytes text;
  while (text.size() < size) text += kWords[rng() % 12];
  text.resize(size);
  return text;
}

// Source-like text: lines drawn from a small set, so that most lines occur
// many times in the file and a match has many equally long candidates.
Bytes Lines(std::mt19937_64& rng, size_t size) {
  static const char* kLines[] = {
      "    return this.value;\n", "  }\n", "  get size() {\n", "    if (x === undefined) {\n",
      "      throw new Error(\"unexpected\");\n", "function update(state, action) {\n",
      "  const next = { ...state };\n", "\n"};
  Bytes text;
  while (text.size() < size) {
    text += kLines[rng() % 8];
    if (rng() % 4 == 0) text += "  // note " + std::to_string(rng() % 1000) + "\n";
  }
  text.resize(size);
  return text;
}

// Edits of the kind new releases bring: changed bytes, insertions,
// deletions and a moved block.
Bytes Edit(std::mt19937_64& rng, Bytes bytes, int edits) {
  for (int i = 0; i < edits && !bytes.empty(); ++i) {
    size_t at = rng() % bytes.size();
    switch (rng() % 4) {
      case 0:
        bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        break;
      case 1:
        bytes.insert(at, Random(rng, 1 + rng() % 40));
        break;
      case 2:
        bytes.erase(at, 1 + rng() % 40);
        break;
      case 3: {
        size_t length = std::min<size_t>(bytes.size() - at, 1 + rng() % 2000);
        Bytes moved = bytes.substr(at, length);
        bytes.erase(at, length);
        bytes.insert(rng() % (bytes.size() + 1), moved);
        break;
      }
    }
  }
  return bytes;
}

TEST(WriteDiffPatchTest, RoundTripsGeneratedFiles) {
  std::mt19937_64 rng(42);
  const Bytes random = Random(rng, 200000);
  const Bytes words = Words(rng, 200000);
  const Bytes lines = Lines(rng, 200000);
  Bytes zeros(300000, '\0');
  Bytes zerosWithIsland = zeros;
  zerosWithIsland.replace(150000, 100, Random(rng, 100));

  struct Case {
    int line;
    Bytes old;
    Bytes newer;
    size_t maxExtra;  // bound on literal bytes for similar files
  } cases[] = {
      {__LINE__, "", "", 0},
      {__LINE__, "", "only new bytes", 14},
      {__LINE__, "old bytes only", "", 0},
      {__LINE__, "abc", "abc", 0},
      {__LINE__, random, random, 0},
      {__LINE__, random, Random(rng, 1000), 1000},  // unrelated files
      {__LINE__, random, Edit(rng, random, 50), 2000},
      {__LINE__, words, Edit(rng, words, 50), 2000},
      // The new file repeats a part of the old one: seeks move backwards.
      {__LINE__, random, random.substr(1000, 5000) + random.substr(0, 3000) + random, 100},
      {__LINE__, random.substr(0, 100), random.substr(50, 50) + random.substr(0, 100), 0},
      // Long runs of one byte.
      {__LINE__, zeros, zerosWithIsland, 200},
      {__LINE__, zerosWithIsland, zeros, 50},
      {__LINE__, zeros, Bytes(5000, '\0') + random.substr(0, 10) + zeros, 100},
      // Tiny files, and files with nothing in common.
      {__LINE__, "a", "b", 1},
      {__LINE__, "a", "a", 0},
      {__LINE__, "ab", "ba", 2},
      {__LINE__, random.substr(0, 5000), Random(rng, 5000), 5000},
      {__LINE__, words.substr(0, 5000), Random(rng, 5000), 5000},
      // Text with blocks moved and lines edited: the text tuning, seeks in
      // both directions, and short matches folded into the extra bytes.
      {__LINE__, lines, lines.substr(60000) + lines.substr(0, 60000), 0},
      {__LINE__, lines, Edit(rng, lines, 200), 8000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Made made = RoundTrip(c.old, c.newer);
    EXPECT_EQ(made.applyResult, 0);
    EXPECT_TRUE(made.rebuilt == c.newer) << "rebuilt " << made.rebuilt.size() << " bytes";
    EXPECT_LE(made.header.extraLength, c.maxExtra);
  }
}

TEST(WriteDiffPatchTest, RandomEditsRoundTrip) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const size_t size = rng() % 20000;
    Bytes old = round % 3 == 0 ? Random(rng, size) : round % 3 == 1 ? Words(rng, size) : Lines(rng, size);
    Bytes newer = Edit(rng, old, static_cast<int>(rng() % 30));
    Made made = RoundTrip(old, newer);
    EXPECT_EQ(made.applyResult, 0);
    EXPECT_TRUE(made.rebuilt == newer);
  }
}

// File offset and size of a section of an ELF64 image, or {0, 0}.
std::pair<size_t, size_t> FindSection(const Bytes& image, const char* name) {
  Elf64_Ehdr eh;
  if (image.size() < sizeof(eh)) return {0, 0};
  memcpy(&eh, image.data(), sizeof(eh));
  if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_shstrndx >= eh.e_shnum || eh.e_shoff + eh.e_shnum * sizeof(Elf64_Shdr) > image.size()) {
    return {0, 0};
  }
  auto header = [&](size_t i) {
    Elf64_Shdr sh;
    memcpy(&sh, image.data() + eh.e_shoff + i * sizeof(sh), sizeof(sh));
    return sh;
  };
  const Elf64_Shdr names = header(eh.e_shstrndx);
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr sh = header(i);
    if (names.sh_offset + sh.sh_name < image.size() &&
        strcmp(image.c_str() + names.sh_offset + sh.sh_name, name) == 0 &&
        sh.sh_type != SHT_NOBITS && sh.sh_offset + sh.sh_size <= image.size()) {
      return {sh.sh_offset, sh.sh_size};
    }
  }
  return {0, 0};
}

// Binaries of this machine, each against itself with its code and read-only
// data sections changed the way a rebuild changes them: 32-bit displacements
// in the code shifted, code inserted, strings edited and removed.
TEST(WriteDiffPatchTest, RoundTripsRealBinariesWithSectionsChanged) {
  int tested = 0;
  for (const char* path : {"/proc/self/exe", "/bin/bash"}) {
    SCOPED_TRACE(path);
    std::ifstream in(path, std::ios::binary);
    Bytes old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto [text, textSize] = FindSection(old, ".text");
    auto [rodata, rodataSize] = FindSection(old, ".rodata");
    if (textSize < 10000 || rodataSize < 10000) continue;  // not at hand on this machine

    std::mt19937_64 rng(3);
    Bytes newer = old;
    for (size_t at = text; at + 4 <= text + textSize; at += 61) {
      uint32_t word;
      memcpy(&word, &newer[at], 4);
      word += 0x40;
      memcpy(&newer[at], &word, 4);
    }
    for (size_t at = rodata; at < rodata + rodataSize / 2; at += 97) newer[at] = 'Q';
    // Later offsets first, so the earlier ones stay valid.
    const size_t removed = std::max(text, rodata) + 500;
    newer.erase(removed, 700);
    newer.insert(std::min(text, rodata) + 1000, Random(rng, 3000));

    Made made = RoundTrip(old, newer);
    EXPECT_EQ(made.applyResult, 0);
    EXPECT_TRUE(made.rebuilt == newer);
    // The inserted code, and little besides, travels as literal bytes.
    EXPECT_LT(made.header.extraLength, 3000u + 1000u);
    EXPECT_LT(made.header.controlLength, 12u * 1000);
    ++tested;
  }
  EXPECT_GT(tested, 0);
}

TEST(WriteDiffPatchTest, FilesBeyondFourGiBAreRefusedBeforeWriting) {
  FILE* patch = tmpfile();
  unsigned char byte = 0;
  EXPECT_EQ(WriteDiffPatch(&byte, 1ull << 32, &byte, 1, patch), DiffResult::kTooLarge);
  EXPECT_EQ(WriteDiffPatch(&byte, 1, &byte, 1ull << 32, patch), DiffResult::kTooLarge);
  EXPECT_EQ(ftell(patch), 0);
  fclose(patch);
}

TEST(WriteDiffPatchTest, FullDiskIsReported) {
  FILE* full = fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  Bytes newer = "new contents";
  EXPECT_EQ(WriteDiffPatch(reinterpret_cast<const unsigned char*>("old"), 3,
                           reinterpret_cast<unsigned char*>(newer.data()), newer.size(), full),
            DiffResult::kWriteFailed);
  fclose(full);
}

}  // namespace
