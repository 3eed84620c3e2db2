# tarvelin's exported symbols.
#
# Every module that tarvelin exports to the engine lists its symbols in one or
# more `*.exports` files beside its sources: one symbol per line, C names
# plain, C++ names mangled, `#` starts a comment, and a trailing `*` makes a
# glob (used for the LZ4 and double-conversion libraries linked in whole).
# vlm_tarvelin_dynamic_list() turns all of them into a linker dynamic list, so
# the files are the one place that says what tarvelin exports;
# tests/check_exports.py checks each entry against the built binary.

function(vlm_tarvelin_export_files out_var)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/memory/*.exports
       ${PROJECT_SOURCE_DIR}/runtime/*.exports
       ${PROJECT_SOURCE_DIR}/launcher/*.exports)
  list(SORT files)
  set(${out_var} ${files} PARENT_SCOPE)
endfunction()

# Writes the dynamic list for the given export files to `out` (only when its
# content changes, so the link is not redone needlessly).
function(vlm_tarvelin_dynamic_list out)
  vlm_tarvelin_export_files(files)
  # Editing an .exports file re-runs the configuration, which rewrites the list.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${files})
  set(content "{\n")
  foreach(f IN LISTS files)
    file(STRINGS ${f} lines)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "#.*" "" line "${line}")
      string(STRIP "${line}" line)
      if(line STREQUAL "")
        continue()
      endif()
      string(APPEND content "  ${line};\n")
    endforeach()
  endforeach()
  string(APPEND content "};\n")
  file(CONFIGURE OUTPUT ${out} CONTENT "${content}")
endfunction()
