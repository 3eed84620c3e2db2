# The updater program: entry, update run, progress window and callback launch
# on top of the base, the actions and the formats. This file is read twice
# (once with the folder's other parts, once after formats/ and actions/);
# only the second reading, when those folders exist, counts.
get_property(_vlm_updater_subdirs DIRECTORY PROPERTY SUBDIRECTORIES)
if(NOT _vlm_updater_subdirs)
  return()
endif()
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)

# Pieces without dependencies on the rest of the updater.
vlm_library(vlm_updater_checks SRCS arg_checks.cc read_strings.cc)
vlm_test(updater_checks_test SRCS arg_checks_test.cc read_strings_test.cc
         DEPS vlm_updater_checks LABEL updater)

# The progress window: the only GTK code of the updater.
vlm_library(vlm_updater_window SRCS progress_ui.cc DEPS vlm_updater_checks PkgConfig::GTK3)

vlm_library(vlm_updater_driver SRCS entry.cc update_worker.cc callback.cc signature_check.cc
            DEPS vlm_updater_checks vlm_updater_window vlm_updater_base Threads::Threads)

# The program needs the manifest phase of the actions and the archive reader.
if(TARGET vlm_actions AND TARGET vlm_upq AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/actions/manifest.cc)
  target_link_libraries(vlm_updater_driver PUBLIC vlm_actions vlm_upq vlm_upq_signature vlm_patch)
  vlm_executable(updater SRCS main.cc DEPS vlm_updater_driver)
endif()
