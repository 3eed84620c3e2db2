# make-update end to end: its archives applied by the real updater, its
# refusals, its progress on a terminal (a pty).
add_test(NAME make_update_test
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/make_update_test.py ${PROJECT_BINARY_DIR})
set_tests_properties(make_update_test PROPERTIES LABELS updater TIMEOUT 300)
