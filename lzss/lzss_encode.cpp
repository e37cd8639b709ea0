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
// plain scan, and MatchFinder finds the same answers without trying every distance.
#include <algorithm>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "platform/bytes.h"

namespace pbo {
namespace lzss {

Match FindLongestMatch(const std::uint8_t* window, std::size_t n, std::size_t p) {
  Match best;
  for (std::size_t d = 1;; ++d) {
    std::size_t k = 0;
    while (k < kMaxMatch && p + k + 1 < n && window[p - d + k] == window[p + k]) ++k;
    if (k >= kMinMatch && k >= best.Length) {
      best = {static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(d)};
    }
    if (d == kMaxDistance || d == p || p + k + 1 == n) return best;
  }
}

}  // namespace lzss

namespace {

// Appends items in groups of eight behind a flag byte that is filled in once the group is
// complete. A group is opened only when an item is about to follow, so none is empty.
class StreamWriter {
 public:
  explicit StreamWriter(std::size_t inputSize)
      : out_(lzss::MaxEncodedSize(inputSize)), flag_(out_.data()), next_(flag_ + 1) {
    *flag_ = 0;
  }

  void Literal(std::uint8_t byte) {
    OpenGroupIfFull();
    *flag_ = static_cast<std::uint8_t>(*flag_ | 1u << count_++);
    *next_++ = byte;
  }

  void Reference(lzss::Match match) {
    OpenGroupIfFull();
    ++count_;
    next_[0] = static_cast<std::uint8_t>(match.Distance);
    next_[1] =
        static_cast<std::uint8_t>((match.Distance >> 8) << 4 | (match.Length - lzss::kMinMatch));
    next_ += 2;
  }

  std::vector<std::uint8_t> Finish(std::uint32_t checksum) {
    bytes::StoreLe32(next_, checksum);
    out_.resize(static_cast<std::size_t>(next_ - out_.data()) + lzss::kChecksumSize);
    return std::move(out_);
  }

 private:
  void OpenGroupIfFull() {
    if (count_ < lzss::kItemsPerGroup) return;
    flag_ = next_++;
    *flag_ = 0;
    count_ = 0;
  }

  std::vector<std::uint8_t> out_;  // sized for the worst case, cut at the end
  std::uint8_t* flag_;             // the current group's flag byte
  std::uint8_t* next_;             // where the next item goes
  unsigned count_ = 0;             // items in the current group
};

}  // namespace

std::vector<std::uint8_t> LzssEncode(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> buffer(kLzssHeadroom + size);
  std::copy(data, data + size, buffer.begin() + kLzssHeadroom);
  return LzssEncodeWithHeadroom(buffer.data(), size);
}

std::vector<std::uint8_t> LzssEncodeWithHeadroom(std::uint8_t* buffer, std::size_t size) {
  using lzss::kLeadingSpaces;
  // An empty input has no first literal: its stream is the checksum alone, which decodes
  // to zero bytes.
  if (size == 0) return std::vector<std::uint8_t>(lzss::kChecksumSize, 0);

  // The window: the spaces, then the data.
  std::fill(buffer, buffer + kLeadingSpaces, lzss::kSpace);
  const std::uint8_t* const window = buffer;
  const std::uint8_t* const data = buffer + kLeadingSpaces;
  const std::size_t n = kLeadingSpaces + size;

  StreamWriter writer(size);
  writer.Literal(window[kLeadingSpaces]);
  lzss::MatchFinder finder(window, n);
  auto code = [&](std::size_t p, lzss::Match match) {
    if (match.Length == 0) {
      writer.Literal(window[p]);
      return p + 1;
    }
    writer.Reference(match);
    return p + match.Length;
  };
  std::size_t p = kLeadingSpaces + 1;
  while (p < finder.FastLimit()) p = code(p, finder.Find(p));
  // The last few positions, where a comparison may reach the end of the data.
  while (p < n) p = code(p, finder.FindNearEnd(p));
  return writer.Finish(lzss::ByteSum(data, size));
}

}  // namespace pbo
