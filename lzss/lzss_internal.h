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
// back into them: the headroom LzssEncodeWithHeadroom asks of its caller.
inline constexpr std::size_t kLeadingSpaces = kLzssHeadroom;
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

// The sum of size bytes modulo 2^32, the checksum of a stream. A block of 256 bytes sums
// up in 16 bits (256 * 255 < 2^16), which lets the compiler add many bytes at a time.
inline std::uint32_t ByteSum(const std::uint8_t* bytes, std::size_t size) {
  constexpr std::size_t kBlock = 256;
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) {
    std::uint16_t block = 0;
    for (std::size_t k = 0; k < kBlock; ++k) block += bytes[i + k];
    sum += block;
  }
  for (; i < size; ++i) sum += bytes[i];
  return sum;
}

// The decoder's paths: the group loop for each x86-64 instruction set and the portable item
// loop, which is what every other processor runs. All give the same verdicts and bytes.
enum class DecodePath { Portable, Sse2, Ssse3, Avx2 };

// Whether this build has the path and this processor runs it.
[[nodiscard]] bool DecodePathRuns(DecodePath path);

// Makes path the one every decoder uses from now on, in every thread (for tests and the
// benchmark; the widest that runs is chosen by default). Returns false, and changes
// nothing, when the path does not run here.
bool ForceDecodePath(DecodePath path);

// The path in use, and a name for it ("avx2", "ssse3", "sse2", "portable").
[[nodiscard]] DecodePath ActiveDecodePath();
[[nodiscard]] const char* DecodePathName(DecodePath path);

// The stretch functions' sizes: the most bytes one read asks for, and the bytes produced
// between two deliveries. The defaults (64 KiB and 256 KiB) keep reads and deliveries few;
// tests set tiny ones (from 1 byte) so that items straddle every boundary. 0 restores the
// default. For tests only: not for use while a stretch function runs.
void SetStreamPieceSizes(std::size_t readSize, std::size_t stretchSize);

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
// Every position is listed under a hash of its first 3 bytes. For each hash, the positions
// in the window that carry it are linked from older to newer, and each is unlinked as it
// leaves the window, so that a walk starts at the farthest candidate: the first of the
// longest candidates it meets is the answer, and it may end at the first one of 18 bytes.
// An empty bucket proves that there is no match at all. Where the coded position begins
// with three equal bytes, the buckets would hold every position of every such run in the
// window; a list of the runs answers instead, with the 3-byte key just before the run's
// end for the candidates that go on past it.
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

  // FindLongestMatch(window, n, p) for FastLimit() <= p < n, the last few positions, where
  // a comparison stops before the last byte and the candidate that reaches it ends the
  // scan; p must not decrease from one call (to either function) to the next.
  [[nodiscard]] Match FindNearEnd(std::size_t p);

 private:
  // The links of the last kRingSize positions, enough for the window.
  static constexpr std::size_t kRingSize = 4096;
  static constexpr std::size_t kRingMask = kRingSize - 1;
  static_assert(kRingSize > kMaxDistance);
  // Buckets, as a power of two: many, since a bucket is the first test of whether any
  // candidate exists at all, but not many more than the positions of a small input, as
  // the table is cleared for every input.
  static constexpr unsigned kMinBucketBits = 10;
  static constexpr unsigned kMaxBucketBits = 16;

  struct Bucket {
    std::int32_t Head;  // oldest listed position
    std::int32_t Tail;  // newest listed position; the bucket is empty once it has left
  };

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
  static std::uint32_t Key(const std::uint8_t* at) { return bytes::LoadLe32(at) & 0xFFFFFF; }
  std::uint32_t KeyHash(std::uint32_t key) const { return (key * 0x9E3779B1u) >> hashShift_; }
  // Whether the three bytes of a key are one value.
  static bool IsRunKey(std::uint32_t key) { return ((key ^ key >> 8) & 0xFFFF) == 0; }

  void IndexUpTo(std::size_t p);
  void Unlink(std::int32_t leaving);
  void Add(std::int32_t pos, std::int32_t leaving, std::uint32_t index);
  std::size_t IndexRun(std::size_t pos, std::size_t end);
  void ListRun(std::size_t start, std::size_t length);
  std::size_t RunLength(std::size_t pos, std::size_t limit) const;
  std::size_t MatchLength(std::size_t candidate, std::size_t p) const;
  template <typename Visit>
  void Walk(std::size_t p, const Bucket& bucket, Visit&& visit);
  Match SearchBucket(std::size_t p, const Bucket& bucket);
  Match SearchRuns(std::size_t p);

  const std::uint8_t* window_;
  std::size_t n_;
  std::size_t fastLimit_;
  std::size_t indexLimit_;       // positions from here on have no 4 bytes to read a key from
  unsigned hashShift_;           // 32 less the bucket bits
  std::uint32_t spare_;          // the bucket of the positions left out (those that begin a run),
                                 // which no search reads
  std::size_t indexed_ = 0;      // positions below this are indexed
  std::vector<Bucket> buckets_;  // and the spare one
  std::vector<std::uint16_t> next_;  // per ring slot: slot of the next newer position of its
                                     // bucket, and a last slot that absorbs writes for new buckets
  std::vector<std::uint32_t> bucketOf_;  // per ring slot: the bucket of that position
  // per ring slot: the slot two places newer in its bucket, as the last walk past it found
  // it; a guess, checked before it is used, that lets a walk load two links at a time.
  std::vector<std::uint16_t> next2_;
  std::array<RunList, 256> runs_;
};

// Unlinks `leaving`, which leaves the window of the searches to come: it is the oldest
// listed position of its bucket, or in the spare one. A bucket whose tail leaves keeps it,
// and reads as empty from then on.
inline void MatchFinder::Unlink(std::int32_t leaving) {
  const std::size_t slot = static_cast<std::uint32_t>(leaving) & kRingMask;
  // The next position lies less than a ring ahead.
  buckets_[bucketOf_[slot]].Head =
      leaving +
      static_cast<std::int32_t>((next_[slot] - static_cast<std::uint32_t>(leaving)) & kRingMask);
}

// Unlinks `leaving` and lists pos as the newest of bucket index.
inline void MatchFinder::Add(std::int32_t pos, std::int32_t leaving, std::uint32_t index) {
  Unlink(leaving);
  Bucket& bucket = buckets_[index];
  const bool listed = bucket.Tail > leaving;
  // A new bucket's link goes to the spare last slot.
  next_[listed ? bucket.Tail & kRingMask : kRingSize] = static_cast<std::uint16_t>(pos & kRingMask);
  bucket.Head = listed ? bucket.Head : pos;
  bucket.Tail = pos;
  bucketOf_[pos & kRingMask] = index;
}

// Lists the positions up to p, each unlinking the one that leaves the window as it comes
// in. A position whose first three bytes are equal is left to the run lists.
inline void MatchFinder::IndexUpTo(std::size_t p) {
  const std::size_t end = p < indexLimit_ ? p : indexLimit_;
  for (std::size_t pos = indexed_; pos < end;) {
    const std::uint32_t key = Key(window_ + pos);
    if (IsRunKey(key)) {
      pos = IndexRun(pos, end);
      continue;
    }
    const auto position = static_cast<std::int32_t>(pos);
    Add(position, position - static_cast<std::int32_t>(kMaxDistance), KeyHash(key));
    ++pos;
  }
  indexed_ = end > indexed_ ? end : indexed_;
}

inline Match MatchFinder::Find(std::size_t p) {
  IndexUpTo(p);
  const std::uint32_t key = Key(window_ + p);
  // Every candidate of a position that begins with a run lies in a listed run, or goes on
  // past it to where the buckets see it.
  if (IsRunKey(key)) return SearchRuns(p);
  // Any candidate shares p's first three bytes, so an empty bucket settles it.
  const Bucket& bucket = buckets_[KeyHash(key)];
  if (bucket.Tail < static_cast<std::int32_t>(p) - static_cast<std::int32_t>(kMaxDistance)) {
    return {};
  }
  return SearchBucket(p, bucket);
}

}  // namespace pbo::lzss
