# The "QBDIFF10" patch applier and the source checksum (libbz2's CRC table).
find_package(BZip2 REQUIRED)
vlm_library(vlm_patch SRCS patch.cc DEPS BZip2::BZip2)
vlm_test(vlm_patch_test SRCS patch_test.cc DEPS vlm_patch LABEL formats)
