# The installed tree, the engine SDK and the packages (label "install"). The
# tests install into a temporary prefix and make the packages into a
# temporary directory; nothing is installed on the machine. They need the
# whole build, so the sanitizer and fuzz builds (no tarvelin) have none.
if(NOT VLM_FUZZ AND TARGET tarvelin AND TARGET updater AND TARGET upq AND TARGET qbdiff
   AND TARGET vlmalloc AND TARGET vlm_example_engine_v1)
  foreach(test sdk deb)
    add_test(NAME install_${test}
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install/${test}_test.sh
                     ${PROJECT_BINARY_DIR} ${VLM_PRODUCT_VERSION})
    # Both install the build tree, which writes its install manifest.
    set_tests_properties(install_${test} PROPERTIES LABELS install TIMEOUT 300
                         SKIP_RETURN_CODE 77 RESOURCE_LOCK vlm_build_install)
  endforeach()
endif()
