// File-system helpers: removal, parent directories, rename with replacement,
// backups, opening with a guaranteed mode, and tree copies.
#include "updater/fs.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "updater/log.h"
#include "updater/result.h"
#include "updater/state.h"
#include "updater/update_record.h"

namespace {

constexpr size_t kCopyBufferSize = 32768;

// Adds the owner-write bit to `path` when it lacks it. The status is read
// without following a link and links are skipped: chmod would change the
// link's target, which may lie outside the installation, and removing or
// renaming a link never needs its target writable. Failures are ignored.
void make_writable(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    chmod(path, st.st_mode | S_IWUSR);
  }
}

bool path_exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

bool is_read_only_mode(const char* mode) {
  return mode[0] == 'r' && mode[1] != '+' && strcmp(mode, "rb+") != 0;
}

bool is_dot_entry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// "<dir>/<name>" into a kMaxPath buffer; false when it would be cut (a cut
// child path can name the directory itself, and the walk would never end).
bool join_child(char (&buffer)[kMaxPath], const char* dir, const char* name) {
  int length = snprintf(buffer, sizeof(buffer), "%s/%s", dir, name);
  return length >= 0 && length < kMaxPath;
}

// The backup name of `path`; false when it would be cut.
bool backup_name(char (&buffer)[kMaxPath], const char* path) {
  int length = snprintf(buffer, sizeof(buffer), "%s%s", path, kBackupSuffix);
  return length >= 0 && length < kMaxPath;
}

int remove_tree(const char* path, bool continue_on_error, int depth);
int copy_tree(const char* source, const char* destination, const char (*skip_list)[kMaxPath],
              int depth);

}  // namespace

int ensure_remove(const char* path) {
  make_writable(path);
  int rv = remove(path);
  if (rv) {
    LOG("ensure_remove: failed to remove file: %s, rv: %d, err: %d", path, rv, errno);
  }
  return rv;
}

int check_backup_name(const char* path) {
  char backup[kMaxPath];
  if (!backup_name(backup, path)) {
    LOG("check_backup_name: the backup name would be too long: %s", path);
    return kCreateFailed;
  }
  return 0;
}

int ensure_remove_recursive(const char* path, bool continue_on_error) {
  return remove_tree(path, continue_on_error, 0);
}

namespace {

int remove_tree(const char* path, bool continue_on_error, int depth) {
  struct stat st;
  int rv = lstat(path, &st);
  if (rv) {
    return rv;
  }
  if (!S_ISDIR(st.st_mode)) {
    return ensure_remove(path);
  }
  DIR* dir = opendir(path);
  if (!dir) {
    LOG("ensure_remove_recursive: unable to open directory: %s, rv: %d, err: %d", path, rv,
        errno);
    return rv;
  }
  struct dirent* entry;
  while ((entry = readdir(dir))) {
    if (is_dot_entry(entry->d_name)) {
      continue;
    }
    char child[kMaxPath];
    if (depth >= kMaxTreeDepth || !join_child(child, path, entry->d_name)) {
      LOG("ensure_remove_recursive: path too long or too deep: %s/%s", path, entry->d_name);
      rv = kTreeTooDeep;
    } else {
      rv = remove_tree(child, false, depth + 1);
    }
    if (rv && !continue_on_error) {
      break;
    }
  }
  closedir(dir);
  if (rv) {
    return rv;
  }
  make_writable(path);
  rv = rmdir(path);
  if (rv) {
    LOG("ensure_remove_recursive: unable to remove directory: %s, rv: %d, err: %d", path, rv,
        errno);
  }
  return rv;
}

}  // namespace

int ensure_parent_dir(char* path) {
  int rv = 0;
  char* slash = strrchr(path, '/');
  if (!slash) {
    return 0;
  }
  *slash = '\0';
  rv = ensure_parent_dir(path);
  // An empty path is the root of an absolute path: nothing to create.
  if (rv == 0 && *path) {
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
      LOG("ensure_parent_dir: failed to create directory: %s, err: %d", path, errno);
      rv = kCreateFailed;
    }
  }
  *slash = '/';
  return rv;
}

int rename_file(const char* source, const char* destination, bool is_dir) {
  char parent[kMaxPath];
  snprintf(parent, sizeof(parent), "%s", destination);
  int rv = ensure_parent_dir(parent);
  if (rv) {
    return rv;
  }

  struct stat st;
  if (stat(source, &st) != 0) {
    LOG("rename_file: failed to read file status info: %s, err: %d", source, errno);
    return kReadFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    if (is_dir && !S_ISDIR(st.st_mode)) {
      LOG("rename_file: path present, but not a file: %s, err: %d", source, errno);
      return kRenameSourceNotFileOrDir;
    }
    LOG("rename_file: proceeding to rename the directory");
  }

  if (path_exists(destination) && ensure_remove(destination) != 0) {
    LOG("rename_file: destination file exists and could not be removed: %s", destination);
    return kRenameDestinationInTheWay;
  }
  if (rename(source, destination) != 0) {
    LOG("rename_file: failed to rename file - src: %s, dst:%s, err: %d", source, destination,
        errno);
    return kRenameFailed;
  }
  return 0;
}

int backup_create(const char* path) {
  char backup[kMaxPath];
  if (!backup_name(backup, path)) {
    LOG("backup_create: the backup name would be too long: %s", path);
    return kCreateFailed;
  }
  return rename_file(path, backup, false);
}

int backup_restore(const char* path, const char* relative_path) {
  char backup[kMaxPath];
  char relative_backup[kMaxPath];
  if (!backup_name(backup, path)) {
    return 0;  // no backup was made under a cut name
  }
  snprintf(relative_backup, sizeof(relative_backup), "%s%s", relative_path, kBackupSuffix);
  if (!path_exists(backup)) {
    LOG("backup_restore: backup file doesn't exist: %s", relative_backup);
    return 0;
  }
  return rename_file(backup, path, false);
}

void backup_conclude(const char* path, const char* relative_path, int status) {
  if (status != 0) {
    // Reports nothing by design: a backup that cannot come back is logged by
    // rename_file, and the recovery record keeps it for the next run.
    (void)backup_restore(path, relative_path);
    return;
  }
  char backup[kMaxPath];
  // A cut name is some other file: never removed.
  if (backup_name(backup, path) && path_exists(backup)) {
    (void)ensure_remove(backup);  // a backup left behind harms nothing
  }
}

FILE* open_with_mode(const char* path, const char* mode, int mode_bits) {
  make_writable(path);
  FILE* stream = fopen(path, mode);
  if (is_read_only_mode(mode) || !stream) {
    return stream;
  }
  struct stat st;
  if (chmod(path, mode_bits) != 0 || stat(path, &st) != 0 ||
      st.st_mode != static_cast<mode_t>(mode_bits)) {
    fclose(stream);
    return nullptr;
  }
  return stream;
}

int ensure_copy_symlink(const char* source, const char* destination) {
  // One byte more than readlink may fill keeps the target terminated; a
  // result that fills all 1024 bytes may have been cut, and a cut target
  // would make a wrong link, so it is refused.
  char target[kMaxPath + 1] = {};
  ssize_t length = readlink(source, target, kMaxPath);
  if (length >= kMaxPath) {
    errno = ENAMETOOLONG;
  }
  if (length < 0 || length >= kMaxPath) {
    LOG("ensure_copy_symlink: failed to read the link: %s, err: %d", source, errno);
    return kReadFailed;
  }
  if (symlink(target, destination) != 0) {
    LOG("ensure_copy_symlink: failed to create the new link: %s, target: %s err: %d",
        destination, target, errno);
    return kReadFailed;
  }
  return 0;
}

int ensure_copy(const char* source, const char* destination) {
  struct stat st;
  if (lstat(source, &st) != 0) {
    LOG("ensure_copy: failed to read file status info: %s, err: %d", source, errno);
    return kReadFailed;
  }
  if (S_ISLNK(st.st_mode)) {
    return ensure_copy_symlink(source, destination);
  }
  if (!S_ISREG(st.st_mode)) {
    // Opening a FIFO would block for ever and a device would be read
    // without end: special files are never opened.
    LOG("ensure_copy: not a regular file: %s", source);
    return kReadFailed;
  }

  FILE* in = open_with_mode(source, "rb", st.st_mode);
  if (!in) {
    LOG("ensure_copy: failed to open the file for reading: %s, err: %d", source, errno);
    return kReadFailed;
  }
  FILE* out = open_with_mode(destination, "wb", st.st_mode);
  if (!out) {
    LOG("ensure_copy: failed to open the file for writing: %s, err: %d", destination, errno);
    fclose(in);
    return kCreateFailed;
  }
  char* buffer = static_cast<char*>(malloc(kCopyBufferSize));
  if (!buffer) {
    fclose(in);
    fclose(out);
    return kCopyNoMemory;
  }

  int rv = 0;
  while (!feof(in)) {
    size_t read = fread(buffer, 1, kCopyBufferSize, in);
    if (ferror(in)) {
      LOG("ensure_copy: failed to read the file: %s, err: %d", source, errno);
      rv = kReadFailed;
      break;
    }
    size_t done = 0;
    while (done < read) {
      size_t written = fwrite(buffer + done, 1, read - done, out);
      if (written == 0) {
        break;
      }
      done += written;
    }
    if (done < read) {
      LOG("ensure_copy: failed to write the file: %s, err: %d", destination, errno);
      rv = kCopyWriteFailed;
      break;
    }
  }
  if (rv == 0) {
    rv = chmod(destination, st.st_mode);
  }
  free(buffer);
  fclose(in);
  // Data still in the stream's buffer is written by fclose: a full disk
  // shows only here, and must not pass for a complete copy.
  if (fclose(out) != 0 && rv == 0) {
    LOG("ensure_copy: failed to write the file: %s, err: %d", destination, errno);
    rv = kCopyWriteFailed;
  }
  return rv;
}

int ensure_copy_recursive(const char* source, const char* destination,
                          const char (*skip_list)[kMaxPath]) {
  return copy_tree(source, destination, skip_list, 0);
}

namespace {

int copy_tree(const char* source, const char* destination, const char (*skip_list)[kMaxPath],
              int depth) {
  struct stat st;
  int rv = lstat(source, &st);
  if (rv) {
    LOG("ensure_copy_recursive: path doesn't exist: %s, rv: %d, err: %d", source, rv, errno);
    return kReadFailed;
  }
  if (S_ISLNK(st.st_mode)) {
    return ensure_copy_symlink(source, destination);
  }
  if (!S_ISDIR(st.st_mode)) {
    return ensure_copy(source, destination);
  }

  rv = mkdir(destination, st.st_mode);
  if (rv != 0 && errno != EEXIST) {
    LOG("ensure_copy_recursive: could not create destination directory: %s, rv: %d, err: %d",
        destination, rv, errno);
    return kCreateFailed;
  }
  DIR* dir = opendir(source);
  if (!dir) {
    LOG("ensure_copy_recursive: path is not a directory: %s, rv: %d, err: %d", source, rv,
        errno);
    return kReadFailed;
  }
  rv = 0;
  struct dirent* entry;
  while ((entry = readdir(dir))) {
    if (is_dot_entry(entry->d_name)) {
      continue;
    }
    if (gStopSignal) {
      LOG("ensure_copy_recursive: stopped by signal %d", static_cast<int>(gStopSignal));
      rv = kStoppedBySignal;
      break;
    }
    char child_source[kMaxPath];
    char child_destination[kMaxPath];
    if (depth >= kMaxTreeDepth || !join_child(child_source, source, entry->d_name) ||
        !join_child(child_destination, destination, entry->d_name)) {
      LOG("ensure_copy_recursive: path too long or too deep: %s/%s", source, entry->d_name);
      rv = kTreeTooDeep;
      break;
    }
    if (skip_list && (strcasecmp(skip_list[0], child_source) == 0 ||
                      strcasecmp(skip_list[1], child_source) == 0)) {
      continue;
    }
    // The recovery record belongs to the installation, not to a copy of it.
    if (depth == 0 && strncmp(entry->d_name, kRecordName, strlen(kRecordName)) == 0) {
      continue;
    }
    rv = copy_tree(child_source, child_destination, skip_list, depth + 1);
    if (rv) {
      break;
    }
  }
  closedir(dir);
  return rv;
}

}  // namespace
