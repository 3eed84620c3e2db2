// The update archive ("UPQ1") and the updater's archive reader.
//
// Two layers: the archive library (upq_*), which opens an archive, loads its
// index lazily into 256 hash buckets, looks entries up by name and reads raw
// entry bytes; and UpqReader, the process's single reader, which XZ-decodes
// an entry into a new file or an open stream through two process-wide
// transfer buffers. Not thread-safe: used by the update thread only.
// The on-disk format and its constants: docs/upq-format.md, upq_format.h.
//
// Hostile archives: every length read from the file is checked against the
// bytes that remain; a malformed index makes every lookup fail; an entry's XZ
// data is decoded only if it is a single .xz stream of LZMA2 (optionally after
// the x86 BCJ filter) with a dictionary of at most 64 MiB and the check none,
// CRC-32 or CRC-64. Anything else is reported as a result code, never a crash.
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

// Opens `path` for reading; the index is read on the first lookup. On failure
// writes "ERROR: could not open file in upq_open()" and perror(path) to
// stderr and returns null. Release the archive with upq_release.
UpqArchive* upq_open(const char* path);
void upq_release(UpqArchive* archive);

// Reads the index into the buckets: 0, or -1 when the magic, the index
// position or size, or any index entry is bad, or memory ran out. The
// index-loaded flag is set only on success.
int upq_load_index(UpqArchive* archive);

// The first entry (in index order) named exactly `name`, or null. Loads the
// index first if needed; a failed load is retried by the next lookup.
UpqEntry* upq_lookup(UpqArchive* archive, const char* name);

// Reads raw bytes of `entry`, `offset` bytes into it: up to `capacity` bytes,
// never past the entry's length. Returns the count read (short or 0 at the end
// of the file), 0 when `offset` equals the length, -1 when it is greater or
// the file cannot be positioned (or `capacity` is negative).
int upq_read_entry(UpqArchive* archive, const UpqEntry* entry, int32_t offset,
                   void* buffer, int32_t capacity);

// For tools that list an archive: reads the raw index (after the same checks
// as upq_load_index) into a malloc'ed buffer the caller frees. 0 or -1.
// Walk it with upq_walk_index (upq_format.h).
int upq_read_index(UpqArchive* archive, unsigned char** index, uint32_t* size);

// Reads the product-information block, if the archive has one: 1 and the two
// NUL-terminated texts, 0 when there is none (older layout, or no such block),
// -1 when the header sections are malformed.
int upq_read_product_info(UpqArchive* archive, char channel[64], char version[32]);

// The signatures section (docs/upq-format.md): where each signature's bytes
// lie in the file. Filled by upq_read_signatures.
struct UpqSignatureSlot {
  uint32_t algorithm;
  uint32_t length;
  uint64_t offset;  // of the signature bytes
};

struct UpqSignatureSection {
  uint32_t count;                  // at most kUpqMaxSignatures (8)
  UpqSignatureSlot slots[8];       // in file order, back to back
  uint64_t end;                    // first byte after the section
};

// Parses the signatures section: 1 when the archive has one (`count` may be
// 0), 0 for the older layout (entry data right after the 8-byte header: no
// section, unsigned), -1 when the index cannot be read or the section is
// malformed (a count above 8, or a field or a signature that runs past the
// index offset). Reads no signature bytes.
int upq_read_signatures(UpqArchive* archive, UpqSignatureSection* section);

// Streams every byte of the archive file, from offset 0 to the end of the
// file, except the signature bytes of `section`, in file order, into
// `consume` through `buffer`; this is what a signature covers. 0, or -1 when
// reading fails (errno says why) or the file ends inside a signature; a
// nonzero result of `consume` stops the walk and is returned.
using UpqByteSink = int (*)(void* context, const unsigned char* data, size_t size);
int upq_read_signed_bytes(UpqArchive* archive, const UpqSignatureSection* section,
                          UpqByteSink consume, void* context, unsigned char* buffer,
                          size_t buffer_size);

// The updater's archive reader. Results are updater codes: 0, 6 (cannot open,
// no such entry, unreadable entry), 7 (destination not created), 11 (no
// memory for the transfer buffers), 39 (XZ decoding failed), 40 (entry of
// length 0), 70 (writing the decoded bytes fell short). Each failure is logged
// once, naming the entry and, for decoding, what went wrong (corrupt data,
// truncated stream, unsupported feature, dictionary limit, I/O error) and
// where. Two outcomes are left to the caller to log: an archive that cannot
// be opened (upq_open reports it on stderr) and a name that is not in the
// archive (a lookup the manifest step makes as a matter of course).
class UpqReader {
 public:
  ~UpqReader() { Close(); }

  // Opens the archive (closing any open one first) and allocates the two
  // transfer buffers: 262144 bytes each, or 1024 bytes for the rest of the
  // process once a large allocation has failed.
  [[nodiscard]] int Open(const char* path);
  // Releases the archive and the buffers; harmless when nothing is open.
  void Close();
  // Decodes entry `name` into a new file at `destination`, created (or
  // truncated) with the entry's mode bits under the umask. A partly written
  // file stays behind on failure; the caller decides what to do with it.
  [[nodiscard]] int ExtractToPath(const char* name, const char* destination);
  // Decodes entry `name` into `stream` at its current position and flushes
  // it; the stream stays open and is not rewound.
  [[nodiscard]] int ExtractToStream(const char* name, FILE* stream);

  // The text of the last failure, for tools that report it on stderr (the
  // updater itself reads the log). Empty before the first failure.
  const char* LastError() const;

  // The open archive (null when none is open), for checks that must read the
  // very file that will be applied, through the same stream.
  UpqArchive* Archive() const { return archive_; }

 private:
  [[nodiscard]] int DecodeEntryToStream(UpqEntry* entry, FILE* stream);

  UpqArchive* archive_ = nullptr;
};

// The one archive reader of the process.
extern UpqReader gArchiveReader;

#endif  // VLM_UPDATER_FORMATS_UPQ_H_
