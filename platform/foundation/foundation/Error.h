// Recoverable failures: an operation returns its result and, through an optional `Error*`
// out-parameter, what went wrong.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Value.h"

namespace platform {

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;  // human-readable text (the localized description)
  Value userInfo;           // a dictionary of further details, or null

  Error() = default;
  Error(std::string domain, std::int64_t code, std::string description, Value userInfo = Value())
      : domain(std::move(domain)),
        code(code),
        description(std::move(description)),
        userInfo(std::move(userInfo)) {}

  // "Error Domain=<domain> Code=<code> \"<description>\"" plus " UserInfo=<description>" when
  // there is user info.
  std::string fullDescription() const;

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain == b.domain && a.code == b.code && a.description == b.description &&
           a.userInfo == b.userInfo;
  }
};

// Stores `error` into `*out` when `out` is not null. Always returns false, so a failing
// operation can end with `return setError(error, ...);`.
inline bool setError(Error* out, Error error) {
  if (out != nullptr) *out = std::move(error);
  return false;
}
inline bool setError(Error* out, std::string domain, std::int64_t code, std::string description,
                     Value userInfo = Value()) {
  return setError(out, Error(std::move(domain), code, std::move(description), std::move(userInfo)));
}

}  // namespace platform
