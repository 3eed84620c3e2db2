// tarvelin's process entry.
#include "launcher/entry.h"

int main(int argc, char** argv, char** envp) {
  return vellum::launcher::LauncherMain(argc, argv, envp);
}
