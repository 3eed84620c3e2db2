// The archive library: opening an archive, loading its index into the hash
// buckets, lookups and raw entry reads. Reports only null / -1; the one
// message it writes is upq_open's.
#include "updater/formats/upq.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "updater/formats/upq_format.h"

static_assert(sizeof(UpqArchive::buckets) / sizeof(UpqEntry*) == kUpqBucketCount);

namespace {

bool ReadExactly(FILE* stream, void* buffer, size_t size) {
  return size > 0 && fread(buffer, 1, size, stream) == size;
}

bool SeekTo(FILE* stream, uint64_t offset) {
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

void FreeEntries(UpqArchive* archive) {
  for (UpqEntry*& head : archive->buckets) {
    while (head) {
      UpqEntry* next = head->next;
      free(head);
      head = next;
    }
  }
}

// Index load state: the archive and the tail of each bucket, so that appends
// stay in index order without walking the chains.
struct IndexLoad {
  UpqArchive* archive;
  UpqEntry* tails[kUpqBucketCount];
};

int AddEntry(void* context, uint32_t offset, uint32_t length, uint32_t flags,
             const char* name, size_t name_length) {
  IndexLoad* load = static_cast<IndexLoad*>(context);
  UpqEntry* entry =
      static_cast<UpqEntry*>(malloc(offsetof(UpqEntry, name) + name_length + 1));
  if (!entry) {
    return -1;
  }
  entry->next = nullptr;
  entry->offset = offset;
  entry->length = length;
  entry->flags = flags;
  memcpy(entry->name, name, name_length + 1);
  uint32_t bucket = upq_name_hash(entry->name);
  if (load->tails[bucket]) {
    load->tails[bucket]->next = entry;
  } else {
    load->archive->buckets[bucket] = entry;
  }
  load->tails[bucket] = entry;
  return 0;
}

// Stops the walk at the first entry, keeping its data offset.
int FirstOffset(void* context, uint32_t offset, uint32_t, uint32_t, const char*, size_t) {
  *static_cast<uint32_t*>(context) = offset;
  return 1;
}

}  // namespace

int upq_walk_index(const unsigned char* index, size_t size, UpqIndexVisitor visit,
                   void* context) {
  if (size == 0) {
    return -1;
  }
  size_t pos = 0;
  while (pos < size) {
    if (size - pos < kUpqIndexEntryMinRemaining) {
      return -1;
    }
    const unsigned char* fields = index + pos;
    const char* name = reinterpret_cast<const char*>(fields + kUpqIndexEntryFixedSize);
    size_t room = size - pos - kUpqIndexEntryFixedSize;
    const void* nul = memchr(name, '\0', room);
    if (!nul) {
      return -1;
    }
    size_t name_length = static_cast<const char*>(nul) - name;
    if (name_length > INT32_MAX) {
      return -1;
    }
    int result = visit(context, upq_load_be32(fields), upq_load_be32(fields + 4),
                       upq_load_be32(fields + 8), name, name_length);
    if (result != 0) {
      return result;
    }
    pos += kUpqIndexEntryFixedSize + name_length + 1;
  }
  return 0;
}

UpqArchive* upq_open(const char* path) {
  FILE* stream = fopen(path, "rb");
  if (!stream) {
    int saved = errno;
    fputs("ERROR: could not open file in upq_open()\n", stderr);
    errno = saved;
    perror(path);
    return nullptr;
  }
  UpqArchive* archive = static_cast<UpqArchive*>(calloc(1, sizeof(UpqArchive)));
  if (!archive) {
    fclose(stream);
    return nullptr;
  }
  archive->stream = stream;
  return archive;
}

void upq_release(UpqArchive* archive) {
  if (!archive) {
    return;
  }
  fclose(archive->stream);
  FreeEntries(archive);
  free(archive);
}

int upq_read_index(UpqArchive* archive, unsigned char** index, uint32_t* size) {
  FILE* stream = archive->stream;
  unsigned char field[4];
  if (!SeekTo(stream, 0) || !ReadExactly(stream, field, sizeof(field)) ||
      memcmp(field, kUpqMagic, kUpqMagicSize) != 0) {
    return -1;
  }
  if (!ReadExactly(stream, field, sizeof(field))) {
    return -1;
  }
  uint64_t index_offset = upq_load_be32(field);
  if (!SeekTo(stream, index_offset) || !ReadExactly(stream, field, sizeof(field))) {
    return -1;
  }
  uint32_t index_size = upq_load_be32(field);
  // The index must be read in one piece; refuse a size the file cannot hold
  // before allocating it, so a hostile size field costs nothing.
  struct stat st;
  if (index_size == 0 || fstat(fileno(stream), &st) != 0 ||
      static_cast<uint64_t>(st.st_size) < index_offset + kUpqIndexSizeField ||
      index_size > static_cast<uint64_t>(st.st_size) - index_offset - kUpqIndexSizeField) {
    return -1;
  }
  unsigned char* buffer = static_cast<unsigned char*>(malloc(index_size));
  if (!buffer) {
    return -1;
  }
  if (!ReadExactly(stream, buffer, index_size)) {
    free(buffer);
    return -1;
  }
  *index = buffer;
  *size = index_size;
  return 0;
}

int upq_load_index(UpqArchive* archive) {
  // Entries of an earlier failed load are never returned by a lookup; drop
  // them so repeated attempts do not pile them up.
  FreeEntries(archive);
  archive->index_loaded = 0;

  unsigned char* index;
  uint32_t size;
  if (upq_read_index(archive, &index, &size) != 0) {
    return -1;
  }
  IndexLoad load = {archive, {}};
  int result = upq_walk_index(index, size, AddEntry, &load);
  free(index);
  if (result != 0) {
    return -1;
  }
  archive->index_loaded = 1;
  return 0;
}

UpqEntry* upq_lookup(UpqArchive* archive, const char* name) {
  if (!archive->index_loaded && upq_load_index(archive) != 0) {
    return nullptr;
  }
  for (UpqEntry* entry = archive->buckets[upq_name_hash(name)]; entry;
       entry = entry->next) {
    if (strcmp(entry->name, name) == 0) {
      return entry;
    }
  }
  return nullptr;
}

int upq_read_entry(UpqArchive* archive, const UpqEntry* entry, int32_t offset,
                   void* buffer, int32_t capacity) {
  // The length counts as a signed 32-bit value; an entry that claims 2 GiB or
  // more therefore has nothing readable.
  int32_t length = static_cast<int32_t>(entry->length);
  if (offset == length) {
    return 0;
  }
  if (offset > length || capacity < 0) {
    return -1;
  }
  uint32_t position = entry->offset + static_cast<uint32_t>(offset);
  if (!SeekTo(archive->stream, position)) {
    return -1;
  }
  int64_t remaining = int64_t{length} - offset;
  size_t count = static_cast<size_t>(remaining < capacity ? remaining : capacity);
  return static_cast<int>(fread(buffer, 1, count, archive->stream));
}

// 1 when the archive has the header sections (product information,
// signatures), 0 in the older layout where entry data starts right after the
// 8-byte header, -1 when the index cannot be read.
static int HeaderSectionsPresent(UpqArchive* archive) {
  unsigned char* index;
  uint32_t index_size;
  if (upq_read_index(archive, &index, &index_size) != 0) {
    return -1;
  }
  uint32_t first_data = 0;
  int walked = upq_walk_index(index, index_size, FirstOffset, &first_data);
  free(index);
  if (walked < 0) {
    return -1;
  }
  return first_data == kUpqLegacyHeaderSize ? 0 : 1;
}

int upq_read_product_info(UpqArchive* archive, char channel[64], char version[32]) {
  // The header sections exist unless entry data starts right after the
  // 8-byte header (older layout); they end before the index in any case.
  int layout = HeaderSectionsPresent(archive);
  if (layout <= 0) {
    return layout;
  }
  FILE* stream = archive->stream;
  unsigned char field[8];
  if (!SeekTo(stream, kUpqMagicSize) || !ReadExactly(stream, field, 4)) {
    return -1;
  }
  uint64_t limit = upq_load_be32(field);  // the index offset
  if (!SeekTo(stream, kUpqSignatureCountField) || !ReadExactly(stream, field, 4)) {
    return -1;
  }
  uint32_t signatures = upq_load_be32(field);
  if (signatures > kUpqMaxSignatures) {
    return -1;
  }
  uint64_t pos = kUpqSignatureCountField + 4;
  for (uint32_t i = 0; i < signatures; ++i) {
    if (pos + 8 > limit || !SeekTo(stream, pos) || !ReadExactly(stream, field, 8)) {
      return -1;
    }
    pos += 8 + uint64_t{upq_load_be32(field + 4)};
  }
  if (pos + 4 > limit || !SeekTo(stream, pos) || !ReadExactly(stream, field, 4)) {
    return -1;
  }
  uint32_t blocks = upq_load_be32(field);
  pos += 4;
  for (uint32_t i = 0; i < blocks; ++i) {
    if (pos + kUpqBlockHeaderSize > limit || !SeekTo(stream, pos) ||
        !ReadExactly(stream, field, kUpqBlockHeaderSize)) {
      return -1;
    }
    uint32_t block_size = upq_load_be32(field);
    uint32_t id = upq_load_be32(field + 4);
    if (block_size < kUpqBlockHeaderSize || pos + block_size > limit) {
      return -1;
    }
    if (id == kUpqProductInfoBlockId) {
      unsigned char payload[kUpqProductInfoBlockSize - kUpqBlockHeaderSize];
      if (block_size != kUpqProductInfoBlockSize ||
          !ReadExactly(stream, payload, sizeof(payload))) {
        return -1;
      }
      const char* text = reinterpret_cast<const char*>(payload);
      size_t channel_length = strnlen(text, sizeof(payload));
      if (channel_length > kUpqMaxChannelLength) {
        return -1;
      }
      const char* second = text + channel_length + 1;
      size_t version_length =
          strnlen(second, sizeof(payload) - channel_length - 1);
      if (version_length > kUpqMaxVersionLength) {
        return -1;
      }
      memcpy(channel, text, channel_length + 1);
      memcpy(version, second, version_length);
      version[version_length] = '\0';
      return 1;
    }
    pos += block_size;
  }
  return 0;
}

int upq_read_signatures(UpqArchive* archive, UpqSignatureSection* section) {
  // The header sections exist unless entry data starts right after the
  // 8-byte header (older layout); they end before the index in any case.
  int layout = HeaderSectionsPresent(archive);
  if (layout <= 0) {
    return layout;
  }
  FILE* stream = archive->stream;
  unsigned char field[kUpqSignatureHeaderSize];
  if (!SeekTo(stream, kUpqIndexOffsetField) || !ReadExactly(stream, field, 4)) {
    return -1;
  }
  // The header sections end before the index.
  uint64_t limit = upq_load_be32(field);
  uint64_t pos = kUpqSignatureCountField;
  if (pos + 4 > limit || !SeekTo(stream, pos) || !ReadExactly(stream, field, 4)) {
    return -1;
  }
  uint32_t count = upq_load_be32(field);
  if (count > kUpqMaxSignatures) {
    return -1;
  }
  pos += 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos + kUpqSignatureHeaderSize > limit || !SeekTo(stream, pos) ||
        !ReadExactly(stream, field, kUpqSignatureHeaderSize)) {
      return -1;
    }
    UpqSignatureSlot& slot = section->slots[i];
    slot.algorithm = upq_load_be32(field);
    slot.length = upq_load_be32(field + 4);
    slot.offset = pos + kUpqSignatureHeaderSize;
    if (slot.length > limit - slot.offset) {
      return -1;
    }
    pos = slot.offset + slot.length;
  }
  section->count = count;
  section->end = pos;
  return 1;
}

int upq_read_signed_bytes(UpqArchive* archive, const UpqSignatureSection* section,
                          UpqByteSink consume, void* context, unsigned char* buffer,
                          size_t buffer_size) {
  FILE* stream = archive->stream;
  if (buffer_size == 0 || !SeekTo(stream, 0)) {
    return -1;
  }
  uint64_t pos = 0;
  uint32_t next = 0;  // the next signature to skip
  for (;;) {
    // Read up to the next signature's bytes, then step over them.
    size_t want = buffer_size;
    if (next < section->count) {
      const UpqSignatureSlot& slot = section->slots[next];
      if (pos == slot.offset) {
        if (slot.length > 0 && !SeekTo(stream, slot.offset + slot.length)) {
          return -1;
        }
        pos += slot.length;
        ++next;
        continue;
      }
      if (slot.offset - pos < want) {
        want = static_cast<size_t>(slot.offset - pos);
      }
    }
    size_t got = fread(buffer, 1, want, stream);
    if (got > 0) {
      if (int result = consume(context, buffer, got)) {
        return result;
      }
      pos += got;
    }
    if (got < want) {
      if (ferror(stream)) {
        return -1;
      }
      // The end of the file: fine unless a signature was still to come.
      if (next < section->count) {
        errno = 0;
        return -1;
      }
      return 0;
    }
  }
}
