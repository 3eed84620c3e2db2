#include "updater/actions/action_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "updater/progress.h"
#include "updater/state.h"
#include "updater/test_util.h"

namespace {

using vlm_test::LogCapture;

// Records every call, and the progress reported before it, into a journal.
struct Journal {
  std::vector<std::string> calls;
  std::vector<float> progress;
};

class FakeAction : public UpdateAction {
 public:
  FakeAction(Journal* journal, int id, int prepare_result, int execute_result, int cost)
      : journal_(journal),
        id_(id),
        prepare_result_(prepare_result),
        execute_result_(execute_result),
        cost_(cost) {}
  ~FakeAction() override { Record("delete"); }
  int Parse(char*) override { return 0; }
  int Prepare() override {
    Record("prepare");
    progress_cost = cost_;
    return prepare_result_;
  }
  int Execute() override {
    Record("execute");
    return execute_result_;
  }
  void Finish(int status) override { Record("finish " + std::to_string(status)); }

 private:
  void Record(const std::string& what) {
    journal_->calls.push_back(what + " " + std::to_string(id_));
    journal_->progress.push_back(gProgress.load());
  }
  Journal* journal_;
  int id_, prepare_result_, execute_result_, cost_;
};

// Runs five actions as ApplyManifest does; returns the result.
int RunList(Journal* journal, int fail_prepare_at, int fail_execute_at, std::vector<int> costs) {
  UpdateProgressUI(0);
  gUpdateSucceeded = false;
  int rv;
  {
    ActionList list;
    for (int i = 1; i <= 5; ++i) {
      list.Append(new FakeAction(journal, i, i == fail_prepare_at ? 47 : 0,
                                 i == fail_execute_at ? 61 : 0, costs[i - 1]));
    }
    rv = list.Prepare();
    if (rv == 0) {
      rv = list.Execute();
      list.Finish(rv);
    }
  }
  journal->progress.push_back(gProgress.load());
  return rv;
}

void ExpectMonotone(const std::vector<float>& progress) {
  for (size_t i = 1; i < progress.size(); ++i) {
    EXPECT_LE(progress[i - 1], progress[i]) << "at " << i;
  }
}

TEST(ActionListTest, SuccessfulRunReportsProgressInThreeRanges) {
  Journal journal;
  EXPECT_EQ(RunList(&journal, 0, 0, {1, 0, 1, 2, 0}), 0);
  EXPECT_TRUE(gUpdateSucceeded);
  // Prepares see 0, 4, 8, 12, 16; executes see 20 then the weighted steps.
  const std::vector<float> expected = {
      0,  4,     8,     12,   16,   // prepare
      20, 38.75, 38.75, 57.5, 95,   // execute (costs 1 0 1 2 0 of 4)
      95, 96,    97,    98,   99,   // finish
      100, 100,  100,   100,  100,  // delete
      100};
  ASSERT_EQ(journal.progress.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(journal.progress[i], expected[i], 1e-4) << "at " << i;
  }
  ExpectMonotone(journal.progress);
}

TEST(ActionListTest, ZeroTotalCostReaches95AfterExecute) {
  Journal journal;
  EXPECT_EQ(RunList(&journal, 0, 0, {0, 0, 0, 0, 0}), 0);
  ExpectMonotone(journal.progress);
  EXPECT_EQ(journal.progress[10], 95.0f) << "first Finish sees the end of the execute pass";
  EXPECT_EQ(journal.progress.back(), 100.0f);
}

TEST(ActionListTest, PrepareFailureSkipsExecuteAndFinish) {
  Journal journal;
  EXPECT_EQ(RunList(&journal, 3, 0, {1, 1, 1, 1, 1}), 47);
  EXPECT_FALSE(gUpdateSucceeded);
  EXPECT_EQ(journal.calls,
            (std::vector<std::string>{"prepare 1", "prepare 2", "prepare 3", "delete 1",
                                      "delete 2", "delete 3", "delete 4", "delete 5"}));
}

TEST(ActionListTest, ExecuteFailureFinishesEveryAction) {
  LogCapture log;
  Journal journal;
  EXPECT_EQ(RunList(&journal, 0, 3, {1, 1, 1, 1, 1}), 61);
  EXPECT_FALSE(gUpdateSucceeded);
  std::vector<std::string> expected = {"prepare 1", "prepare 2", "prepare 3", "prepare 4",
                                       "prepare 5", "execute 1", "execute 2", "execute 3"};
  for (int i = 1; i <= 5; ++i) expected.push_back("finish 61 " + std::to_string(i));
  for (int i = 1; i <= 5; ++i) expected.push_back("delete " + std::to_string(i));
  EXPECT_EQ(journal.calls, expected);
  ExpectMonotone(journal.progress);
  EXPECT_EQ(journal.progress.back(), 100.0f);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"### execution failed"});
}

TEST(ActionListTest, EmptyList) {
  LogCapture log;
  ActionList list;
  EXPECT_EQ(list.Prepare(), 1);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"empty action list"});
}

}  // namespace
