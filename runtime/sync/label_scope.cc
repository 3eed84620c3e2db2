#include "runtime/sync/label_scope.h"

namespace vellum {
namespace {

ProfilerLabelEnter gProfilerLabelEnter = nullptr;
ProfilerLabelExit gProfilerLabelExit = nullptr;

}  // namespace

void RegisterProfilerLabelEnterExit(ProfilerLabelEnter enter, ProfilerLabelExit exit) {
  gProfilerLabelEnter = enter;
  gProfilerLabelExit = exit;
}

ProfilerLabelEnter ProfilerLabelEnterCallback() { return gProfilerLabelEnter; }
ProfilerLabelExit ProfilerLabelExitCallback() { return gProfilerLabelExit; }

LabelScope::LabelScope(const char* label, const char* dynamic_string, uint32_t line)
    : stack_(nullptr) {
  if (gProfilerLabelEnter) stack_ = gProfilerLabelEnter(label, dynamic_string, this, line);
}

LabelScope::~LabelScope() {
  if (gProfilerLabelExit && stack_) gProfilerLabelExit(stack_);
}

}  // namespace vellum
