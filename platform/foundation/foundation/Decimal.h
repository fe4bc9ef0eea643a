// Exact decimal numbers (the platform's decimal number): up to 38 significant digits, kept
// without binary rounding, so "0.1" + "0.2" == "0.3" and comparisons are exact.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Decimal {
 public:
  static constexpr int kMaxDigits = 38;
  enum class Rounding { Plain /* half away from zero */, Down /* toward -inf */, Up /* toward +inf */, Bankers };

  Decimal() = default;  // zero
  Decimal(std::int64_t value);  // NOLINT(implicit)
  // Plain decimal text: optional sign, digits with an optional "." and fraction (at least one
  // digit in all), optional exponent "e[+-]digits"; surrounding ASCII white space allowed.
  // Digits beyond 38 significant ones are rounded (plain). Empty for anything else.
  static std::optional<Decimal> parse(std::string_view text);
  // The shortest decimal text that reads back as `value` (empty for NaN and infinities).
  static std::optional<Decimal> fromDouble(double value);

  bool isZero() const { return digits_.empty(); }
  bool isNegative() const { return negative_; }
  // Plain text, no exponent, no trailing fraction zeros: "1200", "-0.05", "0".
  std::string toString() const;
  double toDouble() const;
  // Truncated toward zero; empty when out of the int64 range.
  std::optional<std::int64_t> toInt64() const;
  // Rounded to `scale` fraction digits (a negative scale rounds to tens, hundreds, ...).
  Decimal rounded(int scale, Rounding mode = Rounding::Plain) const;

  friend Decimal operator+(const Decimal& a, const Decimal& b);
  friend Decimal operator-(const Decimal& a, const Decimal& b);
  friend Decimal operator*(const Decimal& a, const Decimal& b);
  Decimal operator-() const;
  friend std::strong_ordering operator<=>(const Decimal& a, const Decimal& b);
  friend bool operator==(const Decimal& a, const Decimal& b) = default;

 private:
  void normalize();
  void limitDigits();
  // value = (-1)^negative_ * digits_ (most significant first, no leading or trailing zeros) * 10^exponent_
  bool negative_ = false;
  std::vector<std::uint8_t> digits_;
  int exponent_ = 0;
};

// Currency text of `value` in `locale` ("en_US" gives "$1,234.56", "-$1.50"), grouping on, the
// currency's fraction digits (rounded half-even). `currencyCode` overrides the locale's currency.
std::string formatCurrency(const Decimal& value, std::string_view locale = "en_US",
                           std::string_view currencyCode = {});

}  // namespace platform
