# tarvelin: the launcher's code, the static initialisation and every library
# that marked itself TARVELIN (memory/, runtime/), linked whole so that all
# they define can be exported to the engine. Exports are exactly the names in
# the *.exports files (see cmake/exports.cmake); everything else stays local.

set(VLM_PRODUCT_VERSION "${PROJECT_VERSION}" CACHE STRING "Product version compiled into tarvelin")
string(TIMESTAMP VLM_BUILD_ID "%Y%m%d%H%M%S" UTC)

vlm_library(vlm_launcher SRCS loader.cc entry.cc app_data.cc
            DEPS vlm_runtime_time ${CMAKE_DL_LIBS})
target_compile_definitions(vlm_launcher PRIVATE
  VLM_PRODUCT_VERSION="${VLM_PRODUCT_VERSION}" VLM_BUILD_ID="${VLM_BUILD_ID}")

vlm_test(vlm_launcher_test SRCS loader_test.cc bootstrap_test.cc DEPS vlm_launcher LABEL launcher)

# tarvelin defines malloc, free and abort for the whole process: no sanitizer
# build can run it.
if(NOT VLM_SANITIZE)
  vlm_executable(tarvelin SRCS main.cc static_init.cc
                 DEPS vlm_launcher Threads::Threads ${CMAKE_DL_LIBS})
  set(VLM_TARVELIN_DYNAMIC_LIST ${CMAKE_CURRENT_BINARY_DIR}/tarvelin.dynamic-list)
  vlm_tarvelin_dynamic_list(${VLM_TARVELIN_DYNAMIC_LIST})
  target_link_options(tarvelin PRIVATE
                      "LINKER:--dynamic-list=${VLM_TARVELIN_DYNAMIC_LIST}")
  set_property(TARGET tarvelin APPEND PROPERTY LINK_DEPENDS
               ${VLM_TARVELIN_DYNAMIC_LIST})
  # Components may be declared anywhere in the tree: link them once the whole
  # project has been read.
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR}
                 CALL vlm_tarvelin_link_components)
endif()

function(vlm_tarvelin_link_components)
  get_property(components GLOBAL PROPERTY VLM_TARVELIN_COMPONENTS)
  get_property(externals GLOBAL PROPERTY VLM_TARVELIN_WHOLE_EXTERNAL)
  # Every member of these archives goes into tarvelin, referenced or not, so
  # that all they define can be exported. The archives are named explicitly
  # between --whole-archive and --no-whole-archive rather than through
  # $<LINK_LIBRARY:WHOLE_ARCHIVE>: components depend on each other (time needs
  # crash), and CMake would then either refuse the mixed use or name an
  # archive whole twice (duplicate definitions). Naming them once more below
  # as ordinary libraries brings their usage requirements and pulls nothing
  # further, since everything they define is already linked.
  set(archives)
  foreach(component IN LISTS components)
    list(APPEND archives "$<TARGET_FILE:${component}>")
    add_dependencies(tarvelin ${component})
  endforeach()
  list(APPEND archives ${externals})
  if(archives)
    target_link_libraries(tarvelin PRIVATE
                          -Wl,--whole-archive ${archives} -Wl,--no-whole-archive
                          ${components})
  endif()
endfunction()
