#include "Utility/Decimal.h"

#include <stdexcept>

namespace {

std::int64_t checkedMul(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) throw std::overflow_error("Decimal overflow");
  return r;
}

std::int64_t checkedAdd(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) throw std::overflow_error("Decimal overflow");
  return r;
}

std::int64_t pow10(int n) {
  std::int64_t r = 1;
  for (int i = 0; i < n; ++i) r = checkedMul(r, 10);
  return r;
}

}  // namespace

Decimal Decimal::fromParts(std::int64_t coefficient, int scale) {
  if (scale < 0 || scale > kMaxScale) throw std::invalid_argument("Decimal scale out of range");
  Decimal d;
  d.coefficient_ = coefficient;
  d.scale_ = scale;
  return d;
}

std::optional<Decimal> Decimal::fromString(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t coefficient = 0;
  int scale = 0;
  bool digits = false;
  bool point = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    digits = true;
    if (point) {
      if (scale == kMaxScale) return std::nullopt;
      ++scale;
    }
    if (__builtin_mul_overflow(coefficient, 10, &coefficient) ||
        __builtin_add_overflow(coefficient, c - '0', &coefficient)) {
      return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;
  return fromParts(negative ? -coefficient : coefficient, scale);
}

Decimal Decimal::withScale(int scale) const {
  if (scale <= scale_) return *this;
  return fromParts(checkedMul(coefficient_, pow10(scale - scale_)), scale);
}

void Decimal::align(Decimal& a, Decimal& b) {
  int scale = a.scale_ > b.scale_ ? a.scale_ : b.scale_;
  a = a.withScale(scale);
  b = b.withScale(scale);
}

Decimal Decimal::roundedHalfEven(int digits) const {
  if (digits < 0) digits = 0;
  if (digits >= scale_) return *this;
  std::int64_t divisor = pow10(scale_ - digits);
  std::int64_t quotient = coefficient_ / divisor;
  std::int64_t remainder = coefficient_ % divisor;
  std::int64_t absRemainder = remainder < 0 ? -remainder : remainder;
  std::int64_t twice = absRemainder * 2;  // divisor <= 10^18, so this fits
  bool up = twice > divisor || (twice == divisor && quotient % 2 != 0);
  if (up) quotient += coefficient_ < 0 ? -1 : 1;
  return fromParts(quotient, digits);
}

Decimal Decimal::normalized() const {
  Decimal d = *this;
  while (d.scale_ > 0 && d.coefficient_ % 10 == 0) {
    d.coefficient_ /= 10;
    --d.scale_;
  }
  return d;
}

std::string Decimal::toString() const {
  std::uint64_t magnitude = coefficient_ < 0 ? static_cast<std::uint64_t>(-(coefficient_ + 1)) + 1
                                             : static_cast<std::uint64_t>(coefficient_);
  std::string digits = std::to_string(magnitude);
  if (scale_ > 0) {
    if (digits.size() <= static_cast<std::size_t>(scale_)) {
      digits.insert(0, static_cast<std::size_t>(scale_) + 1 - digits.size(), '0');
    }
    digits.insert(digits.size() - static_cast<std::size_t>(scale_), ".");
  }
  return (coefficient_ < 0 ? "-" : "") + digits;
}

Decimal Decimal::operator-() const {
  if (coefficient_ == INT64_MIN) throw std::overflow_error("Decimal overflow");
  return fromParts(-coefficient_, scale_);
}

Decimal operator+(const Decimal& a, const Decimal& b) {
  Decimal x = a, y = b;
  Decimal::align(x, y);
  return Decimal::fromParts(checkedAdd(x.coefficient_, y.coefficient_), x.scale_);
}

Decimal operator-(const Decimal& a, const Decimal& b) { return a + (-b); }

bool operator==(const Decimal& a, const Decimal& b) {
  Decimal x = a.normalized(), y = b.normalized();
  return x.coefficient_ == y.coefficient_ && x.scale_ == y.scale_;
}

bool operator<(const Decimal& a, const Decimal& b) {
  Decimal x = a, y = b;
  Decimal::align(x, y);
  return x.coefficient_ < y.coefficient_;
}
