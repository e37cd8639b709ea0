// The encoder's fast match search. It must return exactly what the exhaustive scan
// returns, so it rests on two facts:
//   - Every candidate of length at least K shares the first K bytes with the position
//     being coded, so it sits in the bucket of that K-byte key. Walked from its oldest
//     position, a key's bucket either holds a candidate of at least K bytes (then it holds
//     all the longest candidates, and the first of the longest seen is the farthest) or
//     proves that no candidate reaches K bytes, which caps the answer for the next, shorter
//     key. A walk ends at the first candidate that reaches the cap: 18 for the first key.
//     Hash collisions only add candidates, whose bytes are compared like any other's.
//   - Inside a run of one byte value nearly every distance is a long candidate, and the
//     key buckets grow to the whole window. There the length of a candidate follows from
//     where its run ends: with r equal bytes ahead of the coded position, a candidate whose
//     run goes on longer matches r bytes, one whose run is shorter matches as far as its
//     run goes, and only a candidate whose run ends exactly r bytes on can match more, if
//     the byte after its run is the coded position's next one. The farthest position of
//     the first run long enough answers the first two cases; the 3-byte key of the last two
//     run bytes and that next byte, which is no run, finds the candidates of the third.
//
// The positions are indexed as the coder passes them, so indexing is done for every byte
// and searching only for the coded positions; both are kept free of per-position branches
// that the data would decide at random.
#include <algorithm>
#include <cassert>

#include "lzss/lzss_internal.h"
#include "platform/bytes.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace pbo::lzss {
namespace {

// A tail this far back reads as an empty bucket from the first position on.
constexpr std::int32_t kLongGone = -(1 << 30);

unsigned CountTrailingZeros(std::uint64_t value) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, value);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(value));
#endif
}

// Whether the K bytes at `at` (3 <= K <= 16) are all equal.
template <std::size_t K>
bool IsRunOf(const std::uint8_t* at) {
  static_assert(K >= 3 && K <= 16);
  const std::uint64_t spread = at[0] * 0x0101010101010101ull;
  if constexpr (K <= 8) {
    return ((bytes::LoadLe64(at) ^ spread) << (64 - 8 * K)) == 0;
  } else {
    return (bytes::LoadLe64(at) ^ spread) == 0 && (bytes::LoadLe64(at + K - 8) ^ spread) == 0;
  }
}

// Hashes the first K bytes (9 to 16) at `at` into kBits bits.
template <std::size_t K, unsigned kBits>
std::uint32_t LongKeyHash(const std::uint8_t* at) {
  static_assert(K > 8 && K <= 16);
  constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;
  const std::uint64_t hash =
      bytes::LoadLe64(at) * kMul1 ^ (bytes::LoadLe64(at + 8) << (64 - 8 * (K - 8))) * kMul2;
  return static_cast<std::uint32_t>(hash >> (64 - kBits));
}

}  // namespace

void MatchFinder::Tier::Reset(unsigned bits) {
  const std::uint32_t spare = std::uint32_t{1} << bits;
  Buckets.assign(spare + 1, Bucket{kLongGone, kLongGone});
  Next.assign(kRingSize + 1, 0);
  BucketOf.assign(kRingSize, spare);
}

MatchFinder::MatchFinder(const std::uint8_t* window, std::size_t n)
    : window_(window), n_(n), fastLimit_(n > kMaxMatch + 1 ? n - kMaxMatch - 1 : 0) {
  short_.Reset(kShortBits);
  long_.Reset(kLongBits);
}

// Length of the run of equal bytes at pos, not reaching limit; eight bytes at a time.
std::size_t MatchFinder::RunLength(std::size_t pos, std::size_t limit) const {
  const std::uint8_t value = window_[pos];
  const std::uint64_t spread = value * 0x0101010101010101ull;
  std::size_t end = pos + 1;
  for (; end + 8 <= limit; end += 8) {
    const std::uint64_t diff = bytes::LoadLe64(window_ + end) ^ spread;
    if (diff != 0) return end + CountTrailingZeros(diff) / 8 - pos;
  }
  while (end < limit && window_[end] == value) ++end;
  return end - pos;
}

void MatchFinder::ListRun(std::size_t start, std::size_t length) {
  RunList& list = runs_[window_[start]];
  // Drop the runs that have left the window once they make up most of the list.
  if (list.First >= 1024 && list.First * 2 >= list.Runs.size()) {
    list.Runs.erase(list.Runs.begin(), list.Runs.begin() + list.First);
    list.First = 0;
  }
  list.Runs.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length)});
}

// Indexes the run of equal bytes at pos, up to end: a run starts where the byte before
// differs and is listed whole, however far past end it goes; its positions up to the last
// two bytes go to the spare bucket. Returns the first position after them.
std::size_t MatchFinder::IndexRun(std::size_t pos, std::size_t end) {
  constexpr std::uint32_t kSpare = std::uint32_t{1} << kShortBits;
  if (pos == 0 || window_[pos - 1] != window_[pos]) ListRun(pos, RunLength(pos, n_));
  const std::size_t runKeys = RunLength(pos, end + kMinMatch - 1) - (kMinMatch - 1);
  const auto leaving = static_cast<std::int32_t>(pos) - static_cast<std::int32_t>(kMaxDistance);
  for (std::size_t k = 0; k < runKeys; ++k) {
    short_.Unlink(leaving + static_cast<std::int32_t>(k));
    short_.BucketOf[(pos + k) & kRingMask] = kSpare;
  }
  return pos + runKeys;
}

// Lists every kLongStride-th position from begin to end in the long-key tier, leaving out
// those whose key is one byte value repeated: a position that begins with such a run is
// answered from the list of runs. A listed position is unlinked when the next one of its
// ring slot comes in, so the tier may still list one just out of the window.
void MatchFinder::IndexLongKeys(std::size_t begin, std::size_t end) {
  constexpr std::uint32_t kSpare = std::uint32_t{1} << kLongBits;
  const std::size_t first = (begin + kLongStride - 1) / kLongStride * kLongStride;
  for (std::size_t pos = first; pos < end; pos += kLongStride) {
    const auto position = static_cast<std::int32_t>(pos);
    const bool run = IsRunOf<kLongKey>(window_ + pos);
    long_.Add(position, position - static_cast<std::int32_t>(kRingSize),
              run ? kSpare : LongKeyHash<kLongKey, kLongBits>(window_ + pos));
  }
}

// Decides, once a block, whether the long-key tier is kept for the next block. Taking it
// up again lists the window's positions afresh, so that it holds every candidate.
void MatchFinder::ReviewLongTier(std::size_t p) {
  const bool wasOn = longTierOn_;
  longTierOn_ = wasOn ? ++blocksOn_ % kProbeEvery != 0
                      : walkSteps_ > kWalkStepsForLongTier * (p - (reviewAt_ - kReviewBlock));
  walkSteps_ = 0;
  reviewAt_ = p + kReviewBlock;
  if (!longTierOn_ || wasOn) return;
  long_.Reset(kLongBits);
  IndexLongKeys(indexed_ > kMaxDistance ? indexed_ - kMaxDistance : 0, indexed_);
}

// Length of the common prefix of the 18 bytes at candidate and at p.
std::size_t MatchFinder::MatchLength(std::size_t candidate, std::size_t p) const {
  const std::uint8_t* a = window_ + candidate;
  const std::uint8_t* b = window_ + p;
  for (std::size_t offset = 0; offset < 16; offset += 8) {
    const std::uint64_t diff = bytes::LoadLe64(a + offset) ^ bytes::LoadLe64(b + offset);
    if (diff != 0) return offset + CountTrailingZeros(diff) / 8;
  }
  if (a[16] != b[16]) return 16;
  return a[17] != b[17] ? 17 : 18;
}

// Walks the 3-byte bucket of p from its oldest position. Returns the longest candidate
// seen, the farthest of equally long ones, ending at the first one of `bound` bytes.
Match MatchFinder::SearchShortKeys(std::size_t p, const Bucket& bucket, std::size_t bound) {
  const std::int32_t* const next = short_.Next.data();
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  std::size_t steps = 0;
  const std::uint8_t* const window = window_;
  for (std::int32_t candidate = bucket.Head;; candidate = next[candidate & kRingMask]) {
    ++steps;
    const auto pos = static_cast<std::size_t>(candidate);
    // A candidate can only be longer if it matches the byte that ended the best one.
    if (window[pos + bestLength] == window[p + bestLength]) {
      const std::size_t length = MatchLength(pos, p);
      if (length > bestLength) {
        bestLength = length;
        bestPos = pos;
        if (length >= bound) break;
      }
    }
    if (candidate == bucket.Tail) break;
  }
  walkSteps_ += steps;
  if (bestLength < kMinMatch) return {};
  return {static_cast<std::uint32_t>(bestLength), static_cast<std::uint32_t>(p - bestPos)};
}

// Answers a position that begins with a run (three or more equal bytes).
Match MatchFinder::SearchRuns(std::size_t p) {
  const std::size_t run = RunLength(p, p + kMaxMatch);
  RunList& list = runs_[window_[p]];
  const std::size_t lowest = p > kMaxDistance ? p - kMaxDistance : 0;
  while (list.First < list.Runs.size() &&
         list.Runs[list.First].Start + list.Runs[list.First].Length <= lowest) {
    ++list.First;
  }
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  if (run < kMaxMatch) {
    // Longer than the run: the candidate's run ends `run` bytes on, before p's next byte,
    // so `run - 2` bytes on the candidate has the 3-byte key of p + run - 2.
    const Bucket& bucket = short_.Buckets[ShortKeyHash(ShortKey(window_ + p + run - 2))];
    const auto offset = static_cast<std::int32_t>(run - 2);
    const auto lowestListed = static_cast<std::int32_t>(lowest) + offset;
    if (bucket.Tail >= lowestListed) {
      for (std::int32_t listed = bucket.Head;; listed = short_.Next[listed & kRingMask]) {
        const auto pos = static_cast<std::size_t>(listed - offset);
        if (listed >= lowestListed && window_[pos + bestLength] == window_[p + bestLength]) {
          const std::size_t length = MatchLength(pos, p);
          if (length > bestLength) {
            bestLength = length;
            bestPos = pos;
            if (length == kMaxMatch) break;
          }
        }
        if (listed == bucket.Tail) break;
      }
    }
    if (bestLength <= run) bestLength = 0;
  }
  if (bestLength == 0) {
    // No candidate is longer than the run: the farthest position with the most equal bytes
    // ahead begins a run, or the window.
    for (std::size_t i = list.First; i < list.Runs.size(); ++i) {
      const std::size_t start = list.Runs[i].Start;
      assert(start < p);
      const std::size_t first = std::max(start, lowest);
      const std::size_t length = std::min(start + list.Runs[i].Length - first, run);
      if (length > bestLength) {
        bestLength = length;
        bestPos = first;
        if (length == run) break;
      }
    }
  }
  if (bestLength < kMinMatch) return {};
  return {static_cast<std::uint32_t>(bestLength), static_cast<std::uint32_t>(p - bestPos)};
}

// Looks for candidates of at least kLongReach bytes. A candidate q has one alignment j
// below kLongStride for which q + j is a listed position; that position shares the key at
// p + j, so the walk of that key's bucket meets it, unless q + j has not been listed yet
// because it is not below p: those nearest few candidates are tried directly. Returns
// Unsure if a key at p + j is a run, which the tier leaves out.
MatchFinder::LongSearch MatchFinder::SearchLongTier(std::size_t p, Match& best) {
  const std::int32_t* const next = long_.Next.data();
  const std::size_t lowest = p > kMaxDistance ? p - kMaxDistance : 0;
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  auto consider = [&](std::size_t pos) {
    const std::size_t length = MatchLength(pos, p);
    if (length > bestLength || (length == bestLength && pos < bestPos)) {
      bestLength = length;
      bestPos = pos;
    }
    return length;
  };
  for (std::size_t distance = 1; distance < kLongStride; ++distance) consider(p - distance);
  for (std::size_t j = 0; j < kLongStride; ++j) {
    if (IsRunOf<kLongKey>(window_ + p + j)) return LongSearch::Unsure;
    const Bucket& bucket = long_.Buckets[LongKeyHash<kLongKey, kLongBits>(window_ + p + j)];
    const auto lowestListed = static_cast<std::int32_t>(lowest + j);
    if (bucket.Tail < lowestListed) continue;
    for (std::int32_t listed = bucket.Head;; listed = next[listed & kRingMask]) {
      if (listed >= lowestListed) {
        const std::size_t pos = static_cast<std::size_t>(listed) - j;
        // Newer positions of this bucket are nearer than an 18-byte candidate found.
        if (bestLength == kMaxMatch && pos > bestPos) break;
        if (consider(pos) == kMaxMatch) break;
      }
      if (listed == bucket.Tail) break;
    }
  }
  if (bestLength < kLongReach) return LongSearch::NoneThatLong;
  best = {static_cast<std::uint32_t>(bestLength), static_cast<std::uint32_t>(p - bestPos)};
  return LongSearch::Found;
}

// Looks at the candidates of a position whose 3-byte bucket is not empty.
Match MatchFinder::SearchCandidates(std::size_t p, const Bucket& bucket) {
  std::size_t bound = kMaxMatch;
  if (longTierOn_) {
    Match best;
    switch (SearchLongTier(p, best)) {
      case LongSearch::Found:
        return best;
      case LongSearch::NoneThatLong:
        bound = kLongReach - 1;
        break;
      case LongSearch::Unsure:
        break;
    }
  }
  return SearchShortKeys(p, bucket, bound);
}

}  // namespace pbo::lzss
