#include "mission/fixed_notation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pbo {
namespace {

// Significant digits kept by the first rounding; values with more integer digits than this
// are written in scientific form.
constexpr int kSignificantDigits = 18;
constexpr int kDecimals = 6;

// A non-negative decimal number: Digits (no leading zeros; empty for zero) times
// 10^Exponent.
struct Decimal {
  std::string Digits;
  int Exponent = 0;
};

// A natural number in base 10^9 limbs, least significant first. The exact decimal value of
// a double needs at most 767 significant digits, so a few dozen limbs.
class BigNatural {
 public:
  explicit BigNatural(std::uint64_t value) {
    while (value != 0) {
      limbs_.push_back(static_cast<std::uint32_t>(value % kBase));
      value /= kBase;
    }
  }

  void MultiplyByPower(std::uint32_t base, int exponent) {
    // Multiply by the largest power of base below 2^31 at a time, then by the rest.
    std::uint32_t chunk = 1;
    int chunkExponent = 0;
    while (chunk <= (std::uint32_t{1} << 31) / base) {
      chunk *= base;
      ++chunkExponent;
    }
    for (; exponent >= chunkExponent; exponent -= chunkExponent) MultiplyBy(chunk);
    for (; exponent > 0; --exponent) MultiplyBy(base);
  }

  std::string ToDigits() const {
    if (limbs_.empty()) return {};
    std::string digits = std::to_string(limbs_.back());
    for (auto limb = limbs_.rbegin() + 1; limb != limbs_.rend(); ++limb) {
      const std::string part = std::to_string(*limb);
      digits.append(kLimbDigits - part.size(), '0');
      digits += part;
    }
    return digits;
  }

 private:
  static constexpr std::uint32_t kBase = 1000000000;
  static constexpr std::size_t kLimbDigits = 9;

  void MultiplyBy(std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : limbs_) {
      const std::uint64_t product = std::uint64_t{limb} * factor + carry;
      limb = static_cast<std::uint32_t>(product % kBase);
      carry = product / kBase;
    }
    while (carry != 0) {
      limbs_.push_back(static_cast<std::uint32_t>(carry % kBase));
      carry /= kBase;
    }
  }

  std::vector<std::uint32_t> limbs_;
};

// The exact decimal value of a finite, non-negative double. A double is m × 2^e with an
// integer m; for e < 0 that is m × 5^-e × 10^e, so every value has a finite expansion.
Decimal ExactDecimal(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent = -1074;  // subnormals
  if (biasedExponent != 0) {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biasedExponent - 1075;
  }
  BigNatural number(mantissa);
  Decimal decimal;
  if (exponent >= 0) {
    number.MultiplyByPower(2, exponent);
  } else {
    number.MultiplyByPower(5, -exponent);
    decimal.Exponent = exponent;
  }
  decimal.Digits = number.ToDigits();
  return decimal;
}

// Adds one unit in the last place of a digit string; "" counts as 0 and "99" becomes "100".
void IncrementDigits(std::string& digits) {
  std::size_t i = digits.size();
  while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
  if (i == 0) {
    digits.insert(digits.begin(), '1');
  } else {
    ++digits[i - 1];
  }
}

// Keeps the first `keep` digits (none when keep <= 0) and rounds away from zero when the
// first dropped digit is 5 or more. Only that one digit is looked at.
void RoundToDigitCount(Decimal& decimal, int keep) {
  const int size = static_cast<int>(decimal.Digits.size());
  if (keep >= size) return;
  const bool roundUp = keep >= 0 && decimal.Digits[static_cast<std::size_t>(keep)] >= '5';
  decimal.Exponent += size - keep;
  decimal.Digits.resize(static_cast<std::size_t>(std::max(keep, 0)));
  if (roundUp) IncrementDigits(decimal.Digits);
}

int IntegerDigitCount(const Decimal& decimal) {
  if (decimal.Digits.empty()) return 0;
  return static_cast<int>(decimal.Digits.size()) + decimal.Exponent;
}

std::string ScientificText(bool negative, Decimal decimal) {
  const int power = IntegerDigitCount(decimal) - 1;
  const std::size_t lastNonZero = decimal.Digits.find_last_not_of('0');
  decimal.Digits.resize(lastNonZero + 1);
  std::string text = negative ? "-" : "";
  text += decimal.Digits[0];
  if (decimal.Digits.size() > 1) {
    text += '.';
    text.append(decimal.Digits, 1, std::string::npos);
  }
  return text + 'E' + std::to_string(power);
}

std::string FixedText(bool negative, Decimal decimal) {
  RoundToDigitCount(decimal, IntegerDigitCount(decimal) + kDecimals);
  // Now the value is a whole number of millionths: scale it to exactly that.
  std::string millionths = decimal.Digits;
  if (decimal.Exponent > -kDecimals) millionths.append(decimal.Exponent + kDecimals, '0');
  const bool isZero = millionths.find_first_not_of('0') == std::string::npos;
  if (millionths.size() < kDecimals + 1) {
    millionths.insert(0, kDecimals + 1 - millionths.size(), '0');
  }
  std::string text = negative && !isZero ? "-" : "";
  text.append(millionths, 0, millionths.size() - kDecimals);
  text += '.';
  text.append(millionths, millionths.size() - kDecimals, kDecimals);
  return text;
}

}  // namespace

std::string FormatFixedNotation(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  Decimal decimal = ExactDecimal(std::fabs(value));
  RoundToDigitCount(decimal, kSignificantDigits);
  const bool negative = std::signbit(value);
  if (IntegerDigitCount(decimal) > kSignificantDigits) return ScientificText(negative, decimal);
  return FixedText(negative, decimal);
}

}  // namespace pbo
