// Replaces the updater with the callback application (normally the browser).
#include "updater/callback.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "updater/log.h"

void StartCallbackApp(int argc, char** argv, int callback_index) {
  if (argc <= callback_index) {
    return;
  }
  // putenv keeps the pointers: static storage.
  static char no_restart[] = "NO_EM_RESTART=";
  static char launched_child[] = "VLM_LAUNCHED_CHILD=1";
  putenv(no_restart);
  putenv(launched_child);

  if (chdir(argv[callback_index - 1]) != 0) {
    LOG("Warning: chdir failed");
  }

  // A fresh, NULL-terminated vector: the toolkit may have reshuffled argv.
  std::vector<char*> args(argv + callback_index, argv + argc);
  args.push_back(nullptr);
  execv(argv[callback_index], args.data());
}
