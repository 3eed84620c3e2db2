// The updater's result codes.
//
// Every updater operation returns an int: 0 for success, else one of the
// codes below. The first nonzero code of a run ends it and is written into
// update.status as "failed: %d\n", which is how the engine learns it, so the
// values are part of the interface and never change (docs/updater-codes.md
// lists them with their meanings). Some values carry more than one meaning;
// each meaning has its own name so that a grep finds who reports what.
//
// The publisher tools' own exit codes (1 and 2) are not updater codes and
// are not listed here.
#ifndef VLM_UPDATER_RESULT_H_
#define VLM_UPDATER_RESULT_H_

// Size of every path buffer of the updater, terminating NUL included.
inline constexpr int kMaxPath = 1024;

inline constexpr int kUpdateOk = 0;
// A C library result of -1 passed through unchanged (ensure_remove and the
// helpers built on it, chmod at the end of a copy).
inline constexpr int kCLibraryFailure = -1;

// The manifest produced no actions.
inline constexpr int kNoActions = 1;
// The installed file to be patched has the wrong size.
inline constexpr int kPatchSourceWrongSize = 2;
// The installed file to be patched has the wrong checksum.
inline constexpr int kPatchSourceWrongCrc = 4;
// A manifest line or its arguments could not be parsed.
inline constexpr int kManifestParseError = 5;

// 6: something could not be read or opened.
// The status of a path, a file or a link of the target could not be read.
inline constexpr int kReadFailed = 6;
// The archive, one of its entries or the extracted manifest could not be
// read or opened.
inline constexpr int kArchiveReadFailed = 6;
// A patch file could not be read.
inline constexpr int kPatchReadFailed = 6;

// 7: something could not be created or renamed.
// A file or directory could not be created.
inline constexpr int kCreateFailed = 7;
// A rename failed.
inline constexpr int kRenameFailed = 7;
// The file an archive entry is extracted to could not be created.
inline constexpr int kExtractCreateFailed = 7;

// No memory for the archive reader's transfer buffers.
inline constexpr int kArchiveNoMemory = 11;
// No memory for a patch's blocks.
inline constexpr int kPatchNoMemory = 12;
// No memory for a copy buffer or a patch source.
inline constexpr int kCopyNoMemory = 13;
// No memory while expanding a recursive directory removal.
inline constexpr int kRemoveTreeNoMemory = 14;

// XZ decoding of an archive entry failed.
inline constexpr int kXzDecodeFailed = 39;
// An archive entry of length 0.
inline constexpr int kArchiveEntryEmpty = 40;
// A patch file is malformed or inconsistent with its source.
inline constexpr int kPatchMalformed = 41;
// The directory walk of a recursive removal failed.
inline constexpr int kRemoveTreeWalkFailed = 42;
// An "rmdir" target is not a directory.
inline constexpr int kRmdirNotDirectory = 46;
// A "remove" target is not a regular file.
inline constexpr int kRemoveNotFile = 47;
// A rename source is neither a regular file nor a directory.
inline constexpr int kRenameSourceNotFileOrDir = 48;
// Writing copied data failed.
inline constexpr int kCopyWriteFailed = 61;
// A rename destination exists and could not be removed.
inline constexpr int kRenameDestinationInTheWay = 62;
// The patched file could not be created.
inline constexpr int kPatchedFileCreateFailed = 63;
// Writing the patched file fell short.
inline constexpr int kPatchedFileWriteShort = 64;
// No write permission in the directory of a file to remove.
inline constexpr int kRemoveDirNotWritable = 67;
// No write permission on a directory to remove.
inline constexpr int kRmdirNotWritable = 68;
// Writing an extracted entry fell short.
inline constexpr int kExtractWriteShort = 70;

// Argument errors of the command line.
inline constexpr int kInvalidInstallDir = 75;
inline constexpr int kInvalidWorkingDir = 76;
inline constexpr int kInvalidCallbackPath = 77;
inline constexpr int kCallbackOutsideInstallDir = 78;

// Failures of the run's own safeguards.
// The run was asked to stop (SIGTERM, SIGHUP or SIGINT) and rolled back.
inline constexpr int kStoppedBySignal = 90;
// The recovery record could not be written or flushed; nothing was changed.
inline constexpr int kRecordWriteFailed = 91;
// A tree copy or removal met a path that does not fit kMaxPath or a tree
// nested deeper than kMaxTreeDepth.
inline constexpr int kTreeTooDeep = 92;
// An interrupted update could not be repaired; the record is kept for the
// next run and nothing else was changed.
inline constexpr int kRecoveryFailed = 93;
// Flushing the installation's file system to disk failed.
inline constexpr int kFlushFailed = 94;
// The archive has no valid signature (unsigned, a malformed signatures
// section, or no signature verifies with the installation's keys).
inline constexpr int kUpdateSignatureInvalid = 95;
// The installation's key file exists but cannot be read, or is malformed.
inline constexpr int kUpdateKeysUnreadable = 96;

#endif  // VLM_UPDATER_RESULT_H_
