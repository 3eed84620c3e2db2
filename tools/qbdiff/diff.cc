// Suffix-sorted matching of the new file against the old one, and the patch
// writer. Outline of the scan (positions are 64-bit throughout):
//
//  - `scan` walks the new file; at each step the longest exact match of the
//    new bytes at `scan` in the old file is looked up in the suffix array.
//  - The previous approximate match continues at the alignment `offset`
//    (old position minus new position). A fresh match is taken only when it
//    is clearly better than what that alignment already gives (more than 8
//    extra matching bytes nearby, 48 far away), so small edits do not break
//    an alignment and short chance matches do not cost seeks.
//  - When a fresh match is taken, the previous match is extended forwards
//    and the fresh one backwards while enough of the bytes agree; the two
//    extensions share out any overlap, and one control triple records the
//    add (difference bytes), the copy (extra bytes in between) and the seek
//    to the fresh match.
//  - Of the old positions that give the longest match, the one nearest the
//    current alignment is taken: a short seek compresses better. A fresh
//    match is compared with those found a few bytes later before it is
//    taken.
//  - Triples pass through the builder one step late, so that a short match
//    whose triple would cost more than its bytes as literals is folded into
//    the extra bytes of the triple before it.
//
// Text and machine code want different trade-offs. In code, a rebuild
// changes addresses all over the file: approximate matches that take in a
// third of differing bytes keep the alignment and give difference bytes that
// repeat. In text, a differing byte in the difference block is noise that
// compresses worse than the literal character in the extra block, and edits
// are insertions and deletions rather than substitutions: matches are
// extended only while nearly all bytes agree, and the margin a fresh match
// needs grows with the length of its seek.
#include "tools/qbdiff/diff.h"

#include <divsufsort.h>
#include <divsufsort64.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "updater/formats/patch.h"
#include "updater/formats/patch_format.h"

namespace {

// An exact match counts as a fresh start only with this many more agreeing
// bytes than the current alignment already has. A match near the current
// alignment (an insertion or deletion of a few bytes) costs little; one far
// away needs a seek that compresses badly and usually a second one back, so
// short far matches are left as literal bytes, which compress better.
constexpr int64_t kNearJump = 256;
constexpr int64_t kNearMargin = 8;
constexpr int64_t kFarMargin = 48;

// How the scan weighs matches; one set for machine code and binary data, one
// for text (see LooksLikeText). Extensions keep the stretch with the best
// score (extendAgree per agreeing byte, -extendCost per byte): 3 and 2 accept
// a third of differing bytes, 8 and 7 an eighth.
struct Tuning {
  int64_t extendAgree;
  int64_t extendCost;
  bool marginBySeek;  // margin kSeekMarginBase + kSeekMarginPerBit * seek bits / 4
};
constexpr Tuning kBinaryTuning = {3, 2, false};
constexpr Tuning kTextTuning = {8, 7, true};
constexpr int64_t kSeekMarginBase = 4;
constexpr int64_t kSeekMarginPerBit = 9;

// Of the suffixes that share the longest match, this many on each side of
// the one found are looked at for a position near the current alignment;
// matches this long or longer are taken as found (their seek hardly counts).
constexpr int64_t kNearbyCandidates = 8;
constexpr int64_t kNearbyMaxLength = 1 << 16;

// Positions after an acceptable fresh match that are searched for a better
// one.
constexpr int64_t kLazySteps = 8;

// The folding of short matches into extra bytes, in sixteenths of a
// compressed byte: a triple costs about kTripleCost plus kSeekBitCost per
// significant bit of its seek, a literal byte about kLiteralCost.
constexpr int64_t kTripleCost = 32;
constexpr int64_t kSeekBitCost = 2;
constexpr int64_t kLiteralCost = 4;

// Bits needed for the magnitude of a seek (1 for 0 and 1).
int64_t SeekBits(int64_t seek) {
  return 64 - __builtin_clzll(static_cast<uint64_t>(seek < 0 ? -seek : seek) | 1);
}

// The lead in agreeing bytes that a fresh match needs over the current
// alignment, for a seek of `jump` away from it.
int64_t Margin(const Tuning& tuning, int64_t jump) {
  if (tuning.marginBySeek) return kSeekMarginBase + kSeekMarginPerBit * SeekBits(jump) / 4;
  return jump > -kNearJump && jump < kNearJump ? kNearMargin : kFarMargin;
}

// Text: at most 1 % of bytes are control characters other than white space
// (UTF-8 and other bytes above 127 count as text).
bool LooksLikeText(const unsigned char* data, int64_t size) {
  int64_t control = 0;
  for (int64_t i = 0; i < size; ++i) {
    const unsigned char c = data[i];
    control += c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v';
  }
  return control * 100 <= size;
}

// Length of the common prefix of a and b, at most `limit` bytes.
int64_t CommonPrefix(const unsigned char* a, const unsigned char* b, int64_t limit) {
  int64_t i = 0;
  while (i + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + i, 8);
    memcpy(&y, b + i, 8);
    if (x != y) {
      return i + __builtin_ctzll(x ^ y) / 8;  // little-endian: lowest byte first
    }
    i += 8;
  }
  while (i < limit && a[i] == b[i]) {
    ++i;
  }
  return i;
}

template <typename Index>
class Matcher {
 public:
  Matcher(const unsigned char* old, int64_t oldSize, const Index* suffixes)
      : old_(old), oldSize_(oldSize), suffixes_(suffixes) {}

  // Length of the longest prefix of target[0, length) that occurs in the
  // old file; its old position, the one nearest `preferred` of those within
  // reach, goes to *position.
  int64_t Search(const unsigned char* target, int64_t length, int64_t preferred,
                 int64_t* position) const {
    if (oldSize_ == 0) {
      *position = 0;
      return 0;
    }
    int64_t lo = 0;
    int64_t hi = oldSize_ - 1;
    int64_t lcpLo = Common(lo, target, length, 0);
    int64_t lcpHi = Common(hi, target, length, 0);
    // Every suffix sorted between lo and hi shares min(lcpLo, lcpHi) bytes
    // with the target, so comparisons start there.
    while (hi - lo > 1) {
      const int64_t mid = lo + (hi - lo) / 2;
      const int64_t known = std::min(lcpLo, lcpHi);
      const int64_t lcp = Common(mid, target, length, known);
      const int64_t start = suffixes_[mid];
      const bool suffixBelow =
          lcp < length && (start + lcp == oldSize_ || old_[start + lcp] < target[lcp]);
      if (suffixBelow) {
        lo = mid;
        lcpLo = lcp;
      } else {
        hi = mid;
        lcpHi = lcp;
      }
    }
    const int64_t rank = lcpLo >= lcpHi ? lo : hi;
    const int64_t best = std::max(lcpLo, lcpHi);
    *position = suffixes_[rank];
    // Suffixes that share the whole match sit next to each other in the
    // sorted order.
    if (best > 0 && best < kNearbyMaxLength) {
      int64_t nearest = std::abs(*position - preferred);
      for (int64_t direction : {-1, 1}) {
        for (int64_t r = rank + direction, k = 0; r >= 0 && r < oldSize_ && k < kNearbyCandidates;
             r += direction, ++k) {
          if (Common(r, target, length, 0) < best) break;
          const int64_t distance = std::abs(suffixes_[r] - preferred);
          if (distance < nearest) {
            nearest = distance;
            *position = suffixes_[r];
          }
        }
      }
    }
    return best;
  }

 private:
  int64_t Common(int64_t rank, const unsigned char* target, int64_t length, int64_t known) const {
    const int64_t start = suffixes_[rank];
    const int64_t limit = std::min(oldSize_ - start, length);
    return known + CommonPrefix(old_ + start + known, target + known, limit - known);
  }

  const unsigned char* old_;
  int64_t oldSize_;
  const Index* suffixes_;
};

class PatchBuilder {
 public:
  PatchBuilder(const unsigned char* old, int64_t oldSize, unsigned char* newer)
      : old_(old), oldSize_(oldSize), newer_(newer) {}

  // One approximate match: `add` bytes of new at newStart against old at
  // oldStart, then the new bytes up to nextNew as extra, then the source
  // cursor moves to nextOld. Matches come in order of newStart; Finish
  // writes the last one.
  bool Emit(int64_t newStart, int64_t oldStart, int64_t add, int64_t nextNew, int64_t nextOld) {
    if (pending_.valid) {
      // Folding this match into the pending one's extra bytes saves a triple
      // and turns two seeks into one, at the price of `add` literal bytes.
      const int64_t from = pending_.oldStart + pending_.add;
      const int64_t saved = kTripleCost + kSeekBitCost * (SeekBits(oldStart - from) +
                                                          SeekBits(nextOld - (oldStart + add)) -
                                                          SeekBits(nextOld - from));
      if (add * kLiteralCost < saved) {
        pending_.nextNew = nextNew;
        pending_.nextOld = nextOld;
        return true;
      }
      if (!Write(pending_)) return false;
    }
    pending_ = Segment{true, newStart, oldStart, add, nextNew, nextOld};
    return true;
  }

  bool Finish() {
    if (!pending_.valid) return true;
    pending_.valid = false;
    return Write(pending_);
  }

  const std::vector<unsigned char>& control() const { return control_; }
  int64_t diffLength() const { return diffLength_; }
  const std::vector<unsigned char>& extra() const { return extra_; }

 private:
  struct Segment {
    bool valid;
    int64_t newStart, oldStart, add, nextNew, nextOld;
  };

  bool Write(const Segment& segment) {
    const int64_t newStart = segment.newStart, oldStart = segment.oldStart, add = segment.add;
    const int64_t nextNew = segment.nextNew, nextOld = segment.nextOld;
    // The difference block is formed in place at the front of the new file:
    // diffLength_ <= newStart always, and bytes before newStart are never
    // read again.
    for (int64_t i = 0; i < add; ++i) {
      newer_[diffLength_ + i] = static_cast<unsigned char>(newer_[newStart + i] - old_[oldStart + i]);
    }
    diffLength_ += add;
    const int64_t copy = nextNew - (newStart + add);
    try {
      extra_.insert(extra_.end(), newer_ + newStart + add, newer_ + nextNew);
    } catch (const std::bad_alloc&) {
      return false;
    }
    int64_t seek = nextOld - (oldStart + add);
    // A seek beyond 32 bits (old files above 2 GiB) continues in triples that
    // only move the cursor.
    int32_t first = static_cast<int32_t>(std::clamp<int64_t>(seek, INT32_MIN, INT32_MAX));
    if (!Push(ControlTriple{static_cast<uint32_t>(add), static_cast<uint32_t>(copy), first})) {
      return false;
    }
    seek -= first;
    while (seek != 0) {
      int32_t part = static_cast<int32_t>(std::clamp<int64_t>(seek, INT32_MIN, INT32_MAX));
      if (!Push(ControlTriple{0, 0, part})) {
        return false;
      }
      seek -= part;
    }
    return true;
  }

  bool Push(const ControlTriple& triple) {
    unsigned char raw[kControlTripleSize];
    EncodeControlTriple(triple, raw);
    try {
      control_.insert(control_.end(), raw, raw + sizeof(raw));
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  const unsigned char* old_;
  int64_t oldSize_;
  unsigned char* newer_;
  std::vector<unsigned char> control_;
  int64_t diffLength_ = 0;
  std::vector<unsigned char> extra_;
  Segment pending_ = {};
};

template <typename Index>
bool BuildBlocks(const unsigned char* old, int64_t n, unsigned char* newer, int64_t m,
                 const Index* suffixes, const Tuning& tuning, PatchBuilder* builder) {
  const Matcher<Index> matcher(old, n, suffixes);
  const int64_t extendAgree = tuning.extendAgree;
  const int64_t extendCost = tuning.extendCost;
  auto agrees = [&](int64_t newPos, int64_t offset) {
    const int64_t oldPos = newPos + offset;
    return oldPos >= 0 && oldPos < n && old[oldPos] == newer[newPos];
  };

  int64_t scan = 0;
  int64_t length = 0;
  int64_t position = 0;
  int64_t lastScan = 0;
  int64_t lastPosition = 0;
  int64_t lastOffset = 0;
  while (scan < m) {
    // Agreeing bytes of the current alignment over [scan, scan + length).
    int64_t oldScore = 0;
    scan += length;
    int64_t scored = scan;
    for (; scan < m; ++scan) {
      length = matcher.Search(newer + scan, m - scan, scan + lastOffset, &position);
      for (; scored < scan + length; ++scored) {
        if (agrees(scored, lastOffset)) ++oldScore;
      }
      const int64_t margin = Margin(tuning, position - scan - lastOffset);
      if ((length == oldScore && length != 0) || length > oldScore + margin) {
        break;
      }
      if (agrees(scan, lastOffset)) --oldScore;
    }
    if (length == oldScore && scan != m) {
      continue;  // the current alignment covers this match: keep going
    }
    if (scan < m) {
      // Lazy matching: a fresh match that starts a few bytes later may be
      // worth more (longer, or with a shorter seek); the bytes skipped are
      // left to the extensions.
      int64_t bestValue = length - Margin(tuning, position - scan - lastOffset);
      int64_t bestScan = scan, bestLength = length, bestPosition = position;
      for (int64_t skip = 1; skip <= kLazySteps && scan + skip < m; ++skip) {
        const int64_t at = scan + skip;
        int64_t candidate;
        const int64_t found = matcher.Search(newer + at, m - at, at + lastOffset, &candidate);
        if (candidate - at == position - scan) continue;  // the same alignment
        const int64_t value = found - Margin(tuning, candidate - at - lastOffset) - skip;
        if (value > bestValue) {
          bestValue = value;
          bestScan = at;
          bestLength = found;
          bestPosition = candidate;
        }
      }
      scan = bestScan;
      length = bestLength;
      position = bestPosition;
    }

    // Forward extension of the previous match: the stretch that maximises
    // the extension score.
    int64_t forward = 0;
    {
      int64_t agree = 0, best = 0;
      for (int64_t i = 0; lastScan + i < scan && lastPosition + i < n;) {
        if (old[lastPosition + i] == newer[lastScan + i]) ++agree;
        ++i;
        if (agree * extendAgree - i * extendCost > best * extendAgree - forward * extendCost) {
          best = agree;
          forward = i;
        }
      }
    }
    // Backward extension of the fresh match.
    int64_t backward = 0;
    if (scan < m) {
      int64_t agree = 0, best = 0;
      for (int64_t i = 1; scan >= lastScan + i && position >= i; ++i) {
        if (old[position - i] == newer[scan - i]) ++agree;
        if (agree * extendAgree - i * extendCost > best * extendAgree - backward * extendCost) {
          best = agree;
          backward = i;
        }
      }
    }
    // Where the extensions overlap, split at the point that keeps the most
    // agreeing bytes.
    if (lastScan + forward > scan - backward) {
      const int64_t overlap = (lastScan + forward) - (scan - backward);
      int64_t balance = 0, best = 0, split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (newer[lastScan + forward - overlap + i] == old[lastPosition + forward - overlap + i]) {
          ++balance;
        }
        if (newer[scan - backward + i] == old[position - backward + i]) --balance;
        if (balance > best) {
          best = balance;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }

    if (!builder->Emit(lastScan, lastPosition, forward, scan - backward, position - backward)) {
      return false;
    }
    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = position - scan;
  }
  return true;
}

template <typename Index, typename Sort>
bool Diff(const unsigned char* old, int64_t n, unsigned char* newer, int64_t m, Sort sort,
          const Tuning& tuning, PatchBuilder* builder) {
  std::unique_ptr<Index[]> suffixes(new (std::nothrow) Index[n > 0 ? n : 1]);
  if (!suffixes) {
    return false;
  }
  if (n > 0 && sort(old, suffixes.get(), static_cast<Index>(n)) != 0) {
    return false;
  }
  return BuildBlocks<Index>(old, n, newer, m, suffixes.get(), tuning, builder) &&
         builder->Finish();
}

}  // namespace

DiffResult WriteDiffPatch(const unsigned char* old, uint64_t oldSize, unsigned char* newer,
                          uint64_t newSize, FILE* out) {
  if (oldSize > kPatchMaxLength || newSize > kPatchMaxLength) {
    return DiffResult::kTooLarge;
  }
  const int64_t n = static_cast<int64_t>(oldSize);
  const int64_t m = static_cast<int64_t>(newSize);
  const uint32_t sourceCrc = crc32(old, oldSize);

  PatchBuilder builder(old, n, newer);
  const Tuning& tuning = LooksLikeText(newer, m) ? kTextTuning : kBinaryTuning;
  bool built;
  if (m == 0) {
    // The control block needs one triple.
    built = builder.Emit(0, 0, 0, 0, 0) && builder.Finish();
  } else if (n <= INT32_MAX) {
    built = Diff<saidx_t>(old, n, newer, m, divsufsort, tuning, &builder);
  } else {
    built = Diff<saidx64_t>(old, n, newer, m, divsufsort64, tuning, &builder);
  }
  if (!built) {
    return DiffResult::kNoMemory;
  }

  PatchHeader header;
  memcpy(header.tag, kPatchTag, kPatchTagLength);
  header.sourceLength = static_cast<uint32_t>(oldSize);
  header.sourceCrc = sourceCrc;
  header.newLength = static_cast<uint32_t>(newSize);
  const uint64_t total = kPatchHeaderSize + builder.control().size() +
                         static_cast<uint64_t>(builder.diffLength()) + builder.extra().size();
  if (total > kPatchMaxLength) {
    return DiffResult::kTooLarge;
  }
  header.controlLength = static_cast<uint32_t>(builder.control().size());
  header.diffLength = static_cast<uint32_t>(builder.diffLength());
  header.extraLength = static_cast<uint32_t>(builder.extra().size());

  unsigned char raw[kPatchHeaderSize];
  EncodePatchHeader(header, raw);
  auto put = [out](const void* data, size_t size) {
    return size == 0 || fwrite(data, 1, size, out) == size;
  };
  if (!put(raw, sizeof(raw)) || !put(builder.control().data(), builder.control().size()) ||
      !put(newer, static_cast<size_t>(builder.diffLength())) ||
      !put(builder.extra().data(), builder.extra().size()) || fflush(out) != 0) {
    return DiffResult::kWriteFailed;
  }
  return DiffResult::kOk;
}
