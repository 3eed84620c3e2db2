// Crash reporting.
//
// Every fatal condition in the process ends here: a reason text is stored in
// gVlmCrashReason, then the process writes its line value to address zero, so
// that a crash reporter inspecting the dead process can say why it died.
// Nothing here allocates; every function may be called from any thread and
// from the allocator itself. None of them returns.
#ifndef VLM_CRASH_H_
#define VLM_CRASH_H_

extern "C" {

// The reason of the crash that ended the process; null until a crash sets it.
extern const char* gVlmCrashReason;

// Crashes with `reason` as the crash reason and `line` as the faulting value.
[[noreturn]] void VLM_CrashOOL(int line, const char* reason);

// Crashes with a printf-formatted reason (at most 1023 characters; a longer
// one leaves the reason unset and crashes with line value 58). Only the first
// thread to get here formats; later ones crash at once with their own line.
[[noreturn]] void VLM_CrashPrintf(int line, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // extern "C"

// Writes `message` and a newline to standard error, then crashes with reason
// "VLM_CRASH()" and line value 33.
[[noreturn]] void vlmalloc_abort(const char* message);

#endif  // VLM_CRASH_H_
