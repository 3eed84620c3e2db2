# The updater's base: log, state and file-system helpers. The formats and
# actions log through it.
vlm_library(vlm_updater_base SRCS log.cc)
