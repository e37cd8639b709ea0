// Fuzz target: LzssEncode followed by LzssDecode.
//
// Input: a mode byte, then the data x. When the mode byte is odd, x is repeated until it
// passes 4400 bytes, so that the window fills and the match finder's ring wraps; the
// plain reference coder stays affordable at that length. Properties:
//   - the fast coder writes exactly the stream of the plain exhaustive reference coder,
//     and the same stream on a second run;
//   - walking the stream item by item reproduces x (references before the start standing
//     for spaces), with no byte left over before the checksum;
//   - decoding gives x back, Verified when no reference reached before the start and
//     Repaired when one did (by the count of zeros or, where some reference also copied a
//     genuine zero byte of x, by reading spaces before the start).
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lzss/lzss.h"

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
  const StreamFacts facts = WalkItems(stream, x);

  const pbo::LzssDecodeResult decoded =
      pbo::LzssDecode(stream.data(), stream.size(), static_cast<std::int32_t>(x.size()));
  FUZZ_CHECK(decoded.Verdict ==
             (facts.RefersBeforeStart ? pbo::LzssVerdict::Repaired : pbo::LzssVerdict::Verified));
  FUZZ_CHECK(decoded.Output == x);
  return 0;
}
