// Archive signatures: the section parser on hand-made headers, the covered
// bytes and the signed message against an independent SHA-512, signing and
// verification of writer-made archives (every single-byte change refused),
// and key files.
#include "updater/formats/upq_signature.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"
#include "updater/formats/upq_key_test_util.h"
#include "updater/formats/upq_test_util.h"
#include "updater/formats/upq_writer.h"

namespace {

using namespace upq_test;

Bytes Be32(uint32_t v) {
  Bytes b(4);
  upq_store_be32(b.data(), v);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// One signature record: identifier, length, bytes.
Bytes Sig(uint32_t algorithm, const Bytes& bytes) {
  return Cat({Be32(algorithm), Be32(static_cast<uint32_t>(bytes.size())), bytes});
}

const std::vector<RawEntry>& Entries() {
  static const std::vector<RawEntry> entries = {
      {"updatev3.manifest", XzEncode(ToBytes("type \"partial\"\nadd \"a\"\n"))},
      {"a", XzEncode(TextBytes(3000, 7))}};
  return entries;
}

// An archive whose header sections (from offset 16) are `sections`.
Bytes WithSections(const Bytes& sections) {
  Bytes archive = BuildArchive(Entries(), 16 + static_cast<uint32_t>(sections.size()));
  std::copy(sections.begin(), sections.end(), archive.begin() + 16);
  return archive;
}

int SignWith(void* context, FILE* file, char* error, size_t error_size) {
  auto* keys = static_cast<std::vector<EVP_PKEY*>*>(context);
  return upq_sign_stream(file, keys->data(), keys->size(), error, error_size);
}

class UpqSignatureTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(upq_crypto_init());
    for (Key& key : keys_) {
      key = NewEd25519Key();
      ASSERT_TRUE(key);
    }
  }
  static void TearDownTestSuite() {
    for (Key& key : keys_) key.reset();
  }

  ~UpqSignatureTest() override { upq_free_keys(&trusted_); }

  // A writer-made archive (with a product-information block) signed by
  // `signers` in order; its bytes.
  Bytes Signed(const std::vector<int>& signers) {
    std::vector<EVP_PKEY*> keys;
    for (int i : signers) keys.push_back(keys_[i].get());
    UpqWriterOptions options;
    options.preset = 1;
    options.channel = "release";
    options.version = "2.0";
    options.signature_count = static_cast<uint32_t>(keys.size());
    options.sign = SignWith;
    options.sign_context = &keys;
    std::string path = dir_ / "signed.upq";
    UpqWriter* w = upq_writer_open(path.c_str(), options);
    const Bytes content = TextBytes(2000, 9);
    for (const RawEntry& e : Entries()) {
      EXPECT_EQ(upq_writer_add_bytes(w, e.name.c_str(), content.data(), content.size(), 0644),
                0);
    }
    EXPECT_EQ(upq_writer_finish(w), 0) << upq_writer_error(w);
    upq_writer_free(w);
    return ReadFile(path);
  }

  // Loads the public halves of keys `indices` as the trusted set.
  void Trust(const std::vector<int>& indices) {
    std::string path = dir_ / "keys.pem";
    unlink(path.c_str());
    for (int i : indices) ASSERT_TRUE(WritePublicPem(path, keys_[i].get(), true));
    upq_free_keys(&trusted_);
    char why[256];
    ASSERT_EQ(upq_load_public_keys(path.c_str(), &trusted_, why, sizeof(why)), kUpqKeysLoaded)
        << why;
  }

  UpqVerifyResult Verify(const Bytes& archive, size_t* slot = nullptr, size_t* key = nullptr) {
    std::string path = dir_ / "verify.upq";
    WriteFile(path, archive);
    UpqArchive* a = upq_open(path.c_str());
    EXPECT_NE(a, nullptr);
    uint32_t count;
    size_t s = 99, k = 99;
    UpqVerifyResult result = upq_verify_archive(a, &trusted_, &count, &s, &k);
    upq_release(a);
    if (slot) *slot = s;
    if (key) *key = k;
    return result;
  }

  int Parse(const Bytes& archive, UpqSignatureSection* section) {
    std::string path = dir_ / "parse.upq";
    WriteFile(path, archive);
    UpqArchive* a = upq_open(path.c_str());
    EXPECT_NE(a, nullptr);
    int result = upq_read_signatures(a, section);
    upq_release(a);
    return result;
  }

  static Key keys_[9];
  UpqKeySet trusted_ = {};
  TempDir dir_;
};

Key UpqSignatureTest::keys_[9];

TEST_F(UpqSignatureTest, SectionParser) {
  const Bytes sig64 = RandomBytes(64, 1);
  Bytes eight = Be32(8);
  for (int i = 0; i < 8; ++i) eight = Cat({eight, Sig(1, sig64)});
  eight = Cat({eight, Be32(0)});
  // The index offset of WithSections(x) is 16 + x.size() + the entries: a
  // length that reaches exactly to it is the largest accepted.
  const uint32_t entries_size =
      IndexOffset(BuildArchive(Entries(), 16)) - 16;
  const uint32_t to_index = entries_size + 4;  // the block count's 4 bytes

  const struct {
    int line;
    Bytes archive;
    int result;
    uint32_t count;
  } cases[] = {
      {__LINE__, WithSections(Cat({Be32(0), Be32(0)})), 1, 0},
      {__LINE__, WithSections(Cat({Be32(1), Sig(1, sig64), Be32(0)})), 1, 1},
      {__LINE__, WithSections(eight), 1, 8},
      // Unknown algorithms and empty signatures parse; they never verify.
      {__LINE__, WithSections(Cat({Be32(2), Sig(7, ToBytes("abc")), Sig(1, {}), Be32(0)})), 1,
       2},
      // The older layout has no section.
      {__LINE__, BuildArchive(Entries(), kUpqLegacyHeaderSize), 0, 0},
      {__LINE__, WithSections(Cat({Be32(9), eight})), -1, 0},
      {__LINE__, WithSections(Cat({Be32(0xffffffff), Be32(0)})), -1, 0},
      // A length that wraps a 32-bit sum, and lengths around the index offset.
      {__LINE__, WithSections(Cat({Be32(1), Be32(1), Be32(0xffffffff), Be32(0)})), -1, 0},
      {__LINE__, WithSections(Cat({Be32(1), Be32(1), Be32(to_index), Be32(0)})), 1, 1},
      {__LINE__, WithSections(Cat({Be32(1), Be32(1), Be32(to_index + 1), Be32(0)})), -1, 0},
      // A count whose records run past the index offset.
      {__LINE__, WithSections(Cat({Be32(8), Sig(1, sig64), Be32(0)})), -1, 0},
      // Entry data where the count belongs (not the older layout: the first
      // entry starts at 16): the xz magic is a count far above 8.
      {__LINE__, BuildArchive(Entries(), 16), -1, 0},
      // An index the reader refuses.
      {__LINE__, [] {
         Bytes a = WithSections(Cat({Be32(0), Be32(0)}));
         upq_store_be32(a.data() + IndexOffset(a), 0);
         return a;
       }(),
       -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    UpqSignatureSection section = {};
    ASSERT_EQ(Parse(c.archive, &section), c.result);
    if (c.result != 1) continue;
    EXPECT_EQ(section.count, c.count);
    // Records lie back to back from offset 20 and end before the index.
    uint64_t pos = kUpqSignatureCountField + 4;
    for (uint32_t i = 0; i < section.count; ++i) {
      EXPECT_EQ(section.slots[i].offset, pos + kUpqSignatureHeaderSize);
      pos = section.slots[i].offset + section.slots[i].length;
    }
    EXPECT_EQ(section.end, pos);
    EXPECT_LE(section.end, IndexOffset(c.archive));
  }
}

int Append(void* context, const unsigned char* data, size_t size) {
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), data, data + size);
  return 0;
}

// The covered bytes are the file without the signature bytes, however the
// reads are cut; the message is the context string and their SHA-512.
TEST_F(UpqSignatureTest, CoveredBytesAndMessage) {
  const Bytes s1 = RandomBytes(64, 2), s2 = ToBytes("xyz");
  Bytes archive = WithSections(Cat({Be32(2), Sig(1, s1), Sig(5, s2), Be32(0)}));
  Bytes expected = archive;
  // Signature bytes at 28..92 and 100..103.
  expected.erase(expected.begin() + 100, expected.begin() + 103);
  expected.erase(expected.begin() + 28, expected.begin() + 92);

  std::string path = dir_ / "a.upq";
  WriteFile(path, archive);
  UpqArchive* a = upq_open(path.c_str());
  ASSERT_NE(a, nullptr);
  UpqSignatureSection section;
  ASSERT_EQ(upq_read_signatures(a, &section), 1);
  for (size_t buffer_size : {size_t{1}, size_t{7}, size_t{64}, size_t{65536}}) {
    SCOPED_TRACE(buffer_size);
    Bytes buffer(buffer_size), covered;
    ASSERT_EQ(upq_read_signed_bytes(a, &section, Append, &covered, buffer.data(), buffer_size),
              0);
    EXPECT_EQ(covered, expected);
  }
  unsigned char message[kUpqSignedMessageSize];
  ASSERT_EQ(upq_signed_message(a, &section, message), 0);
  upq_release(a);
  Bytes want = ToBytes(std::string("UPQ1 update archive signature") + '\0');
  want.resize(want.size() + SHA512_DIGEST_LENGTH);
  SHA512(expected.data(), expected.size(), want.data() + want.size() - SHA512_DIGEST_LENGTH);
  EXPECT_EQ(Bytes(message, message + sizeof(message)), want);
}

TEST_F(UpqSignatureTest, AcceptedSignatures) {
  const struct {
    int line;
    std::vector<int> signers;
    std::vector<int> trusted;
    size_t slot, key;
  } cases[] = {
      {__LINE__, {0}, {0}, 0, 0},
      {__LINE__, {0, 1, 2}, {0}, 0, 0},  // valid one first
      {__LINE__, {0, 1, 2}, {2}, 2, 0},  // valid one last
      {__LINE__, {1}, {0, 1}, 0, 1},     // second key of the file
      {__LINE__, {0, 1, 2, 3, 4, 5, 6, 7}, {7}, 7, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Bytes archive = Signed(c.signers);
    Trust(c.trusted);
    size_t slot, key;
    EXPECT_EQ(Verify(archive, &slot, &key), kUpqVerified);
    EXPECT_EQ(slot, c.slot);
    EXPECT_EQ(key, c.key);
    // Still an archive the reader extracts.
    ASSERT_EQ(gArchiveReader.Open((dir_ / "verify.upq").c_str()), 0);
    FILE* sink = tmpfile();
    EXPECT_EQ(gArchiveReader.ExtractToStream("a", sink), 0);
    fclose(sink);
    gArchiveReader.Close();
  }
}

TEST_F(UpqSignatureTest, RefusedArchives) {
  Trust({0});
  const struct {
    int line;
    Bytes archive;
    UpqVerifyResult result;
  } cases[] = {
      {__LINE__, Signed({1}), kUpqNoSignatureVerifies},  // another key
      {__LINE__, Signed({}), kUpqNotSigned},
      {__LINE__, BuildArchive(Entries(), kUpqLegacyHeaderSize), kUpqNotSigned},
      {__LINE__, WithSections(Cat({Be32(9), Be32(0)})), kUpqSectionMalformed},
      // An Ed25519 slot of the wrong length, and an unknown algorithm.
      {__LINE__, WithSections(Cat({Be32(1), Sig(1, RandomBytes(63, 3)), Be32(0)})),
       kUpqNoSignatureVerifies},
      {__LINE__, WithSections(Cat({Be32(1), Sig(2, RandomBytes(64, 3)), Be32(0)})),
       kUpqNoSignatureVerifies},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Verify(c.archive), c.result);
  }
}

// No byte of a signed archive can change, and no byte be cut or added,
// without the signature failing.
TEST_F(UpqSignatureTest, EveryByteIsCovered) {
  Trust({0});
  const Bytes good = Signed({0});
  ASSERT_EQ(Verify(good), kUpqVerified);
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    ASSERT_NE(Verify(bad), kUpqVerified) << "byte " << i;
  }
  for (size_t size : {good.size() - 1, good.size() - 64, size_t{100}}) {
    ASSERT_NE(Verify(Bytes(good.begin(), good.begin() + static_cast<long>(size))), kUpqVerified)
        << size;
  }
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_NE(Verify(longer), kUpqVerified);
}

TEST_F(UpqSignatureTest, KeyFiles) {
  const std::string pem = dir_ / "k.pem";
  std::string ed1 = dir_ / "ed1.pem", ed2 = dir_ / "ed2.pem", rsa = dir_ / "rsa.pem",
              priv = dir_ / "priv.pem";
  ASSERT_TRUE(WritePublicPem(ed1, keys_[0].get()));
  ASSERT_TRUE(WritePublicPem(ed2, keys_[1].get()));
  ASSERT_TRUE(WritePublicPem(rsa, NewRsaKey().get()));
  ASSERT_TRUE(WritePrivatePem(priv, keys_[0].get()));
  auto text = [](const std::string& path) {
    Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
  };
  std::string damaged = text(ed1);
  damaged[40] = '*';  // not base64
  const struct {
    int line;
    std::string content;  // written to k.pem; "-" for no file, "/" for a directory
    UpqKeyLoad result;
    size_t count;
  } cases[] = {
      {__LINE__, "-", kUpqKeysAbsent, 0},
      {__LINE__, "/", kUpqKeysUnreadable, 0},
      {__LINE__, "", kUpqKeysMalformed, 0},
      {__LINE__, "not a key at all\n", kUpqKeysMalformed, 0},
      {__LINE__, text(rsa), kUpqKeysMalformed, 0},
      {__LINE__, text(priv), kUpqKeysMalformed, 0},  // a private key is no public key
      {__LINE__, damaged, kUpqKeysMalformed, 0},
      {__LINE__, text(ed1) + text(rsa), kUpqKeysMalformed, 0},
      {__LINE__, text(ed1), kUpqKeysLoaded, 1},
      // Comments around and between blocks are allowed.
      {__LINE__, "# release keys\n" + text(ed1) + "\nnext:\n" + text(ed2), kUpqKeysLoaded, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::filesystem::remove_all(pem);
    if (c.content == "/") {
      ASSERT_EQ(mkdir(pem.c_str(), 0755), 0);
    } else if (c.content != "-") {
      WriteFile(pem, ToBytes(c.content));
    }
    UpqKeySet keys;
    char why[512] = {};
    EXPECT_EQ(upq_load_public_keys(pem.c_str(), &keys, why, sizeof(why)), c.result) << why;
    EXPECT_EQ(keys.count, c.count);
    if (c.result != kUpqKeysLoaded) {
      EXPECT_NE(why[0], '\0');
    }
    upq_free_keys(&keys);
  }

  char why[512];
  EVP_PKEY* key = upq_load_private_key(priv.c_str(), why, sizeof(why));
  EXPECT_NE(key, nullptr) << why;
  EVP_PKEY_free(key);
  EXPECT_EQ(upq_load_private_key(ed1.c_str(), why, sizeof(why)), nullptr);
}

TEST_F(UpqSignatureTest, WriterRefusesBadSigningRequests) {
  std::string path = dir_ / "w.upq";
  std::vector<EVP_PKEY*> keys = {keys_[0].get()};
  const struct {
    int line;
    uint32_t count;
    bool sign;
    const char* error;
  } cases[] = {
      {__LINE__, 9, true, "at most 8 signatures"},
      {__LINE__, 1, false, "signing function"},
      // Two slots, one key: the signing step fails and no archive is left.
      {__LINE__, 2, true, "signing failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    UpqWriterOptions options;
    options.signature_count = c.count;
    options.sign = c.sign ? SignWith : nullptr;
    options.sign_context = &keys;
    UpqWriter* w = upq_writer_open(path.c_str(), options);
    upq_writer_add_bytes(w, "a", "a", 1, 0644);
    EXPECT_EQ(upq_writer_finish(w), -1);
    EXPECT_NE(std::string(upq_writer_error(w)).find(c.error), std::string::npos)
        << upq_writer_error(w);
    upq_writer_free(w);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              0);
  }
}

}  // namespace
