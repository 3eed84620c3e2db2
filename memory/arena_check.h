// Test helper: checks every invariant of an arena and the chunks it owns.
#ifndef VLM_MEMORY_ARENA_CHECK_H_
#define VLM_MEMORY_ARENA_CHECK_H_

#include <set>
#include <string>

#include "memory/arena.h"

namespace vellum::heap {

// Checks `arena`. `chunks` names chunks known to hold live blocks; chunks
// reachable through the arena's trees and its spare are added. Returns an
// empty string, or what is wrong.
std::string CheckArena(Arena* arena, std::set<ChunkHeader*> chunks);

}  // namespace vellum::heap

#endif  // VLM_MEMORY_ARENA_CHECK_H_
