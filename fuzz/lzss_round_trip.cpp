// Fuzz target: LzssEncode followed by LzssDecode.
//
// Input: a mode byte, then the data x. When the mode byte's lowest bit is set, x is
// repeated until it passes 4400 bytes, so that the window fills and the match finder's
// ring wraps; the plain reference coder stays affordable at that length. The other seven
// bits, when not all clear, also code x in segments of 1 to 4096 bytes (no fewer than a
// 16th of x), parsed from where the file's parse has got to or from their own starts and
// joined, as a big file's are.
// Properties:
//   - every input comes back: decoding gives x back byte for byte, Verified or Repaired;
//   - the fast coder writes exactly the stream of the plain exhaustive reference coder
//     (the usual parse when a reader that puts zeros before the start and repairs them by
//     the checksum gets x back from it, else the parse of the data alone), the same stream
//     on a second run and in segments;
//   - walking the stream item by item reproduces x (references before the start standing
//     for spaces), with no byte left over before the checksum; a stream that refers
//     before the start copies no zero byte of x, and only such a stream may decode
//     Repaired rather than Verified.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lzss/lzss.h"
#include "lzss/segment_coder.h"

namespace pbo::fuzz {
// The plain exhaustive reference coder's stream for data (lzss_reference.cpp).
std::vector<std::uint8_t> ReferenceStream(const std::vector<std::uint8_t>& data);
}  // namespace pbo::fuzz

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kTiledSize = 4400;
constexpr std::size_t kChecksumSize = 4;

Bytes PickData(const unsigned char* data, std::size_t size) {
  Bytes x(data + 1, data + size);
  if ((data[0] & 1) != 0 && !x.empty()) {
    while (x.size() < kTiledSize) x.insert(x.end(), data + 1, data + size);
  }
  return x;
}

// What the items of a stream say about how x was coded.
struct StreamFacts {
  bool RefersBeforeStart = false;  // some reference reached into the leading spaces
  bool CopiesZero = false;         // some reference reproduced a zero byte of x
};

// Walks the items of stream, checking that they spell out x exactly.
StreamFacts WalkItems(const Bytes& stream, const Bytes& x) {
  FUZZ_CHECK(stream.size() >= kChecksumSize + 2);
  const std::size_t end = stream.size() - kChecksumSize;
  StreamFacts facts;
  std::size_t in = 0;
  std::size_t p = 0;
  while (p < x.size()) {
    FUZZ_CHECK(in < end);
    unsigned flags = stream[in++];
    for (int item = 0; item < 8 && p < x.size(); ++item, flags >>= 1) {
      if ((flags & 1) != 0) {
        FUZZ_CHECK(in < end && stream[in] == x[p]);
        ++in;
        ++p;
        continue;
      }
      FUZZ_CHECK(end - in >= 2);
      const std::size_t distance = stream[in] | (std::size_t{stream[in + 1]} & 0xF0) << 4;
      const std::size_t length = (stream[in + 1] & 0x0Fu) + 3;
      in += 2;
      FUZZ_CHECK(distance >= 1 && p + length <= x.size());
      for (std::size_t k = 0; k < length; ++k, ++p) {
        if (distance > p) {
          facts.RefersBeforeStart = true;
          FUZZ_CHECK(x[p] == 0x20);
        } else {
          FUZZ_CHECK(x[p - distance] == x[p]);
          facts.CopiesZero |= x[p] == 0;
        }
      }
    }
  }
  FUZZ_CHECK(in == end);
  return facts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 2) return 0;
  const Bytes x = PickData(data, size);

  const Bytes stream = pbo::LzssEncode(x.data(), x.size());
  FUZZ_CHECK(pbo::LzssEncode(x.data(), x.size()) == stream);
  FUZZ_CHECK(pbo::fuzz::ReferenceStream(x) == stream);
  if (const unsigned plan = data[0] >> 1; plan != 0) {
    // Each segment indexes the window before it first: at most 16 of them keep a run short.
    const std::uint64_t root = 1 + (plan >> 1);
    const pbo::lzss::SegmentPlan segments{std::max<std::uint64_t>(root * root, x.size() / 16),
                                          (plan & 1) != 0};
    FUZZ_CHECK(pbo::lzss::EncodeInSegments(x.data(), x.size(), segments).Stream == stream);
  }
  const StreamFacts facts = WalkItems(stream, x);
  FUZZ_CHECK(!(facts.RefersBeforeStart && facts.CopiesZero));

  const pbo::LzssDecodeResult decoded =
      pbo::LzssDecode(stream.data(), stream.size(), static_cast<std::int32_t>(x.size()));
  // A stream that refers to the data alone leaves a reader nothing to repair.
  FUZZ_CHECK(decoded.Verdict == pbo::LzssVerdict::Verified ||
             (facts.RefersBeforeStart && decoded.Verdict == pbo::LzssVerdict::Repaired));
  FUZZ_CHECK(decoded.Output == x);
  return 0;
}
