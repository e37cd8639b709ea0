// LZSS decoding, rating and space repair.
//
// The encoder keeps 18 spaces before the data and may refer to them, but the stream does
// not say so: a reference before the start of the output produces zeros here. The
// checksum tells afterwards what those zeros were. If the stored sum exceeds the sum of
// the produced bytes by exactly 32 for every zero that a reference produced, all of those
// zeros stood for spaces and are turned into spaces together; otherwise nothing changes.
// Zeros that a later reference copies from such zeros count alike, and so, unavoidably,
// does a genuine zero byte of the data repeated by a reference, which makes the repair
// fail for a stream that also refers to the leading spaces.
//
// The bookkeeping stays out of the copy loop: every produced byte stays in the buffer as
// produced (the buffer has room for the last item's overshoot past the declared size), so
// the sum and the count of zeros are taken over the output a piece at a time, while it is
// still in the cache, and the zeros made by references are the zeros less those that came
// as literals. Only when the checksum says that a repair applies are the zeros found
// again: all of them if no literal was a zero, else by a second pass over the items.
//
// Sizes: the output is the declared size, but never more than the item stream can
// expand to (9 bytes per stream byte), so a small block that claims a huge size costs only
// what the block justifies.
#include <algorithm>
#include <cassert>
#include <cstring>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"

namespace pbo {
namespace {

using lzss::kMaxMatch;
using lzss::kMinMatch;

// One item stream being decoded into a buffer of Capacity + kMaxMatch bytes: Capacity
// bytes that may be returned, and room for the last item to run past them.
struct Expansion {
  const std::uint8_t* In;
  const std::uint8_t* InEnd;
  std::uint8_t* Out;
  std::size_t Capacity;
  std::size_t StopAt;  // decoding ends once this many bytes have been produced
};

// What a decoding pass leaves behind.
struct Tally {
  std::size_t Produced = 0;
  std::uint32_t Sum = 0;
  std::size_t ReferenceZeros = 0;
  bool LiteralZeros = true;  // false only if no literal was a zero byte
};

struct Reference {
  std::size_t Distance;
  std::size_t Length;
};

Reference ReadReference(const std::uint8_t* item) {
  return {item[0] | (std::size_t{item[1]} & 0xF0) << 4, (item[1] & 0x0Fu) + kMinMatch};
}

std::uint32_t ReadLe32(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24;
}

// Copies one reference to out[p, p + length) byte by byte, in order, so that a distance
// below the length repeats the bytes just written. Sources before the start yield zeros;
// so does a distance of 0, whose source is the very byte not yet produced.
void CopyReferenceExact(std::uint8_t* out, std::size_t p, Reference ref) {
  if (ref.Distance == 0) {
    std::memset(out + p, 0, ref.Length);
    return;
  }
  std::size_t k = 0;
  if (ref.Distance > p) {
    k = std::min(ref.Distance - p, ref.Length);
    std::memset(out + p, 0, k);
  }
  for (; k < ref.Length; ++k) out[p + k] = out[p + k - ref.Distance];
}

// The fast loop below may write up to this many bytes past the end of the item it copies;
// the next item overwrites them, and whatever is left at the end is cleared.
constexpr std::size_t kCopyOverrun = 24;
constexpr std::size_t kGroupStreamBytes = 1 + 2 * lzss::kItemsPerGroup;
constexpr std::size_t kGroupOutputBytes = kMaxMatch * lzss::kItemsPerGroup;

// Copies a reference that the wide copy in DecodeWholeGroups cannot take: one that
// overlaps itself within 18 bytes or reaches before the start.
void CopyNearReference(std::uint8_t* out, std::size_t p, Reference ref) {
  if (ref.Distance >= 8 && ref.Distance <= p) {
    // Steps of 8 bytes never overlap the bytes they read.
    for (std::size_t k = 0; k < ref.Length; k += 8) {
      std::memcpy(out + p + k, out + p + k - ref.Distance, 8);
    }
  } else {
    CopyReferenceExact(out, p, ref);
  }
}

// Number of zero bytes in a 64-bit word.
unsigned ZeroBytes(std::uint64_t word) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  // The top bit of each byte is set where the byte is not zero.
  const std::uint64_t nonZero = ((word & kLow7) + kLow7) | word;
  const std::uint64_t zeroFlags = (~nonZero & ~kLow7) >> 7;
  return static_cast<unsigned>((zeroFlags * 0x0101010101010101ull) >> 56);
}

// Decodes whole groups while a group can neither run out of input nor reach the end of the
// output, and so needs no check inside. Returns false once decoding has ended. A group of
// eight literals, common in data that does not compress, is copied in one step.
// Stops early, with true, once p has passed pause.
bool DecodeWholeGroups(Expansion& x, std::size_t& p, std::size_t& literalZeros, std::size_t pause) {
  const std::uint8_t* in = x.In;
  std::uint8_t* const out = x.Out;
  bool more = true;
  while (p < pause && static_cast<std::size_t>(x.InEnd - in) >= kGroupStreamBytes &&
         p + kGroupOutputBytes + kCopyOverrun <= x.Capacity) {
    unsigned flags = *in++;
    if (flags == 0xFF) {
      std::uint64_t literals;
      std::memcpy(&literals, in, sizeof literals);
      std::memcpy(out + p, in, sizeof literals);
      literalZeros += ZeroBytes(literals);
      in += 8;
      p += 8;
    } else {
      for (std::size_t item = 0; item < lzss::kItemsPerGroup; ++item, flags >>= 1) {
        if (flags & 1) {
          const std::uint8_t byte = *in++;
          out[p++] = byte;
          literalZeros += byte == 0;
        } else {
          const Reference ref = ReadReference(in);
          in += 2;
          if (ref.Distance >= kMaxMatch && ref.Distance <= p) {
            std::memcpy(out + p, out + p - ref.Distance, kMaxMatch);
          } else {
            CopyNearReference(out, p, ref);
          }
          p += ref.Length;
        }
      }
    }
    // Capacity never exceeds StopAt, so only the group's last item can have reached it.
    if (p >= x.StopAt) {
      more = false;
      break;
    }
  }
  x.In = in;
  return more;
}

// Decodes one group with a check per item. Returns false once decoding has ended.
bool DecodeCheckedGroup(Expansion& x, std::size_t& p, std::size_t& literalZeros) {
  if (x.In == x.InEnd) return false;
  unsigned flags = *x.In++;
  for (std::size_t item = 0; item < lzss::kItemsPerGroup; ++item, flags >>= 1) {
    // Decoding stops once p reaches StopAt, and the stream cannot take p past the
    // expansion bound, so the item fits in the buffer's room past Capacity.
    assert(p <= x.Capacity);
    if (flags & 1) {
      if (x.In == x.InEnd) return false;
      const std::uint8_t byte = *x.In++;
      x.Out[p++] = byte;
      literalZeros += byte == 0;
    } else {
      if (x.InEnd - x.In < 2) return false;
      const Reference ref = ReadReference(x.In);
      x.In += 2;
      CopyReferenceExact(x.Out, p, ref);
      p += ref.Length;
    }
    if (p >= x.StopAt) return false;
  }
  return true;
}

// Sums and counts the zeros of produced bytes, a piece at a time while they are still in
// the cache.
class ProducedTally {
 public:
  void Add(const std::uint8_t* out, std::size_t end) {
    std::uint32_t sum = 0;
    std::size_t zeros = 0;
    for (std::size_t i = done_; i < end; ++i) {
      sum += out[i];
      zeros += out[i] == 0;
    }
    sum_ += sum;
    zeros_ += zeros;
    done_ = end;
  }

  Tally Finish(std::size_t literalZeros) const {
    Tally tally;
    tally.Produced = done_;
    tally.Sum = sum_;
    tally.ReferenceZeros = zeros_ - literalZeros;
    tally.LiteralZeros = literalZeros > 0;
    return tally;
  }

 private:
  std::size_t done_ = 0;
  std::uint32_t sum_ = 0;
  std::size_t zeros_ = 0;
};

constexpr std::size_t kTallyPiece = 16 * 1024;

Tally DecodeFast(Expansion x) {
  std::size_t p = 0;
  std::size_t literalZeros = 0;
  ProducedTally tally;
  for (;;) {
    const std::size_t pause = p + kTallyPiece;
    const bool more = DecodeWholeGroups(x, p, literalZeros, pause);
    tally.Add(x.Out, p);
    if (!more) break;
    // Short of the pause, the whole groups stopped near the end of the input or output.
    if (p < pause && !DecodeCheckedGroup(x, p, literalZeros)) break;
  }
  tally.Add(x.Out, p);
  // Clear what the wide copies wrote past the last item.
  const std::size_t storage = x.Capacity + kMaxMatch;
  std::memset(x.Out + p, 0, std::min(storage - p, kCopyOverrun));
  return tally.Finish(literalZeros);
}

// The plain loop: every byte checked, summed and counted as it is produced.
Tally DecodePlain(Expansion x) {
  Tally tally;
  std::size_t& p = tally.Produced;
  for (;;) {
    if (x.In == x.InEnd) return tally;
    unsigned flags = *x.In++;
    for (std::size_t item = 0; item < lzss::kItemsPerGroup; ++item, flags >>= 1) {
      if (flags & 1) {
        if (x.In == x.InEnd) return tally;
        x.Out[p] = *x.In++;
        tally.Sum += x.Out[p++];
      } else {
        if (x.InEnd - x.In < 2) return tally;
        const Reference ref = ReadReference(x.In);
        x.In += 2;
        for (std::size_t k = 0; k < ref.Length; ++k, ++p) {
          // With distance 0 the source is out[p] itself, still zero.
          const std::uint8_t byte = p >= ref.Distance ? x.Out[p - ref.Distance] : 0;
          x.Out[p] = byte;
          tally.Sum += byte;
          tally.ReferenceZeros += byte == 0;
        }
      }
      if (p >= x.StopAt) return tally;
    }
  }
}

// Turns every zero that a reference wrote below Capacity into a space. The bytes in the
// buffer are still as produced, so walking the items again finds exactly those zeros.
void RestoreSpaces(Expansion x) {
  std::size_t p = 0;
  for (;;) {
    if (x.In == x.InEnd) return;
    unsigned flags = *x.In++;
    for (std::size_t item = 0; item < lzss::kItemsPerGroup; ++item, flags >>= 1) {
      if (flags & 1) {
        if (x.In == x.InEnd) return;
        ++x.In;
        ++p;
      } else {
        if (x.InEnd - x.In < 2) return;
        const Reference ref = ReadReference(x.In);
        x.In += 2;
        const std::size_t end = std::min(p + ref.Length, x.Capacity);
        for (std::size_t q = p; q < end; ++q) {
          if (x.Out[q] == 0) x.Out[q] = lzss::kSpace;
        }
        p += ref.Length;
      }
      if (p >= x.StopAt) return;
    }
  }
}

// The repair applies when the stored sum exceeds the produced one by exactly 32 for every
// zero a reference produced.
bool SpacesExplainDifference(std::uint32_t stored, const Tally& tally) {
  const auto difference = static_cast<std::int32_t>(stored - tally.Sum);
  return tally.ReferenceZeros >= 1 && static_cast<std::int64_t>(difference) ==
                                          32 * static_cast<std::int64_t>(tally.ReferenceZeros);
}

using DecodePass = Tally (*)(Expansion);

LzssDecodeResult Decode(const std::uint8_t* packed, std::size_t packedSize,
                        std::int32_t originalSize, DecodePass pass) {
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

  result.Output.assign(capacity + kMaxMatch, 0);
  const Expansion x{packed, packed + streamSize, result.Output.data(), capacity, declared};
  const Tally tally = pass(x);
  const std::uint32_t stored = ReadLe32(packed + streamSize);

  // A produced length other than the declared one fails the entry whether the sum matched
  // at once or only after the repair: a stream that ran out early or ran past the end is
  // damaged even when its checksum happens to fit.
  if (stored == tally.Sum) {
    result.Verdict =
        tally.Produced == declared ? LzssVerdict::Verified : LzssVerdict::LengthMismatch;
  } else if (!SpacesExplainDifference(stored, tally)) {
    result.Verdict = LzssVerdict::Unrepairable;
  } else if (tally.Produced != declared) {
    result.Verdict = LzssVerdict::LengthMismatch;
  } else {
    if (tally.LiteralZeros) {
      RestoreSpaces(x);
    } else {
      // Every zero came from a reference: no need to find out which.
      const std::size_t end = std::min(tally.Produced, capacity);
      for (std::size_t i = 0; i < end; ++i) x.Out[i] |= (x.Out[i] == 0) * lzss::kSpace;
    }
    result.Verdict = LzssVerdict::Repaired;
  }
  result.Output.resize(capacity);
  return result;
}

}  // namespace

LzssDecodeResult LzssDecode(const std::uint8_t* packed, std::size_t packedSize,
                            std::int32_t originalSize) {
  return Decode(packed, packedSize, originalSize, DecodeFast);
}

namespace lzss {

LzssDecodeResult LzssDecodeChecked(const std::uint8_t* packed, std::size_t packedSize,
                                   std::int32_t originalSize) {
  return Decode(packed, packedSize, originalSize, DecodePlain);
}

}  // namespace lzss
}  // namespace pbo
