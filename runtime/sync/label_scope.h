// The profiler's label scopes inside tarvelin (see RegisterProfilerLabelEnterExit).
#ifndef VLM_RUNTIME_SYNC_LABEL_SCOPE_H_
#define VLM_RUNTIME_SYNC_LABEL_SCOPE_H_

#include <stdint.h>

#include "vlm/mutex.h"

namespace vellum {

// The registered callbacks; null until registered.
ProfilerLabelEnter ProfilerLabelEnterCallback();
ProfilerLabelExit ProfilerLabelExitCallback();

// Announces a labelled region to the profiler for the scope's lifetime: the
// enter callback, if any, is called with the label, the dynamic text, this
// object's address and the line; the exit callback gets the stack it returned
// unless that was null.
class LabelScope {
 public:
  LabelScope(const char* label, const char* dynamic_string, uint32_t line);
  ~LabelScope();
  LabelScope(const LabelScope&) = delete;
  LabelScope& operator=(const LabelScope&) = delete;

  PseudoStack* stack() const { return stack_; }

 private:
  PseudoStack* stack_;
};

}  // namespace vellum

#endif  // VLM_RUNTIME_SYNC_LABEL_SCOPE_H_
