// The float notation of mission text, pinned on values where a general-purpose formatter
// (round half to even, one rounding, "-0.000000", no exponent) would write something else.
#include "mission/fixed_notation.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <limits>

namespace pbo {
namespace {

TEST(FixedNotation, WritesSixDecimalsWithPoint) {
  EXPECT_EQ(FormatFixedNotation(0.0), "0.000000");
  EXPECT_EQ(FormatFixedNotation(1.0f), "1.000000");
  EXPECT_EQ(FormatFixedNotation(-10.5f), "-10.500000");
  EXPECT_EQ(FormatFixedNotation(0.1f), "0.100000");  // exactly 0.100000001490116...
  // 2^59 has 18 digits: still fixed notation, every digit exact.
  EXPECT_EQ(FormatFixedNotation(576460752303423488.0f), "576460752303423488.000000");
  EXPECT_EQ(FormatFixedNotation(1e18f), "999999984306749440.000000");
}

TEST(FixedNotation, RoundsTiesAwayFromZero) {
  // Exactly 123456.7890625 and 0.0078125: a tie at the seventh decimal.
  EXPECT_EQ(FormatFixedNotation(123456.789f), "123456.789063");
  EXPECT_EQ(FormatFixedNotation(0.0078125), "0.007813");
  EXPECT_EQ(FormatFixedNotation(-0.0078125), "-0.007813");
  // Rounding carries into the integer part: exactly 0.999999523162841796875.
  EXPECT_EQ(FormatFixedNotation(0.99999952f), "1.000000");
  EXPECT_EQ(FormatFixedNotation(-0.99999952f), "-1.000000");
}

TEST(FixedNotation, RoundsToEighteenDigitsBeforeSixDecimals) {
  // The double nearest 0.0004215 lies just below it: 0.000421499999999999999666933...
  // Its 18 significant digits end in ...4999 and round up to 0.000421500000000000000, whose
  // seventh decimal 5 then rounds up again. One rounding of the exact value gives 0.000421.
  EXPECT_EQ(FormatFixedNotation(0.0004215), "0.000422");
  EXPECT_EQ(FormatFixedNotation(-0.0004215), "-0.000422");
  // 0.008093499999999999999777955...: the same, one decimal place further up.
  EXPECT_EQ(FormatFixedNotation(0.0080935), "0.008094");
  // A single float never comes this close to a boundary without lying on it: the float
  // just below 0.0004215, 0.00042149997898377478122711181640625, rounds down.
  EXPECT_EQ(FormatFixedNotation(std::nextafter(0.0004215f, 0.0f)), "0.000421");
  EXPECT_EQ(FormatFixedNotation(0.0004215f), "0.000422");  // 0.000421500008087605...
}

TEST(FixedNotation, WritesZeroWithoutSign) {
  EXPECT_EQ(FormatFixedNotation(-0.0), "0.000000");
  EXPECT_EQ(FormatFixedNotation(-0.0000001f), "0.000000");
  EXPECT_EQ(FormatFixedNotation(-0.00000049), "0.000000");
  EXPECT_EQ(FormatFixedNotation(std::numeric_limits<float>::denorm_min()), "0.000000");
  EXPECT_EQ(FormatFixedNotation(-std::numeric_limits<double>::denorm_min()), "0.000000");
}

TEST(FixedNotation, SwitchesToScientificAtTenToTheEighteenth) {
  EXPECT_EQ(FormatFixedNotation(1e18), "1E18");  // exact in a double
  EXPECT_EQ(FormatFixedNotation(1e22), "1E22");
  // 9999999980506447872: the 19th digit is dropped.
  EXPECT_EQ(FormatFixedNotation(1e19f), "9.99999998050644787E18");
  // 2^60 = 1152921504606846976: the dropped 6 rounds the 18th digit up.
  EXPECT_EQ(FormatFixedNotation(1152921504606846976.0f), "1.15292150460684698E18");
  EXPECT_EQ(FormatFixedNotation(FLT_MAX), "3.4028234663852886E38");
  EXPECT_EQ(FormatFixedNotation(-FLT_MAX), "-3.4028234663852886E38");
  EXPECT_EQ(FormatFixedNotation(DBL_MAX), "1.79769313486231571E308");
}

TEST(FixedNotation, NamesInfinitiesAndNaN) {
  EXPECT_EQ(FormatFixedNotation(std::numeric_limits<float>::infinity()), "INF");
  EXPECT_EQ(FormatFixedNotation(-std::numeric_limits<float>::infinity()), "-INF");
  EXPECT_EQ(FormatFixedNotation(std::numeric_limits<float>::quiet_NaN()), "NAN");
  EXPECT_EQ(FormatFixedNotation(-std::numeric_limits<double>::quiet_NaN()), "NAN");
}

TEST(FixedNotation, IgnoresLocale) {
  // A locale with a decimal comma, where the system has one; the text must not change.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "fr_FR"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) break;
  }
  EXPECT_EQ(FormatFixedNotation(1.5f), "1.500000");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
}  // namespace pbo
