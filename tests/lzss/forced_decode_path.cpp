// Runs a test program on the decoder path that PBO_TEST_DECODE_PATH names ("portable",
// "sse2", "ssse3", "avx2"), set only by the test registration (tests/CMakeLists.txt); the
// tool reads no such variable. Where the processor or the build lacks that path, every test
// is skipped rather than run on another one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lzss/lzss_internal.h"

namespace pbo {
namespace {

class ForcedDecodePath : public testing::Environment {
 public:
  void SetUp() override {
    const char* name = std::getenv("PBO_TEST_DECODE_PATH");
    if (name == nullptr || *name == '\0') return;
    for (const auto path : {lzss::DecodePath::Portable, lzss::DecodePath::Sse2,
                            lzss::DecodePath::Ssse3, lzss::DecodePath::Avx2}) {
      if (std::string(name) != lzss::DecodePathName(path)) continue;
      if (!lzss::ForceDecodePath(path)) GTEST_SKIP() << name << " does not run here";
      return;
    }
    FAIL() << "unknown decoder path " << name;
  }
};

const testing::Environment* const kForced =
    testing::AddGlobalTestEnvironment(new ForcedDecodePath);

}  // namespace
}  // namespace pbo
