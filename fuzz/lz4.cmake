# The safe LZ4 decompressor on untrusted blocks, with guard pages around the
# buffers, and compress/decompress round trips.
vlm_fuzz(vlm_fuzz_lz4 SRCS lz4_fuzz.cc DEPS vlm_runtime_lz4
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/lz4)
