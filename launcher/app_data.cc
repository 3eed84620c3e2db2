// The application data compiled into tarvelin.
#include "launcher/entry.h"

#ifndef VLM_PRODUCT_VERSION
#error "VLM_PRODUCT_VERSION must be defined by the build"
#endif
#ifndef VLM_BUILD_ID
#error "VLM_BUILD_ID (14 digits) must be defined by the build"
#endif

static_assert(sizeof(VLM_BUILD_ID) == 15, "the build identifier has 14 digits");

namespace vellum::launcher {

const BuiltinAppData kBuiltinAppData = {
    "Tarvelin",
    "Tarvelin",
    "tarvelin-vintage",
    VLM_PRODUCT_VERSION,
    VLM_BUILD_ID,
    "{5a1f0c3e-7d2b-4e8a-9c61-0f4b3d2e8a17}",
    nullptr,
    2,
    VLM_PRODUCT_VERSION,
    VLM_PRODUCT_VERSION,
    "",
    "Tarvelin",
    nullptr,
};

}  // namespace vellum::launcher
