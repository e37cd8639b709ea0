// The plain reference coder, compiled on its own: under libFuzzer this file is built
// without coverage instrumentation, since the oracle's exhaustive scan is not what is
// being explored and its traced comparisons would slow every run some fiftyfold.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lzss/reference_encoder.h"

namespace pbo::fuzz {

std::vector<std::uint8_t> ReferenceStream(const std::vector<std::uint8_t>& data) {
  return reference::ReferenceEncode(data);
}

}  // namespace pbo::fuzz
