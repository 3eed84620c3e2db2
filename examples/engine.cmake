# The example engine library, built in two versions (examples/v1/libqir.so and
# examples/v2/libqir.so) so that the demo can show an installation changing.
foreach(version 1 2)
  set(target vlm_example_engine_v${version})
  add_library(${target} SHARED engine/engine.cc engine/update_check.cc)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(${target} PRIVATE ${VLM_WARNINGS})
  target_compile_definitions(${target} PRIVATE
                             VLM_EXAMPLE_ENGINE_VERSION="${version}.0")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME qir
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/v${version})
endforeach()
