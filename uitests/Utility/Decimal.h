// An exact decimal number for money: a signed 64-bit coefficient and a count of fraction digits.
// Parsing keeps every digit given; arithmetic is exact and throws std::overflow_error rather than
// wrap around.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class Decimal {
 public:
  // Most fraction digits a Decimal keeps.
  static constexpr int kMaxScale = 18;

  Decimal() = default;
  Decimal(std::int64_t whole) : coefficient_(whole), scale_(0) {}  // NOLINT: implicit on purpose
  static Decimal fromParts(std::int64_t coefficient, int scale);

  // Plain decimal text: optional sign, digits, optional "." and digits ("12", "-0.50", ".5").
  // No grouping, no exponent, no blanks. Empty optional when the text is not such a number or does
  // not fit.
  static std::optional<Decimal> fromString(std::string_view text);

  std::int64_t coefficient() const { return coefficient_; }
  int scale() const { return scale_; }
  bool isZero() const { return coefficient_ == 0; }
  bool isNegative() const { return coefficient_ < 0; }

  // Rounded to `digits` fraction digits, ties to the even neighbour (the platform formatters'
  // default rounding).
  Decimal roundedHalfEven(int digits) const;
  // Trailing fraction zeros removed ("1.50" becomes "1.5").
  Decimal normalized() const;

  // Plain text with exactly the digits the value carries: "-1234.50".
  std::string toString() const;

  Decimal operator-() const;
  friend Decimal operator+(const Decimal& a, const Decimal& b);
  friend Decimal operator-(const Decimal& a, const Decimal& b);
  friend bool operator==(const Decimal& a, const Decimal& b);
  friend bool operator<(const Decimal& a, const Decimal& b);
  friend bool operator!=(const Decimal& a, const Decimal& b) { return !(a == b); }
  friend bool operator>(const Decimal& a, const Decimal& b) { return b < a; }
  friend bool operator<=(const Decimal& a, const Decimal& b) { return !(b < a); }
  friend bool operator>=(const Decimal& a, const Decimal& b) { return !(a < b); }

 private:
  // Both coefficients brought to the larger scale.
  static void align(Decimal& a, Decimal& b);
  Decimal withScale(int scale) const;

  std::int64_t coefficient_ = 0;
  int scale_ = 0;
};
