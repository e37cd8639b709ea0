// The decoder of the previous design, the benchmark's yardstick (baseline_decoder.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lzss/lzss.h"

namespace pbo::baseline {

// LzssDecode as it was before the group decoder: the same verdicts, except that a stream
// the count of zeros cannot repair stays Unrepairable.
[[nodiscard]] LzssDecodeResult BaselineDecode(const std::uint8_t* packed, std::size_t packedSize,
                                              std::int32_t originalSize);

}  // namespace pbo::baseline
