// VlmStackWalk over the system unwinder.
#include <unwind.h>

#include "vlm/stack_walk.h"

namespace {

struct UnwindState {
  VlmWalkStackCallback callback;
  uint32_t skip;
  uint32_t max_frames;
  uint32_t frames;
  void* closure;
};

_Unwind_Reason_Code OnFrame(struct _Unwind_Context* context, void* arg) {
  UnwindState* state = static_cast<UnwindState*>(arg);
  void* pc = reinterpret_cast<void*>(_Unwind_GetIP(context));
  if (state->skip > 0) {
    --state->skip;
    return _URC_NO_REASON;
  }
  ++state->frames;
  state->callback(state->frames, pc, nullptr, state->closure);
  if (state->max_frames != 0 && state->frames == state->max_frames) {
    return _URC_END_OF_STACK;  // any non-zero code stops the walk
  }
  return _URC_NO_REASON;
}

}  // namespace

extern "C" __attribute__((noinline)) bool VlmStackWalk(VlmWalkStackCallback callback,
                                                       uint32_t skip_frames,
                                                       uint32_t max_frames, void* closure,
                                                       uintptr_t /*thread*/,
                                                       void* /*platform_data*/) {
  // The unwinder's first frame is this function's own.
  UnwindState state = {callback, skip_frames + 1, max_frames, 0, closure};
  _Unwind_Backtrace(OnFrame, &state);
  return state.frames > 0;
}
