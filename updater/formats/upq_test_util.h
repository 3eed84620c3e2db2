// Test helpers: build archive bytes by hand (so they can then be broken),
// XZ-encode with chosen options, temporary directories, whole-file I/O.
#ifndef VLM_UPDATER_FORMATS_UPQ_TEST_UTIL_H_
#define VLM_UPDATER_FORMATS_UPQ_TEST_UTIL_H_

#include <lzma.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "updater/formats/upq_format.h"

namespace upq_test {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// One .xz stream with the given filters; `dict` overrides the preset's
// dictionary size.
inline Bytes XzEncode(const Bytes& plain, lzma_check check = LZMA_CHECK_CRC64,
                      bool bcj = false, uint32_t preset = 1, uint32_t dict = 0) {
  lzma_options_lzma lzma2;
  lzma_lzma_preset(&lzma2, preset);
  if (dict) {
    lzma2.dict_size = dict;
  }
  lzma_filter filters[3];
  int n = 0;
  if (bcj) {
    filters[n++] = {LZMA_FILTER_X86, nullptr};
  }
  filters[n++] = {LZMA_FILTER_LZMA2, &lzma2};
  filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
  Bytes out(lzma_stream_buffer_bound(plain.size()));
  size_t out_pos = 0;
  if (lzma_stream_buffer_encode(filters, check, nullptr, plain.data(), plain.size(),
                                out.data(), &out_pos, out.size()) != LZMA_OK) {
    return {};
  }
  out.resize(out_pos);
  return out;
}

// An .xz stream with an arbitrary filter chain (for chains the reader must
// refuse).
inline Bytes XzEncodeFilters(const Bytes& plain, lzma_filter* filters, lzma_check check) {
  Bytes out(lzma_stream_buffer_bound(plain.size()) + 64);
  size_t out_pos = 0;
  if (lzma_stream_buffer_encode(filters, check, nullptr, plain.data(), plain.size(),
                                out.data(), &out_pos, out.size()) != LZMA_OK) {
    return {};
  }
  out.resize(out_pos);
  return out;
}

// Offset of the first block header in a stream written by XzEncode: right
// after the 12-byte stream header.
constexpr size_t kFirstBlockHeader = 12;

// Rewrites the CRC-32 that ends the block header at `offset` after a change.
inline void FixBlockHeaderCrc(Bytes* xz, size_t offset) {
  size_t size = (size_t{(*xz)[offset]} + 1) * 4;
  uint32_t crc = lzma_crc32(xz->data() + offset, size - 4, 0);
  for (int i = 0; i < 4; ++i) {
    (*xz)[offset + size - 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
  }
}

// Position of the LZMA2 dictionary property byte in the first block header
// of an XzEncode stream without BCJ: block header size byte, flags byte,
// filter ID 0x21, properties size 1, then the property.
inline size_t LzmaDictByteOffset(const Bytes& xz) {
  size_t offset = kFirstBlockHeader + 2;
  // Skip the optional compressed and uncompressed sizes (flags bits 6, 7).
  uint8_t flags = xz[kFirstBlockHeader + 1];
  auto skip_vli = [&] {
    while (xz[offset++] & 0x80) {
    }
  };
  if (flags & 0x40) skip_vli();
  if (flags & 0x80) skip_vli();
  return offset + 2;  // filter ID and properties size (one byte each)
}

struct RawEntry {
  std::string name;
  Bytes data;  // stored bytes, as they go into the archive
  uint32_t mode = 0644;
};

// An archive in the current layout (24-byte header, no signatures, no
// blocks): entry data back to back, then the index.
inline Bytes BuildArchive(const std::vector<RawEntry>& entries,
                          uint32_t header_size = 24) {
  Bytes out(header_size, 0);
  memcpy(out.data(), kUpqMagic, 4);
  Bytes index;
  for (const RawEntry& e : entries) {
    uint8_t fields[12];
    upq_store_be32(fields, static_cast<uint32_t>(out.size()));
    upq_store_be32(fields + 4, static_cast<uint32_t>(e.data.size()));
    upq_store_be32(fields + 8, e.mode);
    out.insert(out.end(), e.data.begin(), e.data.end());
    index.insert(index.end(), fields, fields + 12);
    index.insert(index.end(), e.name.begin(), e.name.end());
    index.push_back(0);
  }
  upq_store_be32(out.data() + 4, static_cast<uint32_t>(out.size()));
  uint8_t size[4];
  upq_store_be32(size, static_cast<uint32_t>(index.size()));
  out.insert(out.end(), size, size + 4);
  out.insert(out.end(), index.begin(), index.end());
  if (header_size >= 16) {
    upq_store_be64(out.data() + 8, out.size());
  }
  return out;
}

inline uint32_t IndexOffset(const Bytes& archive) { return upq_load_be32(archive.data() + 4); }

inline Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Text-like bytes that compress well but not trivially.
inline Bytes TextBytes(size_t size, uint32_t seed) {
  static const char* kWords[] = {"update ", "archive ", "entry ", "index ", "stream ",
                                 "block\n", "0123 ", "vellum ", "quire "};
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* w = kWords[rng() % 9];
    out.insert(out.end(), w, w + strlen(w));
  }
  out.resize(size);
  return out;
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A fresh directory under TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "upq-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace upq_test

#endif  // VLM_UPDATER_FORMATS_UPQ_TEST_UTIL_H_
