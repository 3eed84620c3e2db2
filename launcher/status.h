// Status codes passed between the launcher's start-up steps. Only the sign is
// tested: a negative value is a failure.
#ifndef VLM_LAUNCHER_STATUS_H_
#define VLM_LAUNCHER_STATUS_H_

#include <cstdint>

namespace vellum::launcher {

inline constexpr int32_t kOk = 0;
inline constexpr int32_t kFailure = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000eu);

// Size of every path and text buffer of the launcher, terminating NUL included.
inline constexpr size_t kPathBufferSize = 4096;

}  // namespace vellum::launcher

#endif  // VLM_LAUNCHER_STATUS_H_
