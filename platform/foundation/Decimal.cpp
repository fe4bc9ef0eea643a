#include "foundation/Decimal.h"

#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>

namespace platform {

namespace {

using Digits = std::vector<std::uint8_t>;  // most significant first

constexpr int kMinExponent = -128;
constexpr int kMaxExponent = 127;

int compareMagnitude(const Digits& a, int ea, const Digits& b, int eb) {
  if (a.empty() || b.empty()) return a.empty() ? (b.empty() ? 0 : -1) : 1;
  long adjustedA = static_cast<long>(a.size()) + ea;
  long adjustedB = static_cast<long>(b.size()) + eb;
  if (adjustedA != adjustedB) return adjustedA < adjustedB ? -1 : 1;
  std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    int da = i < a.size() ? a[i] : 0;
    int db = i < b.size() ? b[i] : 0;
    if (da != db) return da < db ? -1 : 1;
  }
  return 0;
}

// Both scaled to the smaller exponent, least significant first, same length.
void align(const Digits& a, int ea, const Digits& b, int eb, Digits& la, Digits& lb, int& e) {
  e = std::min(ea, eb);
  la.assign(static_cast<std::size_t>(ea - e), 0);
  la.insert(la.end(), a.rbegin(), a.rend());
  lb.assign(static_cast<std::size_t>(eb - e), 0);
  lb.insert(lb.end(), b.rbegin(), b.rend());
  std::size_t n = std::max(la.size(), lb.size());
  la.resize(n, 0);
  lb.resize(n, 0);
}

Digits fromLittleEndian(const Digits& little) {
  Digits out(little.rbegin(), little.rend());
  return out;
}

}  // namespace

Decimal::Decimal(std::int64_t value) {
  negative_ = value < 0;
  std::uint64_t magnitude = negative_ ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::string text = std::to_string(magnitude);
  for (char c : text) digits_.push_back(static_cast<std::uint8_t>(c - '0'));
  normalize();
}

void Decimal::normalize() {
  auto firstNonZero = std::find_if(digits_.begin(), digits_.end(), [](std::uint8_t d) { return d != 0; });
  digits_.erase(digits_.begin(), firstNonZero);
  while (!digits_.empty() && digits_.back() == 0) {
    digits_.pop_back();
    ++exponent_;
  }
  if (digits_.empty()) {
    negative_ = false;
    exponent_ = 0;
  }
}

void Decimal::limitDigits() {
  normalize();
  if (static_cast<int>(digits_.size()) <= kMaxDigits) return;
  std::size_t drop = digits_.size() - kMaxDigits;
  bool up = digits_[kMaxDigits] >= 5;
  digits_.resize(kMaxDigits);
  exponent_ += static_cast<int>(drop);
  if (up) {
    int i = kMaxDigits - 1;
    while (i >= 0 && digits_[static_cast<std::size_t>(i)] == 9) digits_[static_cast<std::size_t>(i--)] = 0;
    if (i < 0) {
      digits_.insert(digits_.begin(), 1);
    } else {
      digits_[static_cast<std::size_t>(i)]++;
    }
  }
  normalize();
}

std::optional<Decimal> Decimal::parse(std::string_view text) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  Decimal d;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative_ = text[i++] == '-';
  bool anyDigit = false;
  long fractionDigits = 0;
  bool inFraction = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      anyDigit = true;
      d.digits_.push_back(static_cast<std::uint8_t>(c - '0'));
      if (inFraction) ++fractionDigits;
    } else if (c == '.' && !inFraction) {
      inFraction = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return std::nullopt;
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    if (i >= text.size()) return std::nullopt;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > 100000) return std::nullopt;
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;
  long e = exponent - fractionDigits;
  if (e < -100000 || e > 100000) return std::nullopt;
  d.exponent_ = static_cast<int>(e);
  bool negative = d.negative_;
  d.limitDigits();
  if (!d.isZero()) d.negative_ = negative;
  if (d.exponent_ < kMinExponent - kMaxDigits || d.exponent_ > kMaxExponent) return std::nullopt;
  return d;
}

std::optional<Decimal> Decimal::fromDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return parse(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

std::string Decimal::toString() const {
  if (digits_.empty()) return "0";
  std::string out = negative_ ? "-" : "";
  std::string digits;
  for (auto d : digits_) digits += static_cast<char>('0' + d);
  if (exponent_ >= 0) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent_), '0');
    return out;
  }
  long point = static_cast<long>(digits.size()) + exponent_;
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

double Decimal::toDouble() const { return std::strtod(toString().c_str(), nullptr); }

std::optional<std::int64_t> Decimal::toInt64() const {
  long integerDigits = static_cast<long>(digits_.size()) + exponent_;
  if (integerDigits > 19) return std::nullopt;
  unsigned __int128 magnitude = 0;
  for (long i = 0; i < integerDigits; ++i) {
    magnitude = magnitude * 10 + (i < static_cast<long>(digits_.size()) ? digits_[static_cast<std::size_t>(i)] : 0);
  }
  const auto limit = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()) + (negative_ ? 1 : 0);
  if (magnitude > limit) return std::nullopt;
  if (negative_) return static_cast<std::int64_t>(-static_cast<__int128>(magnitude));
  return static_cast<std::int64_t>(magnitude);
}

Decimal Decimal::rounded(int scale, Rounding mode) const {
  if (digits_.empty() || -exponent_ <= scale) return *this;
  std::size_t drop = static_cast<std::size_t>(-exponent_ - scale);
  Digits digits = digits_;
  if (drop > digits.size()) digits.insert(digits.begin(), drop - digits.size(), 0);
  Digits kept(digits.begin(), digits.end() - static_cast<std::ptrdiff_t>(drop));
  std::uint8_t first = digits[kept.size()];
  bool restNonZero = std::any_of(digits.begin() + static_cast<std::ptrdiff_t>(kept.size()) + 1, digits.end(),
                                 [](std::uint8_t d) { return d != 0; });
  bool anyDropped = first != 0 || restNonZero;
  bool up = false;
  switch (mode) {
    case Rounding::Plain: up = first >= 5; break;
    case Rounding::Bankers:
      up = first > 5 || (first == 5 && (restNonZero || (!kept.empty() && kept.back() % 2 == 1)));
      break;
    case Rounding::Down: up = negative_ && anyDropped; break;
    case Rounding::Up: up = !negative_ && anyDropped; break;
  }
  Decimal out;
  out.negative_ = negative_;
  out.digits_ = kept;
  out.exponent_ = -scale;
  if (up) {
    int i = static_cast<int>(out.digits_.size()) - 1;
    while (i >= 0 && out.digits_[static_cast<std::size_t>(i)] == 9) out.digits_[static_cast<std::size_t>(i--)] = 0;
    if (i < 0) {
      out.digits_.insert(out.digits_.begin(), 1);
    } else {
      out.digits_[static_cast<std::size_t>(i)]++;
    }
  }
  out.limitDigits();
  return out;
}

Decimal Decimal::operator-() const {
  Decimal out = *this;
  if (!out.isZero()) out.negative_ = !out.negative_;
  return out;
}

Decimal operator+(const Decimal& a, const Decimal& b) {
  if (a.isZero()) return b;
  if (b.isZero()) return a;
  Digits la, lb;
  int e = 0;
  align(a.digits_, a.exponent_, b.digits_, b.exponent_, la, lb, e);
  Decimal out;
  out.exponent_ = e;
  Digits sum(la.size() + 1, 0);
  if (a.negative_ == b.negative_) {
    int carry = 0;
    for (std::size_t i = 0; i < la.size(); ++i) {
      int s = la[i] + lb[i] + carry;
      sum[i] = static_cast<std::uint8_t>(s % 10);
      carry = s / 10;
    }
    sum[la.size()] = static_cast<std::uint8_t>(carry);
    out.negative_ = a.negative_;
  } else {
    int cmp = compareMagnitude(a.digits_, a.exponent_, b.digits_, b.exponent_);
    if (cmp == 0) return Decimal();
    const Digits& big = cmp > 0 ? la : lb;
    const Digits& small = cmp > 0 ? lb : la;
    int borrow = 0;
    for (std::size_t i = 0; i < big.size(); ++i) {
      int s = big[i] - small[i] - borrow;
      borrow = s < 0 ? 1 : 0;
      sum[i] = static_cast<std::uint8_t>(s + borrow * 10);
    }
    out.negative_ = cmp > 0 ? a.negative_ : b.negative_;
  }
  out.digits_ = fromLittleEndian(sum);
  bool negative = out.negative_;
  out.limitDigits();
  if (!out.isZero()) out.negative_ = negative;
  return out;
}

Decimal operator-(const Decimal& a, const Decimal& b) { return a + (-b); }

Decimal operator*(const Decimal& a, const Decimal& b) {
  if (a.isZero() || b.isZero()) return Decimal();
  Digits product(a.digits_.size() + b.digits_.size(), 0);
  std::vector<int> acc(product.size(), 0);
  for (std::size_t i = 0; i < a.digits_.size(); ++i) {
    for (std::size_t j = 0; j < b.digits_.size(); ++j) {
      acc[a.digits_.size() - 1 - i + b.digits_.size() - 1 - j] += a.digits_[i] * b.digits_[j];
    }
  }
  int carry = 0;
  for (std::size_t k = 0; k < acc.size(); ++k) {
    int s = acc[k] + carry;
    product[k] = static_cast<std::uint8_t>(s % 10);
    carry = s / 10;
  }
  Decimal out;
  out.digits_ = fromLittleEndian(product);
  out.exponent_ = a.exponent_ + b.exponent_;
  bool negative = a.negative_ != b.negative_;
  out.limitDigits();
  out.negative_ = negative;
  return out;
}

std::strong_ordering operator<=>(const Decimal& a, const Decimal& b) {
  if (a.negative_ != b.negative_) return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  int cmp = compareMagnitude(a.digits_, a.exponent_, b.digits_, b.exponent_);
  if (a.negative_) cmp = -cmp;
  return cmp < 0 ? std::strong_ordering::less : (cmp > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

namespace {

std::unique_ptr<icu::NumberFormat> makeCurrencyFormatter(const std::string& locale, std::string_view currencyCode) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> formatter(icu::NumberFormat::createCurrencyInstance(icu::Locale(locale.c_str()), status));
  if (U_FAILURE(status) || !formatter) return nullptr;
  if (!currencyCode.empty()) {
    icu::UnicodeString code =
        icu::UnicodeString::fromUTF8(icu::StringPiece(currencyCode.data(), static_cast<int32_t>(currencyCode.size())));
    formatter->setCurrency(code.getTerminatedBuffer(), status);
    if (U_FAILURE(status)) return nullptr;
  }
  return formatter;
}

// Building a currency formatter (locale data, symbols, patterns) costs far more than formatting,
// and one formatter must not be used by two threads at once: every thread keeps its own, one per
// locale and currency code, for as long as it runs.
class CurrencyFormatters {
 public:
  ~CurrencyFormatters() { destroyed = true; }

  // The formatter of these settings (built on first use); null when ICU has none for them.
  icu::NumberFormat* formatter(const std::string& locale, std::string_view currencyCode) {
    std::string key = locale;
    key += '\0';
    key += currencyCode;
    auto it = formatters_.find(key);
    if (it == formatters_.end()) {
      // The settings come from callers: a caller cycling through many must not grow this forever.
      if (formatters_.size() >= kLimit) formatters_.clear();
      it = formatters_.emplace(std::move(key), makeCurrencyFormatter(locale, currencyCode)).first;
    }
    return it->second.get();
  }

  // Set once this thread's formatters are gone (the thread is ending); a format call made after
  // that, from another thread-local's destructor, builds a formatter of its own.
  static thread_local bool destroyed;

 private:
  static constexpr std::size_t kLimit = 32;
  std::map<std::string, std::unique_ptr<icu::NumberFormat>> formatters_;
};

thread_local bool CurrencyFormatters::destroyed = false;

}  // namespace

std::string formatCurrency(const Decimal& value, std::string_view locale, std::string_view currencyCode) {
  std::string localeName(locale);
  std::unique_ptr<icu::NumberFormat> ownFormatter;
  icu::NumberFormat* formatter = nullptr;
  if (CurrencyFormatters::destroyed) {
    ownFormatter = makeCurrencyFormatter(localeName, currencyCode);
    formatter = ownFormatter.get();
  } else {
    thread_local CurrencyFormatters formatters;
    formatter = formatters.formatter(localeName, currencyCode);
  }
  std::string text = value.toString();
  if (!formatter) return text;
  UErrorCode status = U_ZERO_ERROR;
  icu::Formattable number(icu::StringPiece(text.c_str()), status);
  icu::UnicodeString out;
  formatter->format(number, out, status);
  if (U_FAILURE(status)) return text;
  std::string result;
  out.toUTF8String(result);
  return result;
}

}  // namespace platform
