# The updater program: entry, update run, progress window and callback launch
# on top of the base, the actions and the formats.
vlm_require_targets(vlm_updater_base vlm_actions vlm_upq vlm_patch)
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)

# Pieces without dependencies on the rest of the updater.
vlm_library(vlm_updater_checks SRCS arg_checks.cc read_strings.cc)
vlm_test(updater_checks_test SRCS arg_checks_test.cc read_strings_test.cc
         DEPS vlm_updater_checks LABEL updater)

# The progress window: the only GTK code of the updater.
vlm_library(vlm_updater_window SRCS progress_ui.cc DEPS vlm_updater_checks PkgConfig::GTK3)

# The program needs the manifest phase of the actions and the archive reader.
vlm_library(vlm_updater_driver SRCS entry.cc update_worker.cc callback.cc signature_check.cc
            DEPS vlm_updater_checks vlm_updater_window vlm_updater_base vlm_actions vlm_upq
                 vlm_upq_signature vlm_patch Threads::Threads)
vlm_executable(updater SRCS main.cc DEPS vlm_updater_driver)

# The worker ended at every point and run again (forked children).
vlm_test(updater_recovery_test SRCS recovery_test.cc
         DEPS vlm_updater_driver vlm_updater_fault LABEL updater TIMEOUT 300)
target_link_options(updater_recovery_test PRIVATE ${VLM_FAULT_LINK_OPTIONS})
target_compile_definitions(updater_recovery_test PRIVATE
  VLM_UPQ_PATH="$<TARGET_FILE:upq>" VLM_QBDIFF_PATH="$<TARGET_FILE:qbdiff>")
add_dependencies(updater_recovery_test upq qbdiff)
# Thousands of flushed runs: on a memory file system they cost no disk time.
if(EXISTS /dev/shm)
  set_tests_properties(updater_recovery_test PROPERTIES ENVIRONMENT TMPDIR=/dev/shm)
endif()
