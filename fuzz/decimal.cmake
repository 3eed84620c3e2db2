# quire::Decimal::fromString on untrusted text, with toString round trips.
vlm_fuzz(vlm_fuzz_decimal SRCS decimal_fuzz.cc DEPS vlm_runtime_decimal
         CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/decimal)
