# Small helpers that keep each folder's CMakeLists.txt a declarative list.

set(VLM_WARNINGS -Wall -Wextra -Werror)
if(VLM_FUZZ)
  # The fuzz build uses clang, whose warning set differs; gcc enforces -Werror.
  set(VLM_WARNINGS -Wall -Wextra)
  add_compile_options(-fsanitize=fuzzer-no-link)
  set(VLM_FUZZ_SECONDS 5 CACHE STRING "Seconds each fuzz smoke test runs")
endif()

# Includes every *.cmake file of the calling folder, in name order. Folders that
# several modules share (tests/, bench/, tools/, fuzz/, ...) list their pieces
# this way, one file per module.
macro(vlm_include_parts)
  file(GLOB _vlm_parts CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT _vlm_parts)
  foreach(_vlm_part IN LISTS _vlm_parts)
    include(${_vlm_part})
  endforeach()
endmacro()

# Adds every direct subfolder that has a CMakeLists.txt, in name order.
macro(vlm_add_subfolders)
  file(GLOB _vlm_subs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  list(SORT _vlm_subs)
  foreach(_vlm_sub IN LISTS _vlm_subs)
    get_filename_component(_vlm_dir ${_vlm_sub} DIRECTORY)
    add_subdirectory(${_vlm_dir})
  endforeach()
endmacro()

if(VLM_SANITIZE)
  add_compile_options(-fsanitize=${VLM_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VLM_SANITIZE})
endif()

# vlm_library(NAME SRCS ... [DEPS ...] [TARVELIN] [NOT_SANITIZED])
#   A static library of our own code.
#   TARVELIN: linked whole into tarvelin, so that everything it defines can be
#             exported to the engine (see launcher/ and the *.exports files).
#   NOT_SANITIZED: replaces malloc/free/abort; left out of sanitizer builds.
function(vlm_library name)
  cmake_parse_arguments(ARG "TARVELIN;NOT_SANITIZED" "" "SRCS;DEPS" ${ARGN})
  if(VLM_SANITIZE AND ARG_NOT_SANITIZED)
    return()
  endif()
  add_library(${name} STATIC ${ARG_SRCS})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include
                                            ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  target_compile_options(${name} PRIVATE ${VLM_WARNINGS})
  if(ARG_TARVELIN)
    set_property(GLOBAL APPEND PROPERTY VLM_TARVELIN_COMPONENTS ${name})
  endif()
endfunction()

# vlm_executable(NAME SRCS ... [DEPS ...] [NOT_SANITIZED])
function(vlm_executable name)
  cmake_parse_arguments(ARG "NOT_SANITIZED" "" "SRCS;DEPS" ${ARGN})
  if(VLM_SANITIZE AND ARG_NOT_SANITIZED)
    return()
  endif()
  add_executable(${name} ${ARG_SRCS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include
                                             ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_compile_options(${name} PRIVATE ${VLM_WARNINGS})
endfunction()

# vlm_test(NAME SRCS ... [DEPS ...] LABEL label [NOT_SANITIZED] [NO_GTEST_MAIN]
#          [TIMEOUT seconds] [ENVIRONMENT var=value ...])
#   A GoogleTest binary registered with ctest under the given label
#   (ctest -L label runs one subsystem).
function(vlm_test name)
  cmake_parse_arguments(ARG "NOT_SANITIZED;NO_GTEST_MAIN" "LABEL;TIMEOUT"
                        "SRCS;DEPS;ENVIRONMENT" ${ARGN})
  if(VLM_SANITIZE AND ARG_NOT_SANITIZED)
    return()
  endif()
  add_executable(${name} ${ARG_SRCS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include
                                             ${PROJECT_SOURCE_DIR})
  if(ARG_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest
                                          GTest::gtest_main)
  endif()
  target_compile_options(${name} PRIVATE ${VLM_WARNINGS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABEL}"
                                          TIMEOUT ${ARG_TIMEOUT})
  if(ARG_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
endfunction()

# vlm_fuzz(NAME SRCS ... [DEPS ...] CORPUS dir)
#   A libFuzzer target (LLVMFuzzerTestOneInput). In an ordinary build it is
#   linked with a replay driver and run over its corpus as a ctest; with
#   -DVLM_FUZZ=ON under clang it is a real fuzzer, and ctest runs it for a few
#   seconds from the corpus (label "fuzz").
function(vlm_fuzz name)
  cmake_parse_arguments(ARG "" "CORPUS" "SRCS;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SRCS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include
                                             ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${VLM_WARNINGS})
  if(VLM_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} -fsanitize=fuzzer)
    add_test(NAME ${name}_smoke
             COMMAND ${name} -max_total_time=${VLM_FUZZ_SECONDS}
                     -timeout=10 -rss_limit_mb=2048
                     ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus ${ARG_CORPUS})
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
    set_tests_properties(${name}_smoke PROPERTIES LABELS fuzz TIMEOUT 300)
    add_dependencies(fuzz_all ${name})
  else()
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} vlm_fuzz_replay)
    add_test(NAME ${name}_replay COMMAND ${name} ${ARG_CORPUS})
    set_tests_properties(${name}_replay PROPERTIES LABELS fuzz TIMEOUT 120)
  endif()
endfunction()

# vlm_require_targets(TARGET ...)
#   Fails the configure step when a target the caller builds on is missing, so
#   that a renamed target cannot silently drop a program or its tests.
function(vlm_require_targets)
  foreach(_vlm_target IN LISTS ARGN)
    if(NOT TARGET ${_vlm_target})
      message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE}: required target ${_vlm_target} is missing")
    endif()
  endforeach()
endfunction()
