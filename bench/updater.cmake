# Updater benchmarks: tree copy (updater_copy.sh) and manifest runs
# (updater_manifest.sh). The helpers take arguments from those scripts, so
# they are not named bench_* (run.sh runs those without arguments).
vlm_executable(updater_copy_tree SRCS copy_tree.cc DEPS vlm_updater_base)
vlm_executable(updater_apply_manifest SRCS apply_manifest.cc DEPS vlm_actions)
