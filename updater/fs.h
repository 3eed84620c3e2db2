// File-system helpers of the updater.
//
// Plain functions on NUL-terminated paths. Each logs its own failures through
// the update log with a line that starts with its name, and returns 0 or an
// updater result code (or -1 passed through from the C library where noted).
// Paths they build are formatted into 1024-byte buffers.
#ifndef VLM_UPDATER_FS_H_
#define VLM_UPDATER_FS_H_

#include <cstdio>
#include <sys/types.h>

// Backup name of a path: "%s.vlm-backup".
constexpr const char* kBackupSuffix = ".vlm-backup";

int ensure_remove(const char* path);
int ensure_remove_recursive(const char* path, bool continue_on_error = false);
// Creates the ancestors of `path`; modifies and restores its argument.
int ensure_parent_dir(char* path);
int rename_file(const char* source, const char* destination, bool is_dir = false);
int backup_create(const char* path);
// Commits (status 0: deletes the backup) or rolls back (restores it).
void backup_conclude(const char* path, const char* relative_path, int status);
int backup_restore(const char* path, const char* relative_path);
FILE* open_with_mode(const char* path, const char* mode, int mode_bits);
// `skip_list` is two 1024-byte full paths stored back to back, or null.
int ensure_copy_recursive(const char* source, const char* destination,
                          const char (*skip_list)[1024]);
int ensure_copy(const char* source, const char* destination);
int ensure_copy_symlink(const char* source, const char* destination);

#endif  // VLM_UPDATER_FS_H_
