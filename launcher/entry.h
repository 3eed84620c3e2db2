// The launcher's entry: argument dispatch over the four modes (browser,
// application data file, script shell, content process) and the calls into
// the engine's Bootstrap. Runs once on the main thread.
#ifndef VLM_LAUNCHER_ENTRY_H_
#define VLM_LAUNCHER_ENTRY_H_

#include <cstdint>

#include "vlm/bootstrap.h"

namespace vellum::launcher {

// The record passed as LaunchConfig::builtinAppData in browser mode.
extern const BuiltinAppData kBuiltinAppData;

// Clears the held Bootstrap and registers the exit handler that releases
// whatever it still holds. Called once by tarvelin's static initialisation.
void InitHeldBootstrap();

// Resolves the executable, loads the engine libraries, keeps the Bootstrap and
// calls EngineInit. Returns kOk or kFailure (after printing why).
int32_t InitEngineGlue(const char* program);

// The entry point: returns the process's exit status.
int LauncherMain(int argc, char** argv, char** envp);

// Writes the formatted text to standard error; no newline is added.
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats into `buffer` (kPathBufferSize bytes), truncating to 4095
// characters; the last byte always holds a NUL.
void FormatToBuffer(char* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vellum::launcher

#endif  // VLM_LAUNCHER_ENTRY_H_
