// The engine library loader (see loader.h).
#include "launcher/loader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(PATH_MAX <= vellum::launcher::kPathBufferSize,
              "realpath writes up to PATH_MAX bytes into our path buffers");

namespace vellum::launcher {
namespace {

struct LoadedLibrary {
  void* handle;
  LoadedLibrary* next;
};

// Newest first. Libraries stay listed for the life of the process once the
// load has succeeded.
LoadedLibrary* gLoadedLibraries = nullptr;

constexpr char kListName[] = "/dependentlibs.list";
constexpr char kGtestSuffix[] = ".gtest";

// realpath of `path` into `result`, accepted when stat of the result works
// (neither type nor permissions are examined).
bool RealpathExists(const char* path, char* result) {
  struct stat st;
  return realpath(path, result) != nullptr && stat(result, &st) == 0;
}

void UnloadAll() {
  while (gLoadedLibraries != nullptr) {
    LoadedLibrary* node = gLoadedLibraries;
    gLoadedLibraries = node->next;
    dlclose(node->handle);
    free(node);
  }
}

// Sets G_SLICE to "always-malloc" for the libraries' initialisers unless the
// user has set it, and removes it again on every way out.
class ScopedGSlice {
 public:
  ScopedGSlice() {
    if (getenv("G_SLICE") == nullptr) {
      owned_ = setenv("G_SLICE", "always-malloc", 1) == 0;
    }
  }
  ~ScopedGSlice() {
    if (owned_) unsetenv("G_SLICE");
  }
  ScopedGSlice(const ScopedGSlice&) = delete;
  ScopedGSlice& operator=(const ScopedGSlice&) = delete;

 private:
  bool owned_ = false;
};

class ScopedFile {
 public:
  explicit ScopedFile(FILE* file) : file_(file) {}
  ~ScopedFile() {
    if (file_ != nullptr) fclose(file_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  FILE* get() const { return file_; }

 private:
  FILE* file_;
};

template <typename T>
T ReadField(const unsigned char* p) {
  T value;
  memcpy(&value, p, sizeof(value));
  return value;
}

}  // namespace

int32_t ResolveExecutablePath(const char* program, char* result) {
  if (program == nullptr) return kFailure;
  if (strchr(program, '/') != nullptr && RealpathExists(program, result)) {
    return kOk;
  }

  const char* path = getenv("PATH");
  if (path == nullptr) return kFailure;
  char* copy = strdup(path);
  if (copy == nullptr) return kOutOfMemory;

  char candidate[kPathBufferSize];
  char* save = nullptr;
  for (char* entry = strtok_r(copy, ":", &save); entry != nullptr;
       entry = strtok_r(nullptr, ":", &save)) {
    int n = snprintf(candidate, sizeof(candidate), "%s/%s", entry, program);
    // A candidate that does not fit would name another file: skip it.
    if (n < 0 || static_cast<size_t>(n) >= sizeof(candidate)) continue;
    if (RealpathExists(candidate, result)) {
      free(copy);
      return kOk;
    }
  }
  free(copy);
  return kFailure;
}

Bootstrap* LoadEngineLibraries(const char* executable_path) {
  ScopedGSlice g_slice;
  if (executable_path == nullptr) return nullptr;
  const char* last_slash = strrchr(executable_path, '/');
  if (last_slash == nullptr) return nullptr;
  size_t dir_length = static_cast<size_t>(last_slash - executable_path);

  // The list's path: directory, "/dependentlibs.list", optional ".gtest".
  const char* suffix = getenv("VLM_RUN_GTEST") != nullptr ? kGtestSuffix : "";
  char path[kPathBufferSize];
  size_t needed = dir_length + strlen(kListName) + strlen(suffix) + 1;
  if (needed > sizeof(path)) return nullptr;
  memcpy(path, executable_path, dir_length);
  snprintf(path + dir_length, sizeof(path) - dir_length, "%s%s", kListName, suffix);

  ScopedFile list(fopen(path, "r"));
  if (list.get() == nullptr) return nullptr;
  size_t prefix_length = dir_length + 1;  // the directory and its "/"
  path[prefix_length] = '\0';

  char line[kPathBufferSize];
  while (fgets(line, sizeof(line), list.get()) != nullptr) {
    size_t length = strlen(line);
    if (length == 0 || line[0] == '#') continue;
    if (line[length - 1] == '\n') line[--length] = '\0';
    if (prefix_length + length + 1 > sizeof(path)) return nullptr;
    memcpy(path + prefix_length, line, length + 1);

    PrefetchElfFile(path);
    void* handle = dlopen(path, RTLD_LAZY | RTLD_GLOBAL);
    LoadedLibrary* node = nullptr;
    if (handle == nullptr) {
      const char* error = dlerror();
      fprintf(stderr, "VESTRAGlueLoad error for file %s:\n%s\n", path,
              error != nullptr ? error : "");
    } else {
      node = static_cast<LoadedLibrary*>(malloc(sizeof(LoadedLibrary)));
      // Without a node the handle could never be accounted for: treat it as
      // a failed load (the caller reports it).
      if (node == nullptr) dlclose(handle);
    }
    if (node == nullptr) {
      UnloadAll();
      return nullptr;
    }
    node->handle = handle;
    node->next = gLoadedLibraries;
    gLoadedLibraries = node;
  }

  if (gLoadedLibraries == nullptr) return nullptr;
  auto get_bootstrap =
      reinterpret_cast<GetBootstrapFunc>(dlsym(gLoadedLibraries->handle, "ZOV_GetBootstrap"));
  if (get_bootstrap == nullptr) return nullptr;
  Bootstrap* bootstrap = nullptr;
  get_bootstrap(&bootstrap);
  return bootstrap;
}

uint64_t ElfReadAheadLength(const unsigned char* head, size_t size) {
  // ELF64 header fields and program header layout.
  constexpr size_t kHeaderSize = 64;
  constexpr size_t kPhoffOffset = 32;
  constexpr size_t kPhentsizeOffset = 54;
  constexpr size_t kPhnumOffset = 56;
  constexpr uint64_t kProgramHeaderSize = 56;
  constexpr uint64_t kTableLimit = 4095;
  constexpr uint32_t kPtLoad = 1;

  // The header fields are only meaningful when the whole header was read.
  if (size < kHeaderSize) return 0;
  if (head[0] != 0x7F || head[1] != 'E' || head[2] != 'L' || head[3] != 'F' || head[4] != 2) {
    return 0;
  }
  uint64_t phoff = ReadField<uint64_t>(head + kPhoffOffset);
  uint64_t phentsize = ReadField<uint16_t>(head + kPhentsizeOffset);
  uint64_t phnum = ReadField<uint16_t>(head + kPhnumOffset);
  if (phnum == 0) return 0;
  // phoff comes from the file: compare without letting the sum wrap.
  uint64_t table = phentsize * phnum;  // at most 65535 * 65535
  if (table > kTableLimit || phoff > kTableLimit - table) return 0;

  uint64_t largest = 0;
  for (uint64_t i = 0; i < phnum; ++i) {
    uint64_t at = phoff + i * kProgramHeaderSize;
    if (at + kProgramHeaderSize > size) break;
    const unsigned char* entry = head + at;
    if (ReadField<uint32_t>(entry) != kPtLoad) continue;
    uint64_t offset = ReadField<uint64_t>(entry + 8);
    uint64_t filesz = ReadField<uint64_t>(entry + 32);
    uint64_t end = offset + filesz;
    if (end < offset) end = UINT64_MAX;  // a wrapped end still means "all"
    if (end > largest) largest = end;
  }
  return largest;
}

void PrefetchElfFile(const char* path) {
  if (path == nullptr) return;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  unsigned char head[kPathBufferSize];
  size_t size = 0;
  while (size < sizeof(head)) {
    ssize_t n = read(fd, head + size, sizeof(head) - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<size_t>(n);
  }
  uint64_t length = ElfReadAheadLength(head, size);
  if (length != 0) {
    readahead(fd, 0, length > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(length));
  }
  close(fd);
}

size_t LoadedLibraryCount() {
  size_t count = 0;
  for (LoadedLibrary* node = gLoadedLibraries; node != nullptr; node = node->next) {
    ++count;
  }
  return count;
}

}  // namespace vellum::launcher
