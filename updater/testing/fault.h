// Fault injection for tests of code that changes files.
//
// A test binary linked with VLM_FAULT_LINK_OPTIONS (see base.cmake) routes
// the C library calls below, made from our own objects, through wrappers.
// While armed, each wrapped call is counted, and the n-th one (or every call
// of one kind on a matching path) fails with the chosen errno instead of
// reaching the C library. Calls the C library makes internally (fwrite's own
// write) are not seen; fwrite itself is. Single-threaded use only.
#ifndef VLM_UPDATER_TESTING_FAULT_H_
#define VLM_UPDATER_TESTING_FAULT_H_

namespace vlm_fault {

// The wrapped calls: rename remove unlink mkdir rmdir open fopen fdopen
// fwrite write chmod symlink posix_fallocate opendir fsync syncfs flock.

// Arms the counter: the n-th wrapped call from now (1-based) fails with
// `err`. 0 counts without failing.
void FailNth(long n, int err = 28 /* ENOSPC */);
// Exit status of a process ended by CrashNth with kExit.
inline constexpr int kCrashExitStatus = 86;
enum class Crash { kExit, kKill };
// Arms the counter so that the n-th wrapped call from now ends the process
// on the spot, before the call reaches the C library: with _exit (no exit
// handlers, buffered output is lost, as in a crash) or with SIGKILL. For a
// forked child only.
void CrashNth(long n, Crash how);
// Arms a rule: every call of `call` (e.g. "rename") whose path argument
// contains `substring` fails with `err`, until Reset.
void FailPath(const char* call, const char* substring, int err);
// Wrapped calls counted since the last FailNth.
long Calls();
// Whether an injected failure has happened since the last FailNth/FailPath.
bool Fired();
// Disarms everything.
void Reset();

}  // namespace vlm_fault

#endif  // VLM_UPDATER_TESTING_FAULT_H_
