// Runs a test program with the archive modes cutting their work into small pieces when
// PBO_TEST_PIECES is "small", set only by the test registration (tests/CMakeLists.txt); the
// tool reads no such variable. Packing then codes every file over 4099 bytes in segments
// of that size, and extraction decodes or copies every entry over 3000 bytes in stretches,
// reading 13 bytes and delivering 700 at a time, so that the suites meet the segment and
// stretch roads with the files and archives they already have.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "archive/create.h"
#include "archive/extract.h"
#include "lzss/lzss_internal.h"

namespace pbo {
namespace {

// Not a power of two, so that segments end at odd places, and past the 4095 bytes in which
// a reference may reach the spaces before the data.
constexpr std::uint64_t kSmallSegment = 4099;
constexpr std::uint64_t kSmallWholeEntry = 3000;
constexpr std::size_t kSmallRead = 13;
constexpr std::size_t kSmallStretch = 700;

class SmallPieces : public testing::Environment {
 public:
  void SetUp() override {
    const char* value = std::getenv("PBO_TEST_PIECES");
    if (value == nullptr || *value == '\0') return;
    if (std::string(value) != "small") FAIL() << "unknown piece size " << value;
    PackingLimits packing;
    packing.SegmentSize = kSmallSegment;
    SetPackingLimitsForTests(packing);
    ExtractionLimits extraction;
    extraction.WholeEntryLimit = kSmallWholeEntry;
    SetExtractionLimitsForTests(extraction);
    lzss::SetStreamPieceSizes(kSmallRead, kSmallStretch);
  }
};

const testing::Environment* const kSmallPieces =
    testing::AddGlobalTestEnvironment(new SmallPieces);

}  // namespace
}  // namespace pbo
