// The update archive ("UPQ1") and the updater's archive reader.
//
// Two layers: the archive library (upq_*), which opens an archive, loads its
// index lazily into 256 hash buckets, looks entries up by name and reads raw
// entry bytes; and UpqReader, the process's single reader, which XZ-decodes
// an entry into a new file or an open stream through two process-wide
// transfer buffers. Not thread-safe: used by the update thread only.
// The on-disk format and its constants: docs/upq-format.md, upq_format.h.
#ifndef VLM_UPDATER_FORMATS_UPQ_H_
#define VLM_UPDATER_FORMATS_UPQ_H_

#include <cstdint>
#include <cstdio>

struct UpqEntry {
  UpqEntry* next;  // next entry in the same bucket, in index order
  uint32_t offset;
  uint32_t length;
  uint32_t flags;  // the file's permission bits
  char name[1];    // NUL-terminated, allocated inline
};

struct UpqArchive {
  FILE* stream;
  UpqEntry* buckets[256];
  int index_loaded;
};

UpqArchive* upq_open(const char* path);
void upq_release(UpqArchive* archive);
int upq_load_index(UpqArchive* archive);
UpqEntry* upq_lookup(UpqArchive* archive, const char* name);
int upq_read_entry(UpqArchive* archive, const UpqEntry* entry, int32_t offset,
                   void* buffer, int32_t capacity);

class UpqReader {
 public:
  ~UpqReader() { Close(); }

  int Open(const char* path);
  void Close();
  int ExtractToPath(const char* name, const char* destination);
  int ExtractToStream(const char* name, FILE* stream);

 private:
  int DecodeEntryToStream(UpqEntry* entry, FILE* stream);

  UpqArchive* archive_ = nullptr;
};

// The one archive reader of the process.
extern UpqReader gArchiveReader;

#endif  // VLM_UPDATER_FORMATS_UPQ_H_
