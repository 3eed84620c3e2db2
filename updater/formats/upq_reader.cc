// UpqReader: the updater's archive reader and its two transfer buffers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"
#include "updater/formats/xz_decoder.h"
#include "updater/log.h"
#include "updater/result.h"

UpqReader gArchiveReader;

namespace {

// The transfer buffers live for the process, not the reader object. A buffer
// whose large allocation failed once stays small ("small" is never cleared).
struct TransferBuffer {
  uint8_t* data;
  size_t size;
  bool small;
};

TransferBuffer gInputBuffer;
TransferBuffer gOutputBuffer;

char gLastError[1024];

// Keeps the text of a failure for LastError() without logging it: for the
// outcomes the callers report themselves (an archive that cannot be opened,
// which upq_open has already reported on stderr; a name that is not in the
// archive, which the manifest step tries as a matter of course).
__attribute__((format(printf, 1, 2))) void Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(gLastError, sizeof(gLastError), format, args);
  va_end(args);
}

// Logs one failure line and keeps it for LastError().
__attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(gLastError, sizeof(gLastError), format, args);
  va_end(args);
  LOG("%s", gLastError);
}

bool AllocateBuffer(TransferBuffer* buffer) {
  if (buffer->data) {
    return true;
  }
  if (!buffer->small) {
    buffer->data = static_cast<uint8_t*>(malloc(kUpqTransferBufferSize));
    if (buffer->data) {
      buffer->size = kUpqTransferBufferSize;
      return true;
    }
    buffer->small = true;
  }
  buffer->data = static_cast<uint8_t*>(malloc(kUpqSmallTransferBufferSize));
  buffer->size = buffer->data ? kUpqSmallTransferBufferSize : 0;
  return buffer->data != nullptr;
}

void FreeBuffer(TransferBuffer* buffer) {
  free(buffer->data);
  buffer->data = nullptr;
  buffer->size = 0;
}

// Writes `size` bytes; false when the stream took fewer.
bool WriteAll(FILE* stream, const uint8_t* data, size_t size) {
  return size == 0 || fwrite(data, 1, size, stream) == size;
}

}  // namespace

int UpqReader::Open(const char* path) {
  Close();
  if (!AllocateBuffer(&gInputBuffer) || !AllocateBuffer(&gOutputBuffer)) {
    Fail("UpqReader::Open: no memory for the transfer buffers: %s", path);
    FreeBuffer(&gInputBuffer);
    FreeBuffer(&gOutputBuffer);
    return kArchiveNoMemory;
  }
  archive_ = upq_open(path);
  if (!archive_) {
    Note("UpqReader::Open: could not open the archive: %s, err: %d", path, errno);
    return kArchiveReadFailed;
  }
  // liblzma builds its CRC tables at compile time; nothing to prepare here.
  return 0;
}

void UpqReader::Close() {
  if (archive_) {
    upq_release(archive_);
    archive_ = nullptr;
  }
  FreeBuffer(&gInputBuffer);
  FreeBuffer(&gOutputBuffer);
}

const char* UpqReader::LastError() const { return gLastError; }

// Looks an entry up and says why it is missing: an index that cannot be
// loaded makes every name missing.
static UpqEntry* FindEntry(UpqArchive* archive, const char* caller, const char* name) {
  if (!archive) {
    Fail("%s: no archive is open, entry: %s", caller, name);
    return nullptr;
  }
  UpqEntry* entry = upq_lookup(archive, name);
  if (!entry) {
    if (archive->index_loaded) {
      Note("%s: no such entry in the archive: %s", caller, name);
    } else {
      Fail("%s: the archive index is unreadable or malformed, entry: %s", caller, name);
    }
  }
  return entry;
}

int UpqReader::ExtractToPath(const char* name, const char* destination) {
  UpqEntry* entry = FindEntry(archive_, "UpqReader::ExtractToPath", name);
  if (!entry) {
    return kArchiveReadFailed;
  }
  int fd = open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                static_cast<mode_t>(entry->flags & 07777));
  if (fd < 0) {
    Fail("UpqReader::ExtractToPath: could not create the file: %s, entry: %s, err: %d",
         destination, name, errno);
    return kExtractCreateFailed;
  }
  FILE* stream = fdopen(fd, "wb");
  if (!stream) {
    Fail("UpqReader::ExtractToPath: could not open a stream on the file: %s, err: %d",
         destination, errno);
    close(fd);
    return kExtractCreateFailed;
  }
  int result = DecodeEntryToStream(entry, stream);
  // The last buffered bytes reach the file only here: a full disk shows up
  // at this close, and must not pass for success.
  if (fclose(stream) != 0 && result == 0) {
    Fail("UpqReader::ExtractToPath: writing the file fell short: %s, entry: %s, err: %d",
         destination, name, errno);
    result = kExtractWriteShort;
  }
  return result;
}

int UpqReader::ExtractToStream(const char* name, FILE* stream) {
  UpqEntry* entry = FindEntry(archive_, "UpqReader::ExtractToStream", name);
  if (!entry) {
    return kArchiveReadFailed;
  }
  int result = DecodeEntryToStream(entry, stream);
  if (result == 0 && fflush(stream) != 0) {
    Fail("UpqReader::ExtractToStream: flushing the stream failed, entry: %s, err: %d",
         name, errno);
    result = kExtractWriteShort;
  }
  return result;
}

int UpqReader::DecodeEntryToStream(UpqEntry* entry, FILE* stream) {
  static const char kFn[] = "UpqReader::DecodeEntryToStream";
  XzDecoder decoder;
  if (xz_decoder_init(&decoder) != kXzOk) {
    xz_decoder_end(&decoder);
    Fail("%s: could not create the XZ decoder, entry: %s", kFn, entry->name);
    return kXzDecodeFailed;
  }
  uint8_t* in = gInputBuffer.data;
  uint8_t* out = gOutputBuffer.data;
  size_t in_pos = 0;
  size_t in_filled = 0;
  size_t out_pos = 0;
  int32_t consumed = 0;
  const int32_t length = static_cast<int32_t>(entry->length);
  int result;
  for (;;) {
    if (entry->length == 0) {
      Fail("%s: the entry is empty: %s", kFn, entry->name);
      result = kArchiveEntryEmpty;
      break;
    }
    if (consumed < length && in_pos == in_filled) {
      errno = 0;
      int read = upq_read_entry(archive_, entry, consumed, in,
                                static_cast<int32_t>(gInputBuffer.size));
      if (read <= 0) {
        Fail("%s: could not read the entry: %s, offset: %d, length: %u, err: %d", kFn,
             entry->name, consumed, entry->length, errno);
        result = kArchiveReadFailed;
        break;
      }
      consumed += read;
      in_filled = static_cast<size_t>(read);
      in_pos = 0;
    }
    XzStatus status = xz_decoder_run(&decoder, in, &in_pos, in_filled, out, &out_pos,
                                     gOutputBuffer.size);
    // The output buffer is flushed before the status is looked at.
    if (out_pos == gOutputBuffer.size) {
      if (!WriteAll(stream, out, out_pos)) {
        Fail("%s: writing the decoded bytes fell short, entry: %s, err: %d", kFn,
             entry->name, errno);
        result = kExtractWriteShort;
        break;
      }
      out_pos = 0;
    }
    if (status == kXzOk) {
      continue;
    }
    if (status == kXzStreamEnd) {
      if (!WriteAll(stream, out, out_pos)) {
        Fail("%s: writing the decoded bytes fell short, entry: %s, err: %d", kFn,
             entry->name, errno);
        result = kExtractWriteShort;
      } else {
        result = 0;
      }
      break;
    }
    // The offset is that of the first entry byte the decoder has not used.
    int64_t at = int64_t{consumed} - static_cast<int64_t>(in_filled - in_pos);
    if (status == kXzLimit) {
      Fail("%s: XZ %s, entry: %s, offset: %lld, dictionary: %u", kFn,
           xz_status_text(status), entry->name, static_cast<long long>(at),
           decoder.dictionary_size);
    } else {
      Fail("%s: XZ %s in %s, entry: %s, offset: %lld", kFn, xz_status_text(status),
           xz_decoder_part(&decoder), entry->name, static_cast<long long>(at));
    }
    result = kXzDecodeFailed;
    break;
  }
  xz_decoder_end(&decoder);
  return result;
}
