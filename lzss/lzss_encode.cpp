// LZSS encoding.
//
// The coder is greedy: at each position it takes the longest back reference of 3 to 18
// bytes into the last 4095 bytes of the window, else a literal. The window begins with 18
// spaces, so the data's own leading spaces can be coded as references, but the first data
// byte is always a literal. Ties go to the farthest candidate, with one exception that
// comes from where the scan stops: a candidate that matches through the second-to-last byte
// ends the scan, and being the first to do so it is the nearest of its length. The last
// byte is never compared, so the last three positions are always literals.
//
// The stream is fixed byte for byte by these rules; FindLongestMatch states them as the
// plain scan, and MatchFinder finds the same answers without trying every distance. A
// stream that a reader restoring the spaces by the checksum would not give back is
// replaced by the parse under the same rules whose sources begin at the first data byte.
//
// The coder works in segments of the data (segment_coder.cpp), each parsed from where the
// parse before it ended, so that its positions and tables stay small whatever the size.
#include <algorithm>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "lzss/segment_coder.h"

namespace pbo {
namespace lzss {

Match FindLongestMatch(const std::uint8_t* window, std::size_t n, std::size_t p,
                       std::size_t floor) {
  Match best;
  for (std::size_t d = 1;; ++d) {
    std::size_t k = 0;
    while (k < kMaxMatch && p + k + 1 < n && window[p - d + k] == window[p + k]) ++k;
    if (k >= kMinMatch && k >= best.Length) {
      best = {static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(d)};
    }
    if (d == kMaxDistance || d == p - floor || p + k + 1 == n) return best;
  }
}

namespace {

// One pass over the data with one reach. Stops early, with an empty stream, once the
// joiner knows that the usual stream needs the second pass.
std::vector<std::uint8_t> CodeWithReach(const std::uint8_t* data, std::size_t size,
                                        const SegmentPlan& plan, LzssReach reach) {
  LzssStreamJoiner joiner(size, reach);
  std::vector<std::uint8_t> stream;
  // The joiner asks for room a few bytes past the stream's end.
  stream.reserve(MaxEncodedSize(size) + 64);
  for (std::uint64_t start = 0; start < size;) {
    const std::uint64_t end = std::min<std::uint64_t>(size, start + plan.Size);
    const LzssByteRange range = LzssSegmentBytes(start, end, size);
    const LzssFilePiece piece{data + range.First,
                              static_cast<std::size_t>(range.Last - range.First), range.First};
    if (plan.FromOwnStart) {
      joiner.Join(LzssParseSegment(piece, size, start, end, reach, start), piece, stream);
    } else {
      joiner.ParseAndJoin(piece, start, end, stream);
    }
    if (joiner.Fate() == LzssStreamFate::NeedsDataOnly) return {};
    start = end;
  }
  if (joiner.Finish(stream) == LzssStreamFate::NeedsDataOnly) return {};
  return stream;
}

}  // namespace

EncodeResult EncodeInSegments(const std::uint8_t* data, std::size_t size, const SegmentPlan& plan) {
  EncodeResult result;
  // An empty input has no first literal: its stream is the checksum alone, which decodes
  // to zero bytes.
  if (size == 0) {
    result.Stream.assign(kChecksumSize, 0);
    return result;
  }
  result.Stream = CodeWithReach(data, size, plan, LzssReach::LeadingSpaces);
  if (result.Stream.empty()) {
    result.Reach = LzssReach::DataOnly;
    result.Stream = CodeWithReach(data, size, plan, LzssReach::DataOnly);
  }
  return result;
}

}  // namespace lzss

std::vector<std::uint8_t> LzssEncode(const std::uint8_t* data, std::size_t size) {
  return lzss::EncodeInSegments(data, size, lzss::SegmentPlan{}).Stream;
}

std::vector<std::uint8_t> LzssEncodeWithHeadroom(std::uint8_t* buffer, std::size_t size) {
  std::fill(buffer, buffer + kLzssHeadroom, lzss::kSpace);
  return LzssEncode(buffer + kLzssHeadroom, size);
}

}  // namespace pbo
