// Making "QBDIFF10" patches.
//
// The old file is suffix-sorted (libdivsufsort); the new file is scanned for
// long matches in it, and each match is extended forwards and backwards into
// an approximate match, where bytes that differ (a changed address in
// machine code, a renamed identifier) become small difference bytes. Between
// two approximate matches the new bytes go to the extra block. Difference
// bytes of similar files are mostly zero, so a patch compresses far below the
// size of the changes it carries.
//
// Memory: the old file, the new file, 4 bytes per old byte for the suffix
// array (8 above 2 GiB), the extra block and 12 bytes per control triple. The
// difference block is formed in place in the new file's buffer.
#ifndef VLM_TOOLS_QBDIFF_DIFF_H_
#define VLM_TOOLS_QBDIFF_DIFF_H_

#include <cstdint>
#include <cstdio>

enum class DiffResult {
  kOk,
  kTooLarge,     // a file or the patch would not fit the format's 32-bit lengths
  kNoMemory,
  kWriteFailed,  // errno tells why
};

// Writes a patch that turns `old` into the new file to `out`. The new file's
// buffer is overwritten (it holds the difference block afterwards). Nothing
// is written unless both files fit the format. `out` is flushed but not
// closed.
DiffResult WriteDiffPatch(const unsigned char* old, uint64_t oldSize, unsigned char* newer,
                          uint64_t newSize, FILE* out);

#endif  // VLM_TOOLS_QBDIFF_DIFF_H_
