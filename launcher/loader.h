// The engine library loader: finds the installation directory from the
// running executable's path and loads every library that dependentlibs.list
// names, with global symbol visibility, the engine library last; then obtains
// the engine's Bootstrap from it.
//
// Runs once on the main thread during start-up. Loaded libraries stay loaded
// for the life of the process. Messages go to standard error.
#ifndef VLM_LAUNCHER_LOADER_H_
#define VLM_LAUNCHER_LOADER_H_

#include <cstddef>
#include <cstdint>

#include "launcher/status.h"
#include "vlm/bootstrap.h"

namespace vellum::launcher {

// Resolves `program` (argv[0]) to the absolute, link-free path of the running
// executable in `result` (kPathBufferSize bytes): directly when it contains a
// "/", else (or when that fails) by trying it below every PATH entry. Returns
// kOk, kFailure (not found, PATH unset or empty, null `program`) or
// kOutOfMemory (no copy of PATH).
int32_t ResolveExecutablePath(const char* program, char* result);

// Loads the libraries listed in dependentlibs.list next to `executable_path`
// (dependentlibs.list.gtest when VLM_RUN_GTEST is set) and returns the
// engine's Bootstrap, owned by the caller, or null. A library that fails to
// load is reported on standard error and unloads all loaded before it.
// G_SLICE is "always-malloc" while the libraries load, unless the user set it.
Bootstrap* LoadEngineLibraries(const char* executable_path);

// Asks the kernel to read ahead the part of the ELF file at `path` that the
// dynamic loader will map. Never fails visibly.
void PrefetchElfFile(const char* path);

// The number of bytes to read ahead for a file whose first `size` bytes are
// `head`: the largest end (offset plus file size) of the PT_LOAD segments
// whose program headers lie wholly within `head`; 0 when `head` is not a
// complete 64-bit ELF header or its program header table does not fit in the
// first 4095 bytes.
uint64_t ElfReadAheadLength(const unsigned char* head, size_t size);

// Number of libraries currently loaded (for tests).
size_t LoadedLibraryCount();

}  // namespace vellum::launcher

#endif  // VLM_LAUNCHER_LOADER_H_
