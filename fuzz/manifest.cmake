# Manifest parsing (updater/actions/manifest.cc): parsing only, no execution.
vlm_fuzz(manifest_fuzz SRCS manifest_fuzz.cc DEPS vlm_actions
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/manifest)
