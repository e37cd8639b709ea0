// Locale-independent decimal text for the floating-point values of a mission. Internal to
// mission/ and its tests.
#pragma once

#include <string>

namespace pbo {

// Writes value in the mission text's fixed notation. The exact binary value is rounded
// twice: first to 18 significant digits, then to 6 decimals, each time rounding away from
// zero when the first dropped digit is 5 or more (so 0.0078125 gives "0.007813"). The text
// is an optional "-", at least one integer digit, "." and exactly six decimals; "-" is left
// out when the rounded value is zero, so -0.0 and -0.0000001 both give "0.000000".
// A value of 10^18 or more in magnitude (after the first rounding) is written as its first
// digit, then "." and its remaining significant digits without trailing zeros if there are
// any, then "E" and the decimal exponent ("1.00000002004087734E20"). Infinities give "INF"
// and "-INF", NaNs give "NAN". The result never depends on the locale or rounding mode.
[[nodiscard]] std::string FormatFixedNotation(double value);

}  // namespace pbo
