// Internals of the LZSS codec shared by lzss/ and its tests and benchmark; not part of the
// public surface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "lzss/lzss.h"
#include "platform/bytes.h"

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
// first 13 bytes, every position under its first 3. For each key, the positions in the
// window that carry it are linked from older to newer, and each is unlinked as it leaves
// the window, so that a walk starts at the farthest candidate. Any candidate at least as
// long as a key shares that key, so a tier that yields such a candidate holds the answer,
// and a walk may end at the first candidate that reaches the longest length still possible
// (18, or 13 in the 3-byte tier once the 13-byte tier, looked up at p and p + 1, has found
// no candidate of 14 bytes). An empty bucket for the 3-byte key proves that there is no
// match at all. The 13-byte tier is kept only while the 3-byte walks are long; without it
// the 3-byte walk alone, bounded by 18, gives the same answer. Where the coded position
// begins with three equal bytes, the key buckets would hold every position of every such
// run in the window; a list of the runs answers instead, with the 3-byte key just before
// the run's end for the candidates that go on past it.
class MatchFinder {
 public:
  // window must outlive the finder and hold n bytes.
  MatchFinder(const std::uint8_t* window, std::size_t n);

  // The first position at which Find may no longer be used.
  [[nodiscard]] std::size_t FastLimit() const { return fastLimit_; }

  // FindLongestMatch(window, n, p) for 19 <= p < FastLimit(); p must not decrease from
  // one call to the next. Inline, as the coder calls it for every item: most calls index a
  // position or a few and look at one bucket.
  [[nodiscard]] Match Find(std::size_t p);

  // The long tier's key, and its stride: it lists only every kLongStride-th position.
  // Looked up at p, p + 1, ..., p + kLongStride - 1, it still finds every candidate of
  // kLongReach bytes or more. The key settles most long matches in a look or two and spares
  // the 3-byte walk where data repeats with small changes.
  static constexpr std::size_t kLongKey = 13;
  static constexpr std::size_t kLongStride = 2;
  static constexpr std::size_t kLongReach = kLongKey + kLongStride - 1;

 private:
  // Each tier keeps the links of the last kRingSize positions, enough for the window.
  static constexpr std::size_t kRingSize = 4096;
  static constexpr std::size_t kRingMask = kRingSize - 1;
  static_assert(kRingSize > kMaxDistance);

  struct Bucket {
    std::int32_t Head;  // oldest listed position
    std::int32_t Tail;  // newest listed position; the bucket is empty once it has left
  };
  // Positions that share one hash of their first bytes, linked oldest first. A last, spare
  // bucket takes the positions a tier leaves out (run keys), which no search reads.
  struct Tier {
    std::vector<Bucket> Buckets;
    std::vector<std::int32_t> Next;       // per ring slot: next newer position of its bucket,
                                          // and a last slot that absorbs writes for new buckets
    std::vector<std::uint32_t> BucketOf;  // per ring slot: the bucket of that position
    void Reset(unsigned bits);
    void Unlink(std::int32_t leaving) {
      const std::size_t slot = static_cast<std::uint32_t>(leaving) & kRingMask;
      Buckets[BucketOf[slot]].Head = Next[slot];
    }
    void Add(std::int32_t pos, std::int32_t leaving, std::uint32_t index);
  };
  // Bucket bits per tier: more for short keys, whose buckets are the first test of whether
  // any candidate exists at all.
  static constexpr unsigned kShortBits = 16;
  static constexpr unsigned kLongBits = 13;

  // A maximal run of one byte value, at least 3 long.
  struct Run {
    std::uint32_t Start = 0;
    std::uint32_t Length = 0;
  };
  struct RunList {
    std::vector<Run> Runs;
    std::size_t First = 0;  // runs before this one have left the window
  };

  // The first three bytes at `at`, the first one lowest, and their bucket.
  static std::uint32_t ShortKey(const std::uint8_t* at) { return bytes::LoadLe32(at) & 0xFFFFFF; }
  static std::uint32_t ShortKeyHash(std::uint32_t key) {
    return (key * 0x9E3779B1u) >> (32 - kShortBits);
  }
  // Whether the three bytes of a key are one value.
  static bool IsRunKey(std::uint32_t key) { return ((key ^ key >> 8) & 0xFFFF) == 0; }

  void IndexUpTo(std::size_t p);
  std::size_t IndexRun(std::size_t pos, std::size_t end);
  void IndexLongKeys(std::size_t begin, std::size_t end);
  void ReviewLongTier(std::size_t p);
  void ListRun(std::size_t start, std::size_t length);
  std::size_t RunLength(std::size_t pos, std::size_t limit) const;
  std::size_t MatchLength(std::size_t candidate, std::size_t p) const;
  Match SearchCandidates(std::size_t p, const Bucket& bucket);
  Match SearchShortKeys(std::size_t p, const Bucket& bucket, std::size_t bound);
  enum class LongSearch { Found, NoneThatLong, Unsure };
  LongSearch SearchLongTier(std::size_t p, Match& best);
  Match SearchRuns(std::size_t p);

  const std::uint8_t* window_;
  std::size_t n_;
  std::size_t fastLimit_;
  std::size_t indexed_ = 0;  // positions below this are indexed
  Tier short_;
  Tier long_;
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

// Unlinks `leaving`, which leaves the window of the searches to come (the oldest listed
// position of its bucket, or in the spare one), and lists pos as the newest of bucket
// index. A bucket whose tail leaves keeps it, and reads as empty from then on.
inline void MatchFinder::Tier::Add(std::int32_t pos, std::int32_t leaving, std::uint32_t index) {
  Unlink(leaving);
  Bucket& bucket = Buckets[index];
  const bool listed = bucket.Tail > leaving;
  // A new bucket's link goes to the spare last slot.
  Next[listed ? bucket.Tail & kRingMask : kRingSize] = pos;
  bucket.Head = listed ? bucket.Head : pos;
  bucket.Tail = pos;
  BucketOf[pos & kRingMask] = index;
}

// Lists the positions up to p in the 3-byte tier, each unlinking the one that leaves the
// window as it comes in. A position whose first three bytes are equal is left to the run
// lists.
inline void MatchFinder::IndexUpTo(std::size_t p) {
  const std::size_t end = p < fastLimit_ ? p : fastLimit_;
  if (indexed_ >= end) return;
  if (longTierOn_) IndexLongKeys(indexed_, end);
  for (std::size_t pos = indexed_; pos < end;) {
    const std::uint32_t key = ShortKey(window_ + pos);
    if (IsRunKey(key)) {
      pos = IndexRun(pos, end);
      continue;
    }
    const auto position = static_cast<std::int32_t>(pos);
    short_.Add(position, position - static_cast<std::int32_t>(kMaxDistance), ShortKeyHash(key));
    ++pos;
  }
  indexed_ = end;
}

inline Match MatchFinder::Find(std::size_t p) {
  IndexUpTo(p);
  if (p >= reviewAt_) ReviewLongTier(p);
  const std::uint32_t key = ShortKey(window_ + p);
  // Every candidate of a position that begins with a run lies in a listed run, or goes on
  // past it to where the 3-byte tier sees it.
  if (IsRunKey(key)) return SearchRuns(p);
  // Any candidate shares p's first three bytes, so an empty bucket for them settles it.
  const Bucket& bucket = short_.Buckets[ShortKeyHash(key)];
  if (bucket.Tail < static_cast<std::int32_t>(p) - static_cast<std::int32_t>(kMaxDistance)) {
    return {};
  }
  return SearchCandidates(p, bucket);
}

}  // namespace pbo::lzss
