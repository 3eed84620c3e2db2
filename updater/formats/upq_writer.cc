// The archive writer: header, optional product-information block, entries
// encoded one .xz stream each, then the index; the header's index offset and
// total size are filled in last.
#include "updater/formats/upq_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "updater/formats/upq_format.h"
#include "updater/formats/xz_decoder.h"

struct UpqWriter {
  UpqWriterOptions options;
  std::string path;
  std::string temp_path;
  std::string channel;
  std::string version;
  FILE* file = nullptr;
  uint64_t offset = 0;  // bytes written so far
  std::vector<unsigned char> index;
  std::set<std::string> names;
  bool failed = false;
  bool finished = false;
  char error[1024] = {};
};

namespace {

constexpr size_t kChunk = 1 << 20;

__attribute__((format(printf, 2, 3))) int Fail(UpqWriter* w, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(w->error, sizeof(w->error), format, args);
  va_end(args);
  w->failed = true;
  return -1;
}

// Where encoded bytes go: the archive file or a memory buffer.
struct Sink {
  FILE* file;
  std::vector<unsigned char>* memory;
  uint64_t written;
};

bool Put(Sink* sink, const uint8_t* data, size_t size) {
  if (sink->file) {
    if (size && fwrite(data, 1, size, sink->file) != size) {
      return false;
    }
  } else {
    sink->memory->insert(sink->memory->end(), data, data + size);
  }
  sink->written += size;
  return true;
}

// Where plain bytes come from: a descriptor or memory. `size` is the whole
// input's (for a descriptor, the file's size when it was opened).
struct Source {
  int fd;
  const uint8_t* data;
  size_t size;
  size_t pos;
};

// The smallest dictionary the .xz block header stores exactly (2^n or
// 2^n + 2^(n-1), at least liblzma's 4 KiB) that holds `size` bytes.
uint32_t FittedDictionary(uint64_t size) {
  for (uint64_t base = LZMA_DICT_SIZE_MIN; base <= (1ull << 31); base *= 2) {
    if (size <= base) return static_cast<uint32_t>(base);
    if (size <= base + base / 2) return static_cast<uint32_t>(base + base / 2);
  }
  return UINT32_MAX;
}

// The LZMA2 options of `options` for an input of `size` bytes, checked
// against what the updater's reader accepts.
bool Lzma2Options(const UpqWriterOptions& options, uint64_t size, lzma_options_lzma* lzma2,
                  char* what, size_t what_size) {
  if (lzma_lzma_preset(lzma2, options.preset)) {
    snprintf(what, what_size, "invalid compression preset %u", options.preset);
    return false;
  }
  if (options.dict_size != 0) {
    if (options.dict_size < LZMA_DICT_SIZE_MIN || options.dict_size > kUpqMaxDictionarySize) {
      snprintf(what, what_size, "dictionary of %u bytes: it must be 4 KiB to 64 MiB",
               options.dict_size);
      return false;
    }
    lzma2->dict_size = options.dict_size;
  }
  if (options.fit_dictionary && FittedDictionary(size) < lzma2->dict_size) {
    lzma2->dict_size = FittedDictionary(size);
  }
  if (lzma2->dict_size > kUpqMaxDictionarySize) {
    snprintf(what, what_size, "dictionary of %u bytes exceeds the reader's 64 MiB",
             lzma2->dict_size);
    return false;
  }
  if (options.lc >= 0) lzma2->lc = static_cast<uint32_t>(options.lc);
  if (options.lp >= 0) lzma2->lp = static_cast<uint32_t>(options.lp);
  if (options.pb >= 0) lzma2->pb = static_cast<uint32_t>(options.pb);
  if (lzma2->lc > LZMA_LCLP_MAX || lzma2->lp > LZMA_LCLP_MAX || lzma2->pb > LZMA_PB_MAX ||
      lzma2->lc + lzma2->lp > LZMA_LCLP_MAX) {
    snprintf(what, what_size, "lc=%u lp=%u pb=%u: each must be 0-4 and lc + lp at most 4",
             lzma2->lc, lzma2->lp, lzma2->pb);
    return false;
  }
  return true;
}

ssize_t Take(Source* source, uint8_t* buffer, size_t capacity) {
  if (source->fd >= 0) {
    ssize_t n;
    do {
      n = read(source->fd, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  size_t n = source->size - source->pos;
  if (n > capacity) {
    n = capacity;
  }
  if (n == 0) {
    return 0;
  }
  memcpy(buffer, source->data + source->pos, n);
  source->pos += n;
  return static_cast<ssize_t>(n);
}

const char* LzmaText(lzma_ret ret) {
  switch (ret) {
    case LZMA_MEM_ERROR:
      return "out of memory";
    case LZMA_OPTIONS_ERROR:
      return "unsupported options";
    case LZMA_UNSUPPORTED_CHECK:
      return "unsupported check";
    case LZMA_DATA_ERROR:
      return "data too large";
    default:
      return "encoder error";
  }
}

// Encodes the whole source into the sink as one .xz stream. On failure fills
// `what` with the reason and returns false.
bool Encode(const UpqWriterOptions& options, Source* source, Sink* sink, char* what,
            size_t what_size) {
  if (options.check != LZMA_CHECK_NONE && options.check != LZMA_CHECK_CRC32 &&
      options.check != LZMA_CHECK_CRC64) {
    snprintf(what, what_size, "the check must be none, crc32 or crc64");
    return false;
  }
  lzma_options_lzma lzma2;
  if (!Lzma2Options(options, source->size, &lzma2, what, what_size)) {
    return false;
  }
  lzma_filter filters[3];
  size_t count = 0;
  if (options.x86_bcj) {
    filters[count++] = {LZMA_FILTER_X86, nullptr};
  }
  filters[count++] = {LZMA_FILTER_LZMA2, &lzma2};
  filters[count] = {LZMA_VLI_UNKNOWN, nullptr};

  lzma_stream stream = LZMA_STREAM_INIT;
  uint32_t threads = options.threads ? options.threads : lzma_cputhreads();
  lzma_ret ret;
  if (threads > 1) {
    lzma_mt mt = {};
    mt.threads = threads;
    mt.filters = filters;
    mt.check = options.check;
    ret = lzma_stream_encoder_mt(&stream, &mt);
  } else {
    ret = lzma_stream_encoder(&stream, filters, options.check);
  }
  if (ret != LZMA_OK) {
    snprintf(what, what_size, "cannot start the XZ encoder: %s", LzmaText(ret));
    return false;
  }
  std::vector<uint8_t> in(kChunk);
  std::vector<uint8_t> out(kChunk);
  lzma_action action = LZMA_RUN;
  bool ok = true;
  while (ok) {
    if (stream.avail_in == 0 && action == LZMA_RUN) {
      ssize_t n = Take(source, in.data(), in.size());
      if (n < 0) {
        snprintf(what, what_size, "read error: %s", strerror(errno));
        ok = false;
        break;
      }
      stream.next_in = in.data();
      stream.avail_in = static_cast<size_t>(n);
      if (n == 0) {
        action = LZMA_FINISH;
      }
    }
    stream.next_out = out.data();
    stream.avail_out = out.size();
    ret = lzma_code(&stream, action);
    if (!Put(sink, out.data(), out.size() - stream.avail_out)) {
      snprintf(what, what_size, "write error: %s", strerror(errno));
      ok = false;
      break;
    }
    if (ret == LZMA_STREAM_END) {
      break;
    }
    if (ret != LZMA_OK) {
      snprintf(what, what_size, "XZ encoding failed: %s", LzmaText(ret));
      ok = false;
    }
  }
  lzma_end(&stream);
  return ok;
}

bool WriteAt(FILE* file, uint64_t offset, const unsigned char* data, size_t size) {
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
         fwrite(data, 1, size, file) == size;
}

// Records the `length` bytes just written at `start` as entry `name`.
int RecordEntry(UpqWriter* w, const char* name, uint64_t start, uint64_t length, uint32_t mode) {
  if (length > kUpqMaxEntryLength) {
    return Fail(w, "%s: compressed entry of %llu bytes exceeds the limit of %u bytes",
                name, static_cast<unsigned long long>(length), kUpqMaxEntryLength);
  }
  w->offset += length;
  if (w->offset > kUpqMaxArchiveOffset) {
    return Fail(w, "%s: the archive would exceed 4 GiB", name);
  }
  w->names.insert(name);
  unsigned char fields[kUpqIndexEntryFixedSize];
  upq_store_be32(fields, static_cast<uint32_t>(start));
  upq_store_be32(fields + 4, static_cast<uint32_t>(length));
  upq_store_be32(fields + 8, mode);
  w->index.insert(w->index.end(), fields, fields + sizeof(fields));
  w->index.insert(w->index.end(), name, name + strlen(name) + 1);
  return 0;
}

// 0 when the writer can take an entry named `name`: not failed or finished,
// a safe name, not taken yet. Else -1 (with the writer failed for a name).
int CheckNewEntry(UpqWriter* w, const char* name) {
  if (w->failed || w->finished) {
    return -1;
  }
  if (!upq_is_safe_name(name)) {
    return Fail(w, "%s: not a safe relative entry name", name);
  }
  if (w->names.count(name)) {
    return Fail(w, "%s: duplicate entry name", name);
  }
  return 0;
}

// Encodes one entry at the end of the archive and records it in the index.
int AddEntry(UpqWriter* w, const char* name, Source* source, uint32_t mode,
             const UpqWriterOptions& encoding) {
  if (CheckNewEntry(w, name) != 0) {
    return -1;
  }
  uint64_t start = w->offset;
  Sink sink = {w->file, nullptr, 0};
  char what[256];
  if (!Encode(encoding, source, &sink, what, sizeof(what))) {
    return Fail(w, "%s: %s", name, what);
  }
  return RecordEntry(w, name, start, sink.written, mode);
}

}  // namespace

bool upq_is_safe_name(const char* name) {
  if (!name || !*name || *name == '/') {
    return false;
  }
  const char* part = name;
  for (;;) {
    const char* slash = strchr(part, '/');
    size_t length = slash ? static_cast<size_t>(slash - part) : strlen(part);
    if (length == 0 || (length == 1 && part[0] == '.') ||
        (length == 2 && part[0] == '.' && part[1] == '.')) {
      return false;
    }
    if (!slash) {
      return true;
    }
    part = slash + 1;
  }
}

UpqWriter* upq_writer_open(const char* path, const UpqWriterOptions& options) {
  UpqWriter* w = new (std::nothrow) UpqWriter;
  if (!w) {
    return nullptr;
  }
  w->options = options;
  w->path = path;
  bool product_info = options.channel && options.version;
  if (product_info) {
    w->channel = options.channel;
    w->version = options.version;
    if (w->channel.size() > kUpqMaxChannelLength) {
      Fail(w, "channel name longer than %zu bytes: %s", kUpqMaxChannelLength,
           options.channel);
      return w;
    }
    if (w->version.size() > kUpqMaxVersionLength) {
      Fail(w, "product version longer than %zu bytes: %s", kUpqMaxVersionLength,
           options.version);
      return w;
    }
  } else if (options.channel || options.version) {
    Fail(w, "the product information needs both a channel and a version");
    return w;
  }
  if (options.signature_count > kUpqMaxSignatures) {
    Fail(w, "at most %u signatures", kUpqMaxSignatures);
    return w;
  }
  if (options.signature_count > 0 && !options.sign) {
    Fail(w, "signature slots need a signing function");
    return w;
  }
  // The archive replaces a regular file at most: renaming over a device, a
  // FIFO or a socket would put a regular file in its place.
  struct stat existing;
  if (stat(path, &existing) == 0 && !S_ISREG(existing.st_mode)) {
    Fail(w, "exists and is not a regular file; refusing to replace it");
    return w;
  }
  w->temp_path = w->path + ".XXXXXX";
  int fd = mkstemp(w->temp_path.data());
  if (fd < 0) {
    Fail(w, "%s: cannot create: %s", w->temp_path.c_str(), strerror(errno));
    w->temp_path.clear();
    return w;
  }
  // mkstemp creates 0600; give the archive the usual mode under the umask.
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) {
    Fail(w, "%s: cannot set the mode: %s", w->temp_path.c_str(), strerror(errno));
    close(fd);
    return w;
  }
  // Read back by the signing step.
  w->file = fdopen(fd, "w+b");
  if (!w->file) {
    Fail(w, "%s: %s", w->temp_path.c_str(), strerror(errno));
    close(fd);
    return w;
  }
  // Header: magic, index offset and total size (both filled in at the end),
  // the signature slots (filled in by the signing step), the additional
  // blocks.
  std::vector<unsigned char> header(kUpqSignatureCountField + 4, 0);
  memcpy(header.data(), kUpqMagic, kUpqMagicSize);
  upq_store_be32(header.data() + kUpqSignatureCountField, options.signature_count);
  for (uint32_t i = 0; i < options.signature_count; ++i) {
    unsigned char slot[kUpqSignatureHeaderSize + kUpqEd25519SignatureSize] = {};
    upq_store_be32(slot, kUpqSignatureEd25519);
    upq_store_be32(slot + 4, kUpqEd25519SignatureSize);
    header.insert(header.end(), slot, slot + sizeof(slot));
  }
  unsigned char blocks[4];
  upq_store_be32(blocks, product_info ? 1 : 0);
  header.insert(header.end(), blocks, blocks + sizeof(blocks));
  if (product_info) {
    unsigned char block[kUpqProductInfoBlockSize] = {};
    upq_store_be32(block, kUpqProductInfoBlockSize);
    upq_store_be32(block + 4, kUpqProductInfoBlockId);
    memcpy(block + kUpqBlockHeaderSize, w->channel.c_str(), w->channel.size() + 1);
    memcpy(block + kUpqBlockHeaderSize + w->channel.size() + 1, w->version.c_str(),
           w->version.size() + 1);
    header.insert(header.end(), block, block + sizeof(block));
  }
  if (fwrite(header.data(), 1, header.size(), w->file) != header.size()) {
    Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
    return w;
  }
  w->offset = header.size();
  return w;
}

// Opens `source_path` for reading and checks that it is a regular file: 0,
// or -1 with the writer failed.
static int OpenRegularFile(UpqWriter* w, const char* source_path, int* fd, struct stat* st) {
  *fd = open(source_path, O_RDONLY | O_CLOEXEC);
  if (*fd < 0) {
    return Fail(w, "%s: cannot open: %s", source_path, strerror(errno));
  }
  if (fstat(*fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(*fd);
    return Fail(w, "%s: not a regular file", source_path);
  }
  return 0;
}

int upq_writer_add_file(UpqWriter* w, const char* name, const char* source_path) {
  return upq_writer_add_file_encoded(w, name, source_path, w->options);
}

int upq_writer_add_file_encoded(UpqWriter* w, const char* name, const char* source_path,
                                const UpqWriterOptions& encoding) {
  if (w->failed || w->finished) {
    return -1;
  }
  int fd;
  struct stat st;
  if (OpenRegularFile(w, source_path, &fd, &st) != 0) {
    return -1;
  }
  Source source = {fd, nullptr, static_cast<size_t>(st.st_size), 0};
  int result = AddEntry(w, name, &source, static_cast<uint32_t>(st.st_mode & 07777), encoding);
  close(fd);
  return result;
}

namespace {

// Decodes the .xz stream on `fd` to its end with the reader's decoder, and
// checks that nothing follows it. Leaves the offset at the end.
bool CheckStoredStream(int fd, char* what, size_t what_size) {
  XzDecoder decoder;
  if (xz_decoder_init(&decoder) != kXzOk) {
    xz_decoder_end(&decoder);
    snprintf(what, what_size, "out of memory");
    return false;
  }
  std::vector<uint8_t> in(kChunk);
  std::vector<uint8_t> out(kChunk);
  XzStatus status = kXzOk;
  size_t in_pos = 0, in_size = 0;
  bool eof = false;
  while (status == kXzOk) {
    if (in_pos == in_size && !eof) {
      ssize_t n;
      do {
        n = read(fd, in.data(), in.size());
      } while (n < 0 && errno == EINTR);
      if (n < 0) {
        snprintf(what, what_size, "read error: %s", strerror(errno));
        xz_decoder_end(&decoder);
        return false;
      }
      in_pos = 0;
      in_size = static_cast<size_t>(n);
      eof = n == 0;
    }
    size_t out_pos = 0;
    status = xz_decoder_run(&decoder, in.data(), &in_pos, in_size, out.data(), &out_pos,
                            out.size());
  }
  const char* part = xz_decoder_part(&decoder);
  xz_decoder_end(&decoder);
  if (status != kXzStreamEnd) {
    snprintf(what, what_size, "not a stream the updater accepts: %s in the %s",
             xz_status_text(status), part);
    return false;
  }
  uint8_t byte;
  ssize_t more;
  do {
    more = in_pos < in_size ? 1 : read(fd, &byte, 1);
  } while (more < 0 && errno == EINTR);
  if (more != 0) {
    snprintf(what, what_size, "bytes follow the .xz stream");
    return false;
  }
  return true;
}

// Copies the rest of `fd` to the end of the archive as entry `name`.
int CopyStream(UpqWriter* w, const char* name, int fd, uint32_t mode) {
  std::vector<uint8_t> buffer(kChunk);
  uint64_t start = w->offset, copied = 0;
  for (;;) {
    ssize_t n;
    do {
      n = read(fd, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail(w, "%s: read error: %s", name, strerror(errno));
    if (n == 0) break;
    if (fwrite(buffer.data(), 1, static_cast<size_t>(n), w->file) != static_cast<size_t>(n)) {
      return Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
    }
    copied += static_cast<uint64_t>(n);
  }
  return RecordEntry(w, name, start, copied, mode);
}

}  // namespace

int upq_writer_add_stored(UpqWriter* w, const char* name, const char* source_path) {
  if (CheckNewEntry(w, name) != 0) {
    return -1;
  }
  int fd;
  struct stat st;
  if (OpenRegularFile(w, source_path, &fd, &st) != 0) {
    return -1;
  }
  char what[256];
  if (!CheckStoredStream(fd, what, sizeof(what))) {
    close(fd);
    return Fail(w, "%s: %s", source_path, what);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return Fail(w, "%s: cannot seek: %s", source_path, strerror(errno));
  }
  int result = CopyStream(w, name, fd, static_cast<uint32_t>(st.st_mode & 07777));
  close(fd);
  return result;
}

int upq_writer_add_bytes(UpqWriter* w, const char* name, const void* data, size_t size,
                         uint32_t mode) {
  Source source = {-1, static_cast<const uint8_t*>(data), size, 0};
  return AddEntry(w, name, &source, mode, w->options);
}

int upq_writer_finish(UpqWriter* w) {
  if (w->failed || w->finished) {
    return -1;
  }
  if (w->index.empty()) {
    // The reader cannot load an index of 0 bytes.
    return Fail(w, "an archive needs at least one entry");
  }
  uint64_t index_offset = w->offset;
  uint64_t total = index_offset + kUpqIndexSizeField + w->index.size();
  if (index_offset > kUpqMaxArchiveOffset || w->index.size() > UINT32_MAX) {
    return Fail(w, "the archive would exceed 4 GiB");
  }
  unsigned char field[8];
  upq_store_be32(field, static_cast<uint32_t>(w->index.size()));
  if (fwrite(field, 1, 4, w->file) != 4 ||
      fwrite(w->index.data(), 1, w->index.size(), w->file) != w->index.size()) {
    return Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
  }
  upq_store_be32(field, static_cast<uint32_t>(index_offset));
  if (!WriteAt(w->file, kUpqIndexOffsetField, field, 4)) {
    return Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
  }
  upq_store_be64(field, total);
  if (!WriteAt(w->file, kUpqTotalSizeField, field, 8)) {
    return Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
  }
  if (w->options.signature_count > 0) {
    char why[512] = {};
    if (fflush(w->file) != 0) {
      return Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
    }
    if (w->options.sign(w->options.sign_context, w->file, why, sizeof(why)) != 0) {
      return Fail(w, "signing failed: %s", why);
    }
  }
  if (fflush(w->file) != 0 || fsync(fileno(w->file)) != 0) {
    return Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
  }
  FILE* file = w->file;
  w->file = nullptr;
  if (fclose(file) != 0) {
    return Fail(w, "%s: write error: %s", w->temp_path.c_str(), strerror(errno));
  }
  if (rename(w->temp_path.c_str(), w->path.c_str()) != 0) {
    return Fail(w, "%s: cannot rename into place: %s", w->path.c_str(), strerror(errno));
  }
  w->temp_path.clear();
  w->finished = true;
  return 0;
}

void upq_writer_free(UpqWriter* w) {
  if (!w) {
    return;
  }
  if (w->file) {
    fclose(w->file);
  }
  if (!w->temp_path.empty()) {
    unlink(w->temp_path.c_str());
  }
  delete w;
}

const char* upq_writer_error(const UpqWriter* w) { return w->error; }

unsigned char* upq_xz_encode(const void* data, size_t size, const UpqWriterOptions& options,
                             size_t* encoded_size) {
  std::vector<unsigned char> memory;
  Sink sink = {nullptr, &memory, 0};
  Source source = {-1, static_cast<const uint8_t*>(data), size, 0};
  char what[256];
  if (!Encode(options, &source, &sink, what, sizeof(what))) {
    return nullptr;
  }
  unsigned char* result = static_cast<unsigned char*>(malloc(memory.size() ? memory.size() : 1));
  if (result) {
    memcpy(result, memory.data(), memory.size());
    *encoded_size = memory.size();
  }
  return result;
}

int upq_xz_encode_file(const char* source_path, const char* destination,
                       const UpqWriterOptions& options, uint64_t* encoded_size, char* error,
                       size_t error_size) {
  int fd = open(source_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    snprintf(error, error_size, "%s: cannot open: %s", source_path, strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    snprintf(error, error_size, "%s: not a regular file", source_path);
    return -1;
  }
  FILE* out = fopen(destination, "wb");
  if (!out) {
    snprintf(error, error_size, "%s: cannot create: %s", destination, strerror(errno));
    close(fd);
    return -1;
  }
  Source source = {fd, nullptr, static_cast<size_t>(st.st_size), 0};
  Sink sink = {out, nullptr, 0};
  char what[256];
  bool ok = Encode(options, &source, &sink, what, sizeof(what));
  close(fd);
  if (!ok) {
    snprintf(error, error_size, "%s: %s", source_path, what);
  } else if (fflush(out) != 0 || fchmod(fileno(out), st.st_mode & 07777) != 0) {
    snprintf(error, error_size, "%s: write error: %s", destination, strerror(errno));
    ok = false;
  }
  if (fclose(out) != 0 && ok) {
    snprintf(error, error_size, "%s: write error: %s", destination, strerror(errno));
    ok = false;
  }
  if (!ok) {
    unlink(destination);
    return -1;
  }
  *encoded_size = sink.written;
  return 0;
}
