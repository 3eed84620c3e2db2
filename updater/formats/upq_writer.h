// Writing update archives: the producer side of the format that upq.h reads,
// for the publishing tools (upq, make-update) and for tests. Not used by the
// updater itself.
//
// An archive is written to a temporary file beside the destination and
// renamed into place by upq_writer_finish, so a failed run leaves no partial
// archive. Each entry is encoded as one .xz stream (LZMA2, optionally after
// the x86 BCJ filter) that the updater's reader accepts. Every failure
// returns -1 and leaves one line of text in upq_writer_error(). A writer is
// used by one thread at a time.
#ifndef VLM_UPDATER_FORMATS_UPQ_WRITER_H_
#define VLM_UPDATER_FORMATS_UPQ_WRITER_H_

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct UpqWriterOptions {
  bool x86_bcj = false;                  // x86 branch conversion before LZMA2
  lzma_check check = LZMA_CHECK_CRC64;   // none, CRC-32 or CRC-64
  uint32_t preset = 6;                   // 0-9, optionally | LZMA_PRESET_EXTREME
  // LZMA2 settings over the preset's. The dictionary in bytes (0: the
  // preset's; at least 4 KiB, at most the reader's 64 MiB); with
  // `fit_dictionary`, a dictionary larger than the entry is cut to the
  // smallest size the .xz header stores exactly (2^n or 2^n + 2^(n-1), at
  // least 4 KiB) that holds the entry, which also cuts the decoder's memory.
  // The literal context, literal position and position bits (-1: the
  // preset's; each 0-4, lc + lp at most 4).
  uint32_t dict_size = 0;
  bool fit_dictionary = false;
  int lc = -1;
  int lp = -1;
  int pb = -1;
  // Encoder threads; above 1, large entries are split into several blocks
  // encoded in parallel (0: one per processor).
  uint32_t threads = 1;
  // With both set, the header carries a product-information block.
  const char* channel = nullptr;         // at most 63 bytes
  const char* version = nullptr;         // at most 31 bytes
  // Signatures: the header reserves `signature_count` Ed25519 slots (at most
  // 8; identifier 1, 64 zero bytes each), and upq_writer_finish calls `sign`
  // on the complete archive, open for reading and writing, before it is moved
  // into place; `sign` fills the slots (upq_sign_stream) and returns 0, or -1
  // with a reason in `error`. The writer itself needs no cryptography.
  uint32_t signature_count = 0;
  int (*sign)(void* context, FILE* archive, char* error, size_t error_size) = nullptr;
  void* sign_context = nullptr;
};

struct UpqWriter;

// A writer for a new archive at `path`; null only without memory. Check
// upq_writer_error() after the first call that returns -1.
UpqWriter* upq_writer_open(const char* path, const UpqWriterOptions& options);

// Adds the regular file `source` as entry `name`, with the file's permission
// bits as the entry's mode.
int upq_writer_add_file(UpqWriter* writer, const char* name, const char* source);

// As upq_writer_add_file, encoded with the encoder settings of `encoding`
// (preset, filter, check, dictionary, lc/lp/pb, threads) instead of the
// writer's.
int upq_writer_add_file_encoded(UpqWriter* writer, const char* name, const char* source,
                                const UpqWriterOptions& encoding);

// Adds the file `source`, which holds one .xz stream, as entry `name` as it
// is (the file's permission bits are the entry's mode). The stream is first
// decoded to its end with the updater's own decoder, so only what the reader
// accepts is stored; bytes after the stream are refused.
int upq_writer_add_stored(UpqWriter* writer, const char* name, const char* source);

// Adds `size` bytes from memory as entry `name` with `mode`.
int upq_writer_add_bytes(UpqWriter* writer, const char* name, const void* data,
                         size_t size, uint32_t mode);

// Writes the index and the header and moves the archive into place.
int upq_writer_finish(UpqWriter* writer);

// Frees the writer; an unfinished archive is removed.
void upq_writer_free(UpqWriter* writer);

const char* upq_writer_error(const UpqWriter* writer);

// True for a name an archive may carry and an extractor may create: a
// relative path of non-empty components separated by single slashes, none
// of them "." or "..".
bool upq_is_safe_name(const char* name);

// Encodes `size` bytes into one .xz stream as the writer would store it.
// Returns a malloc'ed buffer and its size, or null on failure.
unsigned char* upq_xz_encode(const void* data, size_t size,
                             const UpqWriterOptions& options, size_t* encoded_size);

// Encodes the file `source` into the file `destination` (created or
// truncated; it gets the source's permission bits) as one .xz stream, byte
// for byte as the writer would store it, and returns its size in
// `encoded_size`. Returns 0, or -1 with one line in
// `error`; a failed call leaves no destination.
int upq_xz_encode_file(const char* source, const char* destination,
                       const UpqWriterOptions& options, uint64_t* encoded_size, char* error,
                       size_t error_size);

#endif  // VLM_UPDATER_FORMATS_UPQ_WRITER_H_
