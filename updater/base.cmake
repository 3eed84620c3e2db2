# The updater's base: log, state, file-system helpers and the progress value
# shared with the window. The formats and actions log through it.
vlm_library(vlm_updater_base SRCS log.cc state.cc fs.cc progress.cc update_record.cc)
# Paths are formatted into fixed 1024-byte buffers and cut when longer, on
# purpose; the checks that matter are made where a cut would do harm.
target_compile_options(vlm_updater_base PRIVATE -Wno-format-truncation)

# Fault injection for tests: link a test with vlm_updater_fault and
# ${VLM_FAULT_LINK_OPTIONS} to route the listed C library calls through
# updater/testing/fault.h.
vlm_library(vlm_updater_fault SRCS testing/fault.cc)
set(_vlm_wrapped rename remove unlink mkdir rmdir open fopen fdopen fwrite write
    chmod symlink posix_fallocate opendir fsync syncfs flock)
list(TRANSFORM _vlm_wrapped PREPEND "-Wl,--wrap=")
set(VLM_FAULT_LINK_OPTIONS ${_vlm_wrapped} CACHE INTERNAL "")

vlm_test(vlm_updater_base_test SRCS log_test.cc state_test.cc fs_test.cc
         DEPS vlm_updater_base vlm_updater_fault LABEL updater)
target_link_options(vlm_updater_base_test PRIVATE ${VLM_FAULT_LINK_OPTIONS})
