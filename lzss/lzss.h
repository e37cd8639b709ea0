// LZSS codec of compressed archive entries.
//
// A stream is a sequence of groups, each one flag byte followed by up to eight items, and
// ends with the 32-bit little-endian sum of the uncompressed bytes. A set flag bit (least
// significant first) announces a literal byte, a clear one a two-byte back reference of
// 3 to 18 bytes into the last 4095 bytes produced. The encoder keeps 18 spaces before the
// data and may refer to them; the decoder produces zeros there and turns them back into
// spaces when the checksum shows that every zero produced by a reference was a space, or,
// failing that, when a second pass that reads spaces there gives the stored checksum.
//
// Both functions are pure: they touch no file and keep no state between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pbo {

// How a decoded entry compares with its stored checksum and declared length.
enum class LzssVerdict {
  Verified,        // checksum and length agree: the output is the entry
  Repaired,        // the checksum matched once the zeros made by references became spaces,
                   // or once the sources before the start were read as spaces
  LengthMismatch,  // the stream produced another length than declared, and the checksum
                   // agrees at once or after the space repair
  Unrepairable,    // checksum disagrees and the space repair does not explain it
};

struct LzssDecodeResult {
  std::vector<std::uint8_t> Output;
  LzssVerdict Verdict = LzssVerdict::Unrepairable;
};

// Expands one compressed entry.
//   packed, packedSize: the entry's data block, item stream followed by its 4-byte checksum.
//   originalSize: the length the archive declares for the expanded entry.
// The rating, in this order: the sum of the produced bytes (zeros before the start) equal to
// the stored checksum gives Verified, or LengthMismatch when the stream produced another
// length than originalSize. Otherwise, when the stored checksum exceeds that sum by exactly
// 32 for every zero a reference produced (at least one), all those zeros become spaces:
// Repaired, or LengthMismatch for another length. Otherwise, when some reference read a
// source before the start and the length is originalSize, the stream is decoded again with
// a space for every such source (a distance of 0 still yields zeros): if that sum equals
// the stored checksum, that output is the entry, Repaired. Anything else is Unrepairable.
// Returns the verdict and the output:
//   Verified, Repaired: Output holds exactly originalSize bytes, the entry's content.
//   Unrepairable: Output holds the bytes as decoded, zeros included, zero-filled past the
//     end of a stream that ran out; it is originalSize bytes long unless originalSize is
//     more than packedSize bytes could ever expand to, in which case it is cut to that
//     bound (so a tiny block that claims gigabytes costs no more than the block justifies).
//   LengthMismatch: Output is not meant to be written.
// A negative originalSize gives LengthMismatch without decoding. A block shorter than the
// 4 checksum bytes gives Unrepairable with an empty Output. Decoding ends where the item
// stream does, even inside a group or an item. Reads never leave the packed block and
// writes never leave the output, whatever the block holds.
[[nodiscard]] LzssDecodeResult LzssDecode(const std::uint8_t* packed, std::size_t packedSize,
                                          std::int32_t originalSize);

// Compresses size bytes into the stream that LzssDecode expands, checksum included; an
// empty input gives the checksum alone. The stream is a pure function of the input: the
// same bytes give the same stream on every run and every machine. size must be below 2^31.
[[nodiscard]] std::vector<std::uint8_t> LzssEncode(const std::uint8_t* data, std::size_t size);

// The bytes LzssEncodeWithHeadroom needs in front of the data.
inline constexpr std::size_t kLzssHeadroom = 18;

// LzssEncode(buffer + kLzssHeadroom, size), without the copy of the data that LzssEncode
// makes: the coder needs its spaces in front of the data, and writes them into the
// kLzssHeadroom bytes at the start of buffer, whatever they held. The data is not changed.
[[nodiscard]] std::vector<std::uint8_t> LzssEncodeWithHeadroom(std::uint8_t* buffer,
                                                               std::size_t size);

}  // namespace pbo
