# The update actions: interface, file and patch actions, manifest and list.
# Uses only the public headers of updater/formats/.
vlm_library(vlm_actions
            SRCS action.cc action_list.cc file_actions.cc patch_actions.cc manifest.cc
            DEPS vlm_updater_base vlm_patch)
target_compile_options(vlm_actions PRIVATE -Wno-format-truncation)

vlm_test(vlm_actions_test SRCS action_test.cc DEPS vlm_actions LABEL actions)
