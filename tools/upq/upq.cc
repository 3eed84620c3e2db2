// upq: the publisher's tool for update archives. Creates an archive from
// files, lists it, and extracts it through the same reader the updater uses.
#include <dirent.h>
#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"
#include "updater/formats/upq_signature.h"
#include "updater/formats/upq_writer.h"

namespace {

const char kUsage[] =
    "Usage: upq -c ARCHIVE [-C DIR] [OPTIONS] FILE...\n"
    "       upq -c ARCHIVE [-C DIR] [OPTIONS] --list LIST [FILE...]\n"
    "       upq --encode OUTDIR [-C DIR] [OPTIONS] --list LIST\n"
    "       upq -t ARCHIVE [-v] [--keys KEYS.pem]\n"
    "       upq -t ARCHIVE --filters [--keys KEYS.pem]\n"
    "       upq -x ARCHIVE [-C DIR] [NAME...]\n"
    "       upq --verify KEYS.pem ARCHIVE\n"
    "\n"
    "  -c ARCHIVE   create ARCHIVE from FILEs (paths relative to DIR; a directory\n"
    "               adds every regular file below it). Entry names are the\n"
    "               relative paths, modes the files' permission bits.\n"
    "  -t ARCHIVE   list the entries: mode, stored size, name\n"
    "  -x ARCHIVE   extract the named entries, or all, below DIR\n"
    "  --encode OUTDIR\n"
    "               encode each entry of LIST into OUTDIR/NAME as the .xz stream\n"
    "               an archive would store, and print a line for each: stored\n"
    "               size, original size, number of the chosen encoding, name\n"
    "  -C DIR       directory to read files from or extract into (default .)\n"
    "  --verify KEYS.pem ARCHIVE\n"
    "               exit 0 only when a signature of ARCHIVE verifies with one of\n"
    "               the Ed25519 public keys of KEYS.pem; prints which key\n"
    "               (SHA-256 of its DER SubjectPublicKeyInfo)\n"
    "\n"
    "Create options:\n"
    "  --x86                 x86 BCJ filter before LZMA2 (for executables)\n"
    "  --check=CHECK         integrity check: none, crc32 or crc64 (default)\n"
    "  -0 ... -9             compression preset (default 6); -e for extreme\n"
    "                        (also -0e ... -9e)\n"
    "  --dict=BYTES|fit      LZMA2 dictionary (4096 to 67108864 bytes); fit:\n"
    "                        the preset's, cut to the smallest that holds the entry\n"
    "  --lc=N --lp=N --pb=N  LZMA2 literal context, literal position and position\n"
    "                        bits (0-4 each, lc + lp at most 4)\n"
    "  --stored              the files are .xz streams already: store them as they\n"
    "                        are, once the updater's decoder has read them whole\n"
    "  --list LIST           more entries, one a line: encodings, a tab, the name\n"
    "                        (relative to DIR). Encodings are separated by '|',\n"
    "                        each a space-separated list of the options above over\n"
    "                        those of the command line; every encoding is tried\n"
    "                        and the smallest stream kept. A line without a tab is\n"
    "                        a name with the command line's options.\n"
    "  -T N                  encoder threads (default 1, 0: one per processor)\n"
    "  --channel=NAME        write a product-information block with this\n"
    "  --product-version=V   channel name (63 bytes) and version (31 bytes)\n"
    "  --sign KEY.pem        sign with this Ed25519 private key (PEM); repeat\n"
    "                        for up to 8 signatures\n"
    "List options:\n"
    "  -v                    also decode every entry: decoded size, product info\n"
    "  --filters             also decode every entry, and show its filters after\n"
    "                        the decoded size: mode, stored, decoded, filters, name\n"
    "  --keys KEYS.pem       name the key that verifies each signature\n"
    "  --help                show this text\n";

int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("upq: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  return 1;
}

int Usage(const char* problem) {
  fprintf(stderr, "upq: %s (see upq --help)\n", problem);
  return 2;
}

// "a/./b//c/" -> "a/b/c"; false for absolute paths and ".." components.
bool Normalize(const std::string& path, std::string* out) {
  if (path.empty() || path[0] == '/') {
    return false;
  }
  out->clear();
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    if (!out->empty()) *out += '/';
    *out += part;
  }
  return true;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (name.empty()) return dir;
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// Collects the regular files at `name` (below `base`) in name order.
int Collect(const std::string& base, const std::string& name,
            std::vector<std::string>* names) {
  std::string path = Join(base, name);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    return Fail("%s: %s", path.c_str(), strerror(errno));
  }
  if (S_ISREG(st.st_mode)) {
    if (name.empty()) return Fail("%s: not a file below the directory", path.c_str());
    names->push_back(name);
    return 0;
  }
  if (S_ISLNK(st.st_mode)) {
    return Fail("%s: symbolic links cannot be stored in an archive", path.c_str());
  }
  if (!S_ISDIR(st.st_mode)) {
    return Fail("%s: not a regular file or directory", path.c_str());
  }
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    return Fail("%s: %s", path.c_str(), strerror(errno));
  }
  std::vector<std::string> children;
  errno = 0;
  while (dirent* d = readdir(dir)) {
    if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) {
      children.push_back(d->d_name);
    }
  }
  int saved = errno;
  closedir(dir);
  if (saved != 0) {
    return Fail("%s: %s", path.c_str(), strerror(saved));
  }
  std::sort(children.begin(), children.end());
  for (const std::string& child : children) {
    if (int r = Collect(base, name.empty() ? child : name + "/" + child, names)) return r;
  }
  return 0;
}

// One way to store an entry: encoder options over the preset, or the file as
// it is (an .xz stream already).
struct Encoding {
  UpqWriterOptions options;
  bool extreme = false;
  bool stored = false;

  UpqWriterOptions Resolved() const {
    UpqWriterOptions resolved = options;
    if (extreme) resolved.preset |= LZMA_PRESET_EXTREME;
    return resolved;
  }
};

bool ParseCheck(const char* text, lzma_check* check) {
  if (strcmp(text, "none") == 0) {
    *check = LZMA_CHECK_NONE;
  } else if (strcmp(text, "crc32") == 0) {
    *check = LZMA_CHECK_CRC32;
  } else if (strcmp(text, "crc64") == 0) {
    *check = LZMA_CHECK_CRC64;
  } else {
    return false;
  }
  return true;
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* value) {
  char* end;
  errno = 0;
  *value = strtoul(text, &end, 10);
  return *text >= '0' && *text <= '9' && !*end && errno == 0 && *value <= max;
}

enum OptionResult { kNotAnEncodingOption, kApplied, kBadValue };

// Applies `arg` to `encoding` when it is one of the encoding options; on a
// bad value, `why` says what the option takes.
OptionResult ApplyEncodingOption(const char* arg, Encoding* encoding, const char** why) {
  UpqWriterOptions& options = encoding->options;
  unsigned long n;
  if (strcmp(arg, "--x86") == 0) {
    options.x86_bcj = true;
  } else if (strncmp(arg, "--check=", 8) == 0) {
    *why = "--check takes none, crc32 or crc64";
    if (!ParseCheck(arg + 8, &options.check)) return kBadValue;
  } else if (strcmp(arg, "-e") == 0) {
    encoding->extreme = true;
  } else if (arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9' &&
             (arg[2] == '\0' || (arg[2] == 'e' && arg[3] == '\0'))) {
    options.preset = static_cast<uint32_t>(arg[1] - '0');
    if (arg[2] == 'e') encoding->extreme = true;
  } else if (strncmp(arg, "--dict=", 7) == 0) {
    *why = "--dict takes a size in bytes or 'fit'";
    if (strcmp(arg + 7, "fit") == 0) {
      options.fit_dictionary = true;
    } else if (ParseNumber(arg + 7, UINT32_MAX, &n)) {
      options.dict_size = static_cast<uint32_t>(n);
    } else {
      return kBadValue;
    }
  } else if (strncmp(arg, "--lc=", 5) == 0 || strncmp(arg, "--lp=", 5) == 0 ||
             strncmp(arg, "--pb=", 5) == 0) {
    *why = "--lc, --lp and --pb take 0 to 4";
    if (!ParseNumber(arg + 5, 4, &n)) return kBadValue;
    int& field = arg[3] == 'c' ? options.lc : arg[3] == 'p' ? options.lp : options.pb;
    field = static_cast<int>(n);
  } else if (strcmp(arg, "--stored") == 0) {
    encoding->stored = true;
  } else {
    return kNotAnEncodingOption;
  }
  return kApplied;
}

// An entry to write: its name (relative to the directory) and the encodings
// to try, in order.
struct Entry {
  std::string name;
  std::vector<Encoding> encodings;
};

// Reads a list file (see the usage) into `entries`; each encoding starts from
// `base`. One line on failure, naming the file and line.
int ReadList(const char* list, const std::string& dir, const Encoding& base,
             std::vector<Entry>* entries) {
  FILE* f = fopen(list, "rb");
  if (!f) return Fail("%s: %s", list, strerror(errno));
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
  bool failed = ferror(f);
  fclose(f);
  if (failed) return Fail("%s: read error", list);
  size_t line_number = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (line.empty()) continue;
    size_t tab = line.find('\t');
    std::string encodings_text = tab == std::string::npos ? "" : line.substr(0, tab);
    std::string path = tab == std::string::npos ? line : line.substr(tab + 1);
    std::vector<Encoding> encodings;
    size_t start = 0;
    do {
      size_t bar = encodings_text.find('|', start);
      if (bar == std::string::npos) bar = encodings_text.size();
      Encoding encoding = base;
      std::string alternative = encodings_text.substr(start, bar - start);
      start = bar + 1;
      for (size_t t = 0; t < alternative.size();) {
        size_t space = alternative.find(' ', t);
        if (space == std::string::npos) space = alternative.size();
        std::string token = alternative.substr(t, space - t);
        t = space + 1;
        if (token.empty()) continue;
        const char* why = "";
        OptionResult r = ApplyEncodingOption(token.c_str(), &encoding, &why);
        if (r == kNotAnEncodingOption) {
          return Fail("%s:%zu: %s is not an encoding option", list, line_number, token.c_str());
        }
        if (r == kBadValue) return Fail("%s:%zu: %s", list, line_number, why);
      }
      encodings.push_back(encoding);
    } while (start <= encodings_text.size());
    std::string name;
    if (!Normalize(path, &name)) {
      return Fail("%s:%zu: %s: names must be relative paths without '..'", list, line_number,
                  path.c_str());
    }
    std::vector<std::string> names;
    if (int r = Collect(dir, name, &names)) return r;
    for (const std::string& each : names) entries->push_back({each, encodings});
  }
  return 0;
}

// Encodes `source` with each of `encodings` into temporary files named after
// `destination`, keeps the smallest as `destination` and removes the others.
// Sets the chosen encoding's number (from 0) and the stored size.
int EncodeSmallest(const std::string& source, const std::string& destination,
                   const std::vector<Encoding>& encodings, size_t* chosen, uint64_t* size) {
  std::string best;
  uint64_t best_size = 0;
  for (size_t i = 0; i < encodings.size(); ++i) {
    std::string candidate = destination + ".upq-" + std::to_string(i);
    uint64_t encoded = 0;
    char why[1024];
    if (upq_xz_encode_file(source.c_str(), candidate.c_str(), encodings[i].Resolved(), &encoded,
                           why, sizeof(why)) != 0) {
      if (!best.empty()) unlink(best.c_str());
      return Fail("%s", why);
    }
    if (best.empty() || encoded < best_size) {
      if (!best.empty()) unlink(best.c_str());
      best = candidate;
      best_size = encoded;
      *chosen = i;
    } else {
      unlink(candidate.c_str());
    }
  }
  if (rename(best.c_str(), destination.c_str()) != 0) {
    int saved = errno;
    unlink(best.c_str());
    return Fail("%s: %s", destination.c_str(), strerror(saved));
  }
  *size = best_size;
  return 0;
}

// The writer's signing step: the keys in command-line order.
int SignArchive(void* context, FILE* file, char* error, size_t error_size) {
  const auto* keys = static_cast<const std::vector<EVP_PKEY*>*>(context);
  return upq_sign_stream(file, keys->data(), keys->size(), error, error_size);
}

// Writes `entry`: one plain encoding goes straight into the archive; stored
// streams are checked and copied; with a choice, each encoding is written to
// a temporary file beside the archive and the smallest is stored. Returns 0,
// -1 when the writer failed, or 1 when the failure is already reported.
int AddEntry(UpqWriter* writer, const char* archive, const std::string& dir, const Entry& entry) {
  std::string path = Join(dir, entry.name);
  if (entry.encodings.size() == 1) {
    const Encoding& only = entry.encodings[0];
    if (only.stored) return upq_writer_add_stored(writer, entry.name.c_str(), path.c_str());
    return upq_writer_add_file_encoded(writer, entry.name.c_str(), path.c_str(), only.Resolved());
  }
  for (const Encoding& encoding : entry.encodings) {
    if (encoding.stored) {
      return Fail("%s: --stored cannot be one of several encodings", entry.name.c_str());
    }
  }
  std::string scratch = std::string(archive) + ".entry-" + std::to_string(getpid());
  size_t chosen = 0;
  uint64_t size = 0;
  if (int r = EncodeSmallest(path, scratch, entry.encodings, &chosen, &size)) return r;
  int result = upq_writer_add_stored(writer, entry.name.c_str(), scratch.c_str());
  unlink(scratch.c_str());
  return result;
}

int Create(const char* archive, const std::string& dir, const std::vector<std::string>& files,
           const Encoding& encoding, UpqWriterOptions options, const char* list,
           const std::vector<std::string>& key_files) {
  if (files.empty() && !list) {
    return Usage("no files to put into the archive");
  }
  std::vector<EVP_PKEY*> keys;
  struct KeysGuard {
    std::vector<EVP_PKEY*>* keys;
    ~KeysGuard() {
      for (EVP_PKEY* key : *keys) EVP_PKEY_free(key);
    }
  } guard{&keys};
  if (!key_files.empty()) {
    if (!upq_crypto_init()) return Fail("libcrypto could not be initialised");
    for (const std::string& file : key_files) {
      char why[512];
      EVP_PKEY* key = upq_load_private_key(file.c_str(), why, sizeof(why));
      if (!key) return Fail("%s", why);
      keys.push_back(key);
    }
    options.signature_count = static_cast<uint32_t>(keys.size());
    options.sign = SignArchive;
    options.sign_context = &keys;
  }
  std::vector<Entry> entries;
  for (const std::string& file : files) {
    std::string name;
    if (!Normalize(file, &name)) {
      return Fail("%s: names must be relative paths without '..'", file.c_str());
    }
    std::vector<std::string> names;
    if (int r = Collect(dir, name, &names)) return r;
    for (const std::string& each : names) entries.push_back({each, {encoding}});
  }
  if (list) {
    if (int r = ReadList(list, dir, encoding, &entries)) return r;
    if (entries.empty()) return Fail("%s: no entries", list);
  }
  UpqWriter* writer = upq_writer_open(archive, options);
  if (!writer) {
    return Fail("out of memory");
  }
  int result = 0;
  for (const Entry& entry : entries) {
    int r = AddEntry(writer, archive, dir, entry);
    if (r > 0) {  // already reported
      upq_writer_free(writer);
      return 1;
    }
    if (r != 0) {
      result = 1;
      break;
    }
  }
  if (result == 0 && upq_writer_finish(writer) != 0) {
    result = 1;
  }
  if (result != 0) {
    Fail("%s: %s", archive, upq_writer_error(writer));
  }
  upq_writer_free(writer);
  return result;
}

struct IndexItem {
  uint32_t offset, length, mode;
  std::string name;
};

int AppendItem(void* context, uint32_t offset, uint32_t length, uint32_t flags,
               const char* name, size_t name_length) {
  static_cast<std::vector<IndexItem>*>(context)->push_back(
      {offset, length, flags, std::string(name, name_length)});
  return 0;
}

// Opens the archive for the reader and reads its index in order. One clear
// line on failure (upq_open's own two lines are avoided by checking first).
int OpenArchive(const char* archive, std::vector<IndexItem>* items) {
  FILE* probe = fopen(archive, "rb");
  if (!probe) {
    return Fail("%s: %s", archive, strerror(errno));
  }
  fclose(probe);
  if (gArchiveReader.Open(archive) != 0) {
    return Fail("%s: %s", archive, gArchiveReader.LastError());
  }
  UpqArchive* a = upq_open(archive);
  if (!a) {
    return Fail("%s: cannot open", archive);
  }
  unsigned char* index;
  uint32_t size;
  int result = upq_read_index(a, &index, &size);
  upq_release(a);
  if (result != 0) {
    return Fail("%s: not an update archive, or its index is damaged", archive);
  }
  result = upq_walk_index(index, size, AppendItem, items);
  free(index);
  if (result != 0) {
    return Fail("%s: the archive index is damaged", archive);
  }
  return 0;
}

// A stream that counts and drops what is written to it.
FILE* CountingStream(unsigned long long* count) {
  cookie_io_functions_t io = {};
  io.write = [](void* cookie, const char*, size_t size) -> ssize_t {
    *static_cast<unsigned long long*>(cookie) += size;
    return static_cast<ssize_t>(size);
  };
  return fopencookie(count, "wb", io);
}

// Loads the public keys of `path` for --verify and --keys; one line on failure.
int LoadKeys(const char* path, UpqKeySet* keys) {
  char why[512] = {};
  if (upq_load_public_keys(path, keys, why, sizeof(why)) != kUpqKeysLoaded) {
    upq_free_keys(keys);
    return Fail("%s", why);
  }
  return 0;
}

// One line per signature of a signed archive: its number, algorithm and
// length, and with `keys` the key that verifies it. Archives without
// signatures print nothing, so their listing is as it always was.
int ListSignatures(const char* archive, const char* key_file) {
  UpqKeySet keys = {};
  if (key_file && LoadKeys(key_file, &keys) != 0) return 1;
  struct KeysGuard {
    UpqKeySet* keys;
    ~KeysGuard() { upq_free_keys(keys); }
  } guard{&keys};
  UpqArchive* a = upq_open(archive);
  if (!a) return Fail("%s: cannot open", archive);
  UpqSignatureSection section;
  int parsed = upq_read_signatures(a, &section);
  if (parsed < 0 && key_file) {
    upq_release(a);
    return Fail("%s: the signatures section is malformed", archive);
  }
  if (parsed <= 0 || section.count == 0) {
    upq_release(a);
    return 0;
  }
  unsigned char message[kUpqSignedMessageSize];
  if (key_file && upq_signed_message(a, &section, message) != 0) {
    upq_release(a);
    return Fail("%s: cannot read the archive to verify it", archive);
  }
  for (uint32_t i = 0; i < section.count; ++i) {
    const UpqSignatureSlot& slot = section.slots[i];
    printf("signature %u: algorithm %u%s, %u bytes", i + 1, slot.algorithm,
           slot.algorithm == kUpqSignatureEd25519 ? " (ed25519)" : "", slot.length);
    if (key_file) {
      unsigned char signature[kUpqEd25519SignatureSize];
      int length = upq_read_signature(a, slot, signature, sizeof(signature));
      const char* verdict = ", verified by none of the keys";
      char fingerprint[65];
      for (size_t k = 0; length >= 0 && k < keys.count; ++k) {
        if (upq_signature_verifies(message, slot.algorithm, signature,
                                   static_cast<size_t>(length), keys.keys[k]) &&
            upq_key_fingerprint(keys.keys[k], fingerprint)) {
          verdict = nullptr;
          printf(", key sha256:%s", fingerprint);
          break;
        }
      }
      if (verdict) fputs(verdict, stdout);
    }
    putchar('\n');
  }
  upq_release(a);
  return 0;
}

int Verify(const char* key_file, const char* archive) {
  UpqKeySet keys = {};
  if (LoadKeys(key_file, &keys) != 0) return 1;
  struct KeysGuard {
    UpqKeySet* keys;
    ~KeysGuard() { upq_free_keys(keys); }
  } guard{&keys};
  FILE* probe = fopen(archive, "rb");
  if (!probe) return Fail("%s: %s", archive, strerror(errno));
  fclose(probe);
  UpqArchive* a = upq_open(archive);
  if (!a) return Fail("%s: cannot open", archive);
  uint32_t count = 0;
  size_t slot = 0, key = 0;
  errno = 0;
  UpqVerifyResult result = upq_verify_archive(a, &keys, &count, &slot, &key);
  int err = errno;
  upq_release(a);
  switch (result) {
    case kUpqVerified: {
      char fingerprint[65];
      upq_key_fingerprint(keys.keys[key], fingerprint);
      printf("%s: signature %zu of %u verified with key sha256:%s\n", archive, slot + 1, count,
             fingerprint);
      if (fflush(stdout) != 0) return Fail("writing the result: %s", strerror(errno));
      return 0;
    }
    case kUpqNotSigned:
      return Fail("%s: the archive is not signed", archive);
    case kUpqSectionMalformed:
      return Fail("%s: not an update archive, or its signatures section is malformed", archive);
    case kUpqArchiveUnreadable:
      return Fail("%s: cannot read the archive: %s", archive,
                  err ? strerror(err) : "it ends early");
    case kUpqNoSignatureVerifies:
      return Fail("%s: none of %u signatures verifies with the keys of %s", archive, count,
                  key_file);
    case kUpqCryptoFailure:
      break;
  }
  return Fail("%s: libcrypto could not digest the archive", archive);
}

// "4096", "64KiB", "3MiB": a size in the largest unit that divides it.
std::string SizeText(uint32_t size) {
  if (size >= (1u << 20) && size % (1u << 20) == 0) return std::to_string(size >> 20) + "MiB";
  if (size >= 1024 && size % 1024 == 0) return std::to_string(size >> 10) + "KiB";
  return std::to_string(size);
}

// lc, lp and pb from the first LZMA2 chunk of a block's data, when that chunk
// is an LZMA chunk that sets them (control byte 0xC0 or above: control, two
// sizes of two bytes, then the properties byte (pb * 5 + lp) * 9 + lc).
std::string Lzma2Properties(const uint8_t* data, size_t size) {
  if (size < 6 || data[0] < 0xC0 || data[5] >= 9 * 5 * 5) return "";
  unsigned props = data[5];
  return ",lc=" + std::to_string(props % 9) + ",lp=" + std::to_string(props / 9 % 5) +
         ",pb=" + std::to_string(props / 45);
}

// The filter chain and check of the entry's first block, as one word such as
// "x86,lzma2(dict=8MiB,lc=3,lp=0,pb=2),crc64" (lc/lp/pb are left out when
// the block starts with uncompressed data); "?" when its headers cannot be
// read (the decoding pass reports why).
std::string FilterText(const char* archive, const IndexItem& item) {
  uint8_t head[LZMA_STREAM_HEADER_SIZE + LZMA_BLOCK_HEADER_SIZE_MAX + 6];
  size_t want = std::min<size_t>(sizeof(head), item.length);
  FILE* f = fopen(archive, "rb");
  if (!f) return "?";
  bool read = fseeko(f, item.offset, SEEK_SET) == 0 && fread(head, 1, want, f) == want;
  fclose(f);
  lzma_stream_flags flags;
  if (!read || want <= LZMA_STREAM_HEADER_SIZE ||
      lzma_stream_header_decode(&flags, head) != LZMA_OK) {
    return "?";
  }
  lzma_filter chain[LZMA_FILTERS_MAX + 1];
  lzma_block block;
  memset(&block, 0, sizeof(block));
  block.version = 0;
  block.check = flags.check;
  block.filters = chain;
  block.header_size = lzma_block_header_size_decode(head[LZMA_STREAM_HEADER_SIZE]);
  if (head[LZMA_STREAM_HEADER_SIZE] == 0 || LZMA_STREAM_HEADER_SIZE + block.header_size > want ||
      lzma_block_header_decode(&block, nullptr, head + LZMA_STREAM_HEADER_SIZE) != LZMA_OK) {
    return "?";
  }
  std::string text;
  for (size_t i = 0; chain[i].id != LZMA_VLI_UNKNOWN; ++i) {
    if (!text.empty()) text += ',';
    if (chain[i].id == LZMA_FILTER_X86) {
      text += "x86";
    } else if (chain[i].id == LZMA_FILTER_LZMA2) {
      const auto* o = static_cast<const lzma_options_lzma*>(chain[i].options);
      size_t data = LZMA_STREAM_HEADER_SIZE + block.header_size;
      text += "lzma2(dict=" + SizeText(o->dict_size) +
              Lzma2Properties(head + data, want - data) + ")";
    } else {
      text += "filter" + std::to_string(chain[i].id);
    }
    free(chain[i].options);
  }
  switch (flags.check) {
    case LZMA_CHECK_NONE:
      return text + ",none";
    case LZMA_CHECK_CRC32:
      return text + ",crc32";
    case LZMA_CHECK_CRC64:
      return text + ",crc64";
    default:
      return text + ",check" + std::to_string(flags.check);
  }
}

int List(const char* archive, bool verbose, bool filters, const char* key_file) {
  std::vector<IndexItem> items;
  if (int r = OpenArchive(archive, &items)) return r;
  if (int r = ListSignatures(archive, key_file)) return r;
  if (verbose) {
    UpqArchive* a = upq_open(archive);
    char channel[64], version[32];
    int info = a ? upq_read_product_info(a, channel, version) : -1;
    if (a) upq_release(a);
    if (info == 1) {
      printf("product: channel %s, version %s\n", channel, version);
    } else if (info < 0) {
      return Fail("%s: the header sections are damaged", archive);
    }
  }
  for (const IndexItem& item : items) {
    if (!verbose && !filters) {
      printf("%04o %12u %s\n", item.mode & 07777, item.length, item.name.c_str());
      continue;
    }
    unsigned long long decoded = 0;
    FILE* counter = CountingStream(&decoded);
    int result = gArchiveReader.ExtractToStream(item.name.c_str(), counter);
    fclose(counter);
    if (result != 0) {
      return Fail("%s: %s", item.name.c_str(), gArchiveReader.LastError());
    }
    if (filters) {
      printf("%04o %12u %12llu %s %s\n", item.mode & 07777, item.length, decoded,
             FilterText(archive, item).c_str(), item.name.c_str());
    } else {
      printf("%04o %12u %12llu %s\n", item.mode & 07777, item.length, decoded,
             item.name.c_str());
    }
  }
  if (fflush(stdout) != 0) {
    return Fail("writing the listing: %s", strerror(errno));
  }
  return 0;
}

// mkdir -p `path`.
int MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      return Fail("%s: %s", dir.c_str(), strerror(errno));
    }
    if (slash == std::string::npos) return 0;
  }
}

// mkdir -p for the directories above `name` (relative, below `base`).
int MakeParents(const std::string& base, const std::string& name) {
  for (size_t slash = name.find('/'); slash != std::string::npos;
       slash = name.find('/', slash + 1)) {
    std::string dir = Join(base, name.substr(0, slash));
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      return Fail("%s: %s", dir.c_str(), strerror(errno));
    }
  }
  return 0;
}

int Extract(const char* archive, const std::string& dir, const std::vector<std::string>& wanted) {
  std::vector<IndexItem> items;
  if (int r = OpenArchive(archive, &items)) return r;
  std::vector<std::string> names;
  if (wanted.empty()) {
    // Every name once: a later duplicate is shadowed by the first.
    std::set<std::string> seen;
    for (const IndexItem& item : items) {
      if (seen.insert(item.name).second) names.push_back(item.name);
    }
  } else {
    names = wanted;
  }
  if (int r = MakeDirs(dir)) return r;
  std::set<std::string> present;
  for (const IndexItem& item : items) present.insert(item.name);
  int status = 0;
  for (const std::string& name : names) {
    if (!present.count(name)) {
      status = Fail("%s: not in the archive", name.c_str());
      continue;
    }
    if (!upq_is_safe_name(name.c_str())) {
      status = Fail("%s: refusing to extract an absolute or '..' name", name.c_str());
      continue;
    }
    if (MakeParents(dir, name) != 0) {
      status = 1;
      continue;
    }
    std::string path = Join(dir, name);
    // Replace rather than write through whatever is there (a link, say).
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && unlink(path.c_str()) != 0) {
      status = Fail("%s: %s", path.c_str(), strerror(errno));
      continue;
    }
    if (gArchiveReader.ExtractToPath(name.c_str(), path.c_str()) != 0) {
      status = Fail("%s: %s", name.c_str(), gArchiveReader.LastError());
    }
  }
  return status;
}

// --encode: each entry of the list into OUTDIR/NAME, the smallest of its
// encodings, and a line on stdout for each.
int EncodeEntries(const char* out_dir, const std::string& dir, const Encoding& encoding,
                  const char* list) {
  if (!list) return Usage("--encode needs --list");
  std::vector<Entry> entries;
  if (int r = ReadList(list, dir, encoding, &entries)) return r;
  if (int r = MakeDirs(out_dir)) return r;
  for (const Entry& entry : entries) {
    for (const Encoding& each : entry.encodings) {
      if (each.stored) return Usage("--stored goes with -c");
    }
    if (int r = MakeParents(out_dir, entry.name)) return r;
    std::string source = Join(dir, entry.name);
    struct stat st;
    if (stat(source.c_str(), &st) != 0) return Fail("%s: %s", source.c_str(), strerror(errno));
    size_t chosen = 0;
    uint64_t size = 0;
    if (int r = EncodeSmallest(source, Join(out_dir, entry.name), entry.encodings, &chosen, &size)) {
      return r;
    }
    printf("%llu %llu %zu %s\n", static_cast<unsigned long long>(size),
           static_cast<unsigned long long>(st.st_size), chosen + 1, entry.name.c_str());
  }
  if (fflush(stdout) != 0) return Fail("writing the sizes: %s", strerror(errno));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  char mode = 0;
  const char* archive = nullptr;
  std::string dir = ".";
  bool verbose = false;
  bool filters = false;
  Encoding encoding;
  UpqWriterOptions options;
  const char* list = nullptr;
  std::vector<std::string> sign_keys;
  const char* key_file = nullptr;
  std::vector<std::string> operands;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_done || arg[0] != '-' || arg[1] == '\0') {
      operands.push_back(arg);
      continue;
    }
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (strcmp(arg, "--") == 0) {
      options_done = true;
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (strcmp(arg, "-c") == 0 || strcmp(arg, "-t") == 0 || strcmp(arg, "-x") == 0 ||
               strcmp(arg, "--encode") == 0) {
      if (mode == 'V') return Usage("--verify goes alone");
      if (mode) return Usage("only one of -c, -t and -x");
      mode = arg[1] == '-' ? 'E' : arg[1];
      archive = value();
      if (!archive) return Usage(mode == 'E' ? "missing directory after --encode"
                                             : "missing archive name");
    } else if (strcmp(arg, "--list") == 0) {
      list = value();
      if (!list) return Usage("missing list file after --list");
    } else if (strcmp(arg, "--filters") == 0) {
      filters = true;
    } else if (strcmp(arg, "--verify") == 0) {
      if (mode) return Usage("--verify goes alone");
      mode = 'V';
      key_file = value();
      if (!key_file) return Usage("missing key file after --verify");
    } else if (strcmp(arg, "--sign") == 0) {
      const char* key = value();
      if (!key) return Usage("missing key file after --sign");
      if (sign_keys.size() == kUpqMaxSignatures) return Usage("at most 8 --sign keys");
      sign_keys.push_back(key);
    } else if (strcmp(arg, "--keys") == 0) {
      key_file = value();
      if (!key_file) return Usage("missing key file after --keys");
    } else if (strcmp(arg, "-C") == 0) {
      const char* d = value();
      if (!d) return Usage("missing directory after -C");
      dir = d;
    } else if (strcmp(arg, "-T") == 0) {
      const char* n = value();
      char* end;
      unsigned long threads = n ? strtoul(n, &end, 10) : 0;
      if (!n || !*n || *end || threads > 1024) return Usage("-T takes a thread count");
      encoding.options.threads = static_cast<uint32_t>(threads);
    } else if (strcmp(arg, "-v") == 0) {
      verbose = true;
    } else if (const char* why = nullptr;
               OptionResult r = ApplyEncodingOption(arg, &encoding, &why)) {
      if (r == kBadValue) return Usage(why);
    } else if (strncmp(arg, "--channel=", 10) == 0) {
      options.channel = arg + 10;
    } else if (strncmp(arg, "--product-version=", 18) == 0) {
      options.version = arg + 18;
    } else {
      fprintf(stderr, "upq: unknown option %s (see upq --help)\n", arg);
      return 2;
    }
  }
  {
    // The header's fields stay; the encoding's are the command line's.
    UpqWriterOptions resolved = encoding.Resolved();
    resolved.channel = options.channel;
    resolved.version = options.version;
    options = resolved;
  }
  if (!sign_keys.empty() && mode != 'c') return Usage("--sign goes with -c");
  if (list && mode != 'c' && mode != 'E') return Usage("--list goes with -c or --encode");
  if (key_file && mode != 't' && mode != 'V') return Usage("--keys goes with -t");
  switch (mode) {
    case 'c':
      return Create(archive, dir, operands, encoding, options, list, sign_keys);
    case 'E':
      if (!operands.empty()) return Usage("--encode takes its entries from --list");
      return EncodeEntries(archive, dir, encoding, list);
    case 't':
      if (!operands.empty()) return Usage("-t takes no names");
      return List(archive, verbose, filters, key_file);
    case 'V':
      if (operands.size() != 1) return Usage("--verify takes one archive");
      return Verify(key_file, operands[0].c_str());
    case 'x':
      return Extract(archive, dir, operands);
    default:
      return Usage("one of -c, -t or -x is needed");
  }
}
