// Stack walking and code address description.
//
// Two walkers report the frames of a call stack to a callback: VlmStackWalk
// follows the system unwinder over the calling thread's own stack, and
// vellum::FramePointerStackWalk follows saved frame pointers through a
// stack the caller describes. VlmDescribeCodeAddress looks up the loaded
// object and the nearest exported symbol that contain a code address, and
// the formatters turn that into the standard frame line. Nothing here
// writes output or keeps shared state; everything runs on the calling
// thread. The walkers and formatters do not allocate (the unwinder may, on
// its first use in a thread). Texts are NUL-terminated and never longer than
// the buffer given.
#ifndef VLM_STACK_WALK_H_
#define VLM_STACK_WALK_H_

#include <stddef.h>
#include <stdint.h>

extern "C" {

// Called once per frame, innermost first: the 1-based frame number, the
// frame's program counter, its stack pointer (null when unknown) and the
// caller's closure.
typedef void (*VlmWalkStackCallback)(uint32_t frame_number, void* pc, void* sp,
                                     void* closure);

// Walks the calling thread's stack with the system unwinder, skipping the
// walker's own frame and then `skip_frames` more, and reporting at most
// `max_frames` frames (0: no limit). `thread` and `platform_data` are
// ignored. Returns true when at least one frame was reported.
bool VlmStackWalk(VlmWalkStackCallback callback, uint32_t skip_frames, uint32_t max_frames,
                  void* closure, uintptr_t thread, void* platform_data);

// What VlmDescribeCodeAddress found out about an address. The layout is
// shared with the engine library.
struct VlmCodeAddressDetails {
  char libraryPath[256];    // the loaded object containing the address
  ptrdiff_t libraryOffset;  // address minus the object's load base
  char sourceFile[256];     // always empty
  uint32_t sourceLine;      // always 0
  char functionName[256];   // nearest exported symbol, not demangled
  ptrdiff_t functionOffset; // address minus the symbol's address
};

// Fills `details` for `pc` (fields empty when no loaded object contains it).
// Returns true.
bool VlmDescribeCodeAddress(void* pc, VlmCodeAddressDetails* details);

// Write one frame line into `buffer` (at most `buffer_size` bytes with the
// terminator) and return what snprintf returns:
//   "#%02u: %s (%s:%u)"    when a file name is known,
//   "#%02u: %s[%s +0x%lx]" when a library is known,
//   "#%02u: ??? (???:???)" otherwise;
// the function text is "???" when there is no function name. `pc` is not
// used.
int VlmFormatCodeAddressDetails(char* buffer, uint32_t buffer_size, uint32_t frame_number,
                                void* pc, const VlmCodeAddressDetails* details);
int VlmFormatCodeAddress(char* buffer, uint32_t buffer_size, uint32_t frame_number,
                         const void* pc, const char* function, const char* library,
                         ptrdiff_t library_offset, const char* file_name,
                         uint32_t line_number);

}  // extern "C"

namespace vellum {

// Walks the frame-pointer chain starting at `frame_pointer` (each frame
// holds the caller's frame pointer followed by the return address) and
// reports each return address, with the address just past those two words
// as the stack pointer. The walk ends at a frame whose saved frame pointer
// does not lie strictly above the current one, not below `stack_end` with
// its two words, or not 4-aligned. Skips `skip_frames` frames, reports at
// most `max_frames` (0: no limit). Returns true when a frame was reported.
bool FramePointerStackWalk(VlmWalkStackCallback callback, uint32_t skip_frames,
                           uint32_t max_frames, void* closure, void** frame_pointer,
                           void* stack_end);

}  // namespace vellum

// Prepares nothing on this platform; may be called at any time.
void StackWalkInitCriticalAddress();

#endif  // VLM_STACK_WALK_H_
