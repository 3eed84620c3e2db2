// Test helpers for signed archives: fresh keys through libcrypto and their
// PEM files, as `openssl genpkey` and `openssl pkey -pubout` write them.
#ifndef VLM_UPDATER_FORMATS_UPQ_KEY_TEST_UTIL_H_
#define VLM_UPDATER_FORMATS_UPQ_KEY_TEST_UTIL_H_

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <string>

namespace upq_test {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

inline Key NewEd25519Key() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }
inline Key NewRsaKey() {
  return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024)));
}

// Writes (or with `append`, adds) `key`'s public half as a PEM "PUBLIC KEY".
inline bool WritePublicPem(const std::string& path, EVP_PKEY* key, bool append = false) {
  FILE* f = fopen(path.c_str(), append ? "ab" : "wb");
  if (!f) return false;
  bool ok = PEM_write_PUBKEY(f, key) == 1;
  return fclose(f) == 0 && ok;
}

// Writes `key` as an unencrypted PKCS#8 PEM "PRIVATE KEY".
inline bool WritePrivatePem(const std::string& path, EVP_PKEY* key) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return fclose(f) == 0 && ok;
}

}  // namespace upq_test

#endif  // VLM_UPDATER_FORMATS_UPQ_KEY_TEST_UTIL_H_
