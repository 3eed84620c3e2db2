// Frame-pointer walks and the (empty) critical-address preparation.
#include <stdint.h>

#include "vlm/stack_walk.h"

namespace vellum {

bool FramePointerStackWalk(VlmWalkStackCallback callback, uint32_t skip_frames,
                           uint32_t max_frames, void* closure, void** frame_pointer,
                           void* stack_end) {
  if (!frame_pointer) return false;
  uintptr_t end = reinterpret_cast<uintptr_t>(stack_end);
  // Every frame read must hold its two words (saved frame pointer, return
  // address) below the stack end.
  auto holds_frame = [end](void** frame) {
    uintptr_t address = reinterpret_cast<uintptr_t>(frame);
    return address <= end && end - address >= 2 * sizeof(void*);
  };
  if (!holds_frame(frame_pointer)) return false;
  int64_t skip = skip_frames;
  uint32_t frames = 0;
  void** current = frame_pointer;
  for (;;) {
    void** next = static_cast<void**>(*current);
    // The chain must go up the stack, stay inside it and stay aligned.
    if (next <= current || !holds_frame(next) ||
        reinterpret_cast<uintptr_t>(next) % 4 != 0) {
      break;
    }
    void* pc = current[1];
    if (--skip < 0) {
      ++frames;
      callback(frames, pc, current + 2, closure);
      if (max_frames != 0 && frames == max_frames) break;
    }
    current = next;
  }
  return frames > 0;
}

}  // namespace vellum

void StackWalkInitCriticalAddress() {}
