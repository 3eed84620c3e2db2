// Archive signatures through libcrypto: key files, the signed message,
// verification and signing.
#include "updater/formats/upq_signature.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

// Digest reads go through a buffer of this size.
constexpr size_t kDigestBufferSize = 256 * 1024;
constexpr char kPublicKeyPemName[] = "PUBLIC KEY";

__attribute__((format(printf, 3, 4))) void Say(char* why, size_t why_size,
                                               const char* format, ...) {
  if (!why || why_size == 0) {
    return;
  }
  va_list args;
  va_start(args, format);
  vsnprintf(why, why_size, format, args);
  va_end(args);
}

bool IsEd25519(EVP_PKEY* key) { return EVP_PKEY_is_a(key, "ED25519") == 1; }

// Reads the whole file (at most kUpqMaxKeyFileSize bytes) into a malloc'ed
// buffer. Returns the load result; errno is kept for kUpqKeysUnreadable.
UpqKeyLoad ReadKeyFile(const char* path, unsigned char** data, size_t* size, char* why,
                       size_t why_size) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int saved = errno;
    Say(why, why_size, "cannot open %s: %s", path, strerror(saved));
    errno = saved;
    return saved == ENOENT ? kUpqKeysAbsent : kUpqKeysUnreadable;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int saved = S_ISDIR(st.st_mode) ? EISDIR : errno;
    Say(why, why_size, "cannot read %s: %s", path, strerror(saved));
    close(fd);
    errno = saved;
    return kUpqKeysUnreadable;
  }
  unsigned char* buffer = static_cast<unsigned char*>(malloc(kUpqMaxKeyFileSize + 1));
  if (!buffer) {
    Say(why, why_size, "no memory to read %s", path);
    close(fd);
    errno = ENOMEM;
    return kUpqKeysUnreadable;
  }
  size_t filled = 0;
  while (filled <= kUpqMaxKeyFileSize) {
    ssize_t n = read(fd, buffer + filled, kUpqMaxKeyFileSize + 1 - filled);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      int saved = errno;
      Say(why, why_size, "cannot read %s: %s", path, strerror(saved));
      free(buffer);
      close(fd);
      errno = saved;
      return kUpqKeysUnreadable;
    }
    if (n == 0) {
      break;
    }
    filled += static_cast<size_t>(n);
  }
  close(fd);
  if (filled > kUpqMaxKeyFileSize) {
    Say(why, why_size, "%s is larger than %zu bytes", path, kUpqMaxKeyFileSize);
    free(buffer);
    return kUpqKeysMalformed;
  }
  *data = buffer;
  *size = filled;
  return kUpqKeysLoaded;
}

struct DigestSink {
  EVP_MD_CTX* context;
};

int AddToDigest(void* context, const unsigned char* data, size_t size) {
  return EVP_DigestUpdate(static_cast<DigestSink*>(context)->context, data, size) == 1 ? 0
                                                                                        : -2;
}

}  // namespace

bool upq_crypto_init() {
  // No configuration file: the updater reads no environment, and OPENSSL_CONF
  // would otherwise choose providers and settings for it.
  return OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
}

UpqKeyLoad upq_load_public_keys(const char* path, UpqKeySet* keys, char* why,
                                size_t why_size) {
  keys->count = 0;
  unsigned char* data;
  size_t size;
  UpqKeyLoad result = ReadKeyFile(path, &data, &size, why, why_size);
  if (result != kUpqKeysLoaded) {
    return result;
  }
  // libcrypto is first touched here: a missing key file costs nothing.
  if (!upq_crypto_init()) {
    free(data);
    Say(why, why_size, "libcrypto could not be initialised to parse %s", path);
    errno = 0;
    return kUpqKeysUnreadable;
  }
  BIO* bio = BIO_new_mem_buf(data, static_cast<int>(size));
  if (!bio) {
    free(data);
    Say(why, why_size, "no memory to parse %s", path);
    errno = ENOMEM;
    return kUpqKeysUnreadable;
  }
  // Every PEM block must be an Ed25519 public key; text between blocks is
  // ignored, as PEM readers do.
  ERR_clear_error();
  result = kUpqKeysLoaded;
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* der = nullptr;
    long der_size = 0;
    if (PEM_read_bio(bio, &name, &header, &der, &der_size) != 1) {
      unsigned long error = ERR_peek_last_error();
      bool at_end = ERR_GET_LIB(error) == ERR_LIB_PEM &&
                    ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
      if (!at_end) {
        Say(why, why_size, "%s: a PEM block is damaged (key %zu)", path, keys->count + 1);
        result = kUpqKeysMalformed;
      } else if (keys->count == 0) {
        Say(why, why_size, "%s holds no PEM public key", path);
        result = kUpqKeysMalformed;
      }
      ERR_clear_error();
      break;
    }
    EVP_PKEY* key = nullptr;
    bool named = strcmp(name, kPublicKeyPemName) == 0;
    if (named) {
      const unsigned char* p = der;
      key = d2i_PUBKEY(nullptr, &p, der_size);
      if (key && p != der + der_size) {
        EVP_PKEY_free(key);
        key = nullptr;
      }
    }
    if (!named) {
      Say(why, why_size, "%s: block %zu is a \"%s\", not a \"%s\"", path, keys->count + 1,
          name, kPublicKeyPemName);
    } else if (!key) {
      Say(why, why_size, "%s: key %zu is not a valid SubjectPublicKeyInfo", path,
          keys->count + 1);
    } else if (!IsEd25519(key)) {
      Say(why, why_size, "%s: key %zu is a %s key, not Ed25519", path, keys->count + 1,
          EVP_PKEY_get0_type_name(key) ? EVP_PKEY_get0_type_name(key) : "other");
      EVP_PKEY_free(key);
      key = nullptr;
    } else if (keys->count == kUpqMaxPublicKeys) {
      Say(why, why_size, "%s holds more than %zu keys", path, kUpqMaxPublicKeys);
      EVP_PKEY_free(key);
      key = nullptr;
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(der);
    if (!key) {
      ERR_clear_error();
      result = kUpqKeysMalformed;
      break;
    }
    keys->keys[keys->count++] = key;
  }
  BIO_free(bio);
  free(data);
  if (result != kUpqKeysLoaded) {
    upq_free_keys(keys);  // all or nothing
  }
  return result;
}

void upq_free_keys(UpqKeySet* keys) {
  for (size_t i = 0; i < keys->count; ++i) {
    EVP_PKEY_free(keys->keys[i]);
  }
  keys->count = 0;
}

EVP_PKEY* upq_load_private_key(const char* path, char* why, size_t why_size) {
  FILE* file = fopen(path, "rb");
  if (!file) {
    Say(why, why_size, "cannot open %s: %s", path, strerror(errno));
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  fclose(file);
  ERR_clear_error();
  if (!key) {
    Say(why, why_size, "%s: not a PEM private key", path);
    return nullptr;
  }
  if (!IsEd25519(key)) {
    Say(why, why_size, "%s: a %s key, not Ed25519", path,
        EVP_PKEY_get0_type_name(key) ? EVP_PKEY_get0_type_name(key) : "other");
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

bool upq_key_fingerprint(EVP_PKEY* key, char hex[65]) {
  hex[0] = '\0';
  unsigned char* der = nullptr;
  int size = i2d_PUBKEY(key, &der);
  if (size <= 0) {
    ERR_clear_error();
    return false;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  bool ok = EVP_Digest(der, static_cast<size_t>(size), digest, &digest_size, EVP_sha256(),
                       nullptr) == 1 &&
            digest_size == 32;
  OPENSSL_free(der);
  if (!ok) {
    ERR_clear_error();
    return false;
  }
  for (unsigned int i = 0; i < digest_size; ++i) {
    snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  }
  return true;
}

int upq_signed_message(UpqArchive* archive, const UpqSignatureSection* section,
                       unsigned char message[kUpqSignedMessageSize]) {
  unsigned char* buffer = static_cast<unsigned char*>(malloc(kDigestBufferSize));
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  int result = -2;
  if (buffer && context && EVP_DigestInit_ex(context, EVP_sha512(), nullptr) == 1) {
    DigestSink sink = {context};
    result = upq_read_signed_bytes(archive, section, AddToDigest, &sink, buffer,
                                   kDigestBufferSize);
    unsigned int size = 0;
    if (result == 0 &&
        (EVP_DigestFinal_ex(context, message + kUpqSignatureContextSize, &size) != 1 ||
         size != kUpqSignedDigestSize)) {
      result = -2;
    }
  }
  memcpy(message, kUpqSignatureContext, kUpqSignatureContextSize);
  EVP_MD_CTX_free(context);
  free(buffer);
  ERR_clear_error();
  return result;
}

int upq_read_signature(UpqArchive* archive, const UpqSignatureSlot& slot,
                       unsigned char* signature, size_t capacity) {
  if (slot.length > capacity ||
      fseeko(archive->stream, static_cast<off_t>(slot.offset), SEEK_SET) != 0) {
    return -1;
  }
  if (slot.length > 0 && fread(signature, 1, slot.length, archive->stream) != slot.length) {
    return -1;
  }
  return static_cast<int>(slot.length);
}

bool upq_signature_verifies(const unsigned char message[kUpqSignedMessageSize],
                            uint32_t algorithm, const unsigned char* signature,
                            size_t length, EVP_PKEY* key) {
  if (algorithm != kUpqSignatureEd25519 || length != kUpqEd25519SignatureSize) {
    return false;
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context &&
            EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
            EVP_DigestVerify(context, signature, length, message, kUpqSignedMessageSize) == 1;
  EVP_MD_CTX_free(context);
  ERR_clear_error();
  return ok;
}

UpqVerifyResult upq_verify_archive(UpqArchive* archive, const UpqKeySet* keys,
                                   uint32_t* count, size_t* slot, size_t* key) {
  *count = 0;
  UpqSignatureSection section;
  int parsed = upq_read_signatures(archive, &section);
  if (parsed < 0) {
    return kUpqSectionMalformed;
  }
  if (parsed == 0 || section.count == 0) {
    return kUpqNotSigned;
  }
  *count = section.count;
  unsigned char message[kUpqSignedMessageSize];
  errno = 0;
  if (int failed = upq_signed_message(archive, &section, message)) {
    return failed == -1 ? kUpqArchiveUnreadable : kUpqCryptoFailure;
  }
  for (uint32_t i = 0; i < section.count; ++i) {
    const UpqSignatureSlot& s = section.slots[i];
    if (s.algorithm != kUpqSignatureEd25519 || s.length != kUpqEd25519SignatureSize) {
      continue;  // an algorithm this reader does not know never verifies
    }
    unsigned char signature[kUpqEd25519SignatureSize];
    errno = 0;
    if (upq_read_signature(archive, s, signature, sizeof(signature)) < 0) {
      return kUpqArchiveUnreadable;
    }
    for (size_t k = 0; k < keys->count; ++k) {
      if (upq_signature_verifies(message, s.algorithm, signature, s.length, keys->keys[k])) {
        *slot = i;
        *key = k;
        return kUpqVerified;
      }
    }
  }
  return kUpqNoSignatureVerifies;
}

int upq_sign_stream(FILE* file, EVP_PKEY* const* keys, size_t count, char* why,
                    size_t why_size) {
  UpqArchive archive = {file, {}, 0};
  UpqSignatureSection section;
  if (upq_read_signatures(&archive, &section) != 1 || section.count != count) {
    Say(why, why_size, "the archive does not reserve %zu signatures", count);
    return -1;
  }
  for (uint32_t i = 0; i < section.count; ++i) {
    if (section.slots[i].algorithm != kUpqSignatureEd25519 ||
        section.slots[i].length != kUpqEd25519SignatureSize) {
      Say(why, why_size, "signature slot %u is not an Ed25519 slot", i + 1);
      return -1;
    }
  }
  unsigned char message[kUpqSignedMessageSize];
  errno = 0;
  if (int failed = upq_signed_message(&archive, &section, message)) {
    Say(why, why_size, "cannot digest the archive: %s",
        failed == -1 && errno ? strerror(errno) : "libcrypto failed");
    return -1;
  }
  for (size_t i = 0; i < count; ++i) {
    unsigned char signature[kUpqEd25519SignatureSize];
    size_t size = sizeof(signature);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context && IsEd25519(keys[i]) &&
              EVP_DigestSignInit(context, nullptr, nullptr, nullptr, keys[i]) == 1 &&
              EVP_DigestSign(context, signature, &size, message, sizeof(message)) == 1 &&
              size == sizeof(signature);
    EVP_MD_CTX_free(context);
    ERR_clear_error();
    if (!ok) {
      Say(why, why_size, "signing with key %zu failed", i + 1);
      return -1;
    }
    if (fseeko(file, static_cast<off_t>(section.slots[i].offset), SEEK_SET) != 0 ||
        fwrite(signature, 1, size, file) != size) {
      Say(why, why_size, "write error: %s", strerror(errno));
      return -1;
    }
  }
  if (fflush(file) != 0) {
    Say(why, why_size, "write error: %s", strerror(errno));
    return -1;
  }
  return 0;
}
