// Internals of the LZSS codec shared by lzss/ and its tests and benchmark; not part of the
// public surface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "lzss/lzss.h"

namespace pbo::lzss {

// The encoder's window holds this many spaces before the data, and references may reach
// back into them.
inline constexpr std::size_t kLeadingSpaces = 18;
inline constexpr std::uint8_t kSpace = 0x20;

inline constexpr std::size_t kMinMatch = 3;
inline constexpr std::size_t kMaxMatch = 18;
inline constexpr std::size_t kMaxDistance = 4095;
inline constexpr std::size_t kItemsPerGroup = 8;
inline constexpr std::size_t kChecksumSize = 4;

// Expansion bound: a two-byte reference yields at most 18 bytes (9 per stream byte), a
// literal one byte per stream byte, and a flag byte none, so an item stream of s bytes
// never expands past 9 * s bytes. The decoder sizes its output by this bound rather than
// trusting the declared length alone.
inline constexpr std::size_t kMaxExpansion = kMaxMatch / 2;

// The most bytes an item stream of streamSize bytes can produce.
[[nodiscard]] constexpr std::size_t MaxDecodedSize(std::size_t streamSize) {
  return streamSize * kMaxExpansion;
}

// The longest stream LzssEncode can write for size input bytes: every byte a literal, a
// flag byte per eight of them, and the checksum.
[[nodiscard]] constexpr std::size_t MaxEncodedSize(std::size_t size) {
  return size + (size + kItemsPerGroup - 1) / kItemsPerGroup + kChecksumSize;
}

// A back reference: Length bytes at the current position equal those Distance bytes
// before. Length 0 means no match.
struct Match {
  std::uint32_t Length = 0;
  std::uint32_t Distance = 0;
};

// The encoder's match rule, by exhaustive scan of the window.
//   window: the n bytes of the work buffer, 18 spaces followed by the data.
//   p: the position to code, 19 <= p <= n - 1.
// Tries the distances 1, 2, ... in rising order and returns the longest candidate of 3 to
// 18 bytes, the farthest of equally long ones. A comparison never reaches the last byte of
// the window, and the scan stops after distance 4095, after distance p (the first leading
// space) and after the first candidate that reaches the second-to-last byte.
[[nodiscard]] Match FindLongestMatch(const std::uint8_t* window, std::size_t n, std::size_t p);

// Finds the same matches as FindLongestMatch, fast, for the positions that lie more than
// 18 bytes before the end of the window (p < n - 19); the encoder asks it for rising
// positions and uses the exhaustive scan for the last few.
//
// Positions are indexed under keys of two lengths (tiers): every second position under its
// first 13 bytes, every position under its first 3. For each key, the positions that
// carry it are linked from older to newer, so that a walk starts at the farthest candidate
// still in the window. Any candidate at least as long as a key shares that key, so a tier
// that yields such a candidate holds the answer, and a walk may end at the first candidate
// that reaches the longest length still possible (18, or 13 in the 3-byte tier once the
// 13-byte tier, looked up at p and p + 1, has found no candidate of 14 bytes). An empty
// bucket for the 3-byte key proves that there is no match at all. The 13-byte tier is kept
// only while the 3-byte walks are long; without it the 3-byte walk alone, bounded by 18,
// gives the same answer. Where the coded position begins with three equal bytes, the key
// buckets would hold every position of every such run in the window; a list of the runs
// answers instead, from where each run ends.
class MatchFinder {
 public:
  // window must outlive the finder and hold n bytes.
  MatchFinder(const std::uint8_t* window, std::size_t n);

  // The first position at which Find may no longer be used.
  [[nodiscard]] std::size_t FastLimit() const { return fastLimit_; }

  // FindLongestMatch(window, n, p) for 19 <= p < FastLimit(); p must not decrease from
  // one call to the next.
  [[nodiscard]] Match Find(std::size_t p);

  // Key lengths of the tiers, longest first, the last one the shortest match. The first
  // settles most long matches in a look or two and spares the 3-byte walk where text
  // repeats with small changes; listing only every second position halves its cost.
  static constexpr std::size_t kTierKeys[] = {13, kMinMatch};
  static constexpr std::size_t kTierCount = std::size(kTierKeys);
  // The first tier lists only every kLongStride-th position. Looked up at p, p + 1, ...,
  // p + kLongStride - 1, it still finds every candidate of kLongReach bytes or more.
  static constexpr std::size_t kLongStride = 2;
  static constexpr std::size_t kLongReach = kTierKeys[0] + kLongStride - 1;
  // Runs shorter than this are not listed. Every candidate of a position that begins with
  // three equal bytes lies in a listed run.
  static constexpr std::size_t kMinRun = kMinMatch;

 private:
  // The long-key tier keeps the links of the last kRingSize positions. Whenever one of its
  // buckets is touched, its head is brought to within kHeadLag positions, so a listed
  // position never falls out of the ring: kRingSize > kHeadLag + kMaxDistance. The lag
  // spares most inserts that step; searches step past the old positions they meet.
  static constexpr std::size_t kRingSize = 16384;
  static constexpr std::size_t kHeadLag = 8192;
  static constexpr std::size_t kRingMask = kRingSize - 1;
  // The 3-byte tier unlinks each position as it leaves the window, so its ring holds just
  // the window's links and stays in the first-level cache.
  static constexpr std::size_t kShortRingSize = 4096;
  static constexpr std::size_t kShortRingMask = kShortRingSize - 1;
  static_assert(kShortRingSize > kMaxDistance);
  static constexpr std::uint32_t kUnlisted = ~std::uint32_t{0};
  // Buckets per tier, as a power of two: more for short keys, whose buckets are the first
  // test of whether any candidate exists at all.
  static constexpr unsigned kBucketBits[] = {13, 16};

  struct Bucket {
    std::int32_t Head;  // oldest listed position
    std::int32_t Tail;  // newest listed position; none is in the window if it is not
  };
  // Positions that share one hash of their first kTierKeys[t] bytes, linked oldest first.
  struct Tier {
    std::vector<Bucket> Buckets;
    std::vector<std::int32_t> Next;  // per ring slot: next newer position of its bucket,
                                     // and a last slot that absorbs writes for empty buckets
  };
  template <std::size_t T>
  Bucket& BucketAt(std::size_t pos);

  // A maximal run of one byte value, at least kMinRun long.
  struct Run {
    std::uint32_t Start = 0;
    std::uint32_t Length = 0;
  };
  struct RunList {
    std::vector<Run> Runs;
    std::size_t First = 0;  // runs before this one have left the window
  };

  template <std::size_t T>
  void Insert(std::size_t pos, Bucket& bucket);
  void InsertLongKeys(std::size_t begin, std::size_t end);
  void IndexShortKeys(std::size_t begin, std::size_t end);
  void ReviewLongTier(std::size_t p);
  void IndexUpTo(std::size_t p);
  void ListRun(std::size_t start, std::size_t length);
  std::size_t RunLength(std::size_t pos, std::size_t limit) const;
  std::size_t MatchLength(std::size_t candidate, std::size_t p) const;
  bool SearchShortKeys(std::size_t p, std::size_t bound, Match& best);
  enum class LongSearch { Found, NoneThatLong, Unsure };
  LongSearch SearchLongTier(std::size_t p, Match& best);
  bool SearchRuns(std::size_t p, std::size_t run, Match& best);

  const std::uint8_t* window_;
  std::size_t n_;
  std::size_t fastLimit_;
  std::size_t indexed_ = 0;  // positions below this are indexed
  std::array<Tier, kTierCount> tiers_;
  std::vector<std::uint32_t> shortBucketOf_;  // per ring slot: bucket of that position in the
                                              // 3-byte tier, or kUnlisted
  // The long-key tier pays off only where the 3-byte walks grow long, as in binary data
  // with a few very common byte triples; elsewhere its upkeep costs more than it saves.
  // It is kept while the walks of the last block of positions were long, and dropped for
  // one block in every kProbeEvery to see whether they still are.
  static constexpr std::size_t kReviewBlock = 32768;
  static constexpr std::size_t kWalkStepsForLongTier = 4;  // per position of a block
  static constexpr std::size_t kProbeEvery = 16;
  bool longTierOn_ = false;
  std::size_t reviewAt_ = kReviewBlock;
  std::size_t blocksOn_ = 0;
  std::size_t walkSteps_ = 0;  // steps of 3-byte walks since the last review
  std::array<RunList, 256> runs_;
};

}  // namespace pbo::lzss
