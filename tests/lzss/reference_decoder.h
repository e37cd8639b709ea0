// The LZSS decoder written straight from its rules: one item at a time, every byte checked,
// summed and listed as it is produced. Slow, and the oracle that LzssDecode must match in
// verdict and output on every input. Header-only so that tests, the benchmark and fuzz
// targets can all include it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lzss/lzss.h"

namespace pbo::reference {

// Same contract as LzssDecode.
inline LzssDecodeResult ReferenceDecode(const std::uint8_t* packed, std::size_t packedSize,
                                        std::int32_t originalSize) {
  LzssDecodeResult result;
  if (originalSize < 0) {
    result.Verdict = LzssVerdict::LengthMismatch;
    return result;
  }
  if (packedSize < 4) {
    result.Verdict = LzssVerdict::Unrepairable;
    return result;
  }
  const std::size_t streamSize = packedSize - 4;
  const auto declared = static_cast<std::size_t>(originalSize);
  // A two-byte reference yields at most 18 bytes, so the stream cannot fill more than 9
  // bytes per stream byte. The last item may run up to 17 bytes past the declared size:
  // those bytes are produced and may be copied by the item itself, but never returned.
  const std::size_t capacity = std::min(declared, 9 * streamSize);
  std::vector<std::uint8_t> out(capacity + 18, 0);
  std::vector<std::size_t> zeroPositions;  // where a reference produced a zero
  std::uint32_t sum = 0;
  std::size_t p = 0;
  std::size_t in = 0;
  auto decodeItems = [&] {
    for (;;) {
      if (in == streamSize) return;
      const unsigned flags = packed[in++];
      for (unsigned bit = 0; bit < 8; ++bit) {
        if ((flags >> bit & 1) != 0) {
          if (in == streamSize) return;
          out[p] = packed[in++];
          sum += out[p++];
        } else {
          if (streamSize - in < 2) return;
          const std::size_t distance = packed[in] | (std::size_t{packed[in + 1]} & 0xF0) << 4;
          const std::size_t length = (packed[in + 1] & 0x0Fu) + 3;
          in += 2;
          for (std::size_t k = 0; k < length; ++k, ++p) {
            // Before the start, and at distance 0 (the byte itself, not yet produced): zero.
            const std::uint8_t byte = p >= distance ? out[p - distance] : 0;
            out[p] = byte;
            sum += byte;
            if (byte == 0) zeroPositions.push_back(p);
          }
        }
        if (p >= declared) return;
      }
    }
  };
  decodeItems();

  const std::uint32_t stored = packed[streamSize] | packed[streamSize + 1] << 8 |
                               packed[streamSize + 2] << 16 |
                               std::uint32_t{packed[streamSize + 3]} << 24;
  const auto shortfall = static_cast<std::int64_t>(static_cast<std::int32_t>(stored - sum));
  const auto zeros = static_cast<std::int64_t>(zeroPositions.size());
  if (stored == sum) {
    result.Verdict = p == declared ? LzssVerdict::Verified : LzssVerdict::LengthMismatch;
  } else if (zeros == 0 || shortfall != 32 * zeros) {
    result.Verdict = LzssVerdict::Unrepairable;
  } else if (p != declared) {
    result.Verdict = LzssVerdict::LengthMismatch;
  } else {
    for (const std::size_t position : zeroPositions) out[position] = 0x20;
    result.Verdict = LzssVerdict::Repaired;
  }
  out.resize(capacity);
  result.Output = std::move(out);
  return result;
}

}  // namespace pbo::reference
