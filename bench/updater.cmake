# Updater benchmarks: tree copy (updater_copy.sh) and manifest runs
# (updater_manifest.sh).
vlm_executable(bench_copy_tree SRCS copy_tree.cc DEPS vlm_updater_base)
if(TARGET vlm_upq)
  vlm_executable(bench_apply_manifest SRCS apply_manifest.cc DEPS vlm_actions)
endif()
