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
#include <functional>
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

// Decoding in stretches, in constant memory: the same verdict and the same bytes as
// LzssDecode, for an entry too large to hold whole. The caller gives access to the packed
// block and takes the output in stretches; the decoder holds the last 4095 bytes produced and
// buffers of bounded size (about 330 KiB in all), whatever the sizes. Two passes: the first
// rates the entry and delivers nothing, the second delivers the bytes the rating chose.

// Reads size bytes of the packed block (checksum included) from offset on into `into`.
// Returns false when they cannot be read; the decoder then stops. Reads ask for the last 4
// bytes first, then for the block from its start, in order, each byte once per pass.
using LzssBlockReader =
    std::function<bool(std::uint64_t offset, std::uint8_t* into, std::size_t size)>;

// Takes the next size bytes of the output, in order (size is never 0); bytes point into the
// decoder's buffer and stay valid only during the call. Returns false to stop the delivery.
using LzssSink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;

// Which bytes the second pass delivers; set by LzssRateStream, read by LzssDeliverStream.
enum class LzssStreamBytes : std::uint8_t;

struct LzssStreamRating {
  LzssVerdict Verdict = LzssVerdict::Unrepairable;
  bool ReadFailed = false;      // the reader failed: Verdict means nothing, deliver nothing
  std::uint64_t OutputSize = 0;  // the bytes LzssDeliverStream delivers in all
  LzssStreamBytes Bytes{};
};

// Rates one compressed entry as LzssDecode would, reading its packed block of packedSize
// bytes through read and keeping none of it. Returns the verdict LzssDecode gives for the
// same block and originalSize, and OutputSize, the length of LzssDecode's Output; or
// ReadFailed when a read failed. A stream that referred before the start and that the count
// of zeros does not repair is read a second time, with spaces there.
[[nodiscard]] LzssStreamRating LzssRateStream(std::uint64_t packedSize, std::int32_t originalSize,
                                              const LzssBlockReader& read);

// Hands to sink, in order and in stretches of at most 256 KiB, exactly the OutputSize bytes
// that LzssDecode's Output holds for the same block and originalSize: as produced, repaired
// or read with spaces before the start, as the rating chose, and zero-filled where the
// stream ran out. rating must come from LzssRateStream for the same block and size. Reads
// the block once more through read. Returns false when a read failed or the sink returned
// false; the bytes handed on until then are those of the output's start.
[[nodiscard]] bool LzssDeliverStream(std::uint64_t packedSize, std::int32_t originalSize,
                                     const LzssStreamRating& rating, const LzssBlockReader& read,
                                     const LzssSink& sink);

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
