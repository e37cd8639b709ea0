// The LZSS decoder written straight from its rules: one item at a time, every byte checked,
// summed and listed as it is produced, and, where the count of zeros does not explain the
// sum, a second pass that reads spaces before the start. Slow, and the oracle that
// LzssDecode and the stretch functions must match in verdict and output on every input. Header-only so that tests, the benchmark and fuzz
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
  const std::uint32_t stored = packed[streamSize] | packed[streamSize + 1] << 8 |
                               packed[streamSize + 2] << 16 |
                               std::uint32_t{packed[streamSize + 3]} << 24;

  // One decoding pass; `beforeStart` is the byte a source before the start yields.
  struct Pass {
    std::vector<std::uint8_t> Out;
    std::vector<std::size_t> ZeroPositions;  // where a reference produced a zero
    std::uint32_t Sum = 0;
    std::size_t P = 0;
    bool ReferredBeforeStart = false;
  };
  auto decode = [&](std::uint8_t beforeStart) {
    Pass pass;
    pass.Out.assign(capacity + 18, 0);
    std::vector<std::uint8_t>& out = pass.Out;
    std::size_t& p = pass.P;
    std::size_t in = 0;
    for (;;) {
      if (in == streamSize) return pass;
      const unsigned flags = packed[in++];
      for (unsigned bit = 0; bit < 8; ++bit) {
        if ((flags >> bit & 1) != 0) {
          if (in == streamSize) return pass;
          out[p] = packed[in++];
          pass.Sum += out[p++];
        } else {
          if (streamSize - in < 2) return pass;
          const std::size_t distance = packed[in] | (std::size_t{packed[in + 1]} & 0xF0) << 4;
          const std::size_t length = (packed[in + 1] & 0x0Fu) + 3;
          in += 2;
          for (std::size_t k = 0; k < length; ++k, ++p) {
            // Distance 0 names the byte itself, not yet produced: zero on either pass.
            std::uint8_t byte = 0;
            if (p >= distance) {
              byte = distance == 0 ? 0 : out[p - distance];
            } else {
              byte = beforeStart;
              pass.ReferredBeforeStart = true;
            }
            out[p] = byte;
            pass.Sum += byte;
            if (byte == 0) pass.ZeroPositions.push_back(p);
          }
        }
        if (p >= declared) return pass;
      }
    }
  };
  Pass pass = decode(0);

  const std::size_t p = pass.P;
  const auto shortfall = static_cast<std::int64_t>(static_cast<std::int32_t>(stored - pass.Sum));
  const auto zeros = static_cast<std::int64_t>(pass.ZeroPositions.size());
  if (stored == pass.Sum) {
    result.Verdict = p == declared ? LzssVerdict::Verified : LzssVerdict::LengthMismatch;
  } else if (zeros == 0 || shortfall != 32 * zeros) {
    result.Verdict = LzssVerdict::Unrepairable;
    // What the coder meant: its spaces before the start, read as such.
    if (pass.ReferredBeforeStart && p == declared) {
      Pass spaces = decode(0x20);
      if (spaces.Sum == stored) {
        result.Verdict = LzssVerdict::Repaired;
        pass = std::move(spaces);
      }
    }
  } else if (p != declared) {
    result.Verdict = LzssVerdict::LengthMismatch;
  } else {
    for (const std::size_t position : pass.ZeroPositions) pass.Out[position] = 0x20;
    result.Verdict = LzssVerdict::Repaired;
  }
  pass.Out.resize(capacity);
  result.Output = std::move(pass.Out);
  return result;
}

}  // namespace pbo::reference
