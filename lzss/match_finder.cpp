// The encoder's fast match search. It must return exactly what the exhaustive scan
// returns, so it rests on two facts:
//   - Every candidate of length at least K shares the first K bytes with the position
//     being coded, so it sits in the bucket of that K-byte key. If the longest key's bucket
//     (K = 18) holds a verified candidate, the oldest such is the farthest of the longest.
//     Otherwise the answer is shorter than 18, and each shorter key's bucket, walked from
//     its oldest position, either holds a candidate of at least K bytes (then it holds all
//     the longest candidates, and the first of the longest seen is the farthest) or proves
//     that no candidate reaches K bytes. A walk ends early once a candidate reaches the
//     longest length still possible.
//   - Inside a run of one byte value nearly every distance is a long candidate, and the
//     key buckets grow to the whole window. There the length of a candidate follows from
//     where its run ends: with r equal bytes ahead of the coded position, a candidate whose
//     run goes on longer matches r bytes, one whose run is shorter matches as far as its
//     run goes, and only the candidate whose run ends exactly r bytes on can match more.
//     So one look at each run in the window finds the answer.
#include <algorithm>
#include <cassert>
#include <cstring>

#include "lzss/lzss_internal.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace pbo::lzss {
namespace {

// Key lengths of the tiers, longest first. The first must be the longest match; the last
// the shortest.
constexpr std::size_t kTierKeys[] = {kMaxMatch, 8, 4, kMinMatch};
constexpr unsigned kBucketBits = 13;

std::uint64_t Load64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
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

// Hashes the first keyLength bytes (at most 18) at `at`; reads up to 18 bytes.
std::uint64_t KeyHash(const std::uint8_t* at, std::size_t keyLength) {
  constexpr std::uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;
  constexpr std::uint64_t kMul3 = 0x165667B19E3779F9ull;
  const std::size_t firstBytes = std::min<std::size_t>(keyLength, 8);
  std::uint64_t hash = (Load64(at) << (64 - 8 * firstBytes)) * kMul1;
  if (keyLength > 8) {
    const std::size_t secondBytes = std::min<std::size_t>(keyLength - 8, 8);
    hash ^= (Load64(at + 8) << (64 - 8 * secondBytes)) * kMul2;
  }
  if (keyLength > 16) {
    std::uint64_t tail = at[16];
    if (keyLength > 17) tail |= std::uint64_t{at[17]} << 8;
    hash ^= (tail + 1) * kMul3;
  }
  return hash;
}

}  // namespace

MatchFinder::MatchFinder(const std::uint8_t* window, std::size_t n)
    : window_(window), n_(n), fastLimit_(n > kMaxMatch + 1 ? n - kMaxMatch - 1 : 0) {
  for (std::size_t keyLength : kTierKeys) {
    Tier& tier = tiers_.emplace_back();
    tier.KeyLength = keyLength;
    tier.HashShift = 64 - kBucketBits;
    tier.Head.assign(std::size_t{1} << kBucketBits, -1);
    tier.Tail.assign(std::size_t{1} << kBucketBits, -1);
  }
}

std::uint32_t MatchFinder::Hash(const Tier& tier, std::size_t pos) const {
  return static_cast<std::uint32_t>(KeyHash(window_ + pos, tier.KeyLength) >> tier.HashShift);
}

// Lists pos as the newest position of its bucket, and unlinks the position it replaces in
// the ring, which is the oldest of its own bucket.
void MatchFinder::Insert(Tier& tier, std::size_t pos) {
  const std::size_t slot = pos & kRingMask;
  if (pos >= kRingSize) {
    const std::uint32_t old = tier.Bucket[slot];
    assert(tier.Head[old] == static_cast<std::int32_t>(pos - kRingSize));
    tier.Head[old] = tier.Next[slot];
    if (tier.Head[old] < 0) tier.Tail[old] = -1;
  }
  const std::uint32_t bucket = Hash(tier, pos);
  tier.Bucket[slot] = bucket;
  tier.Next[slot] = -1;
  const auto position = static_cast<std::int32_t>(pos);
  if (tier.Tail[bucket] >= 0) {
    tier.Next[tier.Tail[bucket] & kRingMask] = position;
  } else {
    tier.Head[bucket] = position;
  }
  tier.Tail[bucket] = position;
}

std::size_t MatchFinder::RunLength(std::size_t pos, std::size_t limit) const {
  const std::uint8_t value = window_[pos];
  std::size_t end = pos + 1;
  while (end < limit && window_[end] == value) ++end;
  return end - pos;
}

// Lists the run that starts at pos, if one does and it is long enough.
void MatchFinder::NoteRunAt(std::size_t pos) {
  if (pos > 0 && window_[pos - 1] == window_[pos]) return;
  const std::size_t length = RunLength(pos, n_);
  if (length < kMinRun) return;
  RunList& list = runs_[window_[pos]];
  // Drop the runs that have left the window once they make up most of the list.
  if (list.First >= 1024 && list.First * 2 >= list.Runs.size()) {
    list.Runs.erase(list.Runs.begin(), list.Runs.begin() + list.First);
    list.First = 0;
  }
  list.Runs.push_back({static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(length)});
}

void MatchFinder::IndexUpTo(std::size_t p) {
  const std::size_t end = std::min(p, fastLimit_);
  for (; indexed_ < end; ++indexed_) {
    for (Tier& tier : tiers_) Insert(tier, indexed_);
    NoteRunAt(indexed_);
  }
}

// Length of the common prefix of the 18 bytes at candidate and at p.
std::size_t MatchFinder::MatchLength(std::size_t candidate, std::size_t p) const {
  const std::uint8_t* a = window_ + candidate;
  const std::uint8_t* b = window_ + p;
  for (std::size_t offset = 0; offset < 16; offset += 8) {
    const std::uint64_t diff = Load64(a + offset) ^ Load64(b + offset);
    if (diff != 0) return offset + CountTrailingZeros(diff) / 8;
  }
  if (a[16] != b[16]) return 16;
  return a[17] != b[17] ? 17 : 18;
}

// Walks the bucket of p's key from its oldest position in the window. Sets best to the
// longest candidate seen, the farthest of equally long ones, and ends at the first one of
// `bound` bytes. Returns whether best is at least as long as the key, which makes it the
// answer.
bool MatchFinder::SearchTier(const Tier& tier, std::size_t p, std::size_t bound,
                             Match& best) const {
  const std::size_t lowest = p > kMaxDistance ? p - kMaxDistance : 0;
  std::int32_t candidate = tier.Head[Hash(tier, p)];
  // The ring still holds the one position that has just left the window.
  if (candidate >= 0 && static_cast<std::size_t>(candidate) < lowest) {
    candidate = tier.Next[candidate & kRingMask];
  }
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  for (; candidate >= 0; candidate = tier.Next[candidate & kRingMask]) {
    const auto pos = static_cast<std::size_t>(candidate);
    const std::size_t length = MatchLength(pos, p);
    if (length > bestLength) {
      bestLength = length;
      bestPos = pos;
      if (length >= bound) break;
    }
  }
  if (bestLength < tier.KeyLength) return false;
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
    std::size_t length = run;
    while (length < kMaxMatch && window_[exact + length] == window_[p + length]) ++length;
    if (consider(exact, length)) break;
  }
  if (bestLength < kMinRun) return false;
  best = {static_cast<std::uint32_t>(bestLength), static_cast<std::uint32_t>(p - bestPos)};
  return true;
}

Match MatchFinder::Find(std::size_t p) {
  assert(p > kLeadingSpaces && p < fastLimit_);
  IndexUpTo(p);
  Match best;
  if (SearchTier(tiers_.front(), p, kMaxMatch, best)) return best;

  std::size_t bound = kMaxMatch - 1;
  const std::size_t run = RunLength(p, p + kMaxMatch);
  if (run >= kMinRun) {
    if (SearchRuns(p, run, best)) return best;
    bound = kMinRun - 1;
  }
  for (std::size_t t = 1; t < tiers_.size(); ++t) {
    const Tier& tier = tiers_[t];
    if (tier.KeyLength > bound) continue;
    if (SearchTier(tier, p, bound, best)) return best;
    bound = tier.KeyLength - 1;
  }
  return {};
}

}  // namespace pbo::lzss
