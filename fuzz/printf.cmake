# The printf engine's format parser. Built from the engine's source with a
# crash stub, so that it runs under the sanitizers (the crash library is
# left out of sanitizer builds).
vlm_fuzz(fuzz_printf
         SRCS printf_fuzz.cc ${PROJECT_SOURCE_DIR}/runtime/printf/printf.cc
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/printf)
