# qbdiff: makes "QBDIFF10" patches by suffix sorting (libdivsufsort) and
# applies them through the updater's applier (vlm_patch).
pkg_check_modules(DIVSUFSORT REQUIRED IMPORTED_TARGET libdivsufsort libdivsufsort64)
vlm_library(vlm_qbdiff SRCS qbdiff/diff.cc DEPS vlm_patch PkgConfig::DIVSUFSORT)
vlm_executable(qbdiff SRCS qbdiff/main.cc DEPS vlm_qbdiff)
vlm_test(vlm_qbdiff_test SRCS qbdiff/diff_test.cc DEPS vlm_qbdiff LABEL formats)
