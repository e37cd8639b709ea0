// Fuzz target: LzssDecode on any packed block and any declared size, on every decoder path
// the processor runs, and the stretch functions on the same block.
//
// Input: four bytes that choose OriginalSize (below 1 MiB, a quarter of the time negative)
// and, with their other bits, the stretch functions' read and stretch sizes (1 to 32 and 1
// to about 3000 bytes), then the packed block, checksum included. Properties:
//   - the output is never longer than OriginalSize (empty when it is negative);
//   - Verified and Repaired give exactly OriginalSize bytes whose sum is the stored
//     checksum; a negative OriginalSize gives LengthMismatch;
//   - Unrepairable gives OriginalSize bytes unless the block could never expand that far;
//   - the decoder agrees with the plain reference decoder in verdict and output, on every
//     path;
//   - the stretch functions give the same verdict and deliver exactly the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "lzss/reference_decoder.h"

namespace {

constexpr std::uint32_t kSizeRange = 1u << 20;

std::int32_t PickOriginalSize(const unsigned char* data) {
  const std::uint32_t raw = data[0] | data[1] << 8 | data[2] << 16 | std::uint32_t{data[3]} << 24;
  const auto size = static_cast<std::int32_t>(raw % kSizeRange);
  return (raw >> 30) == 3 ? -size - 1 : size;
}

struct PieceSizes {
  std::size_t Read;
  std::size_t Stretch;
};

PieceSizes PickPieceSizes(const unsigned char* data) {
  const std::uint32_t raw = data[2] >> 4 | data[3] << 4;  // bits 20 to 29 of the size bytes
  return {1 + (raw & 31), 1 + (raw >> 5 & 31) * 97};
}

// The block rated and delivered by the stretch functions, or nothing when a read failed.
pbo::LzssDecodeResult DecodeInStretches(const std::vector<std::uint8_t>& packed,
                                        std::int32_t originalSize) {
  const pbo::LzssBlockReader read = [&](std::uint64_t offset, std::uint8_t* into,
                                        std::size_t size) {
    FUZZ_CHECK(offset <= packed.size() && size <= packed.size() - offset);
    std::memcpy(into, packed.data() + offset, size);
    return true;
  };
  const pbo::LzssStreamRating rating = pbo::LzssRateStream(packed.size(), originalSize, read);
  FUZZ_CHECK(!rating.ReadFailed);
  pbo::LzssDecodeResult result;
  result.Verdict = rating.Verdict;
  FUZZ_CHECK(pbo::LzssDeliverStream(packed.size(), originalSize, rating, read,
                                    [&](const std::uint8_t* bytes, std::size_t size) {
                                      FUZZ_CHECK(size > 0);
                                      result.Output.insert(result.Output.end(), bytes,
                                                           bytes + size);
                                      return true;
                                    }));
  FUZZ_CHECK(result.Output.size() == rating.OutputSize);
  return result;
}

std::uint32_t ByteSum(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : bytes) sum += byte;
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 4) return 0;
  const std::int32_t originalSize = PickOriginalSize(data);
  // The block in an exactly sized buffer of its own, so that an over-read is caught.
  const std::vector<std::uint8_t> packed(data + 4, data + size);
  const pbo::LzssDecodeResult result = pbo::LzssDecode(packed.data(), packed.size(), originalSize);

  if (originalSize < 0) {
    FUZZ_CHECK(result.Verdict == pbo::LzssVerdict::LengthMismatch);
    FUZZ_CHECK(result.Output.empty());
    return 0;
  }
  const auto declared = static_cast<std::size_t>(originalSize);
  FUZZ_CHECK(result.Output.size() <= declared);
  if (result.Verdict == pbo::LzssVerdict::Verified ||
      result.Verdict == pbo::LzssVerdict::Repaired) {
    FUZZ_CHECK(packed.size() >= pbo::lzss::kChecksumSize);
    const std::uint8_t* stored = packed.data() + packed.size() - pbo::lzss::kChecksumSize;
    const std::uint32_t checksum =
        stored[0] | stored[1] << 8 | stored[2] << 16 | std::uint32_t{stored[3]} << 24;
    FUZZ_CHECK(result.Output.size() == declared);
    FUZZ_CHECK(ByteSum(result.Output) == checksum);
  }
  if (result.Verdict == pbo::LzssVerdict::Unrepairable && packed.size() >= 4) {
    const std::size_t bound = pbo::lzss::MaxDecodedSize(packed.size() - 4);
    FUZZ_CHECK(result.Output.size() == std::min(declared, bound));
  }

  const pbo::LzssDecodeResult plain =
      pbo::reference::ReferenceDecode(packed.data(), packed.size(), originalSize);
  FUZZ_CHECK(plain.Verdict == result.Verdict);
  FUZZ_CHECK(plain.Output == result.Output);

  const pbo::lzss::DecodePath widest = pbo::lzss::ActiveDecodePath();
  for (const auto path : {pbo::lzss::DecodePath::Portable, pbo::lzss::DecodePath::Sse2,
                          pbo::lzss::DecodePath::Ssse3, pbo::lzss::DecodePath::Avx2}) {
    if (path == widest || !pbo::lzss::ForceDecodePath(path)) continue;
    const pbo::LzssDecodeResult other =
        pbo::LzssDecode(packed.data(), packed.size(), originalSize);
    FUZZ_CHECK(other.Verdict == result.Verdict && other.Output == result.Output);
  }
  pbo::lzss::ForceDecodePath(widest);

  const PieceSizes sizes = PickPieceSizes(data);
  pbo::lzss::SetStreamPieceSizes(sizes.Read, sizes.Stretch);
  const pbo::LzssDecodeResult stretches = DecodeInStretches(packed, originalSize);
  pbo::lzss::SetStreamPieceSizes(0, 0);
  FUZZ_CHECK(stretches.Verdict == result.Verdict && stretches.Output == result.Output);
  return 0;
}
