// Decoding in stretches: the passes of LzssDecode over a block read in pieces and an output
// handed on as it comes, in constant memory.
//
// A pass keeps two buffers. The input buffer holds the stream bytes at hand: topped up by
// one read whenever less than a group's worth is left and the stream goes on, after moving
// the few bytes left to its front, so that an item never straddles the end of what the
// loops see except at the end of the stream. The output buffer holds 4096 bytes of history
// and a stretch: once the output passes the stretch's end, the new bytes are summed (and,
// in the rating pass, their zeros counted) or delivered, and the last 4096 bytes move to
// the front. The history is what any reference can reach, and once it has moved, index 0
// lies at least 4096 bytes past the start, so that "before the start" still means "below
// index 0". The loops, the repair and the rating are LzssDecode's (decode_core.h); only the
// buffer ends differ.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "lzss/decode_core.h"
#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "platform/bytes.h"

namespace pbo {
namespace {

using lzss::Decoder;
using lzss::Zeros;

constexpr std::size_t kHistory = 4096;
static_assert(kHistory >= lzss::kMaxDistance);
constexpr std::size_t kDefaultReadSize = 64 * 1024;
constexpr std::size_t kDefaultStretchSize = 256 * 1024;

std::atomic<std::size_t> gReadSize{kDefaultReadSize};
std::atomic<std::size_t> gStretchSize{kDefaultStretchSize};

// The block's sizes as LzssDecode derives them.
struct Sizes {
  std::uint64_t Stream = 0;
  std::size_t Declared = 0;
  std::size_t Capacity = 0;  // the output's length, cut to what the stream can expand to
};

Sizes SizesOf(std::uint64_t packedSize, std::int32_t originalSize) {
  Sizes sizes;
  sizes.Stream = packedSize - lzss::kChecksumSize;
  sizes.Declared = static_cast<std::size_t>(originalSize);
  // Below the declared size, the stream's 9-fold bound cannot overflow.
  sizes.Capacity = sizes.Stream >= sizes.Declared
                       ? sizes.Declared
                       : std::min<std::size_t>(sizes.Declared, lzss::MaxDecodedSize(sizes.Stream));
  return sizes;
}

// The ends of one pass over a block read in pieces; see the file comment. Deliver receives
// the new bytes of the output (those below its length) and the bytes produced since the
// last call, past the length included, for the sum.
template <typename Deliver>
class Pieces {
 public:
  Pieces(const Sizes& sizes, const LzssBlockReader& read, Deliver&& deliver)
      : sizes_(sizes),
        read_(read),
        deliver_(deliver),
        readSize_(gReadSize.load(std::memory_order_relaxed)),
        stretchEnd_(kHistory + gStretchSize.load(std::memory_order_relaxed)),
        input_(readSize_ + lzss::kGroupInput),
        output_(stretchEnd_ + lzss::kOutputSlack) {}

  // A decoder at the start of the block, its input still to read.
  Decoder Start() {
    Decoder x{input_.data(), input_.data(), sizes_.Stream == 0, output_.data(), 0, 0};
    SetEnds(x);
    return x;
  }

  bool Refill(Decoder& x) {
    while (!x.InputFinal && static_cast<std::size_t>(x.InEnd - x.In) < lzss::kGroupInput) {
      const auto kept = static_cast<std::size_t>(x.InEnd - x.In);
      std::memmove(input_.data(), x.In, kept);
      const std::size_t size = static_cast<std::size_t>(
          std::min<std::uint64_t>(sizes_.Stream - streamRead_, readSize_));
      if (!read_(streamRead_, input_.data() + kept, size)) return false;
      streamRead_ += size;
      x.In = input_.data();
      x.InEnd = x.In + kept + size;
      x.InputFinal = streamRead_ == sizes_.Stream;
    }
    return true;
  }

  // The stretch's end, or a piece to sum; the output is always below the stretch's end here.
  std::size_t Pause(const Decoder& x) const { return std::min(x.P + lzss::kSumPiece, stretchEnd_); }

  // Hands on what was produced since the last call and, past the stretch's end, moves the
  // history to the front.
  bool Reached(Decoder& x, bool more) {
    const std::size_t outputEnd = std::min(x.P, CapacityIndex());
    const std::size_t from = std::min(handed_, outputEnd);
    if (!deliver_(x.Out + from, outputEnd - from, x.Out + handed_, x.P - handed_, !more)) {
      return false;
    }
    handed_ = x.P;
    if (more && x.P >= stretchEnd_) {
      const std::size_t move = x.P - kHistory;
      std::memmove(x.Out, x.Out + move, kHistory);
      shift_ += move;
      x.P = kHistory;
      handed_ = kHistory;
      SetEnds(x);
    }
    return true;
  }

  // Where the pass ended, counted from the start of the output.
  [[nodiscard]] std::size_t Produced(const Decoder& x) const { return shift_ + x.P; }

 private:
  // The output's length, as an index of the buffer (at least the history's end).
  [[nodiscard]] std::size_t CapacityIndex() const {
    return sizes_.Capacity > shift_ ? sizes_.Capacity - shift_ : 0;
  }

  void SetEnds(Decoder& x) const {
    x.Room = std::min(stretchEnd_, CapacityIndex());
    x.StopAt = sizes_.Declared - shift_;
  }

  const Sizes& sizes_;
  const LzssBlockReader& read_;
  Deliver deliver_;
  const std::size_t readSize_;
  const std::size_t stretchEnd_;
  std::vector<std::uint8_t> input_;
  std::vector<std::uint8_t> output_;
  std::uint64_t streamRead_ = 0;  // stream bytes read so far
  std::size_t shift_ = 0;   // output position of buffer index 0
  std::size_t handed_ = 0;  // index up to which bytes were handed on
};

// What a pass over pieces found: as for LzssDecode's first pass, and whether it ran to the
// end.
struct PassResult {
  lzss::FirstPass First;
  std::size_t Zeros = 0;
  bool Complete = false;
};

// One pass; deliver(bytes, size, produced, producedSize, last) as for Pieces. Ends a pass
// early when the reader or deliver fails.
template <Zeros kZeros, typename Deliver>
PassResult RunPieces(const Sizes& sizes, const LzssBlockReader& read, Deliver&& deliver) {
  Pieces<Deliver> pieces(sizes, read, std::forward<Deliver>(deliver));
  Decoder x = pieces.Start();
  PassResult result;
  result.Complete = lzss::RunPass<kZeros>(x, pieces, lzss::ActiveGroupLoop());
  result.First.Produced = pieces.Produced(x);
  result.First.LiteralZeros = x.LiteralZeros;
  result.First.ReferredBeforeStart = x.ReferredBeforeStart;
  return result;
}

// A pass that only sums (and, with counting, counts the zeros of) what it produces.
template <Zeros kZeros>
PassResult SumPass(const Sizes& sizes, const LzssBlockReader& read, bool countZeros) {
  std::uint32_t sum = 0;
  std::size_t zeros = 0;
  PassResult result = RunPieces<kZeros>(
      sizes, read,
      [&](const std::uint8_t*, std::size_t, const std::uint8_t* produced, std::size_t size, bool) {
        sum += lzss::DecodedSum(produced, size);
        if (countZeros) zeros += lzss::ZeroCount(produced, size);
        return true;
      });
  result.First.Sum = sum;
  result.Zeros = zeros;
  return result;
}

}  // namespace

LzssStreamRating LzssRateStream(std::uint64_t packedSize, std::int32_t originalSize,
                                const LzssBlockReader& read) {
  LzssStreamRating rating;
  if (originalSize < 0) {
    rating.Verdict = LzssVerdict::LengthMismatch;
    return rating;
  }
  if (packedSize < lzss::kChecksumSize) return rating;
  const Sizes sizes = SizesOf(packedSize, originalSize);
  std::uint8_t checksum[lzss::kChecksumSize];
  if (!read(sizes.Stream, checksum, sizeof checksum)) {
    rating.ReadFailed = true;
    return rating;
  }
  const std::uint32_t stored = bytes::LoadLe32(checksum);
  const PassResult first = SumPass<Zeros::AsProduced>(sizes, read, true);
  if (!first.Complete) {
    rating.ReadFailed = true;
    return rating;
  }
  bool readFailed = false;
  const lzss::Rating rated = lzss::RateFirstPass(
      stored, first.First, sizes.Declared, [&] { return first.Zeros; },
      [&] {
        const PassResult spaces = SumPass<Zeros::LeadingSpaces>(sizes, read, false);
        readFailed |= !spaces.Complete;
        return spaces.First.Sum;
      });
  rating.ReadFailed = readFailed;
  rating.Verdict = rated.Verdict;
  rating.Bytes = rated.Bytes;
  rating.OutputSize = sizes.Capacity;
  return rating;
}

bool LzssDeliverStream(std::uint64_t packedSize, std::int32_t originalSize,
                       const LzssStreamRating& rating, const LzssBlockReader& read,
                       const LzssSink& sink) {
  if (rating.ReadFailed) return false;
  if (originalSize < 0 || packedSize < lzss::kChecksumSize) return true;
  const Sizes sizes = SizesOf(packedSize, originalSize);
  const bool allZerosSpaces = rating.Bytes == lzss::Delivery::AllZerosSpaces;
  std::size_t delivered = 0;
  // Repairing in the buffer is safe: with no zero literal, every zero is a reference's, and
  // one that a later reference copies becomes a space either way.
  auto deliver = [&](const std::uint8_t* bytes, std::size_t size, const std::uint8_t*,
                     std::size_t, bool) {
    if (size == 0) return true;
    if (allZerosSpaces) lzss::SpacesForZeros(const_cast<std::uint8_t*>(bytes), size);
    delivered += size;
    return sink(bytes, size);
  };
  PassResult pass;
  switch (rating.Bytes) {
    case lzss::Delivery::ReferenceZerosSpaces:
      pass = RunPieces<Zeros::SpacesFromReferences>(sizes, read, deliver);
      break;
    case lzss::Delivery::LeadingSpaces:
      pass = RunPieces<Zeros::LeadingSpaces>(sizes, read, deliver);
      break;
    default:
      pass = RunPieces<Zeros::AsProduced>(sizes, read, deliver);
      break;
  }
  if (!pass.Complete) return false;
  // The stream ran out early: the rest of the output is zeros.
  static constexpr std::uint8_t kZeros[4096] = {};
  while (delivered < sizes.Capacity) {
    const std::size_t size = std::min(sizes.Capacity - delivered, sizeof kZeros);
    if (!sink(kZeros, size)) return false;
    delivered += size;
  }
  return true;
}

namespace lzss {

void SetStreamPieceSizes(std::size_t readSize, std::size_t stretchSize) {
  gReadSize.store(readSize == 0 ? kDefaultReadSize : readSize, std::memory_order_relaxed);
  gStretchSize.store(stretchSize == 0 ? kDefaultStretchSize : stretchSize,
                     std::memory_order_relaxed);
}

}  // namespace lzss
}  // namespace pbo
