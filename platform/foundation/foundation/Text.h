// Text helpers over UTF-8 std::string: validity, lengths in code points and in UTF-16 units (the
// platform's string length), prefix/suffix, case mapping, comparisons (ICU) and number parsing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::text {

// The order of two texts: -1 ascending (a before b), 0 same, 1 descending.
enum class Ordering : int { Ascending = -1, Same = 0, Descending = 1 };

bool isValidUTF8(std::string_view s);
// Invalid bytes count as one code point (and one UTF-16 unit) each.
std::size_t codePointLength(std::string_view s);
std::size_t utf16Length(std::string_view s);
// The first `count` code points of `s` (all of `s` when it is shorter).
std::string codePointPrefix(std::string_view s, std::size_t count);

bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);
// `s` without leading and trailing ASCII white space (space, tab, line breaks, form feed).
std::string_view trimASCII(std::string_view s);
// Every byte of `s` for which `keep` is false written as "%XX" (upper-case hex); the rest as is.
std::string percentEncoded(std::string_view s, const std::function<bool(unsigned char)>& keep);

// Unicode case mapping (root locale).
std::string lowercase(std::string_view s);
std::string uppercase(std::string_view s);

// Unicode default case folding, for case-insensitive prefix, suffix, search and equality tests.
std::string foldCase(std::string_view s);
// Code-point order after Unicode case folding.
Ordering caseInsensitiveCompare(std::string_view a, std::string_view b);
// Collation of `locale` (an ICU/BCP-47 identifier such as "en_US"; empty means the process's
// default locale, see setDefaultLocale).
Ordering localizedCompare(std::string_view a, std::string_view b, std::string_view locale = {});
Ordering localizedCaseInsensitiveCompare(std::string_view a, std::string_view b,
                                         std::string_view locale = {});
// The locale used when none is given; "en_US_POSIX" until set.
void setDefaultLocale(std::string locale);
std::string defaultLocale();

// Strict parsing: the whole text (surrounding ASCII white space allowed) must be one number in
// range; otherwise empty. Integers are decimal with an optional sign.
std::optional<std::int64_t> parseInt64(std::string_view s);
std::optional<std::uint64_t> parseUInt64(std::string_view s);
std::optional<double> parseDouble(std::string_view s);

// Lenient parsing as the platform's string-to-number accessors do: skip leading white space,
// read the longest numeric prefix, 0 when there is none; out-of-range integers saturate.
std::int64_t leadingInt64(std::string_view s);
double leadingDouble(std::string_view s);
// "Y", "y", "T", "t" or a non-zero digit after optional white space, signs and zeros → true.
bool leadingBool(std::string_view s);

}  // namespace platform::text
