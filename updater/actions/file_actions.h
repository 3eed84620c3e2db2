// The file actions: "remove", "rmdir", "add", "add-if" and "add-if-not".
//
// Paths are relative to the target directory. In a normal update a replaced
// or removed file is renamed to its backup name in Execute and the backup is
// deleted (status 0) or restored (else) in Finish; a staged update works on a
// copy and keeps no backups. A directory is removed only in Finish of a run
// that succeeded.
#ifndef VLM_UPDATER_ACTIONS_FILE_ACTIONS_H_
#define VLM_UPDATER_ACTIONS_FILE_ACTIONS_H_

#include <sys/types.h>

#include "updater/actions/action.h"
#include "updater/result.h"

class RemoveAction : public UpdateAction {
 public:
  ~RemoveAction() override;
  int Parse(char* line) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;
  void AddToRecord() const override;

 private:
  char* file_ = nullptr;
  char relative_path_[kMaxPath] = {};
  int skip_ = 0;
};

class RmdirAction : public UpdateAction {
 public:
  ~RmdirAction() override;
  int Parse(char* line) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;
  void AddToRecord() const override;

 private:
  char* dir_ = nullptr;
  char relative_path_[kMaxPath] = {};
  int skip_ = 0;
};

class AddAction : public UpdateAction {
 public:
  ~AddAction() override;
  int Parse(char* line) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;
  void AddToRecord() const override;
  void Discard() override;

 protected:
  char* file_ = nullptr;
  char relative_path_[kMaxPath] = {};
  bool added_ = false;
  // Execute made the file (there was none before): a failed run removes it,
  // also when the extraction stopped part-way.
  bool created_ = false;
  // The file this action wrote, by identity. A failed run removes only that
  // file: when an earlier action removed the same path (a complete update
  // removes what precomplete lists and adds it again), its rollback has put
  // the original back by the time this action finishes.
  bool wrote_ = false;
  dev_t written_dev_ = 0;
  ino_t written_ino_ = 0;

 private:
  void RecordWrittenFile();
  bool StillHoldsWrittenFile() const;
};

// "add-if": adds only when the test file exists when the run is prepared.
class AddIfAction : public AddAction {
 public:
  ~AddIfAction() override;
  int Parse(char* line) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;
  void AddToRecord() const override;
  void Discard() override;

 private:
  char* test_file_ = nullptr;  // null once inactive
};

// "add-if-not": adds only when the test file is missing when the run is
// prepared.
class AddIfNotAction : public AddAction {
 public:
  ~AddIfNotAction() override;
  int Parse(char* line) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;
  void AddToRecord() const override;
  void Discard() override;

 private:
  char* test_file_ = nullptr;  // null once inactive
};

#endif  // VLM_UPDATER_ACTIONS_FILE_ACTIONS_H_
