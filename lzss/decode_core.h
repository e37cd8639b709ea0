// The decoding core that LzssDecode (a whole block into a whole output) and the stretch
// functions (a block pulled in pieces, the output handed on in stretches) share. Private
// to lzss/.
//
// A pass decodes the item stream into a buffer that holds at least the last 4095 bytes
// before the position being written: the whole output so far for LzssDecode, a history and
// a stretch for the stretch road. In either, a source index below 0 of that buffer lies
// before the start of the output, since the stretch road keeps 4096 bytes of history once
// it has moved any out. Two loops walk the items:
//   - the group loop of the processor's widest instruction set (group_loop.inc), for whole
//     groups far from both ends of both buffers, in the pass that keeps the bytes as
//     produced;
//   - the item loop below, one item at a time, unchecked while a whole group has room and
//     checked near the ends; it also makes the passes that write spaces, and the group
//     loop hands it the groups with a reference that reaches before the start or has
//     distance 0.
// Every byte is written before any reference reads it, so a pass may run again over the
// buffer of an earlier one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lzss/lzss_internal.h"

namespace pbo::lzss {

// One pass of one item stream. Indexes count from the buffer's start.
struct Decoder {
  const std::uint8_t* In;
  const std::uint8_t* InEnd;  // end of the stream bytes at hand
  bool InputFinal;            // InEnd is the end of the item stream
  std::uint8_t* Out;
  std::size_t Room;    // the loops keep whole groups below this index
  std::size_t StopAt;  // decoding ends once the output reaches this index
  std::size_t P = 0;   // index of the next byte
  std::size_t LiteralZeros = 0;
  bool ReferredBeforeStart = false;  // some reference read a source before the start
};

// What a pass writes for the zeros: as produced; a space for each zero that a reference
// produces (the repair, once the checksum has shown that it applies); or a space for each
// source before the start, as the coder had them.
enum class Zeros { AsProduced, SpacesFromReferences, LeadingSpaces };

// The most bytes the loops write past the index they have reached: a 32-byte copy of the
// last item, or 8 items of 18 past Room by the checked loop, whose pause is tested per group.
inline constexpr std::size_t kWideCopy = 32;
inline constexpr std::size_t kOutputSlack = kMaxMatch * kItemsPerGroup + kWideCopy;

// A group decoded without checks reads its flag byte and at most eight two-byte items, and
// a literal copied wide reads 32 bytes from where it starts; it writes at most eight items
// of 18 bytes.
inline constexpr std::size_t kGroupInput = 1 + 2 * kItemsPerGroup + kWideCopy;
inline constexpr std::size_t kGroupOutput = kMaxMatch * kItemsPerGroup;

// Copies one reference to out[p, p + length) byte by byte, in order, so that a distance
// below the length repeats the bytes just written. Sources before the start yield
// `beforeStart`; a distance of 0, whose source is the very byte not yet produced, yields
// zeros. Returns whether a source lay before the start.
inline bool CopyReferenceExact(std::uint8_t* out, std::size_t p, std::size_t distance,
                               std::size_t length, std::uint8_t beforeStart) {
  if (distance == 0) {
    std::memset(out + p, 0, length);
    return false;
  }
  std::size_t k = 0;
  const bool beforeTheStart = distance > p;
  if (beforeTheStart) {
    k = std::min(distance - p, length);
    std::memset(out + p, beforeStart, k);
  }
  if (distance >= 8) {
    // Steps of 8 bytes never overlap the bytes they read.
    for (; k + 8 <= length; k += 8) std::memcpy(out + p + k, out + p + k - distance, 8);
  }
  for (; k < length; ++k) out[p + k] = out[p + k - distance];
  return beforeTheStart;
}

// Copies 18 bytes, all that any item produces, in two overlapping 16-byte moves. The
// source must end before the destination begins or lie in another buffer.
inline void CopyWide(std::uint8_t* to, const std::uint8_t* from) {
  std::uint8_t head[16];
  std::uint8_t tail[16];
  std::memcpy(head, from, 16);
  std::memcpy(tail, from + kMaxMatch - 16, 16);
  std::memcpy(to, head, 16);
  std::memcpy(to + kMaxMatch - 16, tail, 16);
}

inline void SpacesForZeros(std::uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) bytes[i] |= (bytes[i] == 0) * kSpace;
}

// Number of zero bytes in a 64-bit word.
inline unsigned ZeroBytes(std::uint64_t word) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  // The top bit of each byte is set where the byte is not zero.
  const std::uint64_t nonZero = ((word & kLow7) + kLow7) | word;
  const std::uint64_t zeroFlags = (~nonZero & ~kLow7) >> 7;
  return static_cast<unsigned>((zeroFlags * 0x0101010101010101ull) >> 56);
}

// Whether the next group can be decoded without checks: it cannot run out of the input at
// hand, and its items stay below Room, so that only its last item can reach StopAt. From
// kMaxMatch bytes on, a reference that reaches before the start is always one of the rare
// ones that take the exact copy.
inline bool HasRoom(const std::uint8_t* in, const std::uint8_t* inEnd, std::size_t p,
                    std::size_t room) {
  return static_cast<std::size_t>(inEnd - in) >= kGroupInput && p >= kMaxMatch &&
         room >= kGroupOutput && p <= room - kGroupOutput;
}

// Whether the checked loop may go on: it may meet the end of the input at hand only where
// that is the end of the stream.
inline bool InputSettled(const Decoder& x, const std::uint8_t* in) {
  return x.InputFinal || static_cast<std::size_t>(x.InEnd - in) >= kGroupInput;
}

// The item loop. Decodes whole groups while the index is below pause and, unchecked, while
// the next group has room (checked, while it has none and the input is settled). Returns
// false once decoding has ended.
//
// Unchecked, an item is decoded without a branch on its kind: a literal is a copy from the
// input, a reference one from the output, and both are copied 18 bytes wide; the bytes
// past the item are overwritten by the next one. Only a reference that overlaps its own
// 18 bytes or reaches before the start takes a branch, to the exact copy.
template <bool kChecked, Zeros kZeros>
bool DecodeItems(Decoder& x, std::size_t pause) {
  // Locals, so that the stores into the output do not make the compiler reload them.
  const std::uint8_t* in = x.In;
  const std::uint8_t* const inEnd = x.InEnd;
  std::uint8_t* const out = x.Out;
  std::size_t p = x.P;
  std::size_t literalZeros = x.LiteralZeros;
  bool referredBeforeStart = x.ReferredBeforeStart;
  constexpr std::uint8_t kBeforeStart = kZeros == Zeros::LeadingSpaces ? kSpace : 0;
  bool more = true;
  while (more && p < pause && HasRoom(in, inEnd, p, x.Room) != kChecked &&
         (!kChecked || InputSettled(x, in))) {
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
    for (std::size_t item = 0; item < kItemsPerGroup; ++item, flags >>= 1) {
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
          referredBeforeStart |= CopyReferenceExact(out, p, distance, length, kBeforeStart);
        } else {
          CopyWide(out + p, out + (p - distance));
        }
      } else if (((distance - kMaxMatch) & reference) > p - kMaxMatch) {
        // A reference that overlaps itself within 18 bytes or reaches before the start: one
        // test for both, as p >= 18 here.
        referredBeforeStart |= CopyReferenceExact(out, p, distance, length, kBeforeStart);
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
  x.ReferredBeforeStart = referredBeforeStart;
  return more;
}

// A loop that decodes whole groups far from the ends while the index is below pause, in
// the pass that keeps the bytes as produced; returns false once decoding has ended. The
// item loop's unchecked instantiation is the portable one.
using GroupLoop = bool (*)(Decoder& x, std::size_t pause);

// The group loop of the path in use (ForceDecodePath, or the widest the processor runs).
[[nodiscard]] GroupLoop ActiveGroupLoop();

// The sum of size bytes modulo 2^32, with the widest instructions the path in use has.
[[nodiscard]] std::uint32_t DecodedSum(const std::uint8_t* bytes, std::size_t size);

// The number of zero bytes among size bytes.
[[nodiscard]] std::size_t ZeroCount(const std::uint8_t* bytes, std::size_t size);

// The bytes a pass pauses at to sum what it produced while it is still in the cache.
inline constexpr std::size_t kSumPiece = 16 * 1024;

// Runs one pass over the stream. Ends says where the input and output buffers end:
//   bool Refill(Decoder&): tops up the input when less than a group is at hand and the
//     stream goes on; false when the input cannot be read.
//   std::size_t Pause(const Decoder&): the index the loops stop at next.
//   bool Reached(Decoder&, bool more): takes the bytes produced since the last call (sum,
//     delivery, moving the history); false to end the pass.
// Returns false when Refill or Reached ended the pass early.
template <Zeros kZeros, typename Ends>
bool RunPass(Decoder& x, Ends& ends, GroupLoop groups) {
  for (bool more = true; more;) {
    if (!ends.Refill(x)) return false;
    const std::size_t pause = ends.Pause(x);
    more = kZeros == Zeros::AsProduced ? groups(x, pause) : DecodeItems<false, kZeros>(x, pause);
    if (more && x.P < pause && InputSettled(x, x.In)) more = DecodeItems<true, kZeros>(x, pause);
    if (!ends.Reached(x, more)) return false;
  }
  return true;
}

// How the entry's bytes come out of the stream once it is rated: as the first pass produced
// them; with every zero a space (the repair, where no literal was a zero); with a space for
// each zero a reference produced (the repair otherwise); or from the pass that reads spaces
// before the start.
}  // namespace pbo::lzss

namespace pbo {
enum class LzssStreamBytes : std::uint8_t {
  AsProduced,
  AllZerosSpaces,
  ReferenceZerosSpaces,
  LeadingSpaces
};
}  // namespace pbo

namespace pbo::lzss {

using Delivery = LzssStreamBytes;

struct Rating {
  LzssVerdict Verdict = LzssVerdict::Unrepairable;
  Delivery Bytes = Delivery::AsProduced;
};

// What the first pass, the one that keeps the bytes as produced, found.
struct FirstPass {
  std::uint32_t Sum = 0;
  std::size_t Produced = 0;  // bytes produced, those past the declared size included
  std::size_t LiteralZeros = 0;
  bool ReferredBeforeStart = false;
};

// The repair applies when the stored sum exceeds the produced one by exactly 32 for every
// zero a reference produced.
inline bool SpacesExplainDifference(std::uint32_t stored, std::uint32_t sum,
                                    std::size_t referenceZeros) {
  const auto difference = static_cast<std::int32_t>(stored - sum);
  return referenceZeros >= 1 &&
         static_cast<std::int64_t>(difference) == 32 * static_cast<std::int64_t>(referenceZeros);
}

// Rates a stream from its first pass, as LzssDecode's contract says.
//   countZeros(): the zero bytes the first pass produced, asked only when the sums differ.
//   leadingSpacesSum(): runs the pass that reads spaces before the start and returns its
//     sum, asked only when the stream referred before the start, the count of zeros does not
//     explain the sum and the length is the declared one.
// A produced length other than the declared one fails the entry whether the sum matched at
// once or only after the repair: a stream that ran out early or ran past the end is damaged
// even when its checksum happens to fit.
template <typename CountZeros, typename LeadingSpacesSum>
Rating RateFirstPass(std::uint32_t stored, const FirstPass& first, std::size_t declared,
                     CountZeros&& countZeros, LeadingSpacesSum&& leadingSpacesSum) {
  const bool lengthAgrees = first.Produced == declared;
  if (stored == first.Sum) {
    return {lengthAgrees ? LzssVerdict::Verified : LzssVerdict::LengthMismatch,
            Delivery::AsProduced};
  }
  if (SpacesExplainDifference(stored, first.Sum, countZeros() - first.LiteralZeros)) {
    if (!lengthAgrees) return {LzssVerdict::LengthMismatch, Delivery::AsProduced};
    return {LzssVerdict::Repaired, first.LiteralZeros == 0 ? Delivery::AllZerosSpaces
                                                           : Delivery::ReferenceZerosSpaces};
  }
  if (first.ReferredBeforeStart && lengthAgrees && leadingSpacesSum() == stored) {
    return {LzssVerdict::Repaired, Delivery::LeadingSpaces};
  }
  return {LzssVerdict::Unrepairable, Delivery::AsProduced};
}

}  // namespace pbo::lzss
