// Preloaded into tarvelin by the end-to-end tests to make the C library
// refuse what the launcher asks of it:
//   FAULT_SHIM_PUTENV=1        putenv fails with ENOMEM;
//   FAULT_SHIM_STRDUP=PREFIX   strdup of a text starting with PREFIX fails.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {

int putenv(char* assignment) {
  if (getenv("FAULT_SHIM_PUTENV") != nullptr) {
    errno = ENOMEM;
    return -1;
  }
  static auto real = reinterpret_cast<int (*)(char*)>(dlsym(RTLD_NEXT, "putenv"));
  return real(assignment);
}

char* strdup(const char* text) {
  const char* prefix = getenv("FAULT_SHIM_STRDUP");
  if (prefix != nullptr && strncmp(text, prefix, strlen(prefix)) == 0) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy != nullptr) memcpy(copy, text, size);
  return copy;
}

}  // extern "C"
