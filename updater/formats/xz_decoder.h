// A decoder for one .xz stream, restricted to what update archives may hold.
//
// The stream container (header, block headers, index, footer) is parsed here;
// each block's data is decoded by liblzma's block decoder. Unlike liblzma's
// stream decoder this accepts exactly: the checks none, CRC-32 and CRC-64;
// blocks whose filter chain is LZMA2 alone or x86 BCJ then LZMA2; LZMA2
// dictionaries up to and including 64 MiB. It stops at the end of the first
// stream, so bytes after it (padding, a second stream, garbage) are never
// looked at. The index and footer are verified against the decoded blocks.
//
// Multi-call: feed any pieces of input and output; like liblzma, two calls in
// a row that neither consume input nor produce output fail with
// kXzNoProgress, so a truncated stream ends instead of looping.
// Allocates through malloc (the dictionary on demand). Not thread-safe per
// decoder; separate decoders are independent.
#ifndef VLM_UPDATER_FORMATS_XZ_DECODER_H_
#define VLM_UPDATER_FORMATS_XZ_DECODER_H_

#include <lzma.h>

#include <cstddef>
#include <cstdint>

enum XzStatus {
  kXzOk,           // more input or output room wanted
  kXzStreamEnd,    // the stream is complete and verified
  kXzCorrupt,      // malformed container or data, or a check mismatch
  kXzNoProgress,   // input ended inside the stream (or no output room)
  kXzUnsupported,  // another check, filter or format feature
  kXzLimit,        // the dictionary exceeds 64 MiB
  kXzNoMemory,
  kXzInternal,     // liblzma reported a programming error
};

struct XzDecoder {
  int state;
  bool stalled;  // the previous call made no progress
  lzma_stream_flags stream_flags;
  lzma_index_hash* index_hash;
  lzma_stream block_stream;
  lzma_block block;
  lzma_filter filters[LZMA_FILTERS_MAX + 1];
  uint8_t field[LZMA_BLOCK_HEADER_SIZE_MAX];  // header, block header, footer
  size_t field_size;
  size_t field_filled;
  const char* part;  // the part of the stream being decoded, for messages
  uint32_t dictionary_size;  // of the current block
};

// Prepares a decoder: kXzOk or kXzNoMemory. Call xz_decoder_end in any case.
XzStatus xz_decoder_init(XzDecoder* decoder);

// Decodes from in[*in_pos, in_size) into out[*out_pos, out_size), advancing
// both positions. Returns kXzOk, kXzStreamEnd once the stream is complete
// (and on every later call), or an error, after which the decoder is spent.
XzStatus xz_decoder_run(XzDecoder* decoder, const uint8_t* in, size_t* in_pos,
                        size_t in_size, uint8_t* out, size_t* out_pos,
                        size_t out_size);

void xz_decoder_end(XzDecoder* decoder);

// A short text for a status ("corrupt data", "truncated stream", ...) and the
// part of the stream the decoder was in ("stream header", "block data", ...).
const char* xz_status_text(XzStatus status);
const char* xz_decoder_part(const XzDecoder* decoder);

#endif  // VLM_UPDATER_FORMATS_XZ_DECODER_H_
