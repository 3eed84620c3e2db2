# The patch applier alone, driven by bench/qbdiff_bench.py (which also runs
# qbdiff against xdelta3 and zstd).
vlm_executable(patch_apply_bench SRCS patch_apply_bench.cc DEPS vlm_patch)
