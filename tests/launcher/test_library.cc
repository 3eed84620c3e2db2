// A library for dependentlibs.list in the launcher's end-to-end tests. It
// reports, under the name it was loaded as, when it is loaded and unloaded and
// what G_SLICE held while it loaded.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The path of this copy of the library (tests install it under several
// names): a local symbol, so that the lookup is not bound to another copy.
const char* OwnPath() {
  static int marker;
  Dl_info info;
  if (dladdr(&marker, &info) == 0 || info.dli_fname == nullptr) return "?";
  const char* slash = strrchr(info.dli_fname, '/');
  return slash ? slash + 1 : info.dli_fname;
}

__attribute__((constructor)) void OnLoad() {
  const char* g_slice = getenv("G_SLICE");
  printf("{\"call\": \"load\", \"library\": \"%s\", \"G_SLICE\": %s%s%s}\n", OwnPath(),
         g_slice ? "\"" : "", g_slice ? g_slice : "null", g_slice ? "\"" : "");
  fflush(stdout);
}

__attribute__((destructor)) void OnUnload() {
  printf("{\"call\": \"unload\", \"library\": \"%s\"}\n", OwnPath());
  fflush(stdout);
}

}  // namespace
