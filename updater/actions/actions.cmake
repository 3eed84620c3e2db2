# The update actions: interface, file and patch actions, manifest and list.
# Uses only the public headers of updater/formats/.
vlm_library(vlm_actions
            SRCS action.cc action_list.cc file_actions.cc patch_actions.cc manifest.cc
            DEPS vlm_updater_base vlm_patch vlm_upq)
target_compile_options(vlm_actions PRIVATE -Wno-format-truncation)

# Unit tests of the interface and the list need no archive.
vlm_test(vlm_actions_test SRCS action_test.cc action_list_test.cc
         DEPS vlm_actions LABEL actions)

# The actions on real archives and patches, made with the publisher tools
# (defined later, in tools/).
vlm_test(vlm_actions_run_test
         SRCS file_actions_test.cc patch_actions_test.cc manifest_test.cc
         DEPS vlm_actions vlm_updater_fault LABEL actions)
target_link_options(vlm_actions_run_test PRIVATE ${VLM_FAULT_LINK_OPTIONS})
target_compile_definitions(vlm_actions_run_test PRIVATE
  VLM_UPQ_PATH="$<TARGET_FILE:upq>" VLM_QBDIFF_PATH="$<TARGET_FILE:qbdiff>")
add_dependencies(vlm_actions_run_test upq qbdiff)

vlm_test(vlm_actions_rollback_test SRCS rollback_test.cc
         DEPS vlm_actions vlm_updater_fault LABEL actions)
target_link_options(vlm_actions_rollback_test PRIVATE ${VLM_FAULT_LINK_OPTIONS})
target_compile_definitions(vlm_actions_rollback_test PRIVATE
  VLM_UPQ_PATH="$<TARGET_FILE:upq>" VLM_QBDIFF_PATH="$<TARGET_FILE:qbdiff>")
add_dependencies(vlm_actions_rollback_test upq qbdiff)
