// Internals of the LZSS codec shared by lzss/ and its tests and benchmark; not part of the
// public surface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "lzss/lzss.h"
#include "platform/bytes.h"

namespace pbo::lzss {

// The encoder's window holds this many spaces before the data, and references may reach
// back into them: the headroom LzssEncodeWithHeadroom asks of its caller.
inline constexpr std::size_t kLeadingSpaces = kLzssHeadroom;
inline constexpr std::uint8_t kSpace = 0x20;

inline constexpr std::size_t kMinMatch = 3;
inline constexpr std::size_t kMaxMatch = 18;
inline constexpr std::size_t kMaxDistance = 4095;
inline constexpr std::size_t kItemsPerGroup = 8;
inline constexpr std::size_t kChecksumSize = 4;

// Expansion bound: a two-byte reference yields at most 18 bytes (9 per stream byte), a
// literal one byte per stream byte, and a flag byte none, so an item stream of s bytes
// never expands past 9 * s bytes. The decoder sizes its output by this bound rather than
// trusting the declared length alone.
inline constexpr std::size_t kMaxExpansion = kMaxMatch / 2;

// The most bytes an item stream of streamSize bytes can produce.
[[nodiscard]] constexpr std::size_t MaxDecodedSize(std::size_t streamSize) {
  return streamSize * kMaxExpansion;
}

// The longest stream LzssEncode can write for size input bytes: every byte a literal, a
// flag byte per eight of them, and the checksum.
[[nodiscard]] constexpr std::size_t MaxEncodedSize(std::size_t size) {
  return size + (size + kItemsPerGroup - 1) / kItemsPerGroup + kChecksumSize;
}

// The sum of size bytes modulo 2^32, the checksum of a stream. A block of 256 bytes sums
// up in 16 bits (256 * 255 < 2^16), which lets the compiler add many bytes at a time.
inline std::uint32_t ByteSum(const std::uint8_t* bytes, std::size_t size) {
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

// The decoder's paths: the group loop for each x86-64 instruction set and the portable item
// loop, which is what every other processor runs. All give the same verdicts and bytes.
enum class DecodePath { Portable, Sse2, Ssse3, Avx2 };

// Whether this build has the path and this processor runs it.
[[nodiscard]] bool DecodePathRuns(DecodePath path);

// Makes path the one every decoder uses from now on, in every thread (for tests and the
// benchmark; the widest that runs is chosen by default). Returns false, and changes
// nothing, when the path does not run here.
bool ForceDecodePath(DecodePath path);

// The path in use, and a name for it ("avx2", "ssse3", "sse2", "portable").
[[nodiscard]] DecodePath ActiveDecodePath();
[[nodiscard]] const char* DecodePathName(DecodePath path);

// The stretch functions' sizes: the most bytes one read asks for, and the bytes produced
// between two deliveries. The defaults (64 KiB and 256 KiB) keep reads and deliveries few;
// tests set tiny ones (from 1 byte) so that items straddle every boundary. 0 restores the
// default. For tests only: not for use while a stretch function runs.
void SetStreamPieceSizes(std::size_t readSize, std::size_t stretchSize);

// A back reference: Length bytes at the current position equal those Distance bytes
// before. Length 0 means no match.
struct Match {
  std::uint32_t Length = 0;
  std::uint32_t Distance = 0;
};

// The encoder's match rule, by exhaustive scan of the window.
//   window: the n bytes of the work buffer: 18 spaces followed by the data, or a stretch of
//     it that holds the 4095 bytes before p and reaches at least 19 bytes past p, or to the
//     file's last byte, which is then the buffer's last byte too.
//   p: the position to code; floor: the first position a source may begin at, floor < p < n
//     (the first leading space, 0, for the usual stream; the first data byte, 18, for the
//     stream that refers to the data alone).
// Tries the distances 1, 2, ... in rising order and returns the longest candidate of 3 to
// 18 bytes, the farthest of equally long ones. A comparison never reaches the last byte of
// the window, and the scan stops after distance 4095, after distance p - floor and after
// the first candidate that reaches the second-to-last byte.
[[nodiscard]] Match FindLongestMatch(const std::uint8_t* window, std::size_t n, std::size_t p,
                                     std::size_t floor);

}  // namespace pbo::lzss
