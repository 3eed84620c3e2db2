// The recovery record of a normal update.
//
// Before a normal update changes the installation it writes, durably, what
// the run is about to change: for every target path whether it existed and
// of what type, the directories the run may create and the directories it
// may remove (with their modes). The record lives in the installation
// directory as kRecordName, is bound to that directory (device and inode)
// and to the run (a run id and the archive's size and CRC-64), is marked
// committed once the new files are on disk, and is removed at the end of
// every run. A run that finds a record of an interrupted run repairs the
// installation first: an uncommitted run is undone exactly, a committed one
// is completed. The format is described in docs/update-record.md.
//
// Worker thread only (the entry does not use it). Logs its failures.
#ifndef VLM_UPDATER_UPDATE_RECORD_H_
#define VLM_UPDATER_UPDATE_RECORD_H_

#include <cstdint>

#include "updater/result.h"

// Name of the record file in the installation directory; manifest paths may
// not name it, and a staged copy leaves it out.
inline constexpr const char* kRecordName = ".vlm-update-record";

// Identity of the archive a run applies.
struct ArchiveId {
  uint64_t size = 0;
  uint64_t crc64 = 0;
};

// The archive the next recorded run applies (kept until changed).
void RecordSetArchive(const ArchiveId& archive);
// Starts collecting for a run on `target_dir` (the installation directory).
// Forgets what an earlier run collected.
void RecordBegin(const char* target_dir);
// A path (relative to the target directory) that the run may replace,
// create or remove. Its ancestors that are not directories now are recorded
// as directories the run may create.
void RecordChangedFile(const char* relative_path);
// A directory (relative, without trailing slash) that the run may remove.
void RecordRemovedDir(const char* relative_path);
// Deletes stale backups of the recorded files, then writes the record with
// state "uncommitted", flushed to disk: 0 or kRecordWriteFailed.
[[nodiscard]] int RecordWrite();
// Flushes the target directory's file system and marks the record
// committed: 0, kFlushFailed or kRecordWriteFailed.
[[nodiscard]] int RecordCommit();
// Ends the recorded run with its status and removes the record, so that a
// finished run leaves no trace. After a failure the restored files are
// flushed first, and a roll-back that left a backup behind keeps the record
// for the next run to finish the repair. Nothing to report.
void RecordEnd(int status);
// Makes a successful run keep its committed record until RecordRelease, so
// that a run interrupted before its final status is written is still known
// to have applied its archive. Used by the update worker; tests that drive
// the manifest alone leave it off.
void RecordDeferSuccessEnd();
// Removes a committed record kept by RecordDeferSuccessEnd (or by a repair
// that found its archive already applied), once the final status is
// written. Nothing to report.
void RecordRelease();
// Removes the directories the run created, deepest first, where they are
// directories now and empty: a failed run calls this after removing the
// files it added and before restoring backups, so that a file that became a
// directory can come back.
void RecordRemoveCreatedDirs();

// Repairs the installation `install_dir` when it holds the record of an
// interrupted run: 0 when there was nothing to do or the repair is done,
// kRecoveryFailed when it could not be repaired (the record is kept for the
// next run). Sets *already_applied when the interrupted run had committed
// and applied `archive`.
[[nodiscard]] int RecoverInterruptedUpdate(const char* install_dir, const ArchiveId& archive,
                                           bool* already_applied);

#endif  // VLM_UPDATER_UPDATE_RECORD_H_
