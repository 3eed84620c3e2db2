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
    "       upq -t ARCHIVE [-v] [--keys KEYS.pem]\n"
    "       upq -x ARCHIVE [-C DIR] [NAME...]\n"
    "       upq --verify KEYS.pem ARCHIVE\n"
    "\n"
    "  -c ARCHIVE   create ARCHIVE from FILEs (paths relative to DIR; a directory\n"
    "               adds every regular file below it). Entry names are the\n"
    "               relative paths, modes the files' permission bits.\n"
    "  -t ARCHIVE   list the entries: mode, stored size, name\n"
    "  -x ARCHIVE   extract the named entries, or all, below DIR\n"
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
    "  -T N                  encoder threads (default 1, 0: one per processor)\n"
    "  --channel=NAME        write a product-information block with this\n"
    "  --product-version=V   channel name (63 bytes) and version (31 bytes)\n"
    "  --sign KEY.pem        sign with this Ed25519 private key (PEM); repeat\n"
    "                        for up to 8 signatures\n"
    "List options:\n"
    "  -v                    also decode every entry: decoded size, product info\n"
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

// The writer's signing step: the keys in command-line order.
int SignArchive(void* context, FILE* file, char* error, size_t error_size) {
  const auto* keys = static_cast<const std::vector<EVP_PKEY*>*>(context);
  return upq_sign_stream(file, keys->data(), keys->size(), error, error_size);
}

int Create(const char* archive, const std::string& dir, const std::vector<std::string>& files,
           UpqWriterOptions options, const std::vector<std::string>& key_files) {
  if (files.empty()) {
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
  std::vector<std::string> names;
  for (const std::string& file : files) {
    std::string name;
    if (!Normalize(file, &name)) {
      return Fail("%s: names must be relative paths without '..'", file.c_str());
    }
    if (int r = Collect(dir, name, &names)) return r;
  }
  UpqWriter* writer = upq_writer_open(archive, options);
  if (!writer) {
    return Fail("out of memory");
  }
  int result = 0;
  for (const std::string& name : names) {
    if (upq_writer_add_file(writer, name.c_str(), Join(dir, name).c_str()) != 0) {
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

int List(const char* archive, bool verbose, const char* key_file) {
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
    if (!verbose) {
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
    printf("%04o %12u %12llu %s\n", item.mode & 07777, item.length, decoded,
           item.name.c_str());
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

}  // namespace

int main(int argc, char** argv) {
  char mode = 0;
  const char* archive = nullptr;
  std::string dir = ".";
  bool verbose = false;
  bool extreme = false;
  UpqWriterOptions options;
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
    } else if (strcmp(arg, "-c") == 0 || strcmp(arg, "-t") == 0 || strcmp(arg, "-x") == 0) {
      if (mode == 'V') return Usage("--verify goes alone");
      if (mode) return Usage("only one of -c, -t and -x");
      mode = arg[1];
      archive = value();
      if (!archive) return Usage("missing archive name");
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
      options.threads = static_cast<uint32_t>(threads);
    } else if (strcmp(arg, "-v") == 0) {
      verbose = true;
    } else if (strcmp(arg, "--x86") == 0) {
      options.x86_bcj = true;
    } else if (strncmp(arg, "--check=", 8) == 0) {
      if (!ParseCheck(arg + 8, &options.check)) {
        return Usage("--check takes none, crc32 or crc64");
      }
    } else if (strncmp(arg, "--channel=", 10) == 0) {
      options.channel = arg + 10;
    } else if (strncmp(arg, "--product-version=", 18) == 0) {
      options.version = arg + 18;
    } else if (strcmp(arg, "-e") == 0) {
      extreme = true;
    } else if (arg[1] >= '0' && arg[1] <= '9' && arg[2] == '\0') {
      options.preset = static_cast<uint32_t>(arg[1] - '0');
    } else {
      fprintf(stderr, "upq: unknown option %s (see upq --help)\n", arg);
      return 2;
    }
  }
  if (extreme) {
    options.preset |= LZMA_PRESET_EXTREME;
  }
  if (!sign_keys.empty() && mode != 'c') return Usage("--sign goes with -c");
  if (key_file && mode != 't' && mode != 'V') return Usage("--keys goes with -t");
  switch (mode) {
    case 'c':
      return Create(archive, dir, operands, options, sign_keys);
    case 't':
      if (!operands.empty()) return Usage("-t takes no names");
      return List(archive, verbose, key_file);
    case 'V':
      if (operands.size() != 1) return Usage("--verify takes one archive");
      return Verify(key_file, operands[0].c_str());
    case 'x':
      return Extract(archive, dir, operands);
    default:
      return Usage("one of -c, -t or -x is needed");
  }
}
