// Regular expressions in the platform's (ICU) syntax over UTF-8 text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Error.h"

namespace platform {

class RegularExpression {
 public:
  enum Options : unsigned {
    None = 0,
    CaseInsensitive = 1u << 0,
    AllowCommentsAndWhitespace = 1u << 1,
    DotMatchesLineSeparators = 1u << 3,
    AnchorsMatchLines = 1u << 4,
  };
  struct Match {
    std::size_t location;  // byte offset in the UTF-8 text
    std::size_t length;    // in bytes
  };
  // Bounds on one call over one text, for expressions from outside: ICU's time limit in its
  // steps (each 10,000 operations of the matching engine, about a millisecond at most) and the
  // memory its backtracking may take, in bytes. 0 leaves ICU's own (no time limit, 8 MB).
  struct Limits {
    std::int32_t timeSteps = 0;
    std::int32_t stackBytes = 0;
  };

  // Compiles `pattern`; on a syntax error answers nullptr and an error (Cocoa domain, 2048).
  static std::shared_ptr<const RegularExpression> make(std::string_view pattern, unsigned options = None,
                                                       Error* error = nullptr);

  const std::string& pattern() const { return pattern_; }
  // The first match anywhere in `text`.
  std::optional<Match> firstMatch(std::string_view text) const;
  bool search(std::string_view text) const { return firstMatch(text).has_value(); }
  // Whether `text` holds a match, found within `limits`; nothing, and an error (Cocoa domain,
  // 2048) naming the limit, when a limit ran out first.
  std::optional<bool> search(std::string_view text, const Limits& limits, Error* error = nullptr) const;
  // Whether the whole of `text` matches.
  bool matchesEntirely(std::string_view text) const;
  std::size_t numberOfMatches(std::string_view text) const;

  struct Impl;
  explicit RegularExpression(std::shared_ptr<Impl> impl, std::string pattern)
      : impl_(std::move(impl)), pattern_(std::move(pattern)) {}

 private:
  std::shared_ptr<Impl> impl_;
  std::string pattern_;
};

}  // namespace platform
