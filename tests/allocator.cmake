# Real programs on libvlmalloc.so: each must behave exactly as on the C
# library's allocator.
if(TARGET vlmalloc)
  foreach(program python git sort)
    add_test(NAME allocator_preload_${program}
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/allocator_preload.sh
                     $<TARGET_FILE:vlmalloc> ${program})
    set_tests_properties(allocator_preload_${program} PROPERTIES
                         LABELS memory TIMEOUT 120)
  endforeach()
endif()
