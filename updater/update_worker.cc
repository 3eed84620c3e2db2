// The update run: normal and staged updates, the replace request, and the
// final status.
#include "updater/update_worker.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "updater/actions/manifest.h"
#include "updater/formats/upq.h"
#include "updater/fs.h"
#include "updater/log.h"
#include "updater/progress.h"
#include "updater/signature_check.h"
#include "updater/state.h"

namespace {

// Formats a path into a kMaxPath buffer; false when it had to be cut. A cut
// path names some other file, so callers that remove or move must not use it.
bool FormatPath(char* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool FormatPath(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, kMaxPath, format, args);
  va_end(args);
  return length >= 0 && length < kMaxPath;
}

}  // namespace

int DoUpdate() {
  char archive[kMaxPath];
  FormatPath(archive, "%s/update.upq", gPatchDir);
  int rv = gArchiveReader.Open(archive);
  if (rv) {
    return rv;
  }
  // Before the staged copy and the manifest: a refused archive changes nothing.
  rv = CheckUpdateSignature();
  if (rv) {
    gArchiveReader.Close();
    return rv;
  }

  if (gStagedUpdate) {
    // The staged copy leaves out a previous staged copy and the update
    // download directory of the installation.
    char skip_list[2][kMaxPath];
    FormatPath(skip_list[0], "%s/%s", gInstallDir, "updated");
    FormatPath(skip_list[1], "%s/%s", gInstallDir, "updates/0");
    rv = ensure_copy_recursive(gInstallDir, gWorkingDir, skip_list);
    if (rv) {
      return rv;  // the worker removes the whole working directory
    }
  }

  rv = ApplyManifest();
  gArchiveReader.Close();

  char scratch[kMaxPath];
  if (FormatPath(scratch, "%s/updating", gWorkingDir)) {
    ensure_remove_recursive(scratch);
  }
  return rv;
}

int DoReplaceRequest() {
  char tmp_dir[kMaxPath];
  char new_dir[kMaxPath];
  // Cut to 1023 characters, "<install>.bak" could name the installation
  // itself, which the first step removes.
  if (!FormatPath(tmp_dir, "%s.bak", gInstallDir) ||
      !FormatPath(new_dir, "%s.bak/updated", gInstallDir)) {
    LOG("DoReplaceRequest: installation path too long: %s", gInstallDir);
    return 7;
  }

  // A leftover from an earlier attempt would block the first move.
  ensure_remove_recursive(tmp_dir);

  LOG("Begin moving destDir (%s) to tmpDir (%s)", gInstallDir, tmp_dir);
  int rv = rename_file(gInstallDir, tmp_dir, true);
  if (rv) {
    LOG("Moving destDir to tmpDir failed, err: %d", rv);
    return rv;
  }

  LOG("Begin moving newDir (%s) to destDir (%s)", new_dir, gInstallDir);
  rv = rename_file(new_dir, gInstallDir, true);
  if (rv) {
    LOG("Moving newDir to destDir failed, err: %d", rv);
    LOG("Now, try to move tmpDir back to destDir");
    ensure_remove_recursive(gInstallDir);
    int back = rename_file(tmp_dir, gInstallDir, true);
    if (back) {
      LOG("Moving tmpDir back to destDir failed, err: %d", back);
    }
    return rv;
  }

  // The new installation keeps the log of the update before this one.
  char old_log[kMaxPath];
  char new_log[kMaxPath];
  if (FormatPath(old_log, "%s/updates/last-update.log", tmp_dir) &&
      FormatPath(new_log, "%s/updates/last-update.log", gInstallDir) &&
      access(old_log, F_OK) == 0) {
    remove(new_log);
    // The staged copy may lack the updates directory; the log must not be
    // dropped with tmpDir for that.
    ensure_parent_dir(new_log);
    rename(old_log, new_log);
  }

  LOG("Now, remove the tmpDir");
  rv = ensure_remove_recursive(tmp_dir, true);
  if (rv) {
    LOG("Removing tmpDir failed, err: %d", rv);
  }
  gUpdateSucceeded = true;
  return 0;
}

void UpdateWorker() {
  int rv = gReplaceRequest ? DoReplaceRequest() : DoUpdate();

  char status[64];
  if (rv == 0) {
    LOG("succeeded");
    SetUpdateStatus(gStagedUpdate ? "applied\n" : "succeeded\n");
  } else if (gStagedUpdate || gReplaceRequest) {
    ensure_remove_recursive(gWorkingDir);
    if (gReplaceRequest) {
      SetUpdateStatus("pending");
    } else {
      snprintf(status, sizeof(status), "failed: %d\n", rv);
      SetUpdateStatus(status);
    }
  } else {
    LOG("failed: %d", rv);
    snprintf(status, sizeof(status), "failed: %d\n", rv);
    SetUpdateStatus(status);
  }

  LOG("calling QuitProgressUI");
  QuitProgressUI();
}
