// Test fixture for the actions: a temporary installation, working and patch
// directory, update archives made with the archive writer (the code behind
// `upq -c`), patches made with the patch writer (the code behind `qbdiff`),
// and snapshots of whole trees for before/after comparisons.
#ifndef VLM_UPDATER_ACTIONS_UPDATE_FIXTURE_H_
#define VLM_UPDATER_ACTIONS_UPDATE_FIXTURE_H_

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "updater/actions/manifest.h"
#include "updater/formats/upq.h"
#include "updater/state.h"
#include "updater/test_util.h"

namespace vlm_test {

// path relative to the root -> "d <mode>", "f <mode> <content>" or
// "l <target>".
using Tree = std::map<std::string, std::string>;

inline void SnapshotInto(const std::string& root, const std::string& relative, Tree* tree) {
  DIR* dir = opendir((root + relative).c_str());
  if (!dir) {
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    std::string rel = relative + "/" + name;
    std::string full = root + rel;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
      continue;
    }
    char mode[16];
    snprintf(mode, sizeof(mode), "%04o", st.st_mode & 07777);
    if (S_ISDIR(st.st_mode)) {
      (*tree)[rel.substr(1)] = std::string("d ") + mode;
      SnapshotInto(root, rel, tree);
    } else if (S_ISLNK(st.st_mode)) {
      (*tree)[rel.substr(1)] = "l " + LinkTarget(full);
    } else {
      (*tree)[rel.substr(1)] = std::string("f ") + mode + " " + ReadFile(full);
    }
  }
  closedir(dir);
}

inline Tree Snapshot(const std::string& root) {
  Tree tree;
  SnapshotInto(root, "", &tree);
  return tree;
}

// `after` without the directories it has and `before` lacks: a rolled-back
// add leaves the directories it created (they are empty, or their contents
// would show as entries of their own).
inline Tree WithoutNewDirectories(const Tree& before, Tree after) {
  for (auto it = after.begin(); it != after.end();) {
    if (!before.count(it->first) && it->second.rfind("d ", 0) == 0) {
      it = after.erase(it);
    } else {
      ++it;
    }
  }
  return after;
}

// Runs a tool (argv[0] is its path) and returns its exit status.
inline int RunTool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

// `size` bytes that patch well: runs of slowly rising values (like code)
// with a pseudo-random tail in every 16 bytes, different for each `seed`.
inline std::string Binary(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    data[i] = static_cast<char>(i % 16 < 12 ? i / 16 : seed >> 24);
  }
  return data;
}

// A patch that turns `old_data` into `new_data`, made with `qbdiff`.
inline std::string MakePatch(const std::string& old_data, const std::string& new_data) {
  TempDir dir;
  EXPECT_TRUE(WriteFile(dir / "old", old_data));
  EXPECT_TRUE(WriteFile(dir / "new", new_data));
  EXPECT_EQ(RunTool({VLM_QBDIFF_PATH, dir / "old", dir / "new", dir / "patch"}), 0);
  return ReadFile(dir / "patch");
}

class UpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    install_ = root_ / "inst";
    work_ = root_ / "work";
    patch_dir_ = root_ / "patch";
    for (const std::string& dir : {install_, work_, patch_dir_}) {
      mkdir(dir.c_str(), 0755);
    }
    snprintf(gInstallDir, sizeof(gInstallDir), "%s", install_.c_str());
    snprintf(gWorkingDir, sizeof(gWorkingDir), "%s", work_.c_str());
    snprintf(gPatchDir, sizeof(gPatchDir), "%s", patch_dir_.c_str());
    gStagedUpdate = false;
    gUpdateSucceeded = false;
  }
  void TearDown() override { gArchiveReader.Close(); }

  // The directory the manifest changes.
  std::string Target(const std::string& relative = "") const {
    std::string target = gStagedUpdate ? work_ : install_;
    return relative.empty() ? target : target + "/" + relative;
  }
  void Put(const std::string& relative, const std::string& content, int mode = 0644) {
    std::string path = Target(relative);
    for (size_t slash = path.find('/', Target().size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0755);
    }
    ASSERT_TRUE(WriteFile(path, content, mode));
  }

  void AddEntry(const std::string& name, const std::string& data, int mode = 0644) {
    entries_.push_back({name, data, mode});
  }

  // Writes the archive with `upq -c`: the manifest (unless null) under
  // `manifest_name` and every AddEntry, each with its mode.
  void WriteArchive(const char* manifest, const char* manifest_name = "updatev3.manifest") {
    TempDir stage;
    std::vector<std::string> args = {VLM_UPQ_PATH, "-c", Archive(), "-C", stage.path(), "-1"};
    std::vector<Entry> entries = entries_;
    if (manifest) {
      entries.insert(entries.begin(), {manifest_name, manifest, 0644});
    }
    for (const Entry& entry : entries) {
      std::string path = stage / entry.name;
      for (size_t slash = path.find('/', stage.path().size() + 1); slash != std::string::npos;
           slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
      }
      ASSERT_TRUE(WriteFile(path, entry.data, entry.mode));
      args.push_back(entry.name);
    }
    ASSERT_EQ(RunTool(args), 0);
  }

  // Opens the archive (WriteArchive first) and runs the manifest phase.
  int RunManifest() {
    int rv = gArchiveReader.Open(Archive().c_str());
    EXPECT_EQ(rv, 0);
    if (rv) {
      return rv;
    }
    rv = ApplyManifest();
    gArchiveReader.Close();
    return rv;
  }

  int Apply(const char* manifest) {
    WriteArchive(manifest);
    return RunManifest();
  }

  std::string Archive() const { return patch_dir_ + "/update.upq"; }

  // Files left in the scratch directory.
  std::vector<std::string> Scratch() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : Snapshot(work_ + "/updating")) {
      names.push_back(name);
    }
    return names;
  }

  struct Entry {
    std::string name;
    std::string data;
    int mode;
  };

  TempDir root_;
  std::string install_, work_, patch_dir_;
  std::vector<Entry> entries_;
};

inline bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) {
      return true;
    }
  }
  return false;
}

}  // namespace vlm_test

#endif  // VLM_UPDATER_ACTIONS_UPDATE_FIXTURE_H_
