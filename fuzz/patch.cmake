# ReadPatchHeader plus ApplyPatch on whole patch files.
vlm_fuzz(patch_fuzz SRCS patch_fuzz.cc DEPS vlm_patch
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/patch)
