// The list of a run's actions and its three passes.
//
// Owns its actions (appended in creation order, destroyed in list order).
// Prepare runs every action's Prepare (nothing changes yet), Execute every
// Execute until one fails, Finish every Finish with the run's status. The
// passes report progress through UpdateProgressUI: 0 to 20, 20 to 95
// weighted by the actions' progress costs, 95 to 100. Worker thread only.
#ifndef VLM_UPDATER_ACTIONS_ACTION_LIST_H_
#define VLM_UPDATER_ACTIONS_ACTION_LIST_H_

#include "updater/actions/action.h"

class ActionList {
 public:
  ActionList() = default;
  ~ActionList();
  ActionList(const ActionList&) = delete;
  ActionList& operator=(const ActionList&) = delete;

  // Takes ownership.
  void Append(UpdateAction* action);
  // 1 ("empty action list") when there are no actions, else the first
  // nonzero result of an action's Prepare, or 0.
  [[nodiscard]] int Prepare();
  // The first nonzero result of an action's Execute (logged as "###
  // execution failed"; later actions do not run), or 0.
  [[nodiscard]] int Execute();
  // Finish for every action, executed or not; status 0 sets gUpdateSucceeded.
  void Finish(int status);

  int count() const { return count_; }
  UpdateAction* first() const { return first_; }

 private:
  UpdateAction* first_ = nullptr;
  UpdateAction* last_ = nullptr;
  int count_ = 0;
};

#endif  // VLM_UPDATER_ACTIONS_ACTION_LIST_H_
