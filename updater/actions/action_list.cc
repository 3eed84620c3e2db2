// The action list and its prepare, execute and finish passes.
#include "updater/actions/action_list.h"

#include "updater/log.h"
#include "updater/progress.h"
#include "updater/result.h"
#include "updater/state.h"
#include "updater/update_record.h"

namespace {

constexpr float kPrepareEnd = 20.0f;
constexpr float kExecuteEnd = 95.0f;
constexpr float kFinishEnd = 100.0f;

}  // namespace

ActionList::~ActionList() {
  UpdateAction* action = first_;
  while (action) {
    UpdateAction* next = action->next;
    delete action;
    action = next;
  }
}

void ActionList::Append(UpdateAction* action) {
  action->next = nullptr;
  if (last_) {
    last_->next = action;
  } else {
    first_ = action;
  }
  last_ = action;
  ++count_;
}

int ActionList::Prepare() {
  if (count_ == 0) {
    LOG("empty action list");
    return kNoActions;
  }
  int i = 0;
  for (UpdateAction* action = first_; action; action = action->next) {
    ++i;
    if (gStopSignal) {
      LOG("ActionList::Prepare: stopped by signal %d", static_cast<int>(gStopSignal));
      return kStoppedBySignal;
    }
    int rv = action->Prepare();
    if (rv) {
      return rv;
    }
    UpdateProgressUI(static_cast<float>(i) / static_cast<float>(count_) * kPrepareEnd);
  }
  return 0;
}

int ActionList::Execute() {
  // Summed after the prepare pass: actions with nothing to do weigh 0.
  int total = 0;
  for (UpdateAction* action = first_; action; action = action->next) {
    total += action->progress_cost;
  }
  int done = 0;
  for (UpdateAction* action = first_; action; action = action->next) {
    // A stop request rolls back between two actions, never inside one.
    int rv = gStopSignal ? kStoppedBySignal : action->Execute();
    if (rv == kStoppedBySignal) {
      LOG("ActionList::Execute: stopped by signal %d", static_cast<int>(gStopSignal));
    }
    if (rv) {
      LOG("### execution failed");
      return rv;
    }
    done += action->progress_cost;
    if (total > 0) {
      UpdateProgressUI(kPrepareEnd + (kExecuteEnd - kPrepareEnd) * static_cast<float>(done) /
                                         static_cast<float>(total));
    }
  }
  // With nothing to weigh, the pass still ends where the finish pass begins.
  if (total <= 0) {
    UpdateProgressUI(kExecuteEnd);
  }
  if (gStopSignal) {
    LOG("ActionList::Execute: stopped by signal %d", static_cast<int>(gStopSignal));
    LOG("### execution failed");
    return kStoppedBySignal;
  }
  return 0;
}

void ActionList::Finish(int status) {
  // A failed normal update first takes away what it created, files then
  // directories (deepest first), so that the backups fit back in: a file
  // that became a directory comes back as the file.
  if (status != 0 && !gStagedUpdate) {
    for (UpdateAction* action = first_; action; action = action->next) {
      action->Discard();
    }
    RecordRemoveCreatedDirs();
  }
  int i = 0;
  for (UpdateAction* action = first_; action; action = action->next) {
    ++i;
    action->Finish(status);
    UpdateProgressUI(kExecuteEnd + (kFinishEnd - kExecuteEnd) * static_cast<float>(i) /
                                       static_cast<float>(count_));
  }
  if (status == 0) {
    gUpdateSucceeded = true;
  }
}
