// LZSS decoding, rating and space repair of a whole block into a whole output.
//
// The encoder keeps 18 spaces before the data and may refer to them, but the stream does
// not say so: a reference before the start of the output produces zeros here. The
// checksum tells afterwards what those zeros were. If the stored sum exceeds the sum of
// the produced bytes by exactly 32 for every zero that a reference produced, all of those
// zeros stood for spaces and are turned into spaces together; otherwise nothing changes.
// Zeros that a later reference copies from such zeros count alike, and so, unavoidably,
// does a genuine zero byte of the data repeated by a reference, which makes the repair
// fail for a stream that also refers to the leading spaces. Such a stream gets a second
// look: when some reference read a source before the start and the stream produced the
// declared length, a second pass reads a space for every source before the start, as the
// coder had them, so that the copied zeros of the data stay zeros. Its output is the entry
// when its sum is the stored one; otherwise a third pass over the same buffer brings back
// the first pass's bytes. Only damaged entries pay for the extra passes.
//
// The first pass runs the group loop of the widest path (decode_core.h) and sums the
// output a piece at a time, while it is still in the cache. The zeros are counted only when
// the sum disagrees: the zeros made by references are the zeros of the output less the
// zero literals, which the loops count. When the repair applies and no literal was a zero,
// every zero becomes a space; otherwise the item loop runs once more over the same buffer,
// writing a space for every zero a reference produces.
//
// Sizes: the output is the declared size, but never more than the item stream can
// expand to (9 bytes per stream byte), so a small block that claims a huge size costs only
// what the block justifies.
#include <algorithm>
#include <cstring>

#include "lzss/decode_core.h"
#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "platform/bytes.h"

namespace pbo {
namespace {

using lzss::Decoder;
using lzss::Zeros;

// The ends of a pass of LzssDecode: the whole stream at hand, the whole output in one
// buffer, summed a piece at a time. In the first pass the output grows a piece ahead of
// the loops (Grow), so that its zero fill lands in the cache just before the loops write
// there rather than in a pass of its own over the whole buffer (2 to 4% faster over the
// bench corpus, on every path); the buffer's capacity is reserved beforehand, so its
// bytes never move.
struct WholeBlock {
  std::vector<std::uint8_t>* Grow = nullptr;
  std::size_t Size = 0;  // the buffer's whole size, Capacity + kOutputSlack
  std::uint32_t Sum = 0;
  std::size_t Summed = 0;

  static bool Refill(Decoder&) { return true; }
  std::size_t Pause(const Decoder& x) {
    const std::size_t pause = x.P + lzss::kSumPiece;
    // The loops write below the pause plus kOutputSlack.
    if (Grow != nullptr) Grow->resize(std::min(pause + lzss::kOutputSlack, Size));
    return pause;
  }
  bool Reached(Decoder& x, bool) {
    Sum += lzss::DecodedSum(x.Out + Summed, x.P - Summed);
    Summed = x.P;
    return true;
  }
};

// One stream decoded into a buffer of Capacity + kOutputSlack bytes: Capacity bytes that
// may be returned, and room for the loops to run past them.
struct Block {
  const std::uint8_t* Stream;
  std::size_t StreamSize;
  std::uint8_t* Out;
  std::size_t Capacity;
  std::size_t Declared;

  // Runs a pass from the start over the buffer and returns its sum; x is left as the
  // pass ended.
  template <Zeros kZeros>
  std::uint32_t Pass(Decoder& x, std::vector<std::uint8_t>* grow = nullptr) const {
    x = Decoder{Stream, Stream + StreamSize, true, Out, Capacity, Declared};
    WholeBlock ends{grow, Capacity + lzss::kOutputSlack};
    lzss::RunPass<kZeros>(x, ends, lzss::ActiveGroupLoop());
    if (grow != nullptr) grow->resize(Capacity + lzss::kOutputSlack);
    // Clear what the wide copies wrote past the last item.
    std::memset(Out + x.P, 0, std::min(Capacity + lzss::kOutputSlack - x.P, lzss::kWideCopy));
    return ends.Sum;
  }
};

}  // namespace

LzssDecodeResult LzssDecode(const std::uint8_t* packed, std::size_t packedSize,
                            std::int32_t originalSize) {
  LzssDecodeResult result;
  if (originalSize < 0) {
    result.Verdict = LzssVerdict::LengthMismatch;
    return result;
  }
  if (packedSize < lzss::kChecksumSize) {
    result.Verdict = LzssVerdict::Unrepairable;
    return result;
  }
  const std::size_t streamSize = packedSize - lzss::kChecksumSize;
  const auto declared = static_cast<std::size_t>(originalSize);
  const std::size_t capacity =
      streamSize >= declared ? declared : std::min(declared, lzss::MaxDecodedSize(streamSize));

  // Reserved whole, filled with zeros a piece at a time by the first pass.
  result.Output.reserve(capacity + lzss::kOutputSlack);
  result.Output.resize(std::min(lzss::kSumPiece, capacity) + lzss::kOutputSlack);
  const Block block{packed, streamSize, result.Output.data(), capacity, declared};
  Decoder x{};
  lzss::FirstPass first;
  first.Sum = block.Pass<Zeros::AsProduced>(x, &result.Output);
  first.Produced = x.P;
  first.LiteralZeros = x.LiteralZeros;
  first.ReferredBeforeStart = x.ReferredBeforeStart;
  const std::uint32_t stored = bytes::LoadLe32(packed + streamSize);

  const lzss::Rating rating = lzss::RateFirstPass(
      stored, first, declared, [&] { return lzss::ZeroCount(block.Out, first.Produced); },
      [&] {
        // Over the first pass's bytes, which a third pass brings back if the sum disagrees.
        Decoder spaces{};
        const std::uint32_t sum = block.Pass<Zeros::LeadingSpaces>(spaces);
        if (sum != stored) block.Pass<Zeros::AsProduced>(spaces);
        return sum;
      });
  result.Verdict = rating.Verdict;
  if (rating.Bytes == lzss::Delivery::AllZerosSpaces) {
    lzss::SpacesForZeros(block.Out, first.Produced);
  } else if (rating.Bytes == lzss::Delivery::ReferenceZerosSpaces) {
    // Decoded again over the same bytes: every source lies before the byte it gives, and
    // those bytes are already in their repaired form.
    block.Pass<Zeros::SpacesFromReferences>(x);
  }
  result.Output.resize(capacity);
  return result;
}

}  // namespace pbo
