// Runs a test program with the archive modes cutting their work into small pieces when
// PBO_TEST_PIECES is "small", set only by the test registration (tests/CMakeLists.txt); the
// tool reads no such variable. Packing then codes every file over 4099 bytes in segments
// of that size, so that the suites that pack meet the segment road with the files they
// already have.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "archive/create.h"

namespace pbo {
namespace {

// Not a power of two, so that segments end at odd places, and past the 4095 bytes in which
// a reference may reach the spaces before the data.
constexpr std::uint64_t kSmallSegment = 4099;

class SmallPieces : public testing::Environment {
 public:
  void SetUp() override {
    const char* value = std::getenv("PBO_TEST_PIECES");
    if (value == nullptr || *value == '\0') return;
    if (std::string(value) != "small") FAIL() << "unknown piece size " << value;
    PackingLimits limits;
    limits.SegmentSize = kSmallSegment;
    SetPackingLimitsForTests(limits);
  }
};

const testing::Environment* const kSmallPieces =
    testing::AddGlobalTestEnvironment(new SmallPieces);

}  // namespace
}  // namespace pbo
