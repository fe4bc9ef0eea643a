// The one exception type for programming errors: a name (such as "NSInvalidArgumentException")
// and a reason text.
#pragma once

#include <exception>
#include <string>

#include "foundation/Value.h"

namespace platform {

// Names the platform uses for its own programming-error exceptions.
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kRangeException = "NSRangeException";

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Value userInfo = Value())
      : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

  const std::string& name() const noexcept { return name_; }
  const std::string& reason() const noexcept { return reason_; }
  const Value& userInfo() const noexcept { return userInfo_; }
  // The reason text.
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  Value userInfo_;
};

}  // namespace platform
