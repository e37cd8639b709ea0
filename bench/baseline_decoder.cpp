// The yardstick of the previous design: the LZSS decoder as it was before the group
// decoder, frozen here so that the benchmark can time it side by side with today's. It is
// the per-item loop (an unchecked and a checked instantiation, wide copies without a branch
// on the item kind, the sum per 16 KiB piece) and the space repair by the count of zeros,
// without the second pass that reads spaces before the start. Not part of the tool; only
// lzss_bench links it. Its own copies of the constants and helpers keep it as it was.
#include <algorithm>
#include <cstring>

#include "bench/baseline_decoder.h"

namespace pbo::baseline {
namespace {

constexpr std::size_t kMinMatch = 3;
constexpr std::size_t kMaxMatch = 18;

namespace lzss {
constexpr std::size_t kItemsPerGroup = 8;
constexpr std::size_t kChecksumSize = 4;
constexpr std::uint8_t kSpace = 0x20;
constexpr std::size_t MaxDecodedSize(std::size_t streamSize) { return streamSize * 9; }
std::uint32_t ByteSum(const std::uint8_t* bytes, std::size_t size) {
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
}  // namespace lzss

namespace bytes {
std::uint32_t LoadLe32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}
std::uint64_t LoadNative64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
}  // namespace bytes

// One item stream being decoded into a buffer of Capacity + kMaxMatch bytes: Capacity
// bytes that may be returned, and room for the last item to run past them.
struct Decoder {
  const std::uint8_t* In;
  const std::uint8_t* InEnd;
  std::uint8_t* Out;
  std::size_t Capacity;
  std::size_t StopAt;  // decoding ends once this many bytes have been produced
  std::size_t P = 0;   // bytes produced so far
  std::size_t LiteralZeros = 0;
};

// Whether a pass keeps every produced byte or writes a space for each zero that a reference
// produces (the repair, once the checksum has shown that it applies).
enum class Zeros { AsProduced, SpacesFromReferences };

// Copies one reference to out[p, p + length) byte by byte, in order, so that a distance
// below the length repeats the bytes just written. Sources before the start yield zeros;
// so does a distance of 0, whose source is the very byte not yet produced.
void CopyReferenceExact(std::uint8_t* out, std::size_t p, std::size_t distance,
                        std::size_t length) {
  if (distance == 0) {
    std::memset(out + p, 0, length);
    return;
  }
  std::size_t k = 0;
  if (distance > p) {
    k = std::min(distance - p, length);
    std::memset(out + p, 0, k);
  }
  if (distance >= 8) {
    // Steps of 8 bytes never overlap the bytes they read.
    for (; k + 8 <= length; k += 8) std::memcpy(out + p + k, out + p + k - distance, 8);
  }
  for (; k < length; ++k) out[p + k] = out[p + k - distance];
}

// Copies 18 bytes, all that any item produces, in two overlapping 16-byte moves. The
// source must end before the destination begins or lie in another buffer.
void CopyWide(std::uint8_t* to, const std::uint8_t* from) {
  std::uint8_t head[16];
  std::uint8_t tail[16];
  std::memcpy(head, from, 16);
  std::memcpy(tail, from + kMaxMatch - 16, 16);
  std::memcpy(to, head, 16);
  std::memcpy(to + kMaxMatch - 16, tail, 16);
}

void SpacesForZeros(std::uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) bytes[i] |= (bytes[i] == 0) * lzss::kSpace;
}

// Number of zero bytes in a 64-bit word.
unsigned ZeroBytes(std::uint64_t word) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  // The top bit of each byte is set where the byte is not zero.
  const std::uint64_t nonZero = ((word & kLow7) + kLow7) | word;
  const std::uint64_t zeroFlags = (~nonZero & ~kLow7) >> 7;
  return static_cast<unsigned>((zeroFlags * 0x0101010101010101ull) >> 56);
}

// A group decoded without checks reads its flag byte and at most eight two-byte items, and
// a literal copied wide reads 18 bytes from where it starts; it writes at most eight items
// of 18 bytes.
constexpr std::size_t kGroupInput = 1 + 2 * lzss::kItemsPerGroup + kMaxMatch;
constexpr std::size_t kGroupOutput = kMaxMatch * lzss::kItemsPerGroup;

// Whether the next group can be decoded without checks: it cannot run out of input, and
// its items stay below Capacity, so that only its last item can reach StopAt. From
// kMaxMatch bytes on, a reference that reaches before the start is always one of the
// rare ones that take the exact copy.
bool HasRoom(const std::uint8_t* in, const std::uint8_t* inEnd, std::size_t p,
             std::size_t capacity) {
  return static_cast<std::size_t>(inEnd - in) >= kGroupInput && p >= kMaxMatch &&
         capacity >= kGroupOutput && p <= capacity - kGroupOutput;
}

// The decoding loop. Decodes whole groups while p is below pause and, unchecked, while the
// next group has room (checked, while it has none). Returns false once decoding has ended.
//
// Unchecked, an item is decoded without a branch on its kind: a literal is a copy from the
// input, a reference one from the output, and both are copied 18 bytes wide; the bytes
// past the item are overwritten by the next one. Only a reference that overlaps its own
// 18 bytes or reaches before the start takes a branch, to the exact copy.
template <bool kChecked, Zeros kZeros>
bool DecodeGroups(Decoder& x, std::size_t pause) {
  // Locals, so that the stores into the output do not make the compiler reload them.
  const std::uint8_t* in = x.In;
  const std::uint8_t* const inEnd = x.InEnd;
  std::uint8_t* const out = x.Out;
  std::size_t p = x.P;
  std::size_t literalZeros = x.LiteralZeros;
  bool more = true;
  while (more && p < pause && HasRoom(in, inEnd, p, x.Capacity) != kChecked) {
    if (kChecked && in == inEnd) {
      more = false;
      break;
    }
    unsigned flags = *in++;
    if (!kChecked && flags == 0xFF) {
      // Eight literals, common in data that does not compress.
      std::memcpy(out + p, in, 8);
      literalZeros += ZeroBytes(bytes::LoadNative64(in));
      in += 8;
      p += 8;
      more = p < x.StopAt;
      continue;
    }
    for (std::size_t item = 0; item < lzss::kItemsPerGroup; ++item, flags >>= 1) {
      const std::size_t literal = flags & 1;
      if (kChecked && static_cast<std::size_t>(inEnd - in) < 2 - literal) {
        more = false;
        break;
      }
      const std::size_t first = in[0];
      // Checked, a literal may be the stream's last byte.
      const std::size_t second = kChecked && literal ? 0 : in[1];
      const std::size_t distance = first | (second & 0xF0) << 4;
      const std::size_t length = (second & 0x0F) + kMinMatch;
      // All ones for a reference, zero for a literal: the item's kind selects by masking
      // rather than by a branch, which text would take at random.
      const std::size_t reference = (literal ^ 1) * ~std::size_t{0};
      if (kChecked) {
        if (literal) {
          out[p] = static_cast<std::uint8_t>(first);
        } else if (distance < kMaxMatch || distance > p) {
          CopyReferenceExact(out, p, distance, length);
        } else {
          CopyWide(out + p, out + (p - distance));
        }
      } else if (((distance - kMaxMatch) & reference) > p - kMaxMatch) {
        // A reference that overlaps itself within 18 bytes or reaches before the start: one
        // test for both, as p >= 18 here.
        CopyReferenceExact(out, p, distance, length);
      } else {
        CopyWide(out + p, literal ? in : out + (p - distance));
      }
      if (kZeros == Zeros::SpacesFromReferences && !literal) SpacesForZeros(out + p, length);
      literalZeros += literal & (first == 0);
      p += ((length - 1) & reference) + 1;
      in += 1 + (reference & 1);
      if (kChecked && p >= x.StopAt) {
        more = false;
        break;
      }
    }
    // Unchecked, only the group's last item can have reached StopAt.
    if (!kChecked) more = p < x.StopAt;
  }
  x.In = in;
  x.P = p;
  x.LiteralZeros = literalZeros;
  return more;
}

// The number of zero bytes among size bytes, a block of 256 at a time in 16 bits, as the
// sum is taken.
std::size_t ZeroCount(const std::uint8_t* bytes, std::size_t size) {
  constexpr std::size_t kBlock = 256;
  std::size_t zeros = 0;
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) {
    std::uint16_t block = 0;
    for (std::size_t k = 0; k < kBlock; ++k) block += bytes[i + k] == 0;
    zeros += block;
  }
  for (; i < size; ++i) zeros += bytes[i] == 0;
  return zeros;
}

constexpr std::size_t kSumPiece = 16 * 1024;

// Decodes the whole stream. Returns the sum of the produced bytes, taken a piece at a time
// while they are still in the cache.
template <Zeros kZeros>
std::uint32_t Decode(Decoder& x) {
  std::uint32_t sum = 0;
  std::size_t summed = 0;
  for (bool more = true; more;) {
    const std::size_t pause = x.P + kSumPiece;
    more = DecodeGroups<false, kZeros>(x, pause);
    if (more && x.P < pause) more = DecodeGroups<true, kZeros>(x, pause);
    sum += lzss::ByteSum(x.Out + summed, x.P - summed);
    summed = x.P;
  }
  // Clear what the wide copies wrote past the last item.
  const std::size_t storage = x.Capacity + kMaxMatch;
  std::memset(x.Out + x.P, 0, std::min(storage - x.P, kMaxMatch));
  return sum;
}

// The repair applies when the stored sum exceeds the produced one by exactly 32 for every
// zero a reference produced.
bool SpacesExplainDifference(std::uint32_t stored, std::uint32_t sum, std::size_t referenceZeros) {
  const auto difference = static_cast<std::int32_t>(stored - sum);
  return referenceZeros >= 1 &&
         static_cast<std::int64_t>(difference) == 32 * static_cast<std::int64_t>(referenceZeros);
}

}  // namespace

LzssDecodeResult BaselineDecode(const std::uint8_t* packed, std::size_t packedSize,
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

  result.Output.assign(capacity + kMaxMatch, 0);
  Decoder x{packed, packed + streamSize, result.Output.data(), capacity, declared};
  const std::uint32_t sum = Decode<Zeros::AsProduced>(x);
  const std::uint32_t stored = bytes::LoadLe32(packed + streamSize);

  // A produced length other than the declared one fails the entry whether the sum matched
  // at once or only after the repair: a stream that ran out early or ran past the end is
  // damaged even when its checksum happens to fit.
  if (stored == sum) {
    result.Verdict = x.P == declared ? LzssVerdict::Verified : LzssVerdict::LengthMismatch;
  } else {
    const std::size_t zeros = ZeroCount(x.Out, x.P);
    if (!SpacesExplainDifference(stored, sum, zeros - x.LiteralZeros)) {
      result.Verdict = LzssVerdict::Unrepairable;
    } else if (x.P != declared) {
      result.Verdict = LzssVerdict::LengthMismatch;
    } else {
      if (x.LiteralZeros == 0) {
        SpacesForZeros(x.Out, x.P);
      } else {
        // Decoded again over the same bytes: every source lies before the byte it gives,
        // and those bytes are already in their repaired form.
        Decoder again{packed, packed + streamSize, x.Out, capacity, declared};
        Decode<Zeros::SpacesFromReferences>(again);
      }
      result.Verdict = LzssVerdict::Repaired;
    }
  }
  result.Output.resize(capacity);
  return result;
}

}  // namespace pbo::baseline
