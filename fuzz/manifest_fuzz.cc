// Manifest parsing: text from the fuzzer is parsed into an action list and
// the list destroyed; nothing is prepared or executed. The target directory
// is an empty scratch directory (for "precomplete" and "rmrfdir").
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "updater/actions/action_list.h"
#include "updater/actions/manifest.h"
#include "updater/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool initialized = [] {
    char pattern[] = "/tmp/vlm-manifest-fuzz-XXXXXX";
    const char* dir = mkdtemp(pattern);
    snprintf(gInstallDir, sizeof(gInstallDir), "%s", dir ? dir : "/nonexistent");
    snprintf(gWorkingDir, sizeof(gWorkingDir), "%s", gInstallDir);
    atexit([] { rmdir(gInstallDir); });  // parsing never writes into it
    return true;
  }();
  (void)initialized;

  std::vector<char> text(data, data + size);
  text.push_back('\0');
  ActionList list;
  (void)ParseManifest(text.data(), &list);  // any result is fine; crashes are not
  return 0;
}
