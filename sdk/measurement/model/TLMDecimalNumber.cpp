#include "measurement/model/TLMDecimalNumber.h"

#include <algorithm>
#include <cstdlib>

TLMDecimalNumber::TLMDecimalNumber(std::int64_t value) {
  negative_ = value < 0;
  // Negate in unsigned arithmetic so that the minimum int64 does not overflow.
  std::uint64_t magnitude = static_cast<std::uint64_t>(value);
  if (negative_) magnitude = ~magnitude + 1u;
  mantissa_ = magnitude;
  normalize();
}

std::optional<TLMDecimalNumber> TLMDecimalNumber::fromString(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::string digits;
  std::int64_t exponent = 0;
  bool sawDigit = false;
  bool sawPoint = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      sawDigit = true;
      if (sawPoint) --exponent;
      if (digits.empty() && c == '0') continue;  // leading zeros are not significant
      digits.push_back(c);
    } else if (c == '.' && !sawPoint) {
      sawPoint = true;
    } else {
      return std::nullopt;
    }
  }
  if (!sawDigit) return std::nullopt;
  if (digits.size() > static_cast<std::size_t>(kMaxSignificantDigits)) {
    exponent += static_cast<std::int64_t>(digits.size()) - kMaxSignificantDigits;
    digits.resize(kMaxSignificantDigits);
  }
  TLMDecimalNumber out;
  for (char c : digits) out.mantissa_ = out.mantissa_ * 10u + static_cast<unsigned>(c - '0');
  out.negative_ = negative;
  // Trailing zeros of the mantissa move into the exponent before the range check.
  while (out.mantissa_ != 0 && out.mantissa_ % 10u == 0) {
    out.mantissa_ /= 10u;
    ++exponent;
  }
  if (out.mantissa_ == 0) return TLMDecimalNumber();
  if (exponent < kMinExponent || exponent > kMaxExponent) return std::nullopt;
  out.exponent_ = static_cast<std::int32_t>(exponent);
  return out;
}

void TLMDecimalNumber::normalize() {
  if (mantissa_ == 0) {
    negative_ = false;
    exponent_ = 0;
    return;
  }
  while (mantissa_ % 10u == 0) {
    mantissa_ /= 10u;
    ++exponent_;
  }
}

TLMDecimalNumber TLMDecimalNumber::negated() const {
  TLMDecimalNumber out = *this;
  if (!out.isZero()) out.negative_ = !out.negative_;
  return out;
}

std::string TLMDecimalNumber::mantissaDigits() const {
  if (mantissa_ == 0) return "0";
  std::string out;
  Mantissa m = mantissa_;
  while (m != 0) {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(m % 10u)));
    m /= 10u;
  }
  return out;
}

std::string TLMDecimalNumber::description() const {
  if (isZero()) return "0";
  std::string digits = mantissaDigits();
  std::string out = negative_ ? "-" : "";
  if (exponent_ >= 0) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent_), '0');
    return out;
  }
  const std::size_t fraction = static_cast<std::size_t>(-exponent_);
  if (digits.size() <= fraction) {
    out += "0.";
    out.append(fraction - digits.size(), '0');
    out += digits;
  } else {
    out += digits.substr(0, digits.size() - fraction);
    out += ".";
    out += digits.substr(digits.size() - fraction);
  }
  return out;
}

double TLMDecimalNumber::doubleValue() const { return std::strtod(description().c_str(), nullptr); }

bool operator==(const TLMDecimalNumber& a, const TLMDecimalNumber& b) {
  return a.negative_ == b.negative_ && a.mantissa_ == b.mantissa_ && a.exponent_ == b.exponent_;
}

std::strong_ordering operator<=>(const TLMDecimalNumber& a, const TLMDecimalNumber& b) {
  if (a.negative_ != b.negative_) {
    return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  // Compare magnitudes: first by the position of the leading digit, then digit by digit.
  std::strong_ordering magnitude = std::strong_ordering::equal;
  if (a.isZero() || b.isZero()) {
    magnitude = a.isZero() == b.isZero() ? std::strong_ordering::equal
                : a.isZero()            ? std::strong_ordering::less
                                        : std::strong_ordering::greater;
  } else {
    const std::string da = a.mantissaDigits();
    const std::string db = b.mantissaDigits();
    const std::int64_t leadA = static_cast<std::int64_t>(da.size()) + a.exponent_;
    const std::int64_t leadB = static_cast<std::int64_t>(db.size()) + b.exponent_;
    if (leadA != leadB) {
      magnitude = leadA <=> leadB;
    } else {
      const std::size_t n = std::max(da.size(), db.size());
      const std::string pa = da + std::string(n - da.size(), '0');
      const std::string pb = db + std::string(n - db.size(), '0');
      const int c = pa.compare(pb);
      magnitude = c < 0 ? std::strong_ordering::less
                  : c > 0 ? std::strong_ordering::greater
                          : std::strong_ordering::equal;
    }
  }
  if (!a.negative_) return magnitude;
  return magnitude == std::strong_ordering::less      ? std::strong_ordering::greater
         : magnitude == std::strong_ordering::greater ? std::strong_ordering::less
                                                      : std::strong_ordering::equal;
}
