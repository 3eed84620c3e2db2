// The update run: normal and staged updates, the replace request, and the
// final status.
#include "updater/update_worker.h"

#include <errno.h>
#include <fcntl.h>
#include <lzma.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "updater/actions/manifest.h"
#include "updater/formats/upq.h"
#include "updater/fs.h"
#include "updater/log.h"
#include "updater/progress.h"
#include "updater/result.h"
#include "updater/signature_check.h"
#include "updater/state.h"
#include "updater/update_record.h"

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

// Size and CRC-64 of the archive: what the recovery record names it by. An
// archive that cannot be read gets the null identity (the reader reports).
ArchiveId IdentifyArchive(const char* path) {
  ArchiveId id;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return id;
  }
  constexpr size_t kBlockSize = 1 << 20;
  uint8_t* block = static_cast<uint8_t*>(malloc(kBlockSize));
  while (block) {
    ssize_t got = read(fd, block, kBlockSize);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      if (got < 0) {
        id = ArchiveId();
      }
      break;
    }
    id.size += static_cast<uint64_t>(got);
    id.crc64 = lzma_crc64(block, static_cast<size_t>(got), id.crc64);
  }
  free(block);
  close(fd);
  return id;
}

// Flushes the file system that holds `dir`: 0 or kFlushFailed.
int FlushFileSystem(const char* dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int rv = fd >= 0 && syncfs(fd) == 0 ? 0 : kFlushFailed;
  if (rv) {
    LOG("FlushFileSystem: flushing failed: %s, err: %d", dir, errno);
  }
  if (fd >= 0) {
    close(fd);
  }
  return rv;
}

// Flushes a directory, so that renames in it are on disk (best effort).
void FlushDirectory(const char* dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    if (fsync(fd) != 0) {
      LOG("FlushDirectory: flushing failed: %s, err: %d", dir, errno);
    }
    close(fd);
  }
}

}  // namespace

int DoUpdate() {
  char archive[kMaxPath];
  FormatPath(archive, "%s/update.upq", gPatchDir);
  // Only a normal update records and compares the archive's identity: a
  // staged one need not read the whole archive an extra time for it.
  const ArchiveId archive_id = gStagedUpdate ? ArchiveId() : IdentifyArchive(archive);

  // An interrupted normal update is repaired before anything else reads or
  // copies the installation. A record that says this archive is applied
  // stays until the final status is written (UpdateWorker).
  if (!gStagedUpdate) {
    RecordDeferSuccessEnd();
  }
  bool already_applied = false;
  int rv = RecoverInterruptedUpdate(gInstallDir, archive_id, &already_applied);
  if (rv) {
    return rv;
  }
  if (already_applied && !gStagedUpdate) {
    LOG("DoUpdate: the interrupted run had applied this update completely");
    gUpdateSucceeded = true;
    return 0;
  }
  if (gStopSignal) {
    LOG("DoUpdate: stopped by signal %d", static_cast<int>(gStopSignal));
    return kStoppedBySignal;
  }

  rv = gArchiveReader.Open(archive);
  if (rv) {
    return rv;
  }
  RecordSetArchive(archive_id);

  // After the lock and the repair, before the staged copy and the manifest:
  // a refused archive changes nothing.
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
  // "applied" promises a staged copy that is on disk.
  if (rv == 0 && gStagedUpdate) {
    rv = FlushFileSystem(gWorkingDir);
    if (rv) {
      gUpdateSucceeded = false;
    }
  }

  char scratch[kMaxPath];
  if (FormatPath(scratch, "%s/updating", gWorkingDir)) {
    // Leftover scratch files change nothing; the next run clears them.
    (void)ensure_remove_recursive(scratch);
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
    return kCreateFailed;
  }

  // With no installation at its path, tmpDir may be the only copy left (the
  // entry puts it back when it can): it is never removed then.
  if (access(gInstallDir, F_OK) != 0) {
    LOG("DoReplaceRequest: the installation is missing: %s, err: %d", gInstallDir, errno);
    return kReadFailed;
  }
  // A leftover from an earlier attempt would block the first move; what
  // cannot be removed makes that move fail, which is reported.
  (void)ensure_remove_recursive(tmp_dir);

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
    // Clears what the failed move may have left; the move back reports.
    (void)ensure_remove_recursive(gInstallDir);
    int back = rename_file(tmp_dir, gInstallDir, true);
    if (back) {
      LOG("Moving tmpDir back to destDir failed, err: %d", back);
    }
    return rv;
  }

  // Both renames are on disk before anything reports success.
  char parent[kMaxPath];
  FormatPath(parent, "%s", gInstallDir);
  if (char* slash = strrchr(parent, '/')) {
    slash[slash == parent ? 1 : 0] = '\0';
    FlushDirectory(parent);
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
    // Best effort: the previous log is a courtesy, not part of the update.
    (void)ensure_parent_dir(new_log);
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
    // Until the success is written down, the committed record tells a
    // later run that this archive is applied.
    if (SetUpdateStatus(gStagedUpdate ? "applied\n" : "succeeded\n")) {
      RecordRelease();
    }
  } else if (gStagedUpdate || gReplaceRequest) {
    // The failure code is what the caller needs; a working directory that
    // cannot be removed is removed again by the next staged update.
    (void)ensure_remove_recursive(gWorkingDir);
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
