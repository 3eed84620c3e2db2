# End-to-end tests of tarvelin: the real binary run in temporary installation
# directories with a recording engine library, and the check of its exports.
if(NOT VLM_SANITIZE)
  # The recording engine and a plain library to list before it. Both bind to
  # tarvelin's exports at run time, so they link none of our libraries.
  foreach(lib vlm_test_engine vlm_test_library vlm_fault_shim)
    string(REPLACE "vlm_" "" source ${lib})
    add_library(${lib} SHARED launcher/${source}.cc)
    target_include_directories(${lib} PRIVATE ${PROJECT_SOURCE_DIR}/include)
    target_compile_options(${lib} PRIVATE ${VLM_WARNINGS})
  endforeach()
  target_link_libraries(vlm_test_library PRIVATE ${CMAKE_DL_LIBS})
  # Preloaded to make putenv and strdup fail.
  target_link_libraries(vlm_fault_shim PRIVATE ${CMAKE_DL_LIBS})

  add_test(NAME launcher_e2e
           COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/launcher/launcher_e2e.py
                   --tarvelin $<TARGET_FILE:tarvelin>
                   --engine $<TARGET_FILE:vlm_test_engine>
                   --library $<TARGET_FILE:vlm_test_library>
                   --fault-shim $<TARGET_FILE:vlm_fault_shim>
                   --version ${VLM_PRODUCT_VERSION})
  set_tests_properties(launcher_e2e PROPERTIES LABELS launcher TIMEOUT 120)

  # Every name of every .exports file is in tarvelin's dynamic symbol table;
  # the launcher's and the runtime's internals are not.
  vlm_tarvelin_export_files(vlm_export_files)
  add_test(NAME launcher_exports
           COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.py
                   $<TARGET_FILE:tarvelin> ${vlm_export_files}
                   --unexported main _ZN6vellum8launcher*
                   _ZN6vellum13FaultWithLineEi _ZN6vellum10CrashPlainEv
                   _ZN6vellum13time_internal* _ZN6vellum14InitTimeStampsEv
                   _ZN6vellum12InitCpuFlagsEv _ZN6vellum3cpu*)
  set_tests_properties(launcher_exports PROPERTIES LABELS launcher TIMEOUT 60)
endif()
