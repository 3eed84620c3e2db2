# The update actions: interface, file and patch actions, manifest and list.
vlm_library(vlm_actions SRCS action.cc DEPS vlm_updater_base)
target_compile_options(vlm_actions PRIVATE -Wno-format-truncation)

vlm_test(vlm_actions_test SRCS action_test.cc DEPS vlm_actions LABEL actions)
