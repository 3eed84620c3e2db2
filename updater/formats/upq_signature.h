// Ed25519 signatures of update archives, through OpenSSL's libcrypto (EVP).
//
// A signature signs the message of docs/upq-format.md: a fixed context string
// and the SHA-512 digest of every archive byte except the signature bytes.
// The digest is streamed through the archive's own open stream, so the bytes
// that are verified are the bytes the reader goes on to apply.
//
// Keys: public keys come from a file of one or more PEM "PUBLIC KEY" blocks
// (SubjectPublicKeyInfo), each of which must be an Ed25519 key; private keys
// from a PEM private key (what `openssl genpkey -algorithm ed25519` writes).
// A key is named by its fingerprint: SHA-256 of its DER SubjectPublicKeyInfo,
// in lowercase hex.
//
// Call upq_crypto_init once before anything else here: it initialises
// libcrypto without reading a configuration file (and so without reading
// OPENSSL_CONF). Not thread-safe; the functions allocate, and every failure
// is a result value with a one-line reason, never a crash.
#ifndef VLM_UPDATER_FORMATS_UPQ_SIGNATURE_H_
#define VLM_UPDATER_FORMATS_UPQ_SIGNATURE_H_

#include <openssl/types.h>

#include <cstddef>
#include <cstdio>

#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"

// False when libcrypto could not be initialised.
bool upq_crypto_init();

// The most keys a key file may hold.
constexpr size_t kUpqMaxPublicKeys = 64;
// A key file larger than this is malformed (it is read whole).
constexpr size_t kUpqMaxKeyFileSize = 1 << 20;

struct UpqKeySet {
  EVP_PKEY* keys[kUpqMaxPublicKeys];
  size_t count;
};

enum UpqKeyLoad {
  kUpqKeysLoaded = 0,
  kUpqKeysAbsent,      // the file does not exist (ENOENT), nothing loaded
  kUpqKeysUnreadable,  // opening or reading failed; errno says why
  kUpqKeysMalformed,   // empty, not PEM, a block that is not an Ed25519 public key, ...
};

// Loads every public key of the PEM file at `path` into `keys`, all or
// nothing (release them with upq_free_keys; harmless after a failure). On any result but
// kUpqKeysLoaded, `why` holds the reason (for kUpqKeysUnreadable, with errno
// still set to the cause). libcrypto is initialised (upq_crypto_init) only
// once the file has been read: a missing file leaves it untouched.
UpqKeyLoad upq_load_public_keys(const char* path, UpqKeySet* keys, char* why,
                                size_t why_size);
void upq_free_keys(UpqKeySet* keys);

// Loads an Ed25519 private key from a PEM file: the key, or null with the
// reason in `why`. Release it with EVP_PKEY_free.
EVP_PKEY* upq_load_private_key(const char* path, char* why, size_t why_size);

// The SHA-256 fingerprint of `key`'s DER SubjectPublicKeyInfo in lowercase
// hex; false (and an empty text) when the key cannot be encoded.
bool upq_key_fingerprint(EVP_PKEY* key, char hex[65]);

// Computes the signed message of the archive for its parsed `section`:
// 0, -1 when reading fails (errno, or 0 when the file ended early) or -2 when
// the digest cannot be computed (libcrypto or memory).
int upq_signed_message(UpqArchive* archive, const UpqSignatureSection* section,
                       unsigned char message[kUpqSignedMessageSize]);

// Reads the bytes of signature `slot` (at most 64 are kept): its length, or
// -1 when it cannot be read or is longer than `capacity`.
int upq_read_signature(UpqArchive* archive, const UpqSignatureSlot& slot,
                       unsigned char* signature, size_t capacity);

// True when `signature` is a valid Ed25519 signature of `message` by `key`
// (an algorithm other than Ed25519 never verifies).
bool upq_signature_verifies(const unsigned char message[kUpqSignedMessageSize],
                            uint32_t algorithm, const unsigned char* signature,
                            size_t length, EVP_PKEY* key);

enum UpqVerifyResult {
  kUpqVerified = 0,
  kUpqNotSigned,          // older layout, or a section with no signatures
  kUpqSectionMalformed,   // upq_read_signatures failed
  kUpqArchiveUnreadable,  // reading the covered bytes or a signature failed (errno)
  kUpqNoSignatureVerifies,
  kUpqCryptoFailure,      // the digest could not be computed
};

// Verifies the archive against `keys`: kUpqVerified when at least one
// signature verifies with at least one key; then *slot and *key name the
// first such pair (in section order, then key order). *count receives the
// number of signatures (0 before the section was parsed).
UpqVerifyResult upq_verify_archive(UpqArchive* archive, const UpqKeySet* keys,
                                   uint32_t* count, size_t* slot, size_t* key);

// Signs a complete archive in place: `file` is open for reading and writing
// and its header reserves exactly `count` Ed25519 slots (identifier 1,
// 64 bytes each), which receive the signatures of `keys` in order. 0, or -1
// with the reason in `why`. Leaves the file position unspecified.
int upq_sign_stream(FILE* file, EVP_PKEY* const* keys, size_t count, char* why,
                    size_t why_size);

#endif  // VLM_UPDATER_FORMATS_UPQ_SIGNATURE_H_
