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
// Bookkeeping costs the common case nothing: every produced byte stays in the buffer as
// produced (the buffer has room for the last item's overshoot past the declared size), so
// the sum and the count of zeros are taken once at the end, and the zeros made by
// references are the zeros less those that came as literals. Only when the checksum says
// that a repair applies does a second pass over the items find where the references wrote.
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

// Copies a reference whose source and destination are both inside the buffer, in wide
// steps where they cannot overlap within a step.
inline void CopyReferenceFast(std::uint8_t* out, std::size_t p, Reference ref) {
  if (ref.Distance >= kMaxMatch && ref.Distance <= p) {
    std::memcpy(out + p, out + p - ref.Distance, kMaxMatch);
  } else if (ref.Distance >= 8 && ref.Distance <= p) {
    for (std::size_t k = 0; k < ref.Length; k += 8) {
      std::memcpy(out + p + k, out + p + k - ref.Distance, 8);
    }
  } else {
    CopyReferenceExact(out, p, ref);
  }
}

// Decodes whole groups while a group can neither run out of input nor reach the end of the
// output, and so needs no check inside. Returns false once decoding has ended.
bool DecodeWholeGroups(Expansion& x, std::size_t& p, std::size_t& literalZeros) {
  while (static_cast<std::size_t>(x.InEnd - x.In) >= kGroupStreamBytes &&
         p + kGroupOutputBytes + kCopyOverrun <= x.Capacity) {
    unsigned flags = *x.In++;
    for (std::size_t item = 0; item < lzss::kItemsPerGroup; ++item, flags >>= 1) {
      if (flags & 1) {
        const std::uint8_t byte = *x.In++;
        x.Out[p++] = byte;
        literalZeros += byte == 0;
      } else {
        const Reference ref = ReadReference(x.In);
        x.In += 2;
        CopyReferenceFast(x.Out, p, ref);
        p += ref.Length;
      }
    }
    // Capacity never exceeds StopAt, so only the group's last item can have reached it.
    if (p >= x.StopAt) return false;
  }
  return true;
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

Tally TallyProduced(const std::uint8_t* out, std::size_t produced, std::size_t literalZeros) {
  Tally tally;
  tally.Produced = produced;
  std::size_t zeros = 0;
  for (std::size_t i = 0; i < produced; ++i) {
    tally.Sum += out[i];
    zeros += out[i] == 0;
  }
  tally.ReferenceZeros = zeros - literalZeros;
  return tally;
}

Tally DecodeFast(Expansion x) {
  std::size_t p = 0;
  std::size_t literalZeros = 0;
  while (DecodeWholeGroups(x, p, literalZeros) && DecodeCheckedGroup(x, p, literalZeros)) {
  }
  // Clear what the wide copies wrote past the last item.
  const std::size_t storage = x.Capacity + kMaxMatch;
  std::memset(x.Out + p, 0, std::min(storage - p, kCopyOverrun));
  return TallyProduced(x.Out, p, literalZeros);
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
    RestoreSpaces(x);
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
