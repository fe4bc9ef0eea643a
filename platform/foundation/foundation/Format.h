// printf-style formatting with the platform's extra conversion %@ (an object's description).
//
//   std::string s = platform::format("Event %@ has %d parameters (%.2f%%)", name, count, share);
//
// Each argument becomes a FormatArg, which remembers what it holds; the conversion picks how to
// print it, so length modifiers (h, hh, l, ll, q, z, t, j, L) are accepted and ignored: an
// argument is never misread whatever modifier the format uses.
//
// Conversions: %@ (a Value's description(); a string prints as itself; a null Value or a null
// string pointer prints "(null)"), %d %i (signed), %u %x %X %o (unsigned), %f %F %g %G %e %E %a %A
// (floating point), %s (string; a null pointer prints "(null)"), %c, %p and %%. Flags "-+ #0",
// field width and precision work as in printf, "*" taking an integer argument.
//
// Mismatches never crash: a number given to %@ or %s prints its description, a string given to a
// numeric conversion prints as 0, and a missing argument prints nothing. Extra arguments are
// ignored. An unknown conversion is copied to the output as written.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "foundation/Value.h"

namespace platform {

class FormatArg {
 public:
  enum class Kind { Int, UInt, Double, String, Value, Pointer };

  FormatArg(bool v) : kind_(Kind::Int), i_(v ? 1 : 0) {}
  FormatArg(char v) : kind_(Kind::Int), i_(v) {}
  template <typename T>
    requires(std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, char> &&
             !std::is_same_v<T, bool>)
  FormatArg(T v) : kind_(Kind::Int), i_(static_cast<std::int64_t>(v)) {}
  template <typename T>
    requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
  FormatArg(T v) : kind_(Kind::UInt), u_(static_cast<std::uint64_t>(v)) {}
  template <typename T>
    requires(std::is_enum_v<T>)
  FormatArg(T v) : FormatArg(static_cast<std::underlying_type_t<T>>(v)) {}
  FormatArg(double v) : kind_(Kind::Double), d_(v) {}
  FormatArg(float v) : kind_(Kind::Double), d_(v) {}
  FormatArg(long double v) : kind_(Kind::Double), d_(static_cast<double>(v)) {}
  FormatArg(const char* s)
      : kind_(Kind::String), s_(s ? std::string_view(s) : std::string_view()), null_(s == nullptr) {}
  FormatArg(const std::string& s) : kind_(Kind::String), s_(s) {}
  FormatArg(std::string_view s) : kind_(Kind::String), s_(s) {}
  FormatArg(const Value& v) : kind_(Kind::Value), v_(&v) {}
  FormatArg(const void* p) : kind_(Kind::Pointer), p_(p) {}
  FormatArg(std::nullptr_t) : kind_(Kind::String), null_(true) {}

  Kind kind() const { return kind_; }
  std::int64_t intValue() const;
  std::uint64_t uintValue() const;
  double doubleValue() const;
  // The text %@ and %s print.
  std::string text() const;

 private:
  Kind kind_;
  union {
    std::int64_t i_;
    std::uint64_t u_;
    double d_;
    const void* p_;
  };
  std::string_view s_;
  const Value* v_ = nullptr;
  bool null_ = false;
};

// Formats `fmt` with `args` (see above). Arguments are borrowed only for the call.
std::string formatArgs(std::string_view fmt, std::initializer_list<FormatArg> args);

template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
  return formatArgs(fmt, {FormatArg(args)...});
}

}  // namespace platform
