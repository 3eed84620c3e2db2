# End-to-end tests of the updater binary (label "updater"). They make their
# archives with the real upq and qbdiff tools and make-update.
vlm_require_targets(updater upq qbdiff)

add_library(vlm_updater_harness STATIC updater_harness.cc)
target_include_directories(vlm_updater_harness PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vlm_updater_harness PUBLIC GTest::gtest)
target_compile_options(vlm_updater_harness PRIVATE ${VLM_WARNINGS})
target_compile_definitions(vlm_updater_harness PRIVATE
  VLM_UPDATER_BIN="$<TARGET_FILE:updater>"
  VLM_UPQ_BIN="$<TARGET_FILE:upq>"
  VLM_QBDIFF_BIN="$<TARGET_FILE:qbdiff>"
  VLM_MAKE_UPDATE="${PROJECT_BINARY_DIR}/tools/make-update")

vlm_test(updater_e2e_test SRCS updater_test.cc updater_safety_test.cc DEPS vlm_updater_harness
         LABEL updater TIMEOUT 120)
add_dependencies(updater_e2e_test updater upq qbdiff vlm_slow_rename_shim)
target_compile_definitions(updater_e2e_test PRIVATE
  VLM_SLOW_RENAME_SHIM="$<TARGET_FILE:vlm_slow_rename_shim>")

# The progress window under Xvfb (the test starts its own server and skips
# when Xvfb is missing). It keeps one screenshot under the build tree.
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
pkg_check_modules(PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
add_library(vlm_slow_rename_shim MODULE slow_rename_shim.c)
target_link_libraries(vlm_slow_rename_shim PRIVATE dl)
vlm_test(updater_window_test SRCS updater_window_test.cc
         DEPS vlm_updater_harness PkgConfig::X11 PkgConfig::PIXBUF LABEL updater TIMEOUT 60)
target_compile_definitions(updater_window_test PRIVATE
  VLM_SLOW_RENAME_SHIM="$<TARGET_FILE:vlm_slow_rename_shim>"
  VLM_WINDOW_SCREENSHOT="${CMAKE_CURRENT_BINARY_DIR}/updater-window.png"
  VLM_LSAN_SUPPRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/lsan-toolkit.supp")
add_dependencies(updater_window_test vlm_slow_rename_shim updater upq)

# Real data: two releases of an npm package, fetched once into tests/cache/.
add_test(NAME updater_realdata
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/updater_realdata.sh ${PROJECT_BINARY_DIR})
set_tests_properties(updater_realdata PROPERTIES LABELS updater TIMEOUT 600
                                                 SKIP_RETURN_CODE 77)

# The real updater killed, stopped and doubled at random moments.
add_test(NAME updater_stress
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/updater_stress.sh ${PROJECT_BINARY_DIR} 6 150)
set_tests_properties(updater_stress PROPERTIES LABELS updater TIMEOUT 300)

# Installations that hold update-keys.pem: signed, tampered and unsigned
# archives, broken key files. Keys are made with libcrypto.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
vlm_test(updater_signature_test SRCS updater_signature_test.cc
         DEPS vlm_updater_harness OpenSSL::Crypto LABEL updater TIMEOUT 240)
add_dependencies(updater_signature_test updater upq)
