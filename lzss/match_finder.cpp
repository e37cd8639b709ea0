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
//     run goes, and only the candidate whose run ends exactly r bytes on can match more.
//     So one look at each run in the window finds the answer.
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

unsigned CountTrailingZeros(std::uint64_t value) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, value);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(value));
#endif
}

// Hashes the first K bytes (at most 18) at `at` into kBits bits; reads up to 18 bytes.
template <std::size_t K, unsigned kBits>
std::uint32_t KeyHash(const std::uint8_t* at) {
  static_assert(K >= 1 && K <= 18);
  constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;
  constexpr std::uint64_t kMul3 = 0x165667B19E3779F9ull;
  constexpr std::size_t kFirst = K < 8 ? K : 8;
  std::uint64_t hash = (bytes::LoadLe64(at) << (64 - 8 * kFirst)) * kMul1;
  if constexpr (K > 8) {
    constexpr std::size_t kSecond = K - 8 < 8 ? K - 8 : 8;
    hash ^= (bytes::LoadLe64(at + 8) << (64 - 8 * kSecond)) * kMul2;
  }
  if constexpr (K > 16) {
    std::uint64_t tail = at[16];
    if constexpr (K > 17) tail |= std::uint64_t{at[17]} << 8;
    hash ^= (tail + 1) * kMul3;
  }
  return static_cast<std::uint32_t>(hash >> (64 - kBits));
}

}  // namespace

MatchFinder::MatchFinder(const std::uint8_t* window, std::size_t n)
    : window_(window), n_(n), fastLimit_(n > kMaxMatch + 1 ? n - kMaxMatch - 1 : 0) {
  for (Tier& tier : tiers_) {
    tier.Buckets.assign(std::size_t{1} << kBucketBits[&tier - tiers_.data()],
                        Bucket{kLongGone, kLongGone});
  }
  tiers_[0].Next.assign(kRingSize + 1, 0);
  tiers_[1].Next.assign(kShortRingSize + 1, 0);
  shortBucketOf_.assign(kShortRingSize, kUnlisted);
}

template <std::size_t T>
MatchFinder::Bucket& MatchFinder::BucketAt(std::size_t pos) {
  return tiers_[T].Buckets[KeyHash<kTierKeys[T], kBucketBits[T]>(window_ + pos)];
}

// Lists pos as the newest position of its bucket, and moves the bucket's head past the
// positions more than kHeadLag old. The bucket is empty or not at random on random
// data, so that choice is made without a branch.
template <std::size_t T>
void MatchFinder::Insert(std::size_t pos, Bucket& bucket) {
  static_assert(kRingSize > kHeadLag + kMaxDistance);
  Tier& tier = tiers_[T];
  const auto position = static_cast<std::int32_t>(pos);
  const std::int32_t lowest = position - static_cast<std::int32_t>(kMaxDistance);
  // All ones if the bucket lists a position in the window, else zero.
  const std::int32_t listed = -static_cast<std::int32_t>(bucket.Tail >= lowest);
  tier.Next[(bucket.Tail & kRingMask & listed) | (kRingSize & ~listed)] = position;
  std::int32_t head = bucket.Head ^ ((bucket.Head ^ position) & ~listed);
  const std::int32_t oldest = position - static_cast<std::int32_t>(kHeadLag);
  while (head < oldest) head = tier.Next[head & kRingMask];
  bucket.Head = head;
  bucket.Tail = position;
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

// Lists the positions from begin to end in the long-key tier. A position whose key is one
// byte value repeated is left out: a position that begins with such a run is answered from
// the list of runs, never from this tier.
void MatchFinder::InsertLongKeys(std::size_t begin, std::size_t end) {
  const std::size_t first = (begin + kLongStride - 1) / kLongStride * kLongStride;
  for (std::size_t pos = first; pos < end; pos += kLongStride) {
    if (!IsRunOf<kTierKeys[0]>(window_ + pos)) Insert<0>(pos, BucketAt<0>(pos));
  }
}

// Lists the positions from begin to end under their 3-byte keys, and the runs of three or
// more equal bytes that start there in the lists of runs; a position whose first three
// bytes are equal is left out of the 3-byte tier, as of the long-key tier. Unlinks each
// position as it leaves the window of the next position to be coded. Every bucket thus lists
// exactly its positions in the window, oldest first; an emptied one gets a negative tail.
void MatchFinder::IndexShortKeys(std::size_t begin, std::size_t end) {
  constexpr std::size_t kShortest = kTierCount - 1;
  // Locals, so that the stores into the tables do not make the compiler reload them.
  const std::uint8_t* const window = window_;
  Bucket* const buckets = tiers_[kShortest].Buckets.data();
  std::int32_t* const next = tiers_[kShortest].Next.data();
  std::uint32_t* const bucketOf = shortBucketOf_.data();
  for (std::size_t pos = begin; pos < end; ++pos) {
    if (pos >= kMaxDistance) {
      // The position leaving the window is the oldest of its bucket.
      const std::size_t oldSlot = (pos - kMaxDistance) & kShortRingMask;
      const std::uint32_t oldIndex = bucketOf[oldSlot];
      if (oldIndex != kUnlisted) {
        Bucket& bucket = buckets[oldIndex];
        const auto old = static_cast<std::int32_t>(pos - kMaxDistance);
        assert(bucket.Head == old);
        bucket.Head = next[oldSlot];
        bucket.Tail = bucket.Tail == old ? kLongGone : bucket.Tail;
      }
    }
    std::uint32_t index = kUnlisted;
    if (IsRunOf<kMinRun>(window + pos)) {
      // A run starts where the byte before differs; it is listed whole, however far past
      // end it goes.
      if (pos == 0 || window[pos - 1] != window[pos]) ListRun(pos, RunLength(pos, n_));
    } else {
      index = KeyHash<kMinMatch, kBucketBits[kShortest]>(window + pos);
      Bucket& bucket = buckets[index];
      const auto position = static_cast<std::int32_t>(pos);
      // An empty bucket's tail is negative; the link then goes to the spare last slot.
      const bool listed = bucket.Tail >= 0;
      next[listed ? bucket.Tail & kShortRingMask : kShortRingSize] = position;
      bucket.Head = listed ? bucket.Head : position;
      bucket.Tail = position;
    }
    bucketOf[pos & kShortRingMask] = index;
  }
}

void MatchFinder::IndexUpTo(std::size_t p) {
  const std::size_t end = std::min(p, fastLimit_);
  if (indexed_ >= end) return;
  if (longTierOn_) InsertLongKeys(indexed_, end);
  IndexShortKeys(indexed_, end);
  indexed_ = end;
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
  Tier& tier = tiers_[0];
  std::fill(tier.Buckets.begin(), tier.Buckets.end(), Bucket{kLongGone, kLongGone});
  InsertLongKeys(indexed_ > kMaxDistance ? indexed_ - kMaxDistance : 0, indexed_);
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

// Walks the bucket of p's 3-byte key from its oldest position. Sets best to the longest
// candidate seen, the farthest of equally long ones, and ends at the first one of `bound`
// bytes. Returns whether best is a match.
bool MatchFinder::SearchShortKeys(std::size_t p, std::size_t bound, Match& best) {
  constexpr std::size_t kShortest = kTierCount - 1;
  const Tier& tier = tiers_[kShortest];
  const Bucket& bucket = BucketAt<kShortest>(p);
  if (bucket.Tail < 0) return false;
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  for (std::int32_t candidate = bucket.Head;; candidate = tier.Next[candidate & kShortRingMask]) {
    ++walkSteps_;
    const auto pos = static_cast<std::size_t>(candidate);
    const std::size_t length = MatchLength(pos, p);
    if (length > bestLength) {
      bestLength = length;
      bestPos = pos;
      if (length >= bound) break;
    }
    if (candidate == bucket.Tail) break;
  }
  if (bestLength < kMinMatch) return false;
  best = {static_cast<std::uint32_t>(bestLength), static_cast<std::uint32_t>(p - bestPos)};
  return true;
}

// Answers a position that begins with a run of `run` equal bytes (capped at 18) from the
// listed runs of that value. Returns whether the answer is at least kMinRun long; if it is
// not, no candidate is.
bool MatchFinder::SearchRuns(std::size_t p, std::size_t run, Match& best) {
  RunList& list = runs_[window_[p]];
  const std::size_t lowest = p > kMaxDistance ? p - kMaxDistance : 0;
  while (list.First < list.Runs.size() &&
         list.Runs[list.First].Start + list.Runs[list.First].Length <= lowest) {
    ++list.First;
  }
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  auto consider = [&](std::size_t pos, std::size_t length) {
    if (length > bestLength) {
      bestLength = length;
      bestPos = pos;
    }
    return bestLength == kMaxMatch;
  };
  for (std::size_t i = list.First; i < list.Runs.size(); ++i) {
    const std::size_t start = list.Runs[i].Start;
    const std::size_t end = start + list.Runs[i].Length;
    assert(start < p);
    // The farthest position of the run in the window has the longest run ahead of it.
    const std::size_t first = std::max(start, lowest);
    if (consider(first, std::min(end - first, run))) break;
    // The one position whose run ends where p's does may match on past it.
    if (run == kMaxMatch || end - start < run) continue;
    const std::size_t exact = end - run;
    if (exact < lowest || exact >= p) continue;
    if (consider(exact, MatchLength(exact, p))) break;
  }
  if (bestLength < kMinRun) return false;
  best = {static_cast<std::uint32_t>(bestLength), static_cast<std::uint32_t>(p - bestPos)};
  return true;
}

// Looks for candidates of at least kLongReach bytes. A candidate q has one alignment j
// below kLongStride for which q + j is a listed position; that position shares the key at
// p + j, so the walk of that key's bucket meets it, unless q + j has not been listed yet
// because it is not below p: those nearest few candidates are tried directly. Returns
// Unsure if a key at p + j is a run, which the tier leaves out.
MatchFinder::LongSearch MatchFinder::SearchLongTier(std::size_t p, Match& best) {
  const Tier& tier = tiers_[0];
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
    if (IsRunOf<kTierKeys[0]>(window_ + p + j)) return LongSearch::Unsure;
    Bucket& bucket = BucketAt<0>(p + j);
    const auto lowestListed = static_cast<std::int32_t>(lowest + j);
    if (bucket.Tail < lowestListed) continue;
    // The bucket was last touched at its tail or later, in the window, and its head was
    // then brought to within kHeadLag, so the head's ring slot still holds its link.
    const auto window = static_cast<std::int32_t>(p) - static_cast<std::int32_t>(kMaxDistance);
    std::int32_t head = bucket.Head;
    while (head < window) head = tier.Next[head & kRingMask];
    bucket.Head = head;
    for (std::int32_t listed = head;; listed = tier.Next[listed & kRingMask]) {
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

Match MatchFinder::Find(std::size_t p) {
  assert(p > kLeadingSpaces && p < fastLimit_);
  IndexUpTo(p);
  if (p >= reviewAt_) ReviewLongTier(p);
  constexpr std::size_t kShortest = kTierCount - 1;
  static_assert(kTierCount == 2 && kTierKeys[kShortest] == kMinMatch && kMinRun == kMinMatch);
  Match best;
  // Every candidate of a position that begins with a run lies in a listed run. The tiers
  // leave out positions whose key is a run, so only a run shorter than the first key may
  // still find its answer there, cheaply when that answer is long.
  if (IsRunOf<kMinRun>(window_ + p)) {
    const std::size_t run = RunLength(p, p + kMaxMatch);
    if (longTierOn_ && run < kTierKeys[0] && SearchLongTier(p, best) == LongSearch::Found) {
      return best;
    }
    return SearchRuns(p, run, best) ? best : Match{};
  }
  // Any candidate shares p's first three bytes, so an empty bucket for them settles it.
  if (BucketAt<kShortest>(p).Tail < 0) return {};
  std::size_t bound = kMaxMatch;
  if (longTierOn_) {
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
  if (SearchShortKeys(p, bound, best)) return best;
  return {};
}

}  // namespace pbo::lzss
