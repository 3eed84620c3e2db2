# The update archive: reader (linked into the updater) and writer (for the
# publishing tools and tests). Both decode and encode through liblzma.
if(NOT TARGET PkgConfig::VLM_LZMA)
  pkg_check_modules(VLM_LZMA REQUIRED IMPORTED_TARGET GLOBAL liblzma)
endif()

vlm_library(vlm_upq
  SRCS upq.cc upq_reader.cc xz_decoder.cc
  DEPS vlm_updater_base PkgConfig::VLM_LZMA)

vlm_library(vlm_upq_writer
  SRCS upq_writer.cc
  DEPS vlm_upq PkgConfig::VLM_LZMA)

vlm_test(vlm_upq_test
  SRCS upq_test.cc xz_decoder_test.cc
  DEPS vlm_upq vlm_upq_writer vlm_updater_fault
  LABEL formats)
target_link_options(vlm_upq_test PRIVATE ${VLM_FAULT_LINK_OPTIONS})

# The transfer buffers' fallback state lasts for the whole process, so the
# small-buffer cases run in their own binary. A link-time wrapper around
# malloc fails the large allocations on request.
vlm_test(vlm_upq_small_buffer_test
  SRCS upq_small_buffer_test.cc
  DEPS vlm_upq vlm_upq_writer
  LABEL formats)
target_link_options(vlm_upq_small_buffer_test PRIVATE -Wl,--wrap=malloc)

# Archive signatures (Ed25519 through libcrypto): key files, verification for
# the updater, signing for the tools.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
vlm_library(vlm_upq_signature
  SRCS upq_signature.cc
  DEPS vlm_upq OpenSSL::Crypto)


vlm_test(vlm_upq_signature_test
  SRCS upq_signature_test.cc
  DEPS vlm_upq_signature vlm_upq_writer
  LABEL formats)
