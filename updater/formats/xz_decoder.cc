// The .xz container walked by hand so that every block header's filter chain
// and dictionary size can be checked before liblzma sees the block.
//
// States: stream header (12 bytes) -> block header or index indicator ->
// block header (its own size) -> block data (liblzma block decoder) -> back
// to the block header, or index (liblzma index hash, which also checks the
// records against the blocks seen) -> stream footer (12 bytes) -> done.
#include "updater/formats/xz_decoder.h"

#include <cstdlib>
#include <cstring>

#include "updater/formats/upq_format.h"

namespace {

enum State {
  kStreamHeader,
  kBlockStart,
  kBlockHeader,
  kBlockData,
  kIndex,
  kStreamFooter,
  kDone,
  kFailed,
};

void FreeFilters(XzDecoder* d) {
  for (lzma_filter& filter : d->filters) {
    if (filter.id == LZMA_VLI_UNKNOWN) {
      break;
    }
    free(filter.options);
    filter.options = nullptr;
    filter.id = LZMA_VLI_UNKNOWN;
  }
  d->filters[0].id = LZMA_VLI_UNKNOWN;
}

// Collects d->field_size bytes into d->field; true once complete.
bool Gather(XzDecoder* d, const uint8_t* in, size_t* in_pos, size_t in_size) {
  size_t take = d->field_size - d->field_filled;
  if (take > in_size - *in_pos) {
    take = in_size - *in_pos;
  }
  if (take == 0) {
    return d->field_filled == d->field_size;
  }
  memcpy(d->field + d->field_filled, in + *in_pos, take);
  d->field_filled += take;
  *in_pos += take;
  return d->field_filled == d->field_size;
}

void StartField(XzDecoder* d, int state, size_t size, const char* part) {
  d->state = state;
  d->field_size = size;
  d->field_filled = 0;
  d->part = part;
}

// Stream header and footer: a bad magic or CRC is corruption, reserved flag
// bits are a feature we do not know.
XzStatus FlagsResult(lzma_ret ret) {
  switch (ret) {
    case LZMA_OK:
      return kXzOk;
    case LZMA_OPTIONS_ERROR:
      return kXzUnsupported;
    case LZMA_FORMAT_ERROR:
    case LZMA_DATA_ERROR:
      return kXzCorrupt;
    default:
      return kXzInternal;
  }
}

XzStatus DecodeStreamHeader(XzDecoder* d) {
  XzStatus status = FlagsResult(lzma_stream_header_decode(&d->stream_flags, d->field));
  if (status != kXzOk) {
    return status;
  }
  switch (d->stream_flags.check) {
    case LZMA_CHECK_NONE:
    case LZMA_CHECK_CRC32:
    case LZMA_CHECK_CRC64:
      return kXzOk;
    default:
      return kXzUnsupported;
  }
}

// Decodes the block header in d->field, checks its filter chain and
// dictionary, and starts liblzma's block decoder on it.
XzStatus StartBlock(XzDecoder* d) {
  memset(&d->block, 0, sizeof(d->block));
  d->block.version = 0;
  d->block.check = d->stream_flags.check;
  d->block.header_size = static_cast<uint32_t>(d->field_size);
  d->block.filters = d->filters;
  switch (lzma_block_header_decode(&d->block, nullptr, d->field)) {
    case LZMA_OK:
      break;
    case LZMA_OPTIONS_ERROR:  // unknown filter or flags
      return kXzUnsupported;
    case LZMA_DATA_ERROR:
      return kXzCorrupt;
    case LZMA_MEM_ERROR:
      return kXzNoMemory;
    default:
      return kXzInternal;
  }
  size_t count = 0;
  while (count < LZMA_FILTERS_MAX && d->filters[count].id != LZMA_VLI_UNKNOWN) {
    ++count;
  }
  bool lzma2_alone = count == 1 && d->filters[0].id == LZMA_FILTER_LZMA2;
  bool x86_then_lzma2 = count == 2 && d->filters[0].id == LZMA_FILTER_X86 &&
                        d->filters[1].id == LZMA_FILTER_LZMA2;
  if (!lzma2_alone && !x86_then_lzma2) {
    return kXzUnsupported;
  }
  const lzma_options_lzma* lzma2 =
      static_cast<const lzma_options_lzma*>(d->filters[count - 1].options);
  if (!lzma2) {
    return kXzCorrupt;
  }
  d->dictionary_size = lzma2->dict_size;
  if (lzma2->dict_size > kUpqMaxDictionarySize) {
    return kXzLimit;
  }
  switch (lzma_block_decoder(&d->block_stream, &d->block)) {
    case LZMA_OK:
      return kXzOk;
    case LZMA_MEM_ERROR:
      return kXzNoMemory;
    case LZMA_OPTIONS_ERROR:
      return kXzUnsupported;
    case LZMA_DATA_ERROR:
      return kXzCorrupt;
    default:
      // The header decoder accepted sizes the block decoder refuses.
      return kXzCorrupt;
  }
}

XzStatus DecodeFooter(XzDecoder* d) {
  lzma_stream_flags footer;
  XzStatus status = FlagsResult(lzma_stream_footer_decode(&footer, d->field));
  if (status != kXzOk) {
    return status;
  }
  if (lzma_stream_flags_compare(&d->stream_flags, &footer) != LZMA_OK ||
      footer.backward_size != lzma_index_hash_size(d->index_hash)) {
    return kXzCorrupt;
  }
  return kXzOk;
}

// One step of the state machine; kXzOk with `wait` set when it needs more
// input (or output room) to go on.
XzStatus Step(XzDecoder* d, const uint8_t* in, size_t* in_pos, size_t in_size,
              uint8_t* out, size_t* out_pos, size_t out_size, bool* wait) {
  switch (d->state) {
    case kStreamHeader:
      if (!Gather(d, in, in_pos, in_size)) {
        *wait = true;
        return kXzOk;
      }
      d->state = kBlockStart;
      return DecodeStreamHeader(d);

    case kBlockStart:
      if (*in_pos == in_size) {
        *wait = true;
        return kXzOk;
      }
      if (in[*in_pos] == 0) {  // the index indicator
        d->state = kIndex;
        d->part = "index";
        return kXzOk;
      }
      StartField(d, kBlockHeader, lzma_block_header_size_decode(in[*in_pos]),
                 "block header");
      return kXzOk;

    case kBlockHeader:
      if (!Gather(d, in, in_pos, in_size)) {
        *wait = true;
        return kXzOk;
      }
      d->state = kBlockData;
      if (XzStatus status = StartBlock(d); status != kXzOk) {
        return status;
      }
      d->part = "block data";
      return kXzOk;

    case kBlockData: {
      lzma_stream* s = &d->block_stream;
      s->next_in = in + *in_pos;
      s->avail_in = in_size - *in_pos;
      s->next_out = out + *out_pos;
      s->avail_out = out_size - *out_pos;
      lzma_ret ret = lzma_code(s, LZMA_RUN);
      *in_pos = in_size - s->avail_in;
      *out_pos = out_size - s->avail_out;
      switch (ret) {
        case LZMA_OK:
          *wait = true;
          return kXzOk;
        case LZMA_STREAM_END:
          FreeFilters(d);
          d->state = kBlockStart;
          d->part = "block header";
          if (lzma_index_hash_append(d->index_hash, lzma_block_unpadded_size(&d->block),
                                     d->block.uncompressed_size) != LZMA_OK) {
            return kXzCorrupt;
          }
          return kXzOk;
        case LZMA_BUF_ERROR:
          return kXzNoProgress;
        case LZMA_DATA_ERROR:  // bad data, sizes or check
        case LZMA_FORMAT_ERROR:
          return kXzCorrupt;
        case LZMA_OPTIONS_ERROR:
          return kXzUnsupported;
        case LZMA_MEM_ERROR:
          return kXzNoMemory;
        default:
          return kXzInternal;
      }
    }

    case kIndex:
      if (*in_pos == in_size) {
        *wait = true;
        return kXzOk;
      }
      switch (lzma_index_hash_decode(d->index_hash, in, in_pos, in_size)) {
        case LZMA_OK:
          *wait = true;
          return kXzOk;
        case LZMA_STREAM_END:
          StartField(d, kStreamFooter, LZMA_STREAM_HEADER_SIZE, "stream footer");
          return kXzOk;
        case LZMA_DATA_ERROR:
          return kXzCorrupt;
        case LZMA_MEM_ERROR:
          return kXzNoMemory;
        default:
          return kXzInternal;
      }

    case kStreamFooter:
      if (!Gather(d, in, in_pos, in_size)) {
        *wait = true;
        return kXzOk;
      }
      d->state = kDone;
      return DecodeFooter(d);

    case kDone:
      return kXzStreamEnd;

    default:
      return kXzInternal;
  }
}

}  // namespace

XzStatus xz_decoder_init(XzDecoder* d) {
  memset(d, 0, sizeof(*d));
  d->block_stream = LZMA_STREAM_INIT;
  d->filters[0].id = LZMA_VLI_UNKNOWN;
  StartField(d, kStreamHeader, LZMA_STREAM_HEADER_SIZE, "stream header");
  d->index_hash = lzma_index_hash_init(nullptr, nullptr);
  return d->index_hash ? kXzOk : kXzNoMemory;
}

XzStatus xz_decoder_run(XzDecoder* d, const uint8_t* in, size_t* in_pos,
                        size_t in_size, uint8_t* out, size_t* out_pos,
                        size_t out_size) {
  if (d->state == kFailed) {
    return kXzInternal;
  }
  size_t in_start = *in_pos;
  size_t out_start = *out_pos;
  for (;;) {
    bool wait = false;
    XzStatus status = Step(d, in, in_pos, in_size, out, out_pos, out_size, &wait);
    if (status == kXzStreamEnd) {
      return status;
    }
    if (status != kXzOk) {
      d->state = kFailed;
      return status;
    }
    if (d->state == kDone) {
      return kXzStreamEnd;
    }
    if (wait) {
      break;
    }
  }
  if (*in_pos == in_start && *out_pos == out_start) {
    if (d->stalled) {
      d->state = kFailed;
      return kXzNoProgress;
    }
    d->stalled = true;
  } else {
    d->stalled = false;
  }
  return kXzOk;
}

void xz_decoder_end(XzDecoder* d) {
  FreeFilters(d);
  lzma_end(&d->block_stream);
  lzma_index_hash_end(d->index_hash, nullptr);
  d->index_hash = nullptr;
}

const char* xz_status_text(XzStatus status) {
  switch (status) {
    case kXzOk:
      return "ok";
    case kXzStreamEnd:
      return "end of stream";
    case kXzCorrupt:
      return "corrupt data";
    case kXzNoProgress:
      return "truncated stream";
    case kXzUnsupported:
      return "unsupported feature";
    case kXzLimit:
      return "dictionary larger than 64 MiB";
    case kXzNoMemory:
      return "out of memory";
    case kXzInternal:
      return "internal error";
  }
  return "unknown status";
}

const char* xz_decoder_part(const XzDecoder* d) { return d->part; }
