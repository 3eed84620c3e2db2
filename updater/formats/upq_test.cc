// The archive library and UpqReader: archives from the writer, and
// hand-made ones broken in one place each.
#include "updater/formats/upq.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "updater/formats/upq_format.h"
#include "updater/formats/upq_test_util.h"
#include "updater/formats/upq_writer.h"
#include "updater/log.h"
#include "updater/testing/fault.h"

namespace {

using namespace upq_test;

class UpqTest : public testing::Test {
 protected:
  ~UpqTest() override { gArchiveReader.Close(); }

  std::string Archive(const Bytes& bytes) {
    std::string path = dir_ / "update.upq";
    WriteFile(path, bytes);
    return path;
  }

  // Opens `bytes` as the process's archive and extracts `name` to a file;
  // returns the result code, the output in *out.
  int Extract(const Bytes& archive, const char* name, Bytes* out = nullptr) {
    EXPECT_EQ(gArchiveReader.Open(Archive(archive).c_str()), 0);
    std::string dest = dir_ / "out";
    unlink(dest.c_str());
    int result = gArchiveReader.ExtractToPath(name, dest.c_str());
    if (out) *out = ReadFile(dest);
    return result;
  }

  TempDir dir_;
};

TEST_F(UpqTest, WriterRoundTripsEveryOptionAndSize) {
  struct Case {
    int line;
    UpqWriterOptions options;
  };
  UpqWriterOptions bcj;
  bcj.x86_bcj = true;
  UpqWriterOptions crc32;
  crc32.check = LZMA_CHECK_CRC32;
  UpqWriterOptions none;
  none.check = LZMA_CHECK_NONE;
  none.preset = 0;
  UpqWriterOptions threaded;
  threaded.threads = 2;
  UpqWriterOptions product;
  product.channel = "release";
  product.version = "128.0.1";
  const Case cases[] = {{__LINE__, {}}, {__LINE__, bcj}, {__LINE__, crc32},
                        {__LINE__, none}, {__LINE__, threaded},
                        {__LINE__, product}};
  // Sizes around the 262144-byte buffers, an empty file, incompressible data.
  const struct {
    const char* name;
    Bytes data;
    uint32_t mode;
  } files[] = {
      {"updatev3.manifest", ToBytes("type \"complete\"\nadd \"bin/x\"\n"), 0644},
      {"empty", {}, 0600},
      {"bin/exact", TextBytes(2 * kUpqTransferBufferSize, 1), 0755},
      {"bin/random", RandomBytes(kUpqTransferBufferSize + 17, 2), 0700},
      {"lib/deep/dir/text", TextBytes(1000003, 3), 0640},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string path = dir_ / "w.upq";
    UpqWriterOptions options = c.options;
    options.preset = std::min(options.preset, 1u);  // keeps the test fast
    UpqWriter* w = upq_writer_open(path.c_str(), options);
    for (const auto& f : files) {
      ASSERT_EQ(upq_writer_add_bytes(w, f.name, f.data.data(), f.data.size(), f.mode), 0)
          << upq_writer_error(w);
    }
    ASSERT_EQ(upq_writer_finish(w), 0) << upq_writer_error(w);
    upq_writer_free(w);

    ASSERT_EQ(gArchiveReader.Open(path.c_str()), 0);
    for (const auto& f : files) {
      SCOPED_TRACE(f.name);
      std::string dest = dir_ / "out";
      unlink(dest.c_str());
      mode_t old = umask(0);
      int result = gArchiveReader.ExtractToPath(f.name, dest.c_str());
      umask(old);
      ASSERT_EQ(result, 0) << gArchiveReader.LastError();
      EXPECT_EQ(ReadFile(dest), f.data);
      struct stat st;
      ASSERT_EQ(stat(dest.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, f.mode);
    }
    UpqArchive* archive = upq_open(path.c_str());
    ASSERT_NE(archive, nullptr);
    char channel[64], version[32];
    int info = upq_read_product_info(archive, channel, version);
    if (c.options.channel) {
      ASSERT_EQ(info, 1);
      EXPECT_STREQ(channel, "release");
      EXPECT_STREQ(version, "128.0.1");
    } else {
      EXPECT_EQ(info, 0);
    }
    upq_release(archive);
  }
}

TEST_F(UpqTest, ExtractToStreamAppendsAndLeavesStreamOpen) {
  Bytes plain = TextBytes(300000, 4);
  Bytes archive = BuildArchive({{"p", XzEncode(plain)}});
  ASSERT_EQ(gArchiveReader.Open(Archive(archive).c_str()), 0);
  FILE* stream = tmpfile();
  fputs("head", stream);
  ASSERT_EQ(gArchiveReader.ExtractToStream("p", stream), 0);
  // Still positioned after the data and usable.
  EXPECT_EQ(ftell(stream), static_cast<long>(4 + plain.size()));
  fputs("tail", stream);
  rewind(stream);
  Bytes all(4 + plain.size() + 4);
  ASSERT_EQ(fread(all.data(), 1, all.size(), stream), all.size());
  EXPECT_EQ(memcmp(all.data(), "head", 4), 0);
  EXPECT_EQ(Bytes(all.begin() + 4, all.end() - 4), plain);
  fclose(stream);
}

TEST_F(UpqTest, LookupMatchesExactNamesFirstEntryWins) {
  // "Z" and "%\x01" share a bucket: 0x25 * 37 + 1 = 0x55a, and 0x5a is 'Z'.
  Bytes archive = BuildArchive({{"dup", XzEncode(ToBytes("first"))},
                                {"Dup", XzEncode(ToBytes("upper"))},
                                {"Z", XzEncode(ToBytes("z"))},
                                {"%\x01", XzEncode(ToBytes("collides with Z"))},
                                {"dup", XzEncode(ToBytes("second"))}});
  ASSERT_EQ(upq_name_hash("Z"), upq_name_hash("%\x01"));
  const struct {
    const char* name;
    const char* want;  // null: no such entry
  } cases[] = {
      {"dup", "first"}, {"Dup", "upper"}, {"DUP", nullptr}, {"Z", "z"},
      {"%\x01", "collides with Z"}, {"du", nullptr}, {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    int result = Extract(archive, c.name, &out);
    if (c.want) {
      ASSERT_EQ(result, 0);
      EXPECT_EQ(out, ToBytes(c.want));
    } else {
      EXPECT_EQ(result, 6);
      EXPECT_NE(strstr(gArchiveReader.LastError(), "no such entry"), nullptr);
    }
  }
}

// Hand-made archives broken in one place: the lookup or the extraction of
// entry "e" must give the code, and the reader's message must name the kind
// of fault.
TEST_F(UpqTest, MalformedArchives) {
  const Bytes good_xz = XzEncode(ToBytes("payload"));
  const Bytes good = BuildArchive({{"e", good_xz}});
  const uint32_t index = IndexOffset(good);
  struct Case {
    int line;
    Bytes archive;
    int want;
    const char* message;  // substring of LastError(), or null
  };
  auto with = [&](auto edit) {
    Bytes b = good;
    edit(&b);
    return b;
  };
  auto truncated = good_xz;
  truncated.resize(truncated.size() - 5);
  auto trailing = good_xz;
  trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 0, 0, 0, 0});
  // An entry with an empty name in the middle has 14+ bytes left: fine.
  Bytes empty_name_mid = BuildArchive({{"", good_xz}, {"e", good_xz}});
  // As the last entry it leaves 13 bytes: the whole index is refused.
  Bytes empty_name_last = BuildArchive({{"e", good_xz}, {"", good_xz}});
  Bytes nul_outside = BuildArchive({{"e", good_xz}, {"longer-name", good_xz}});
  {
    uint32_t at = IndexOffset(nul_outside);
    upq_store_be32(nul_outside.data() + at, upq_load_be32(nul_outside.data() + at) - 1);
  }
  const Case cases[] = {
      {__LINE__, good, 0, nullptr},
      {__LINE__, with([](Bytes* b) { (*b)[3] = '2'; }), 6, "index is unreadable"},
      {__LINE__, with([&](Bytes* b) { upq_store_be32(b->data() + index, 0); }), 6,
       "index is unreadable"},
      // Index one byte short: the last name's NUL falls outside the index.
      {__LINE__, nul_outside, 6, "index is unreadable"},
      // Index size larger than the file.
      {__LINE__, with([&](Bytes* b) { upq_store_be32(b->data() + index, 0xfffffff0); }), 6,
       "index is unreadable"},
      {__LINE__, with([](Bytes* b) { upq_store_be32(b->data() + 4, 0xfffffff0); }), 6,
       "index is unreadable"},
      {__LINE__, with([](Bytes* b) { b->resize(b->size() - 1); }), 6, "index is unreadable"},
      {__LINE__, empty_name_mid, 0, nullptr},
      {__LINE__, empty_name_last, 6, "index is unreadable"},
      // Data offset past the end of the file: the first read returns nothing.
      {__LINE__, with([&](Bytes* b) { upq_store_be32(b->data() + index + 4, 0x10000000); }),
       6, "could not read the entry"},
      // Length reaching past the end of the file: reads run dry mid-stream.
      {__LINE__, with([&](Bytes* b) { upq_store_be32(b->data() + index + 4 + 4, 0x7fff0000); }),
       0, nullptr},
      {__LINE__, with([&](Bytes* b) { upq_store_be32(b->data() + index + 4 + 4, 0); }), 40,
       "empty"},
      // Length with the top bit set counts as negative: nothing is read.
      {__LINE__, with([&](Bytes* b) { upq_store_be32(b->data() + index + 4 + 4, 0x80000000); }),
       39, "truncated"},
      {__LINE__, BuildArchive({{"e", truncated}}), 39, "truncated"},
      {__LINE__, BuildArchive({{"e", trailing}}), 0, nullptr},
      // The older layout: entry data right after the 8-byte header.
      {__LINE__, BuildArchive({{"e", good_xz}}, 8), 0, nullptr},
      // Not XZ at all.
      {__LINE__, BuildArchive({{"e", ToBytes("PK\x03\x04 not xz at all")}}), 39, "corrupt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Bytes out;
    EXPECT_EQ(Extract(c.archive, "e", &out), c.want);
    if (c.want == 0) {
      EXPECT_EQ(out, ToBytes("payload"));
    } else {
      EXPECT_NE(strstr(gArchiveReader.LastError(), c.message), nullptr)
          << gArchiveReader.LastError();
    }
  }
}

TEST_F(UpqTest, FailedIndexLoadIsRetriedAndNeverServesStaleEntries) {
  // Good first entry, broken second: the load fails after storing one entry.
  Bytes archive = BuildArchive({{"e", XzEncode(ToBytes("x"))}, {"", {}}});
  UpqArchive* a = upq_open(Archive(archive).c_str());
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(upq_lookup(a, "e"), nullptr);
    EXPECT_EQ(a->index_loaded, 0);
  }
  EXPECT_EQ(upq_load_index(a), -1);
  upq_release(a);
}

TEST_F(UpqTest, ReadEntryBounds) {
  Bytes data = RandomBytes(100, 5);
  Bytes archive = BuildArchive({{"e", data}});
  UpqArchive* a = upq_open(Archive(archive).c_str());
  ASSERT_NE(a, nullptr);
  UpqEntry* e = upq_lookup(a, "e");
  ASSERT_NE(e, nullptr);
  uint8_t buf[256];
  const struct {
    int line;
    int32_t offset, capacity;
    int want;
  } cases[] = {
      {__LINE__, 0, 256, 100},  {__LINE__, 0, 10, 10},  {__LINE__, 90, 256, 10},
      {__LINE__, 100, 256, 0},  {__LINE__, 101, 256, -1}, {__LINE__, 0, 0, 0},
      {__LINE__, 0, -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    int got = upq_read_entry(a, e, c.offset, buf, c.capacity);
    ASSERT_EQ(got, c.want);
    if (got > 0) {
      EXPECT_EQ(memcmp(buf, data.data() + c.offset, got), 0);
    }
  }
  // An entry running past the end of the file reads short, then nothing.
  e->length = 150;
  EXPECT_EQ(upq_read_entry(a, e, 0, buf, 256), 100 + 4 + 14);  // data and index
  EXPECT_EQ(upq_read_entry(a, e, 140, buf, 256), 0);
  upq_release(a);
}

// Entries whose XZ data the decoder must refuse, each with the kind of fault
// the message names.
TEST_F(UpqTest, XzRestrictions) {
  const Bytes plain = TextBytes(5000, 6);
  const Bytes good = XzEncode(plain);
  struct Case {
    int line;
    Bytes xz;
    int want;
    const char* message;
  };
  auto dict_byte = [&](uint8_t value) {
    Bytes b = good;
    b[LzmaDictByteOffset(b)] = value;
    FixBlockHeaderCrc(&b, kFirstBlockHeader);
    return b;
  };
  lzma_options_lzma lzma2;
  lzma_lzma_preset(&lzma2, 1);
  lzma_options_delta delta = {LZMA_DELTA_TYPE_BYTE, 4, 0, 0, 0, 0, nullptr, nullptr};
  lzma_filter delta_chain[] = {{LZMA_FILTER_DELTA, &delta},
                               {LZMA_FILTER_LZMA2, &lzma2},
                               {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_filter arm_chain[] = {{LZMA_FILTER_ARM, nullptr},
                             {LZMA_FILTER_LZMA2, &lzma2},
                             {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_filter double_x86[] = {{LZMA_FILTER_X86, nullptr},
                              {LZMA_FILTER_X86, nullptr},
                              {LZMA_FILTER_LZMA2, &lzma2},
                              {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes flipped_data = good;
  flipped_data[good.size() / 2] ^= 0x40;
  Bytes bad_check = good;
  // The CRC-64 sits just before the index (which starts with 0x00); with a
  // single block it is the 8 bytes before the index: find the index by the
  // footer's backward size.
  const size_t n = good.size();
  uint32_t backward_field = good[n - 8] | good[n - 7] << 8 | good[n - 6] << 16 |
                            static_cast<uint32_t>(good[n - 5]) << 24;
  size_t backward = (size_t{backward_field} + 1) * 4;
  size_t index_pos = good.size() - 12 - backward;
  bad_check[index_pos - 1] ^= 1;
  Bytes two_streams = good;
  Bytes second = XzEncode(ToBytes("second stream"));
  two_streams.insert(two_streams.end(), second.begin(), second.end());
  const Case cases[] = {
      {__LINE__, good, 0, nullptr},
      {__LINE__, XzEncode(plain, LZMA_CHECK_NONE), 0, nullptr},
      {__LINE__, XzEncode(plain, LZMA_CHECK_CRC32), 0, nullptr},
      {__LINE__, XzEncode(plain, LZMA_CHECK_CRC64, true), 0, nullptr},
      {__LINE__, XzEncode(plain, LZMA_CHECK_SHA256), 39, "unsupported feature in stream header"},
      {__LINE__, XzEncodeFilters(plain, delta_chain, LZMA_CHECK_CRC64), 39,
       "unsupported feature in block header"},
      {__LINE__, XzEncodeFilters(plain, arm_chain, LZMA_CHECK_CRC64), 39,
       "unsupported feature in block header"},
      {__LINE__, XzEncodeFilters(plain, double_x86, LZMA_CHECK_CRC64), 39,
       "unsupported feature in block header"},
      // 64 MiB exactly (property 28) is the largest dictionary allowed; the
      // next size up, 96 MiB (29), is refused before anything is allocated.
      {__LINE__, dict_byte(28), 0, nullptr},
      {__LINE__, dict_byte(29), 39, "dictionary larger than 64 MiB"},
      {__LINE__, dict_byte(40), 39, "dictionary larger than 64 MiB"},
      {__LINE__, dict_byte(41), 39, "unsupported feature in block header"},
      {__LINE__, flipped_data, 39, "corrupt data"},
      {__LINE__, bad_check, 39, "corrupt data in block data"},
      // Only the first stream is decoded.
      {__LINE__, two_streams, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_FALSE(c.xz.empty());
    Bytes out;
    EXPECT_EQ(Extract(BuildArchive({{"e", c.xz}}), "e", &out), c.want);
    if (c.want == 0) {
      EXPECT_EQ(out, plain);
    } else {
      EXPECT_NE(strstr(gArchiveReader.LastError(), c.message), nullptr)
          << gArchiveReader.LastError();
    }
  }
}

// A stream that takes at most `limit` bytes in all, then refuses.
FILE* RefusingStream(size_t* limit) {
  cookie_io_functions_t io = {};
  io.write = [](void* cookie, const char*, size_t size) -> ssize_t {
    size_t* left = static_cast<size_t*>(cookie);
    size_t n = size < *left ? size : *left;
    *left -= n;
    return n ? static_cast<ssize_t>(n) : -1;
  };
  return fopencookie(limit, "wb", io);
}

TEST_F(UpqTest, ShortWritesAreReported) {
  Bytes big = TextBytes(3 * kUpqTransferBufferSize + 5, 7);
  Bytes small = ToBytes("a few bytes");
  Bytes archive = BuildArchive({{"big", XzEncode(big)}, {"small", XzEncode(small)}});
  ASSERT_EQ(gArchiveReader.Open(Archive(archive).c_str()), 0);
  for (size_t limit : {size_t{0}, size_t{1000}, kUpqTransferBufferSize + 1}) {
    SCOPED_TRACE(limit);
    size_t left = limit;
    FILE* stream = RefusingStream(&left);
    EXPECT_EQ(gArchiveReader.ExtractToStream("big", stream), 70);
    fclose(stream);
    // Small output sits in the stdio buffer until the final flush.
    left = limit < small.size() ? limit : 0;
    stream = RefusingStream(&left);
    EXPECT_EQ(gArchiveReader.ExtractToStream("small", stream), 70);
    fclose(stream);
  }
  // A full device: caught at the write of a full buffer, or at the close.
  EXPECT_EQ(gArchiveReader.ExtractToPath("big", "/dev/full"), 70);
  EXPECT_EQ(gArchiveReader.ExtractToPath("small", "/dev/full"), 70);
}

// Every C library call of an extraction fails in turn: the destination's
// open and stream give 7, every write 70, and nothing passes for success.
TEST_F(UpqTest, EachFailingCallIsReported) {
  Bytes big = TextBytes(3 * kUpqTransferBufferSize + 5, 8);
  ASSERT_EQ(gArchiveReader.Open(Archive(BuildArchive({{"big", XzEncode(big)}})).c_str()), 0);
  std::string dest = dir_ / "out";
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    vlm_fault::FailNth(n);
    int result = gArchiveReader.ExtractToPath("big", dest.c_str());
    bool fired = vlm_fault::Fired();
    vlm_fault::Reset();
    if (!fired) {
      ASSERT_EQ(result, 0);
      EXPECT_EQ(ReadFile(dest), big);
      EXPECT_GT(n, 3);
      break;
    }
    EXPECT_EQ(result, n <= 2 ? 7 : 70) << gArchiveReader.LastError();
  }
}

// One failure, one log line, naming the function, the entry and the fault.
// A missing archive or name is the caller's to log.
TEST_F(UpqTest, FailureIsLoggedOnce) {
  Bytes xz = XzEncode(ToBytes("payload"));
  xz.resize(xz.size() - 1);
  UpdateLogger::GetPrimaryLog().Init(dir_.path().c_str(), "update.log");
  EXPECT_EQ(gArchiveReader.Open((dir_ / "missing.upq").c_str()), 6);
  ASSERT_EQ(gArchiveReader.Open(Archive(BuildArchive({{"cut", xz}})).c_str()), 0);
  EXPECT_EQ(gArchiveReader.ExtractToPath("updatev3.manifest", (dir_ / "out").c_str()), 6);
  EXPECT_EQ(gArchiveReader.ExtractToPath("cut", (dir_ / "out").c_str()), 39);
  UpdateLogger::GetPrimaryLog().Finish();
  Bytes log = ReadFile(dir_ / "update.log");
  EXPECT_EQ(std::string(log.begin(), log.end()),
            "UpqReader::DecodeEntryToStream: XZ truncated stream in stream footer, entry: "
            "cut, offset: " + std::to_string(xz.size()) + "\n");
}

TEST_F(UpqTest, OpenCloseAndDestinationFailures) {
  EXPECT_EQ(gArchiveReader.Open((dir_ / "missing.upq").c_str()), 6);
  EXPECT_EQ(gArchiveReader.ExtractToPath("e", (dir_ / "x").c_str()), 6);
  gArchiveReader.Close();
  gArchiveReader.Close();
  EXPECT_EQ(gArchiveReader.ExtractToStream("e", stdout), 6);

  Bytes archive = BuildArchive({{"e", XzEncode(ToBytes("x")), 0444}});
  ASSERT_EQ(gArchiveReader.Open(Archive(archive).c_str()), 0);
  EXPECT_EQ(gArchiveReader.ExtractToPath("e", (dir_ / "no/such/dir").c_str()), 7);
  // Open on an open reader replaces the archive.
  ASSERT_EQ(gArchiveReader.Open(Archive(BuildArchive({{"f", XzEncode(ToBytes("y"))}})).c_str()),
            0);
  EXPECT_EQ(gArchiveReader.ExtractToPath("e", (dir_ / "x").c_str()), 6);
  EXPECT_EQ(gArchiveReader.ExtractToPath("f", (dir_ / "x").c_str()), 0);
}

TEST(UpqName, SafeNames) {
  const struct {
    const char* name;
    bool safe;
  } cases[] = {
      {"a", true},         {"a/b/c.txt", true}, {"..a", true},  {"a..", true},
      {"", false},         {"/a", false},       {"a/", false},  {"a//b", false},
      {"..", false},       {"a/../b", false},   {"./a", false}, {"a/.", false},
      {"../etc/passwd", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(upq_is_safe_name(c.name), c.safe) << c.name;
  }
}

TEST(UpqWriterErrors, RefusesWhatTheReaderCannotRead) {
  TempDir dir;
  std::string path = dir / "a.upq";
  UpqWriterOptions options;
  UpqWriter* w = upq_writer_open(path.c_str(), options);
  EXPECT_EQ(upq_writer_finish(w), -1);  // no entries: index of 0 bytes
  upq_writer_free(w);
  EXPECT_FALSE(std::filesystem::exists(path));

  w = upq_writer_open(path.c_str(), options);
  ASSERT_EQ(upq_writer_add_bytes(w, "a", "x", 1, 0644), 0);
  EXPECT_EQ(upq_writer_add_bytes(w, "a", "y", 1, 0644), -1);
  EXPECT_NE(strstr(upq_writer_error(w), "duplicate"), nullptr);
  upq_writer_free(w);

  w = upq_writer_open(path.c_str(), options);
  EXPECT_EQ(upq_writer_add_bytes(w, "../a", "x", 1, 0644), -1);
  upq_writer_free(w);

  options.channel = "a-channel-name-that-is-longer-than-sixty-three-bytes-in-total-yes";
  options.version = "1";
  w = upq_writer_open(path.c_str(), options);
  EXPECT_EQ(upq_writer_add_bytes(w, "a", "x", 1, 0644), -1);
  EXPECT_NE(strstr(upq_writer_error(w), "channel"), nullptr);
  upq_writer_free(w);

  options = {};
  options.check = LZMA_CHECK_SHA256;
  w = upq_writer_open(path.c_str(), options);
  EXPECT_EQ(upq_writer_add_bytes(w, "a", "x", 1, 0644), -1);
  upq_writer_free(w);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
