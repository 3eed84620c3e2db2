# End-to-end tests of the upq tool.
vlm_test(upq_tool_test SRCS upq_tool_test.cc DEPS vlm_upq LABEL formats)
target_compile_definitions(upq_tool_test PRIVATE UPQ_BINARY="$<TARGET_FILE:upq>")
add_dependencies(upq_tool_test upq)
