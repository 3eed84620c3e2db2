// Runs the manifest phase of an update once, for bench/updater_manifest.sh:
// updater_apply_manifest ARCHIVE INSTALL_DIR WORKING_DIR
#include <stdio.h>

#include <string>

#include "updater/actions/manifest.h"
#include "updater/formats/upq.h"
#include "updater/fs.h"
#include "updater/state.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: updater_apply_manifest ARCHIVE INSTALL_DIR WORKING_DIR\n");
    return 2;
  }
  snprintf(gInstallDir, sizeof(gInstallDir), "%s", argv[2]);
  snprintf(gWorkingDir, sizeof(gWorkingDir), "%s", argv[3]);
  int rv = gArchiveReader.Open(argv[1]);
  if (rv == 0) {
    rv = ApplyManifest();
    gArchiveReader.Close();
  }
  std::string scratch = std::string(gWorkingDir) + "/updating";
  (void)ensure_remove_recursive(scratch.c_str());  // scratch only; the next run clears it too
  if (rv) {
    fprintf(stderr, "updater_apply_manifest: ApplyManifest failed: %d\n", rv);
    return 1;
  }
  return 0;
}
