// The recovery record: writing it durably, marking it committed, and
// repairing an installation from the record of an interrupted run.
#include "updater/update_record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "updater/fs.h"
#include "updater/log.h"

namespace {

constexpr const char* kMagic = "vlm-update-record 1";
constexpr const char* kTempSuffix = ".tmp";

// One recorded path. 'F': a file the run may replace, create or remove
// (`existed` and `type` describe it before the run). 'C': a directory the run
// may create. 'D': a directory the run may remove (`mode` to recreate it).
struct Entry {
  char kind;
  bool existed;
  char type;
  unsigned mode;
  std::string path;
};

struct Record {
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  unsigned long long run = 0;
  ArchiveId archive;
  bool committed = false;
  std::vector<Entry> entries;
};

// The run being recorded.
bool sActive = false;
std::string sTargetDir;
ArchiveId sArchive;
Record sRecord;
std::set<std::string> sSeen;
bool sDeferSuccessEnd = false;
// A committed record to remove at RecordRelease.
std::string sPendingRelease;

char TypeOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return 'f';
  if (S_ISDIR(st.st_mode)) return 'd';
  if (S_ISLNK(st.st_mode)) return 'l';
  return 'o';
}

bool Exists(const std::string& path, struct stat* st = nullptr) {
  struct stat local;
  return lstat(path.c_str(), st ? st : &local) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

size_t Depth(const std::string& path) { return std::count(path.begin(), path.end(), '/'); }

// Calls `flush` (fsync or syncfs) on the directory `dir`.
bool Flush(const std::string& dir, int (*flush)(int)) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = flush(fd) == 0;
  close(fd);
  return ok;
}

// Flushes a directory, so that renames and removals in it are on disk.
bool SyncDir(const std::string& dir) { return Flush(dir, fsync); }
// Flushes the whole file system that holds `dir`.
bool SyncFileSystem(const std::string& dir) { return Flush(dir, syncfs); }

std::string Serialize(const Record& record) {
  char line[256];
  std::string text = kMagic;
  text += '\n';
  snprintf(line, sizeof(line), "install %llu %llu\nrun %016llx\narchive %llu %016llx\nstate %s\n",
           record.dev, record.ino, record.run,
           static_cast<unsigned long long>(record.archive.size),
           static_cast<unsigned long long>(record.archive.crc64),
           record.committed ? "committed" : "uncommitted");
  text += line;
  for (const Entry& entry : record.entries) {
    switch (entry.kind) {
      case 'F':
        snprintf(line, sizeof(line), "F %d %c %zu ", entry.existed ? 1 : 0, entry.type,
                 entry.path.size());
        break;
      case 'D':
        snprintf(line, sizeof(line), "D %04o %zu ", entry.mode, entry.path.size());
        break;
      default:
        snprintf(line, sizeof(line), "C %zu ", entry.path.size());
        break;
    }
    text += line;
    text += entry.path;
    text += '\n';
  }
  text += "end\n";
  return text;
}

// Writes the record through a temporary file that is flushed and renamed
// into place, then flushes the directory: either the old or the new record
// is on disk, never a part of one.
int WriteRecordFile(const std::string& dir, const Record& record) {
  const std::string path = dir + "/" + kRecordName;
  const std::string temp = path + kTempSuffix;
  if (path.size() + strlen(kTempSuffix) >= static_cast<size_t>(kMaxPath)) {
    LOG("RecordWrite: the record path is too long: %s", path.c_str());
    return kRecordWriteFailed;
  }
  const std::string text = Serialize(record);
  unlink(temp.c_str());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    LOG("RecordWrite: could not create the record: %s, err: %d", temp.c_str(), errno);
    return kRecordWriteFailed;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) {
        continue;
      }
      LOG("RecordWrite: could not write the record: %s, err: %d", temp.c_str(), errno);
      close(fd);
      unlink(temp.c_str());
      return kRecordWriteFailed;
    }
    done += static_cast<size_t>(written);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    LOG("RecordWrite: could not flush the record: %s, err: %d", temp.c_str(), errno);
    unlink(temp.c_str());
    return kRecordWriteFailed;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    LOG("RecordWrite: could not rename the record into place: %s, err: %d", path.c_str(), errno);
    unlink(temp.c_str());
    return kRecordWriteFailed;
  }
  // Once renamed, the new record is the one in force: reporting a failure
  // now would roll back a run whose record may already say committed.
  if (!SyncDir(dir)) {
    LOG("RecordWrite: could not flush the directory of the record: %s, err: %d", dir.c_str(),
        errno);
  }
  return 0;
}

void AddEntry(char kind, const std::string& relative) {
  if (!sSeen.insert(std::string(1, kind) + relative).second) {
    return;  // the first time a path is met tells its state before the run
  }
  Entry entry = {kind, false, '-', 0, relative};
  struct stat st;
  if (Exists(sTargetDir + "/" + relative, &st)) {
    entry.existed = true;
    entry.type = TypeOf(st);
    entry.mode = st.st_mode & 07777;
  }
  sRecord.entries.push_back(entry);
}

// Parsing -----------------------------------------------------------------

// A recorded path must stay inside the installation: relative, no ".."
// component, and short enough to be joined to it.
bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos) {
    return false;
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) {
      return false;
    }
    start = end + 1;
  }
  return path.size() < static_cast<size_t>(kMaxPath);
}

// Reads "<length> <path>\n" at *cursor.
bool ParsePath(const char** cursor, const char* end, std::string* path) {
  char* after = nullptr;
  errno = 0;
  unsigned long long length = strtoull(*cursor, &after, 10);
  if (errno || after == *cursor || *after != ' ' ||
      length > static_cast<unsigned long long>(end - after - 1)) {
    return false;
  }
  const char* start = after + 1;
  if (start + length >= end || start[length] != '\n') {
    return false;
  }
  path->assign(start, length);
  *cursor = start + length + 1;
  return IsSafeRelativePath(*path);
}

bool ParseRecord(const std::string& text, Record* record) {
  const char* cursor = text.c_str();
  const char* end = cursor + text.size();
  int used = 0;
  char state[16] = {};
  if (text.size() < 4 || text.compare(text.size() - 4, 4, "end\n") != 0) {
    return false;  // a record ends with its end line
  }
  std::string header_end = std::string(kMagic) + "\n";
  if (text.compare(0, header_end.size(), header_end) != 0) {
    return false;
  }
  cursor += header_end.size();
  if (sscanf(cursor, "install %llu %llu\nrun %llx\narchive %llu %llx\nstate %15s\n%n",
             &record->dev, &record->ino, &record->run,
             reinterpret_cast<unsigned long long*>(&record->archive.size),
             reinterpret_cast<unsigned long long*>(&record->archive.crc64), state,
             &used) != 6 ||
      used == 0) {
    return false;
  }
  cursor += used;
  if (strcmp(state, "committed") == 0) {
    record->committed = true;
  } else if (strcmp(state, "uncommitted") != 0) {
    return false;
  }
  while (cursor < end) {
    if (end - cursor == 4 && memcmp(cursor, "end\n", 4) == 0) {
      return true;
    }
    Entry entry = {cursor[0], false, '-', 0, {}};
    if (end - cursor < 3 || cursor[1] != ' ') {
      return false;
    }
    cursor += 2;
    char* after = nullptr;
    if (entry.kind == 'F') {
      if (end - cursor < 4 || (cursor[0] != '0' && cursor[0] != '1') || cursor[1] != ' ' ||
          !strchr("fdlo-", cursor[2]) || cursor[3] != ' ') {
        return false;
      }
      entry.existed = cursor[0] == '1';
      entry.type = cursor[2];
      cursor += 4;
    } else if (entry.kind == 'D') {
      unsigned long mode = strtoul(cursor, &after, 8);
      if (after == cursor || *after != ' ' || mode > 07777) {
        return false;
      }
      entry.mode = static_cast<unsigned>(mode);
      cursor = after + 1;
    } else if (entry.kind != 'C') {
      return false;
    }
    if (!ParsePath(&cursor, end, &entry.path)) {
      return false;
    }
    record->entries.push_back(entry);
  }
  return false;
}

// Recovery ------------------------------------------------------------------

class Recovery {
 public:
  Recovery(const std::string& install, const Record& record) : install_(install), record_(record) {}

  // Puts back the installation as it was before the interrupted run.
  void Undo() {
    // Files the run created (and any backup of them a second add made).
    for (const Entry& entry : record_.entries) {
      if (entry.kind != 'F' || entry.existed) continue;
      RemoveFile(Full(entry.path));
      RemoveFile(Backup(entry.path));
    }
    // The new versions of files that have their backup beside them.
    for (const Entry& entry : record_.entries) {
      if (entry.kind == 'F' && entry.existed && Exists(Backup(entry.path))) {
        RemoveFile(Full(entry.path));
      }
    }
    // Directories the run created, deepest first: a file that became a
    // directory can then come back.
    for (const Entry& entry : ByDepth('C', /*deepest_first=*/true)) {
      if (IsDir(Full(entry.path))) {
        LOG("RecoverInterruptedUpdate: removing the directory %s", entry.path.c_str());
        if (rmdir(Full(entry.path).c_str()) != 0 && errno != ENOENT) {
          Fail("could not remove the directory", entry.path);
        }
      }
    }
    for (const Entry& entry : record_.entries) {
      if (entry.kind == 'F' && entry.existed && Exists(Backup(entry.path))) {
        LOG("RecoverInterruptedUpdate: restoring %s", entry.path.c_str());
        if (rename(Backup(entry.path).c_str(), Full(entry.path).c_str()) != 0) {
          Fail("could not restore", entry.path);
        }
      }
    }
    // Directories the run removed, parents first.
    for (const Entry& entry : ByDepth('D', /*deepest_first=*/false)) {
      if (entry.existed && !Exists(Full(entry.path))) {
        LOG("RecoverInterruptedUpdate: recreating the directory %s", entry.path.c_str());
        if (mkdir(Full(entry.path).c_str(), entry.mode) != 0 ||
            chmod(Full(entry.path).c_str(), entry.mode) != 0) {
          Fail("could not recreate the directory", entry.path);
        }
      }
    }
  }

  // Finishes what a committed run left: its backups and its directory
  // removals.
  void Complete() {
    for (const Entry& entry : record_.entries) {
      if (entry.kind == 'F' && Exists(Backup(entry.path))) {
        LOG("RecoverInterruptedUpdate: removing the backup of %s", entry.path.c_str());
        if (unlink(Backup(entry.path).c_str()) != 0 && errno != ENOENT) {
          Fail("could not remove the backup of", entry.path);
        }
      }
    }
    for (const Entry& entry : ByDepth('D', /*deepest_first=*/true)) {
      if (IsDir(Full(entry.path))) {
        LOG("RecoverInterruptedUpdate: removing the directory %s", entry.path.c_str());
        // As in a finished run, a directory that is not empty stays.
        rmdir(Full(entry.path).c_str());
      }
    }
  }

  bool failed() const { return failed_; }

 private:
  std::string Full(const std::string& relative) const { return install_ + "/" + relative; }
  std::string Backup(const std::string& relative) const { return Full(relative) + kBackupSuffix; }

  void RemoveFile(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
      return;
    }
    LOG("RecoverInterruptedUpdate: removing %s", path.c_str() + install_.size() + 1);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      Fail("could not remove", path.substr(install_.size() + 1));
    }
  }

  std::vector<Entry> ByDepth(char kind, bool deepest_first) const {
    std::vector<Entry> list;
    for (const Entry& entry : record_.entries) {
      if (entry.kind == kind) list.push_back(entry);
    }
    std::stable_sort(list.begin(), list.end(), [&](const Entry& a, const Entry& b) {
      return deepest_first ? Depth(a.path) > Depth(b.path) : Depth(a.path) < Depth(b.path);
    });
    return list;
  }

  void Fail(const char* what, const std::string& path) {
    LOG("RecoverInterruptedUpdate: %s %s, err: %d", what, path.c_str(), errno);
    failed_ = true;
  }

  const std::string install_;
  const Record& record_;
  bool failed_ = false;
};

bool ReadWholeFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char block[4096];
  for (;;) {
    ssize_t got = read(fd, block, sizeof(block));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return false;
    }
    if (got == 0) break;
    text->append(block, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

unsigned long long NewRunId() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<unsigned long long>(now.tv_sec) << 32) ^
         static_cast<unsigned long long>(now.tv_nsec) ^
         (static_cast<unsigned long long>(getpid()) << 20);
}

}  // namespace

void RecordSetArchive(const ArchiveId& archive) { sArchive = archive; }

void RecordBegin(const char* target_dir) {
  sActive = true;
  sTargetDir = target_dir;
  sRecord = Record();
  sSeen.clear();
}

void RecordChangedFile(const char* relative_path) {
  if (!sActive) {
    return;
  }
  const std::string relative = relative_path;
  // Ancestors that are not directories now may be created by the run.
  for (size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    const std::string ancestor = relative.substr(0, slash);
    if (!IsDir(sTargetDir + "/" + ancestor)) {
      AddEntry('C', ancestor);
    }
  }
  AddEntry('F', relative);
}

void RecordRemovedDir(const char* relative_path) {
  if (sActive) {
    AddEntry('D', relative_path);
  }
}

int RecordWrite() {
  if (!sActive) {
    return 0;
  }
  struct stat st;
  if (stat(sTargetDir.c_str(), &st) != 0) {
    LOG("RecordWrite: could not read the installation directory: %s, err: %d",
        sTargetDir.c_str(), errno);
    return kRecordWriteFailed;
  }
  sRecord.dev = st.st_dev;
  sRecord.ino = st.st_ino;
  sRecord.run = NewRunId();
  sRecord.archive = sArchive;
  sRecord.committed = false;
  // A backup left by some earlier run is not this run's: it would pass for
  // one in a repair, so it goes before the record says anything.
  for (const Entry& entry : sRecord.entries) {
    const std::string backup = sTargetDir + "/" + entry.path + kBackupSuffix;
    if (entry.kind == 'F' && Exists(backup) && !IsDir(backup)) {
      LOG("RecordWrite: removing a stale backup: %s%s", entry.path.c_str(), kBackupSuffix);
      if (unlink(backup.c_str()) != 0) {
        LOG("RecordWrite: could not remove a stale backup: %s, err: %d", backup.c_str(), errno);
        return kRecordWriteFailed;
      }
    }
  }
  return WriteRecordFile(sTargetDir, sRecord);
}

int RecordCommit() {
  if (!sActive) {
    return 0;
  }
  if (!SyncFileSystem(sTargetDir)) {
    LOG("RecordCommit: flushing the installation failed: %s, err: %d", sTargetDir.c_str(), errno);
    return kFlushFailed;
  }
  sRecord.committed = true;
  return WriteRecordFile(sTargetDir, sRecord);
}

void RecordEnd(int status) {
  if (!sActive) {
    return;
  }
  bool keep = false;
  if (status != 0) {
    for (const Entry& entry : sRecord.entries) {
      if (entry.kind == 'F' && Exists(sTargetDir + "/" + entry.path + kBackupSuffix)) {
        LOG("RecordEnd: the roll-back left a backup of %s; the next run repairs it",
            entry.path.c_str());
        keep = true;
        break;
      }
    }
    // The restored files reach the disk before the record that could undo
    // them goes.
    if (!keep && !SyncFileSystem(sTargetDir)) {
      keep = true;
    }
  }
  const std::string path = sTargetDir + "/" + kRecordName;
  if (status == 0 && sDeferSuccessEnd) {
    sPendingRelease = sTargetDir;
  } else if (!keep && unlink(path.c_str()) == 0) {
    SyncDir(sTargetDir);
  }
  sActive = false;
  sRecord = Record();
  sSeen.clear();
}

void RecordDeferSuccessEnd() { sDeferSuccessEnd = true; }

void RecordRelease() {
  if (sPendingRelease.empty()) {
    return;
  }
  const std::string path = sPendingRelease + "/" + kRecordName;
  if (unlink(path.c_str()) == 0) {
    SyncDir(sPendingRelease);
  }
  sPendingRelease.clear();
}

void RecordRemoveCreatedDirs() {
  if (!sActive) {
    return;
  }
  std::vector<const Entry*> created;
  for (const Entry& entry : sRecord.entries) {
    if (entry.kind == 'C') created.push_back(&entry);
  }
  std::stable_sort(created.begin(), created.end(), [](const Entry* a, const Entry* b) {
    return Depth(a->path) > Depth(b->path);
  });
  for (const Entry* entry : created) {
    const std::string path = sTargetDir + "/" + entry->path;
    if (IsDir(path) && rmdir(path.c_str()) != 0) {
      LOG("RecordRemoveCreatedDirs: could not remove a directory the run created: %s, err: %d",
          entry->path.c_str(), errno);
    }
  }
}

int RecoverInterruptedUpdate(const char* install_dir, const ArchiveId& archive,
                             bool* already_applied) {
  *already_applied = false;
  const std::string install = install_dir;
  const std::string path = install + "/" + kRecordName;
  // A temporary record never took effect.
  unlink((path + kTempSuffix).c_str());

  std::string text;
  if (!ReadWholeFile(path, &text)) {
    // No record: none was written, or none could be (a path too long for
    // any update to run in it).
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) {
      return 0;
    }
    LOG("RecoverInterruptedUpdate: could not read the record: %s, err: %d", path.c_str(), errno);
    return kRecoveryFailed;
  }
  Record record;
  if (!ParseRecord(text, &record)) {
    LOG("RecoverInterruptedUpdate: the record is malformed: %s", path.c_str());
    return kRecoveryFailed;
  }
  struct stat st;
  if (stat(install_dir, &st) != 0) {
    LOG("RecoverInterruptedUpdate: could not read the installation directory: %s, err: %d",
        install_dir, errno);
    return kRecoveryFailed;
  }
  if (st.st_dev != record.dev || st.st_ino != record.ino) {
    // A copy of an installation carries the record of another directory.
    LOG("RecoverInterruptedUpdate: the record belongs to another installation; removing it");
    if (unlink(path.c_str()) != 0) {
      LOG("RecoverInterruptedUpdate: could not remove the record, err: %d", errno);
      return kRecoveryFailed;
    }
    return 0;
  }

  Recovery recovery(install, record);
  if (record.committed) {
    LOG("RecoverInterruptedUpdate: completing the interrupted run %016llx", record.run);
    recovery.Complete();
  } else {
    LOG("RecoverInterruptedUpdate: undoing the interrupted run %016llx", record.run);
    recovery.Undo();
  }
  if (recovery.failed()) {
    LOG("RecoverInterruptedUpdate: the installation could not be repaired; the record stays");
    return kRecoveryFailed;
  }
  if (!SyncFileSystem(install)) {
    LOG("RecoverInterruptedUpdate: flushing the installation failed, err: %d", errno);
    return kRecoveryFailed;
  }
  *already_applied = record.committed && record.archive.size != 0 &&
                     record.archive.size == archive.size && record.archive.crc64 == archive.crc64;
  LOG("RecoverInterruptedUpdate: the installation is repaired");
  if (*already_applied && sDeferSuccessEnd) {
    // Kept until the success is written down, like a run's own record.
    sPendingRelease = install;
    return 0;
  }
  if (unlink(path.c_str()) != 0) {
    LOG("RecoverInterruptedUpdate: could not remove the record, err: %d", errno);
    return kRecoveryFailed;
  }
  SyncDir(install);
  return 0;
}
