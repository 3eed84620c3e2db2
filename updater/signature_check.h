// The publisher's signature on the update archive.
//
// An installation opts in by holding "update-keys.pem" (one or more PEM
// Ed25519 public keys) in its directory. Then a normal or staged update
// applies the archive only when at least one of its signatures verifies with
// one of those keys; the check reads the archive through the reader's open
// stream, so the verified bytes are the applied bytes. Without the file
// (ENOENT) nothing is checked and nothing is logged. Worker thread only.
#ifndef VLM_UPDATER_SIGNATURE_CHECK_H_
#define VLM_UPDATER_SIGNATURE_CHECK_H_

#include "updater/result.h"

// The file name of the trusted keys in the installation directory.
constexpr char kUpdateKeysFile[] = "update-keys.pem";

// Verifies the archive open in gArchiveReader with the keys of
// "<gInstallDir>/update-keys.pem". Returns 0 (verified, or an installation
// without the file), kUpdateSignatureInvalid or kUpdateKeysUnreadable; each
// failure and each success is logged in one line naming the reason or the key.
[[nodiscard]] int CheckUpdateSignature();

#endif  // VLM_UPDATER_SIGNATURE_CHECK_H_
