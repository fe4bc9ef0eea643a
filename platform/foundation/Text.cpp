#include "foundation/Text.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <charconv>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

namespace platform::text {

namespace {

// Decodes one code point at `s[i]`. Returns its byte length (0 when the bytes at `i` do not
// start a valid, shortest-form sequence of a scalar value).
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t length;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

icu::UnicodeString toICU(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string fromICU(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

Ordering fromInt(int r) {
  return r < 0 ? Ordering::Ascending : (r > 0 ? Ordering::Descending : Ordering::Same);
}

std::mutex& localeMutex() {
  static std::mutex m;
  return m;
}

std::string& defaultLocaleStorage() {
  static std::string& locale = *new std::string("en_US");
  return locale;
}

// Collators are costly to make: one per locale and strength, kept for the process. Comparing
// through a shared collator is guarded by the same mutex.
Ordering collate(std::string_view a, std::string_view b, std::string_view locale, bool ignoreCase) {
  // Never destroyed: threads may outlive main().
  static auto* cache = new std::map<std::string, std::unique_ptr<icu::Collator>>();
  std::lock_guard<std::mutex> lock(localeMutex());
  std::string name(locale.empty() ? defaultLocaleStorage() : std::string(locale));
  std::string key = name + (ignoreCase ? "|ci" : "|cs");
  auto it = cache->find(key);
  if (it == cache->end()) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale(name.c_str()), status));
    if (U_FAILURE(status) || !collator) {
      status = U_ZERO_ERROR;
      collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    }
    if (!collator) return fromInt(a.compare(b));
    if (ignoreCase) collator->setStrength(icu::Collator::SECONDARY);
    it = cache->emplace(key, std::move(collator)).first;
  }
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = it->second->compare(toICU(a), toICU(b), status);
  if (U_FAILURE(status)) return fromInt(a.compare(b));
  return fromInt(static_cast<int>(r));
}


std::string_view skipLeadingSpace(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || (s.front() >= '\t' && s.front() <= '\r'))) s.remove_prefix(1);
  return s;
}

}  // namespace

bool isValidUTF8(std::string_view s) {
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = decode(s, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::size_t codePointLength(std::string_view s) {
  std::size_t count = 0;
  char32_t cp;
  for (std::size_t i = 0; i < s.size(); ++count) {
    std::size_t n = decode(s, i, cp);
    i += n == 0 ? 1 : n;
  }
  return count;
}

std::size_t utf16Length(std::string_view s) {
  std::size_t count = 0;
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = decode(s, i, cp);
    if (n == 0) {
      ++count;
      ++i;
    } else {
      count += cp >= 0x10000 ? 2 : 1;
      i += n;
    }
  }
  return count;
}

std::string codePointPrefix(std::string_view s, std::size_t count) {
  std::size_t i = 0;
  char32_t cp;
  for (std::size_t taken = 0; taken < count && i < s.size(); ++taken) {
    std::size_t n = decode(s, i, cp);
    i += n == 0 ? 1 : n;
  }
  return std::string(s.substr(0, i));
}

bool hasPrefix(std::string_view s, std::string_view prefix) { return s.starts_with(prefix); }
bool hasSuffix(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

std::string lowercase(std::string_view s) { return fromICU(toICU(s).toLower(icu::Locale::getRoot())); }
std::string uppercase(std::string_view s) { return fromICU(toICU(s).toUpper(icu::Locale::getRoot())); }

std::string foldCase(std::string_view s) { return fromICU(toICU(s).foldCase(U_FOLD_CASE_DEFAULT)); }

Ordering caseInsensitiveCompare(std::string_view a, std::string_view b) {
  return fromInt(toICU(a).caseCompare(toICU(b), U_FOLD_CASE_DEFAULT));
}

Ordering localizedCompare(std::string_view a, std::string_view b, std::string_view locale) {
  return collate(a, b, locale, false);
}

Ordering localizedCaseInsensitiveCompare(std::string_view a, std::string_view b, std::string_view locale) {
  return collate(a, b, locale, true);
}

void setDefaultLocale(std::string locale) {
  std::lock_guard<std::mutex> lock(localeMutex());
  defaultLocaleStorage() = std::move(locale);
}

std::string defaultLocale() {
  std::lock_guard<std::mutex> lock(localeMutex());
  return defaultLocaleStorage();
}

std::optional<std::int64_t> parseInt64(std::string_view s) {
  s = trimASCII(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return std::nullopt;
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> parseUInt64(std::string_view s) {
  s = trimASCII(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '-' || s.front() == '+') return std::nullopt;
  std::uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<double> parseDouble(std::string_view s) {
  s = trimASCII(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  return value;
}

std::int64_t leadingInt64(std::string_view s) {
  s = skipLeadingSpace(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) {
      overflow = true;
      break;
    }
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
  }
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (overflow || magnitude > kMax + 1) return std::numeric_limits<std::int64_t>::min();
    return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                 : -static_cast<std::int64_t>(magnitude);
  }
  if (overflow || magnitude > kMax) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(magnitude);
}

double leadingDouble(std::string_view s) {
  s = skipLeadingSpace(s);
  if (s.empty() || !((s.front() >= '0' && s.front() <= '9') || s.front() == '.' || s.front() == '-' ||
                     s.front() == '+')) {
    return 0.0;
  }
  // strtod reads the longest prefix, saturates to infinity and underflows to zero.
  std::string copy(s);
  return std::strtod(copy.c_str(), nullptr);
}

bool leadingBool(std::string_view s) {
  s = skipLeadingSpace(s);
  while (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
  while (!s.empty() && s.front() == '0') s.remove_prefix(1);
  if (s.empty()) return false;
  char c = s.front();
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::string_view trimASCII(std::string_view s) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string percentEncoded(std::string_view s, const std::function<bool(unsigned char)>& keep) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (keep(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace platform::text
