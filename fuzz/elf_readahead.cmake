# The loader's read-ahead parser of ELF headers (launcher/loader.cc).
vlm_fuzz(elf_readahead_fuzz SRCS elf_readahead_fuzz.cc DEPS vlm_launcher
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/elf_readahead)
