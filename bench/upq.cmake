# Extraction of a large archive entry by upq (the updater's reader) next to
# xz -dc on the same stored bytes: `cmake --build build --target bench_upq`.
add_custom_target(bench_upq
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/upq_extract.py ${CMAKE_BINARY_DIR}
  DEPENDS upq
  USES_TERMINAL)

# Signature verification of a 100 MiB archive by upq --verify (the updater's
# check) next to sha512sum of the same file:
# `cmake --build build --target bench_upq_verify`.
add_custom_target(bench_upq_verify
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/upq_verify.py ${CMAKE_BINARY_DIR}
  DEPENDS upq
  USES_TERMINAL)
