#include "foundation/RegularExpression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include "foundation/Files.h"

namespace platform {

struct RegularExpression::Impl {
  std::unique_ptr<icu::RegexPattern> pattern;
};

namespace {

// Runs `f` with a matcher over `text` (read in place as UTF-8, so offsets are byte offsets).
template <typename F>
auto withMatcher(const icu::RegexPattern& pattern, std::string_view text, F f,
                 const RegularExpression::Limits& limits = {}) {
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(status));
  if (U_SUCCESS(status) && matcher) matcher->reset(ut);
  if (U_SUCCESS(status) && matcher && limits.timeSteps > 0) matcher->setTimeLimit(limits.timeSteps, status);
  if (U_SUCCESS(status) && matcher && limits.stackBytes > 0) matcher->setStackLimit(limits.stackBytes, status);
  auto result = f(U_SUCCESS(status) && matcher ? matcher.get() : nullptr);
  matcher.reset();
  utext_close(ut);
  return result;
}

}  // namespace

std::shared_ptr<const RegularExpression> RegularExpression::make(std::string_view pattern, unsigned options,
                                                                 Error* error) {
  uint32_t flags = 0;
  if (options & CaseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
  if (options & AllowCommentsAndWhitespace) flags |= UREGEX_COMMENTS;
  if (options & DotMatchesLineSeparators) flags |= UREGEX_DOTALL;
  if (options & AnchorsMatchLines) flags |= UREGEX_MULTILINE;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  auto impl = std::make_shared<Impl>();
  impl->pattern.reset(icu::RegexPattern::compile(
      icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))), flags,
      parseError, status));
  if (U_FAILURE(status) || !impl->pattern) {
    setError(error, files::kCocoaErrorDomain, 2048,
             "The value \"" + std::string(pattern) + "\" is invalid (" + u_errorName(status) + ").",
             Value::dictionary({{"NSInvalidValue", std::string(pattern)}}));
    return nullptr;
  }
  return std::make_shared<RegularExpression>(std::move(impl), std::string(pattern));
}

std::optional<RegularExpression::Match> RegularExpression::firstMatch(std::string_view text) const {
  return withMatcher(*impl_->pattern, text, [](icu::RegexMatcher* m) -> std::optional<Match> {
    if (m == nullptr || !m->find()) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    int64_t start = m->start64(status);
    int64_t end = m->end64(status);
    if (U_FAILURE(status)) return std::nullopt;
    return Match{static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)};
  });
}

std::optional<bool> RegularExpression::search(std::string_view text, const Limits& limits, Error* error) const {
  UErrorCode status = U_ZERO_ERROR;
  const bool found = withMatcher(
      *impl_->pattern, text,
      [&status](icu::RegexMatcher* m) -> bool {
        if (m == nullptr) {
          status = U_MEMORY_ALLOCATION_ERROR;
          return false;
        }
        return static_cast<bool>(m->find(0, status));
      },
      limits);
  if (U_SUCCESS(status)) return found;
  const char* reason = status == U_REGEX_TIME_OUT         ? "ran out of time"
                       : status == U_REGEX_STACK_OVERFLOW ? "ran out of backtracking memory"
                                                          : "failed";
  setError(error, files::kCocoaErrorDomain, 2048,
           std::string("Matching the expression ") + reason + " (" + u_errorName(status) + ").");
  return std::nullopt;
}

bool RegularExpression::matchesEntirely(std::string_view text) const {
  return withMatcher(*impl_->pattern, text, [](icu::RegexMatcher* m) {
    UErrorCode status = U_ZERO_ERROR;
    return m != nullptr && m->matches(status) && U_SUCCESS(status);
  });
}

std::size_t RegularExpression::numberOfMatches(std::string_view text) const {
  return withMatcher(*impl_->pattern, text, [](icu::RegexMatcher* m) {
    std::size_t n = 0;
    while (m != nullptr && m->find()) ++n;
    return n;
  });
}

}  // namespace platform
