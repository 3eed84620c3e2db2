// Code address description and the frame-line formatters.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "vlm/stack_walk.h"

namespace {

template <size_t N>
void CopyText(char (&to)[N], const char* from) {
  // The last byte is forced to NUL whatever the source's length.
  strncpy(to, from, N - 1);
  to[N - 1] = '\0';
}

}  // namespace

extern "C" bool VlmDescribeCodeAddress(void* pc, VlmCodeAddressDetails* details) {
  details->libraryPath[0] = '\0';
  details->libraryOffset = 0;
  details->sourceFile[0] = '\0';
  details->sourceLine = 0;
  details->functionName[0] = '\0';
  details->functionOffset = 0;
  Dl_info info;
  if (!dladdr(pc, &info)) return true;
  if (info.dli_fname) CopyText(details->libraryPath, info.dli_fname);
  details->libraryOffset =
      reinterpret_cast<char*>(pc) - static_cast<char*>(info.dli_fbase);
  if (info.dli_sname && info.dli_sname[0] != '\0') {
    CopyText(details->functionName, info.dli_sname);
    details->functionOffset =
        reinterpret_cast<char*>(pc) - static_cast<char*>(info.dli_saddr);
  }
  return true;
}

extern "C" int VlmFormatCodeAddress(char* buffer, uint32_t buffer_size, uint32_t frame_number,
                                    const void* /*pc*/, const char* function,
                                    const char* library, ptrdiff_t library_offset,
                                    const char* file_name, uint32_t line_number) {
  if (!function || function[0] == '\0') function = "???";
  if (file_name && file_name[0] != '\0') {
    return snprintf(buffer, buffer_size, "#%02u: %s (%s:%u)", frame_number, function,
                    file_name, line_number);
  }
  if (library && library[0] != '\0') {
    return snprintf(buffer, buffer_size, "#%02u: %s[%s +0x%lx]", frame_number, function,
                    library, static_cast<unsigned long>(library_offset));
  }
  return snprintf(buffer, buffer_size, "#%02u: \?\?\? (\?\?\?:\?\?\?)", frame_number);
}

extern "C" int VlmFormatCodeAddressDetails(char* buffer, uint32_t buffer_size,
                                           uint32_t frame_number, void* pc,
                                           const VlmCodeAddressDetails* details) {
  return VlmFormatCodeAddress(buffer, buffer_size, frame_number, pc, details->functionName,
                              details->libraryPath, details->libraryOffset,
                              details->sourceFile, details->sourceLine);
}
