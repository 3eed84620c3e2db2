// The signature check of a normal or staged update, between opening the
// archive and changing anything.
#include "updater/signature_check.h"

#include <cerrno>
#include <cstdio>

#include "updater/formats/upq.h"
#include "updater/formats/upq_signature.h"
#include "updater/log.h"
#include "updater/state.h"

int CheckUpdateSignature() {
  static const char kFn[] = "CheckUpdateSignature";
  // Room for the longest installation path: the key path is never cut.
  char keys_path[kMaxPath + sizeof(kUpdateKeysFile) + 1];
  snprintf(keys_path, sizeof(keys_path), "%s/%s", gInstallDir, kUpdateKeysFile);

  // The keys of the installation as it is before the update verify it, so
  // an update may ship the next key file.
  UpqKeySet keys;
  char why[512] = {};
  UpqKeyLoad load = upq_load_public_keys(keys_path, &keys, why, sizeof(why));
  if (load == kUpqKeysAbsent) {
    return 0;  // an unsigned installation: no check, no log line
  }
  if (load != kUpqKeysLoaded) {
    int err = errno;
    upq_free_keys(&keys);
    if (load == kUpqKeysUnreadable) {
      LOG("%s: could not read the update keys: %s, err: %d", kFn, keys_path, err);
    } else {
      LOG("%s: the update keys are malformed: %s", kFn, why);
    }
    return kUpdateKeysUnreadable;
  }

  char archive_path[kMaxPath + 16];
  snprintf(archive_path, sizeof(archive_path), "%s/update.upq", gPatchDir);
  UpqArchive* archive = gArchiveReader.Archive();
  uint32_t count = 0;
  size_t slot = 0;
  size_t key = 0;
  errno = 0;
  UpqVerifyResult result =
      archive ? upq_verify_archive(archive, &keys, &count, &slot, &key) : kUpqSectionMalformed;
  int err = errno;
  int rv = kUpdateSignatureInvalid;
  switch (result) {
    case kUpqVerified: {
      char fingerprint[65];
      upq_key_fingerprint(keys.keys[key], fingerprint);
      LOG("%s: signature %zu of %u verified with key sha256:%s", kFn, slot + 1, count,
          fingerprint);
      rv = 0;
      break;
    }
    case kUpqNotSigned:
      LOG("%s: the archive is not signed: %s", kFn, archive_path);
      break;
    case kUpqSectionMalformed:
      LOG("%s: the archive's signatures section is malformed: %s", kFn, archive_path);
      break;
    case kUpqArchiveUnreadable:
      LOG("%s: could not read the archive to verify it: %s, err: %d", kFn, archive_path, err);
      break;
    case kUpqNoSignatureVerifies:
      LOG("%s: no signature verifies with the update keys: %s, signatures: %u, keys: %zu", kFn,
          archive_path, count, keys.count);
      break;
    case kUpqCryptoFailure:
      LOG("%s: libcrypto could not digest the archive: %s", kFn, archive_path);
      break;
  }
  upq_free_keys(&keys);
  return rv;
}
