// The patch actions: patch and patch-if.
#include "updater/actions/patch_actions.h"

#include <errno.h>
#include <fcntl.h>
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

int PatchAction::sPatchIndex = 0;

PatchAction::~PatchAction() {
  // A run that ended between Prepare and Execute leaves the scratch file.
  if (patch_stream_) {
    fclose(patch_stream_);
  }
  if (patch_file_[0]) {
    remove(patch_file_);
  }
  free(buf_);
  free(file_);
}

int PatchAction::Parse(char* line) {
  if (!line || !*line) {
    return kManifestParseError;
  }
  // The entry name, up to its closing quote.
  while (*line == '"') {
    ++line;
  }
  char* end = strchr(line, '"');
  if (!end) {
    return kManifestParseError;
  }
  *end = '\0';
  patch_name_ = line;
  line = end + 1;
  if (!*line || skip_separator(&line)) {
    return kManifestParseError;
  }
  char* path = get_valid_path(&line, false);
  if (!path) {
    return kManifestParseError;
  }
  snprintf(relative_path_, sizeof(relative_path_), "%s", path);
  file_ = join_target_path(relative_path_);
  return 0;
}

int PatchAction::Prepare() {
  LOG("PREPARE PATCH %s", relative_path_);
  patch_index_ = sPatchIndex++;
  int length = snprintf(patch_file_, sizeof(patch_file_), "%s/updating/%d.patch", gWorkingDir,
                        patch_index_);
  if (length < 0 || length >= static_cast<int>(sizeof(patch_file_))) {
    // A cut name would be some other file; nothing has changed yet.
    LOG("PatchAction::Prepare: the scratch file name is too long: %s", gWorkingDir);
    patch_file_[0] = '\0';
    return kCreateFailed;
  }
  if (!gStagedUpdate) {
    int rv = check_backup_name(file_);
    if (rv) {
      patch_file_[0] = '\0';
      return rv;
    }
  }
  // Left over from an interrupted run, if anything.
  remove(patch_file_);
  FILE* stream = fopen(patch_file_, "wb+");
  if (patch_stream_) {
    fclose(patch_stream_);
  }
  patch_stream_ = stream;
  if (!patch_stream_) {
    return kCreateFailed;
  }
  return gArchiveReader.ExtractToStream(patch_name_, patch_stream_);
}

int PatchAction::LoadSourceFile(FILE* ofile) {
  struct stat st;
  if (fstat(fileno(ofile), &st) != 0) {
    LOG("LoadSourceFile: unable to stat destination file: %s, err: %d", relative_path_, errno);
    return kReadFailed;
  }
  // The whole size is compared: a file that differs by a multiple of 4 GiB
  // is not the patch's source either.
  if (static_cast<uint64_t>(st.st_size) != header_.sourceLength) {
    LOG("LoadSourceFile: destination file size %d does not match expected size %d",
        static_cast<int>(st.st_size), static_cast<int>(header_.sourceLength));
    return kPatchSourceWrongSize;
  }
  size_t size = header_.sourceLength;
  buf_ = static_cast<unsigned char*>(malloc(size ? size : 1));
  if (!buf_) {
    return kCopyNoMemory;
  }
  if (size && fread(buf_, 1, size, ofile) != size) {
    LOG("LoadSourceFile: error reading destination file: %s", relative_path_);
    return kReadFailed;
  }
  uint32_t crc = size ? crc32(buf_, size) : 0;
  if (crc != header_.sourceCrc) {
    LOG("LoadSourceFile: destination file crc %d does not match expected crc %d",
        static_cast<int>(crc), static_cast<int>(header_.sourceCrc));
    return kPatchSourceWrongCrc;
  }
  return 0;
}

int PatchAction::Execute() {
  LOG("EXECUTE PATCH %s", relative_path_);
  rewind(patch_stream_);
  int rv = ReadPatchHeader(patch_stream_, &header_);
  if (rv) {
    return rv;
  }

  // The source is checked before anything changes.
  FILE* origfile = fopen(file_, "rb");
  if (!origfile) {
    LOG("unable to open destination file: %s, err: %d", relative_path_, errno);
    return kReadFailed;
  }
  rv = LoadSourceFile(origfile);
  fclose(origfile);
  if (rv) {
    LOG("LoadSourceFile failed");
    return rv;
  }

  struct stat st;
  if (stat(file_, &st) != 0) {
    LOG("failed to read file status info: %s, err: %d", relative_path_, errno);
    return kReadFailed;
  }
  if (!gStagedUpdate) {
    rv = backup_create(file_);
    if (rv) {
      return rv;
    }
  }

  // The new file takes the old file's whole mode value.
  FILE* ofile = open_with_mode(file_, "wb+", st.st_mode);
  if (!ofile) {
    LOG("unable to create new file: %s, err: %d", relative_path_, errno);
    return kPatchedFileCreateFailed;
  }
  // Reserve the space up front (the result does not matter). The reservation
  // extends the file, and the output may be shorter than newLength, so the
  // file is cut back to what was written below.
  posix_fallocate(fileno(ofile), 0, header_.newLength);

  rv = ApplyPatch(&header_, patch_stream_, buf_, ofile);
  if (rv == 0) {
    long written = ftell(ofile);
    if (fflush(ofile) != 0 || written < 0 || ftruncate(fileno(ofile), written) != 0) {
      rv = kPatchedFileWriteShort;
    }
  }

  fclose(patch_stream_);
  patch_stream_ = nullptr;
  remove(patch_file_);
  patch_file_[0] = '\0';
  free(buf_);
  buf_ = nullptr;
  // A close that fails has lost buffered output: the file is not complete.
  if (fclose(ofile) != 0 && rv == 0) {
    rv = kPatchedFileWriteShort;
  }
  return rv;
}

void PatchAction::Finish(int status) {
  LOG("FINISH PATCH %s", relative_path_);
  if (gStagedUpdate) {
    return;
  }
  backup_conclude(file_, relative_path_, status);
}

void PatchAction::AddToRecord() const { RecordChangedFile(relative_path_); }

PatchIfAction::~PatchIfAction() { free(test_file_); }

int PatchIfAction::Parse(char* line) {
  char* path = get_valid_path(&line, false);
  if (!path) {
    return kManifestParseError;
  }
  test_file_ = join_target_path(path);
  if (skip_separator(&line)) {
    return kManifestParseError;
  }
  return PatchAction::Parse(line);
}

int PatchIfAction::Prepare() {
  if (access(test_file_, F_OK) != 0) {
    free(test_file_);
    test_file_ = nullptr;
    return 0;
  }
  return PatchAction::Prepare();
}

int PatchIfAction::Execute() { return test_file_ ? PatchAction::Execute() : 0; }

void PatchIfAction::Finish(int status) {
  if (test_file_) {
    PatchAction::Finish(status);
  }
}

void PatchIfAction::AddToRecord() const {
  if (test_file_) {
    PatchAction::AddToRecord();
  }
}
