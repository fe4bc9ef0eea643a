// An exact decimal number of up to 38 significant digits: sign, integer mantissa and a power of
// ten. Used where the library reads numbers from text (numeric parameters, audience filters)
// without the rounding of binary floating point.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class TLMDecimalNumber {
 public:
  static constexpr int kMaxSignificantDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  TLMDecimalNumber() = default;  // zero
  explicit TLMDecimalNumber(std::int64_t value);

  // Reads plain decimal text: an optional sign, digits, an optional point and digits (no
  // exponent, no blanks). Digits past the 38th significant one are dropped (truncated), as the
  // platform's decimal type does; empty for any other text or an exponent out of range.
  static std::optional<TLMDecimalNumber> fromString(std::string_view text);

  bool isNegative() const { return negative_; }
  bool isZero() const { return mantissa_ == 0; }
  TLMDecimalNumber negated() const;
  double doubleValue() const;
  // The canonical text: no exponent, no trailing zeros after the point, "0" for zero
  // ("2.5", "-0.25", "7", "1000").
  std::string description() const;

  friend bool operator==(const TLMDecimalNumber& a, const TLMDecimalNumber& b);
  friend std::strong_ordering operator<=>(const TLMDecimalNumber& a, const TLMDecimalNumber& b);

 private:
  __extension__ typedef unsigned __int128 Mantissa;
  std::string mantissaDigits() const;
  void normalize();

  bool negative_ = false;
  Mantissa mantissa_ = 0;
  std::int32_t exponent_ = 0;
};
