// File-system helpers of the updater.
//
// Plain functions on NUL-terminated paths, called from one thread at a time
// and keeping no state. Each logs its own failures through the update log
// with a line that starts with its name, and returns 0 or an updater result
// code (or -1 passed through from the C library where noted). None of them
// undoes what it already did: a partly copied or removed tree stays as it is.
// Paths they build are formatted into 1024-byte buffers.
//
// Several helpers first make a path owner-writable. That step never follows a
// symbolic link: a link is removed or renamed without touching its target.
#ifndef VLM_UPDATER_FS_H_
#define VLM_UPDATER_FS_H_

#include <cstdio>
#include <sys/types.h>

#include "updater/result.h"

// Backup name of a path: "%s.vlm-backup".
constexpr const char* kBackupSuffix = ".vlm-backup";

// Deepest directory level a tree copy or removal descends to.
inline constexpr int kMaxTreeDepth = 256;

// 0 when the backup name of `path` fits kMaxPath, else logs and returns
// kCreateFailed: a cut name would name some other file.
[[nodiscard]] int check_backup_name(const char* path);

// Removes a file, a link or an empty directory: 0, or -1 from `remove`.
[[nodiscard]] int ensure_remove(const char* path);
// Removes a tree (a link is removed, never followed; a FIFO, socket or device
// is unlinked): 0, -1, kTreeTooDeep or the failing entry's result. With `continue_on_error` the entries of `path` itself are
// all tried (the last entry's result is kept); deeper levels always stop at
// their first failure. A directory that cannot be opened counts as removed.
[[nodiscard]] int ensure_remove_recursive(const char* path, bool continue_on_error = false);
// Creates the ancestors of `path` with mode 0755, top down: 0 or 7. Writes
// into its argument while it runs and restores it before returning.
[[nodiscard]] int ensure_parent_dir(char* path);
// Renames `source` to `destination`, creating the destination's ancestors and
// replacing an existing destination file: 0, 6, 7, 48 or 62. With `is_dir`
// only regular files and directories are accepted as source (else 48).
[[nodiscard]] int rename_file(const char* source, const char* destination, bool is_dir = false);
// Renames `path` to its backup name; codes as rename_file, and
// kCreateFailed (nothing renamed) when the backup name would not fit.
[[nodiscard]] int backup_create(const char* path);
// Settles the backup of `path` at the end of a run: status 0 deletes it, any
// other status renames it back over `path`. `relative_path` names it in the
// log. Reports nothing.
void backup_conclude(const char* path, const char* relative_path, int status);
// The roll-back half of backup_conclude.
[[nodiscard]] int backup_restore(const char* path, const char* relative_path);
// fopen, then for every mode that can write: sets `mode_bits` with chmod and
// checks that the file's whole st_mode equals them, else closes the stream
// and returns null. Read-only modes return the stream as opened.
FILE* open_with_mode(const char* path, const char* mode, int mode_bits);
// Copies a tree, recreating links and modes: 0, 6, 7, 13, 61, -1 from
// chmod, kTreeTooDeep, or kStoppedBySignal when a stop was requested
// (gStopSignal) between two entries. A FIFO, socket or device is refused
// (kReadFailed) and never opened; the recovery record at the top is left
// out. `skip_list` is two 1024-byte full paths stored back to back (or
// null): children whose path equals one of them, ignoring ASCII case, are
// left out.
[[nodiscard]] int ensure_copy_recursive(const char* source, const char* destination,
                          const char (*skip_list)[kMaxPath]);
// Copies one regular file (a link as a link) with the source's mode; any
// other type is refused with kReadFailed, unopened.
[[nodiscard]] int ensure_copy(const char* source, const char* destination);
// Recreates the link `source` at `destination` with the same target text:
// 0 or 6. Targets of 1024 bytes or more are refused (6).
[[nodiscard]] int ensure_copy_symlink(const char* source, const char* destination);

#endif  // VLM_UPDATER_FS_H_
