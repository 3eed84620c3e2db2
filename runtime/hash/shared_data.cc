// Data objects that the engine's inline code reads and writes through
// tarvelin's exports.
#include "vlm/hash.h"

namespace vellum {

const UnusedResult Unused = UnusedResult();

namespace detail {

// Vertical tab and slash have no two-character escape: the engine writes
// them as \u escapes or as themselves.
extern const char gTwoCharEscapes[256] = {
    // 0x00
    0, 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0, 'f', 'r', 0, 0,
    // 0x10
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x20
    0, 0, '"', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x30, 0x40
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x50
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\\', 0, 0, 0,
    // 0x60 to 0xFF: all 0.
};

uint32_t gChaosFeatures = 0;
uint32_t gChaosModeCounter = 0;

}  // namespace detail
}  // namespace vellum
