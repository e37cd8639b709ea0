// The encoder's core, shared by LzssEncode, LzssParseSegment and LzssStreamJoiner; internal
// to lzss/ and its tests, fuzz targets and benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "lzss/match_finder.h"

namespace pbo::lzss {

// The bytes an item depends on: its window behind it, and ahead of it the 18 bytes a match
// may cover and one more, which tells whether the 18th is the second-to-last of the file.
inline constexpr std::uint64_t kLookBehind = kMaxDistance;
inline constexpr std::uint64_t kLookAhead = kMaxMatch + 1;

// A segment's item: 0 for a literal, else the reference's two stream bytes, first one
// lowest (no reference has distance 0, so no reference is 0).
[[nodiscard]] inline std::uint16_t ItemCode(Match match) {
  if (match.Length == 0) return 0;
  return static_cast<std::uint16_t>((match.Distance & 0xFF) |
                                    ((match.Distance >> 8 << 4) | (match.Length - kMinMatch)) << 8);
}

// How many bytes an item covers.
[[nodiscard]] inline std::size_t ItemLength(std::uint16_t item) {
  return item == 0 ? 1 : (item >> 8 & 0x0F) + kMinMatch;
}

[[nodiscard]] inline std::size_t ItemDistance(std::uint16_t item) {
  return (item & 0xFF) | (item >> 12) << 8;
}

// The coder's item at rising positions of one stretch of a file, from a piece of the file's
// bytes: the item FindLongestMatch gives over the whole window of 18 spaces and the file
// (restricted to the data with LzssReach::DataOnly), and a literal for the first byte.
class ItemFinder {
 public:
  // Asked for positions q with first <= q < last <= fileSize < 2^31.
  // piece: holds the file's bytes from 4095 before `first` (or from 0) to 19 past `last`
  //   (or to the file's end), and outlives the finder; no byte outside that is read. A
  //   window that reaches before the data is a copy of the piece's bytes behind 18 spaces,
  //   made by the finder: only the first 4 KiB of a file need one, and copying is cheap
  //   beside coding (a 1 MiB segment copies in 1/200 of the time it codes in).
  ItemFinder(const LzssFilePiece& piece, std::uint64_t fileSize, LzssReach reach,
             std::uint64_t first, std::uint64_t last);

  // The item at file position q: q rising from call to call.
  [[nodiscard]] Match At(std::uint64_t q);

  // Parses from q until an item reaches `end` (end <= last), calling emit(match, at) for
  // each item, `at` pointing to the byte at the item's position; returns the end of the
  // last one. As At for each item, without the tests it needs
  // for the first and the last positions.
  template <typename Emit>
  std::uint64_t Parse(std::uint64_t q, std::uint64_t end, Emit&& emit);

 private:
  struct Layout;
  static Layout LayOut(const LzssFilePiece& piece, std::uint64_t fileSize, LzssReach reach,
                       std::uint64_t first, std::uint64_t last);
  explicit ItemFinder(Layout&& layout);

  std::vector<std::uint8_t> copy_;  // the spaced window, when the finder made it
  const std::uint8_t* window_;      // window_[i] is the file's byte at base_ + i
  std::int64_t base_;               // below 0 when the window holds spaces
  MatchFinder finder_;
};

template <typename Emit>
std::uint64_t ItemFinder::Parse(std::uint64_t q, std::uint64_t end, Emit&& emit) {
  if (q == 0 && q < end) {
    emit(Match{}, window_ - base_);
    q = 1;
  }
  // Indices into the window from here on; the fast search serves all but the file's last
  // 19 positions.
  auto p = static_cast<std::size_t>(static_cast<std::int64_t>(q) - base_);
  const auto stop = static_cast<std::size_t>(static_cast<std::int64_t>(end) - base_);
  const std::size_t fastStop = stop < finder_.FastLimit() ? stop : finder_.FastLimit();
  while (p < fastStop) {
    const Match match = finder_.Find(p);
    emit(match, window_ + p);
    p += match.Length == 0 ? 1 : match.Length;
  }
  while (p < stop) {
    const Match match = finder_.FindNearEnd(p);
    emit(match, window_ + p);
    p += match.Length == 0 ? 1 : match.Length;
  }
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(p) + base_);
}

// A segment's own parse, read by the benchmark.
struct SegmentInside {
  static const std::vector<std::uint16_t>& Items(const LzssSegment& segment) {
    return segment.items_;
  }
  static std::uint64_t ParseStart(const LzssSegment& segment) { return segment.parseStart_; }
  static std::uint64_t ParseEnd(const LzssSegment& segment) { return segment.parseEnd_; }
};

// How a file is cut for coding, for LzssEncode and for the tests that run the encoder over
// small segments.
struct SegmentPlan {
  std::uint64_t Size = kLzssSegmentSize;
  // Parse each segment from its own start, as a worker does that knows nothing of the
  // segments before, rather than from where the file's parse has got to.
  bool FromOwnStart = false;
};

struct EncodeResult {
  std::vector<std::uint8_t> Stream;
  LzssReach Reach = LzssReach::LeadingSpaces;  // of the stream kept
};

// LzssEncode, with the data cut as plan says.
[[nodiscard]] EncodeResult EncodeInSegments(const std::uint8_t* data, std::size_t size,
                                            const SegmentPlan& plan);

}  // namespace pbo::lzss
