// The common fixture of the updater's end-to-end tests. Apart from
// updater_harness.h because X11's headers (the window test) define Status.
#ifndef VLM_TESTS_UPDATER_FIXTURE_H_
#define VLM_TESTS_UPDATER_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/updater_harness.h"

namespace updater_test {

// A temporary root (removed after the test) with the paths of an
// installation, root_/inst, and a patch directory, root_/patch (neither is
// made), and what the updater leaves in the patch directory.
class UpdaterFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Runs the updater with `args` after the program name.
  RunResult Updater(const std::vector<std::string>& args);
  std::string Status() const { return ReadFile(patch_ + "/update.status"); }
  std::string Log() const { return ReadFile(patch_ + "/update.log"); }

  std::string root_, inst_, patch_;
};

}  // namespace updater_test

#endif  // VLM_TESTS_UPDATER_FIXTURE_H_
