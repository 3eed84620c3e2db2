# Updater benchmarks: tree copy (updater_copy.sh) and manifest runs
# (updater_manifest.sh).
vlm_executable(bench_copy_tree SRCS copy_tree.cc DEPS vlm_updater_base)
