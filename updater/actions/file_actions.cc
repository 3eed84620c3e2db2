// The file actions: remove, rmdir, add, add-if and add-if-not.
#include "updater/actions/file_actions.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "updater/formats/upq.h"
#include "updater/fs.h"
#include "updater/log.h"
#include "updater/result.h"
#include "updater/state.h"
#include "updater/update_record.h"

namespace {

// The common parse of one path argument: validates it, keeps it in the
// relative-path buffer and builds the full path. 0 or 5.
int ParsePath(char** line, bool is_dir, char (&relative)[kMaxPath], char** full) {
  char* path = get_valid_path(line, is_dir);
  if (!path) {
    return kManifestParseError;
  }
  snprintf(relative, sizeof(relative), "%s", path);
  *full = join_target_path(relative);
  return 0;
}

// The test path of add-if / add-if-not and the separator after it.
int ParseTestPath(char** line, char** test_file) {
  char* path = get_valid_path(line, false);
  if (!path) {
    return kManifestParseError;
  }
  *test_file = join_target_path(path);
  return skip_separator(line);
}

bool Exists(const char* path) { return access(path, F_OK) == 0; }

}  // namespace

// remove ---------------------------------------------------------------

RemoveAction::~RemoveAction() { free(file_); }

int RemoveAction::Parse(char* line) { return ParsePath(&line, false, relative_path_, &file_); }

int RemoveAction::Prepare() {
  if (!Exists(file_)) {
    skip_ = 1;
    progress_cost = 0;
    return 0;
  }
  LOG("PREPARE REMOVEFILE %s", relative_path_);

  struct stat st;
  if (stat(file_, &st) != 0) {
    LOG("failed to read file status info: %s, err: %d", file_, errno);
    return kReadFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    LOG("path present, but not a file: %s", file_);
    return kRemoveNotFile;
  }

  int rv;
  char* slash = strrchr(file_, '/');
  if (slash) {
    *slash = '\0';
    rv = access(file_, W_OK);
    *slash = '/';
  } else {
    rv = access(".", W_OK);
  }
  if (rv) {
    LOG("access failed: %d", errno);
    return kRemoveDirNotWritable;
  }
  return gStagedUpdate ? 0 : check_backup_name(file_);
}

void RemoveAction::AddToRecord() const {
  if (!skip_) {
    RecordChangedFile(relative_path_);
  }
}

int RemoveAction::Execute() {
  if (skip_) {
    return 0;
  }
  LOG("EXECUTE REMOVEFILE %s", relative_path_);
  // Another action may have removed it since Prepare.
  if (!Exists(file_)) {
    LOG("file cannot be removed because it does not exist; skipping");
    skip_ = 1;
    return 0;
  }
  if (gStagedUpdate) {
    return ensure_remove(file_);
  }
  // Only renamed here; the removal becomes final in Finish.
  int rv = backup_create(file_);
  if (rv) {
    LOG("backup_create failed: %d", rv);
    return rv;
  }
  return 0;
}

void RemoveAction::Finish(int status) {
  if (skip_) {
    return;
  }
  LOG("FINISH REMOVEFILE %s", relative_path_);
  if (gStagedUpdate) {
    return;
  }
  backup_conclude(file_, relative_path_, status);
}

// rmdir ----------------------------------------------------------------

RmdirAction::~RmdirAction() { free(dir_); }

int RmdirAction::Parse(char* line) { return ParsePath(&line, true, relative_path_, &dir_); }

int RmdirAction::Prepare() {
  if (!Exists(dir_)) {
    skip_ = 1;
    progress_cost = 0;
    return 0;
  }
  LOG("PREPARE REMOVEDIR %s/", relative_path_);

  struct stat st;
  if (stat(dir_, &st) != 0) {
    LOG("failed to read directory status info: %s, err: %d", relative_path_, errno);
    return kReadFailed;
  }
  if (!S_ISDIR(st.st_mode)) {
    LOG("path present, but not a directory: %s", relative_path_);
    return kRmdirNotDirectory;
  }
  int rv = access(dir_, W_OK);
  if (rv) {
    LOG("access failed: %d, %d", rv, errno);
    return kRmdirNotWritable;
  }
  return 0;
}

void RmdirAction::AddToRecord() const {
  if (!skip_) {
    RecordRemovedDir(relative_path_);
  }
}

int RmdirAction::Execute() {
  if (skip_) {
    return 0;
  }
  LOG("EXECUTE REMOVEDIR %s/", relative_path_);
  if (!Exists(dir_)) {
    LOG("directory no longer exists; skipping");
    skip_ = 1;
  }
  return 0;
}

void RmdirAction::Finish(int status) {
  if (skip_ || status) {
    return;
  }
  LOG("FINISH REMOVEDIR %s/", relative_path_);
  if (!Exists(dir_)) {
    LOG("directory no longer exists; skipping");
    return;
  }
  // Empty by now: the actions before it removed its files.
  int rv = rmdir(dir_);
  if (rv) {
    LOG("non-fatal error removing directory: %s/, rv: %d, err: %d", relative_path_, rv, errno);
  }
}

// add ------------------------------------------------------------------

AddAction::~AddAction() { free(file_); }

int AddAction::Parse(char* line) { return ParsePath(&line, false, relative_path_, &file_); }

int AddAction::Prepare() {
  LOG("PREPARE ADD %s", relative_path_);
  return gStagedUpdate ? 0 : check_backup_name(file_);
}

void AddAction::AddToRecord() const { RecordChangedFile(relative_path_); }

void AddAction::Discard() {
  if ((added_ || created_) && StillHoldsWrittenFile()) {
    remove(file_);
  }
}

int AddAction::Execute() {
  LOG("EXECUTE ADD %s", relative_path_);
  int rv;
  bool existed = Exists(file_);
  if (!existed) {
    rv = ensure_parent_dir(file_);
  } else if (gStagedUpdate) {
    rv = ensure_remove(file_);
  } else {
    rv = backup_create(file_);
  }
  if (rv) {
    return rv;
  }
  // The extraction creates the file; if it stops part-way the cut file must
  // not outlive a failed run (there is no backup to bring back over it).
  created_ = !existed;
  rv = gArchiveReader.ExtractToPath(relative_path_, file_);
  RecordWrittenFile();
  if (rv) {
    return rv;
  }
  added_ = true;
  return 0;
}

void AddAction::RecordWrittenFile() {
  struct stat st;
  wrote_ = lstat(file_, &st) == 0;
  if (wrote_) {
    written_dev_ = st.st_dev;
    written_ino_ = st.st_ino;
  }
}

bool AddAction::StillHoldsWrittenFile() const {
  struct stat st;
  return wrote_ && lstat(file_, &st) == 0 && st.st_dev == written_dev_ &&
         st.st_ino == written_ino_;
}

void AddAction::Finish(int status) {
  LOG("FINISH ADD %s", relative_path_);
  if (gStagedUpdate) {
    return;
  }
  if (status && (added_ || created_) && StillHoldsWrittenFile()) {
    remove(file_);
  }
  backup_conclude(file_, relative_path_, status);
}

// add-if / add-if-not --------------------------------------------------

AddIfAction::~AddIfAction() { free(test_file_); }

int AddIfAction::Parse(char* line) {
  int rv = ParseTestPath(&line, &test_file_);
  return rv ? rv : AddAction::Parse(line);
}

int AddIfAction::Prepare() {
  // Tested once: what happens to the test file later does not matter.
  if (!Exists(test_file_)) {
    free(test_file_);
    test_file_ = nullptr;
    return 0;
  }
  return AddAction::Prepare();
}

int AddIfAction::Execute() { return test_file_ ? AddAction::Execute() : 0; }

void AddIfAction::Finish(int status) {
  if (test_file_) {
    AddAction::Finish(status);
  }
}

void AddIfAction::AddToRecord() const {
  if (test_file_) {
    AddAction::AddToRecord();
  }
}

void AddIfAction::Discard() {
  if (test_file_) {
    AddAction::Discard();
  }
}

AddIfNotAction::~AddIfNotAction() { free(test_file_); }

int AddIfNotAction::Parse(char* line) {
  int rv = ParseTestPath(&line, &test_file_);
  return rv ? rv : AddAction::Parse(line);
}

int AddIfNotAction::Prepare() {
  if (Exists(test_file_)) {
    free(test_file_);
    test_file_ = nullptr;
    return 0;
  }
  return AddAction::Prepare();
}

int AddIfNotAction::Execute() { return test_file_ ? AddAction::Execute() : 0; }

void AddIfNotAction::Finish(int status) {
  if (test_file_) {
    AddAction::Finish(status);
  }
}

void AddIfNotAction::AddToRecord() const {
  if (test_file_) {
    AddAction::AddToRecord();
  }
}

void AddIfNotAction::Discard() {
  if (test_file_) {
    AddAction::Discard();
  }
}
