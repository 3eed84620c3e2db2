// The engine binds to Bootstrap by table position, not by name: each
// operation must stay in its slot.
#include <string>

#include "gtest/gtest.h"
#include "vlm/bootstrap.h"

namespace {

class Probe final : public Bootstrap {
 public:
  std::string last;
  void Release() override { last = "Release"; }
  void EngineInit() override { last = "EngineInit"; }
  void EngineTerm() override { last = "EngineTerm"; }
  void RecordStartupEvent(uint32_t event, vellum::TimeStamp when) override {
    last = "RecordStartupEvent " + std::to_string(event) + " " +
           std::to_string(when.RawNanoseconds());
  }
  int32_t RunApplication(int argc, char**, const LaunchConfig* config) override {
    last = "RunApplication " + std::to_string(argc) + " " + config->appLocation;
    return 11;
  }
  int32_t RunShell(int argc, char**, char**, const ShellOptions*) override {
    last = "RunShell " + std::to_string(argc);
    return 12;
  }
  void SetChildProcessArgument(const char* argument) override {
    last = std::string("SetChildProcessArgument ") + argument;
  }
  int32_t RunChildProcess(int argc, char**, const ChildOptions*) override {
    last = "RunChildProcess " + std::to_string(argc);
    return -13;
  }
  void PrepareMainProcess() override { last = "PrepareMainProcess"; }
};

// Calls the function in table slot `slot` of `object` as an engine's caller
// would, with the given signature.
template <typename Result, typename... Args>
Result CallSlot(Bootstrap* object, int slot, Args... args) {
  using Function = Result (*)(Bootstrap*, Args...);
  void** table = *reinterpret_cast<void***>(object);
  return reinterpret_cast<Function>(table[slot])(object, args...);
}

TEST(BootstrapTest, TableSlots) {
  Probe probe;
  Bootstrap* b = &probe;
  char* argv[] = {nullptr};
  LaunchConfig config = {nullptr, "app.ini"};
  ShellOptions shell;
  ChildOptions child;

  CallSlot<void>(b, 2);
  EXPECT_EQ(probe.last, "Release");
  CallSlot<void>(b, 3);
  EXPECT_EQ(probe.last, "EngineInit");
  CallSlot<void>(b, 4);
  EXPECT_EQ(probe.last, "EngineTerm");
  CallSlot<void>(b, 6, uint32_t{1}, vellum::TimeStamp(42));
  EXPECT_EQ(probe.last, "RecordStartupEvent 1 42");
  EXPECT_EQ(CallSlot<int32_t>(b, 7, 3, argv, &config), 11);
  EXPECT_EQ(probe.last, "RunApplication 3 app.ini");
  EXPECT_EQ(CallSlot<int32_t>(b, 9, 2, argv, argv, &shell), 12);
  EXPECT_EQ(probe.last, "RunShell 2");
  CallSlot<void>(b, 11, "last");
  EXPECT_EQ(probe.last, "SetChildProcessArgument last");
  EXPECT_EQ(CallSlot<int32_t>(b, 12, 4, argv, &child), -13);
  EXPECT_EQ(probe.last, "RunChildProcess 4");
  CallSlot<void>(b, 13);
  EXPECT_EQ(probe.last, "PrepareMainProcess");
  // The unnamed slots hold entries that do nothing.
  probe.last = "untouched";
  for (int slot : {0, 1, 5, 8, 10}) CallSlot<void>(b, slot);
  EXPECT_EQ(probe.last, "untouched");
}

}  // namespace
