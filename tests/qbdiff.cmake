# End-to-end runs of the qbdiff tool.
vlm_test(qbdiff_cli_test SRCS qbdiff_cli_test.cc LABEL formats)
target_compile_definitions(qbdiff_cli_test PRIVATE QBDIFF_PATH="$<TARGET_FILE:qbdiff>")
add_dependencies(qbdiff_cli_test qbdiff)
