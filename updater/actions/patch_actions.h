// The patch actions: "patch" and "patch-if".
//
// Prepare extracts the patch entry into the numbered scratch file
// "<working dir>/updating/<n>.patch", so a missing or damaged entry stops the
// run before anything changes. Execute checks the installed file against the
// patch's source length and checksum before touching it, then rebuilds it
// under its own name with its old mode (keeping a backup in a normal update).
// The patch entry name points into the manifest text, which must outlive the
// action.
#ifndef VLM_UPDATER_ACTIONS_PATCH_ACTIONS_H_
#define VLM_UPDATER_ACTIONS_PATCH_ACTIONS_H_

#include <stdio.h>

#include "updater/actions/action.h"
#include "updater/formats/patch.h"
#include "updater/result.h"

class PatchAction : public UpdateAction {
 public:
  ~PatchAction() override;
  int Parse(char* line) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;
  void AddToRecord() const override;

 protected:
  // Reads the whole installed file into buf_ and checks its length and
  // checksum against the header: 0, 2, 4, 6 or 13.
  [[nodiscard]] int LoadSourceFile(FILE* ofile);

  // Process-wide on purpose, and never reset: the scratch files of one run
  // are numbered in the order the actions are prepared, across every list
  // the process builds, so two actions never share a scratch file.
  static int sPatchIndex;

  const char* patch_name_ = nullptr;
  char* file_ = nullptr;
  char relative_path_[kMaxPath] = {};
  int patch_index_ = -1;
  PatchHeader header_ = {};
  unsigned char* buf_ = nullptr;
  char patch_file_[kMaxPath] = {};
  FILE* patch_stream_ = nullptr;
};

// "patch-if": patches only when the test file exists when the run is
// prepared (an inactive action takes no patch number).
class PatchIfAction : public PatchAction {
 public:
  ~PatchIfAction() override;
  int Parse(char* line) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;
  void AddToRecord() const override;

 private:
  char* test_file_ = nullptr;  // null once inactive
};

#endif  // VLM_UPDATER_ACTIONS_PATCH_ACTIONS_H_
