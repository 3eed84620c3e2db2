#include "launcher/loader.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace vellum::launcher {
namespace {

namespace fs = std::filesystem;

// A 64-bit ELF header followed by program headers, built field by field.
class ElfImage {
 public:
  ElfImage() : bytes_(64, 0) {
    memcpy(bytes_.data(),
           "\x7f"
           "ELF",
           4);
    bytes_[4] = 2;  // 64-bit
    bytes_[5] = 1;
    SetPhoff(64);
    SetPhentsize(56);
  }
  void SetPhoff(uint64_t v) { Put(32, v); }
  void SetPhentsize(uint16_t v) { Put(54, v); }
  void SetPhnum(uint16_t v) { Put(56, v); }
  // Appends a program header at the end of the image.
  void AddSegment(uint32_t type, uint64_t offset, uint64_t filesz) {
    size_t at = bytes_.size();
    bytes_.resize(at + 56, 0);
    Put(at, type);
    Put(at + 8, offset);
    Put(at + 32, filesz);
  }
  std::vector<unsigned char>& bytes() { return bytes_; }

 private:
  template <typename T>
  void Put(size_t at, T v) {
    memcpy(bytes_.data() + at, &v, sizeof(v));
  }
  std::vector<unsigned char> bytes_;
};

TEST(ElfReadAheadTest, Table) {
  struct Case {
    int line;
    void (*build)(ElfImage&);
    size_t truncate_to;  // 0: keep all
    uint64_t want;
  } cases[] = {
      // The largest end of the PT_LOAD segments; other types are ignored.
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhnum(3);
         e.AddSegment(1, 0, 0x1000);
         e.AddSegment(4, 0, 0x900000);  // PT_NOTE
         e.AddSegment(1, 0x2000, 0x3500);
       },
       0, 0x5500},
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhnum(0);
         e.AddSegment(1, 0, 10);
       },
       0, 0},
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhnum(1);
         e.AddSegment(2, 0, 10);
       },
       0, 0},
      // Not ELF, or 32-bit.
      {__LINE__,
       [](ElfImage& e) {
         e.bytes()[1] = 'X';
         e.SetPhnum(1);
         e.AddSegment(1, 0, 10);
       },
       0, 0},
      {__LINE__,
       [](ElfImage& e) {
         e.bytes()[4] = 1;
         e.SetPhnum(1);
         e.AddSegment(1, 0, 10);
       },
       0, 0},
      // Shorter than the ELF header: its fields were never read.
      {__LINE__, [](ElfImage& e) { e.SetPhnum(1); }, 63, 0},
      {__LINE__, [](ElfImage&) {}, 1, 0},
      // A huge e_phoff must not wrap around into the buffer.
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhoff(UINT64_MAX - 10);
         e.SetPhnum(1);
         e.AddSegment(1, 0, 10);
       },
       0, 0},
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhoff(0xFFFFFFFFFFFFFF00ull);
         e.SetPhentsize(0xFFFF);
         e.SetPhnum(0xFFFF);
       },
       0, 0},
      // The table must end by byte 4095.
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhoff(4095 - 56);
         e.SetPhnum(1);
       },
       0, 0},
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhoff(4096 - 56);
         e.SetPhnum(1);
       },
       0, 0},
      // Entries past the bytes read are not examined.
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhnum(2);
         e.AddSegment(1, 0, 100);
         e.AddSegment(1, 0, 900);
       },
       64 + 56 + 55, 100},
      // A wrapping segment end counts as "everything".
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhnum(1);
         e.AddSegment(1, UINT64_MAX, 2);
       },
       0, UINT64_MAX},
      // Entries are 56 bytes apart whatever e_phentsize says.
      {__LINE__,
       [](ElfImage& e) {
         e.SetPhentsize(8);
         e.SetPhnum(2);
         e.AddSegment(6, 0, 1);
         e.AddSegment(1, 0, 77);
       },
       0, 77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ElfImage image;
    c.build(image);
    auto& bytes = image.bytes();
    size_t size = c.truncate_to ? c.truncate_to : bytes.size();
    EXPECT_EQ(ElfReadAheadLength(bytes.data(), size), c.want);
    // Whatever the header says, only the bytes handed over are read (the
    // sanitizer build checks this with an exactly sized copy).
    std::vector<unsigned char> exact(bytes.begin(), bytes.begin() + size);
    EXPECT_EQ(ElfReadAheadLength(exact.data(), exact.size()), c.want);
  }
}

TEST(ElfReadAheadTest, PrefetchNeverFails) {
  fs::path dir = fs::path(::testing::TempDir()) / ("vlm_prefetch_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "short") << "\x7f"
                                  "EL";
  std::ofstream(dir / "text") << "not an ELF file at all";
  PrefetchElfFile(nullptr);
  PrefetchElfFile((dir / "missing").c_str());
  PrefetchElfFile((dir / "short").c_str());
  PrefetchElfFile((dir / "text").c_str());
  PrefetchElfFile(dir.c_str());
  PrefetchElfFile("/proc/self/exe");
  fs::remove_all(dir);
}

class ResolvePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) / ("vlm_resolve_" + std::to_string(getpid()));
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "other");
    std::ofstream(root_ / "bin" / "prog") << "x";
    fs::create_symlink(root_ / "bin" / "prog", root_ / "other" / "link");
    real_ = fs::canonical(root_ / "bin" / "prog");
    const char* path = getenv("PATH");
    saved_path_ = path ? path : "";
    had_path_ = path != nullptr;
    saved_cwd_ = fs::current_path();
  }
  void TearDown() override {
    if (had_path_)
      setenv("PATH", saved_path_.c_str(), 1);
    else
      unsetenv("PATH");
    fs::current_path(saved_cwd_);
    fs::remove_all(root_);
  }
  fs::path root_, real_, saved_cwd_;
  std::string saved_path_;
  bool had_path_ = false;
};

TEST_F(ResolvePathTest, Table) {
  std::string bin = (root_ / "bin").string();
  std::string other = (root_ / "other").string();
  std::string long_entry(4090, 'd');  // with "/prog" does not fit 4096 bytes
  const std::string kUnset = "<unset>";
  struct Case {
    int line;
    std::string program;
    std::string path;  // kUnset: unset
    int32_t status;
    fs::path cwd;
  } cases[] = {
      {__LINE__, real_.string(), kUnset, kOk, {}},
      {__LINE__, other + "/link", kUnset, kOk, {}},  // links resolved
      {__LINE__, "./prog", kUnset, kOk, root_ / "bin"},
      {__LINE__, "prog", kUnset, kFailure, root_ / "bin"},  // no "/": PATH only
      {__LINE__, "prog", "", kFailure, {}},
      {__LINE__, "prog", "::", kFailure, {}},
      {__LINE__, "prog", "/nonexistent::", kFailure, {}},
      {__LINE__, "prog", "/nonexistent::" + bin, kOk, {}},
      {__LINE__, "link", other, kOk, {}},
      // A path with "/" that does not resolve is also tried below PATH.
      {__LINE__, "bin/prog", root_.string(), kOk, "/"},
      {__LINE__, "bin/missing", root_.string(), kFailure, "/"},
      // A candidate that does not fit is skipped, not cut short.
      {__LINE__, "prog", long_entry + ":" + bin, kOk, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    if (c.path != kUnset)
      setenv("PATH", c.path.c_str(), 1);
    else
      unsetenv("PATH");
    fs::current_path(c.cwd.empty() ? saved_cwd_ : c.cwd);
    char result[kPathBufferSize] = "unchanged";
    EXPECT_EQ(ResolveExecutablePath(c.program.c_str(), result), c.status);
    if (c.status == kOk) {
      EXPECT_EQ(result, real_.string());
    }
  }
  char result[kPathBufferSize];
  EXPECT_EQ(ResolveExecutablePath(nullptr, result), kFailure);
}

}  // namespace
}  // namespace vellum::launcher
