# Extraction of a large archive entry by upq (the updater's reader) next to
# xz -dc on the same stored bytes: `cmake --build build --target bench_upq`.
add_custom_target(bench_upq
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/upq_extract.py ${CMAKE_BINARY_DIR}
  DEPENDS upq
  USES_TERMINAL)
