# The update archive: index loader plus lookups, and the entry decoder path.
# Seeds: corpus/upq_seeds.py.
vlm_fuzz(upq_index_fuzz SRCS upq_index_fuzz.cc DEPS vlm_upq
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/upq_index)
vlm_fuzz(upq_decode_fuzz SRCS upq_decode_fuzz.cc DEPS vlm_upq
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/upq_decode)
# The signatures section parser and the covered-bytes walk.
vlm_fuzz(upq_signatures_fuzz SRCS upq_signatures_fuzz.cc DEPS vlm_upq
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/upq_signatures)
