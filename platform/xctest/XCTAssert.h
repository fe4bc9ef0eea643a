// Assertions. Each takes an optional message (any text) after its operands and records, on
// failure, "<assertion> failed: <details> - <message>" at the caller's file and line.
//
//   XCTAssert(expr[, message])            XCTAssertTrue(expr[, message])
//   XCTAssertFalse(expr[, message])       XCTAssertEqual(a, b[, message])
//   XCTAssertNotEqual(a, b[, message])    XCTAssertNil(x[, message])      (optional or pointer)
//   XCTAssertNotNil(x[, message])         XCTAssertGreaterThan(a, b[, message]) (and ...OrEqual,
//   XCTAssertLessThan, XCTAssertLessThanOrEqual)                          XCTFail([message])
//   XCTSkipIf(expr[, message])            XCTSkipUnless(expr[, message])
//
// Operands are evaluated once. XCTAssertEqual compares with ==, so an optional text equals a text
// only when present and equal ("nil" is printed for an absent one).
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "xctest/XCTestCase.h"

namespace xctest {

inline std::string assertionMessage() { return {}; }
inline std::string assertionMessage(std::string_view message) { return std::string(message); }

template <class T>
std::string describeValue(const T& value);

namespace detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
concept Streamable = requires(std::ostream& os, const T& v) { os << v; };
}  // namespace detail

template <class T>
std::string describeValue(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string(std::string_view(value));
  } else if constexpr (detail::IsOptional<T>::value) {
    return value ? describeValue(*value) : std::string("nil");
  } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
    return "nil";
  } else if constexpr (std::is_pointer_v<T>) {
    if (!value) return "nil";
    std::ostringstream os;
    os << static_cast<const void*>(value);
    return os.str();
  } else if constexpr (std::is_enum_v<T>) {
    return std::to_string(static_cast<long long>(value));
  } else if constexpr (detail::Streamable<T>) {
    std::ostringstream os;
    os << value;
    return os.str();
  } else {
    return "<value>";
  }
}

template <class A, class B>
bool valuesEqual(const A& a, const B& b) {
  if constexpr (std::is_integral_v<A> && std::is_integral_v<B> && !std::is_same_v<A, bool> &&
                !std::is_same_v<B, bool>) {
    return std::cmp_equal(a, b);
  } else {
    return a == b;
  }
}

template <class A, class B>
bool valuesLess(const A& a, const B& b) {
  if constexpr (std::is_integral_v<A> && std::is_integral_v<B> && !std::is_same_v<A, bool> &&
                !std::is_same_v<B, bool>) {
    return std::cmp_less(a, b);
  } else {
    return a < b;
  }
}

template <class T>
bool isNil(const T& value) {
  if constexpr (detail::IsOptional<T>::value) {
    return !value.has_value();
  } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
    return true;
  } else if constexpr (std::is_pointer_v<T>) {
    return value == nullptr;
  } else if constexpr (requires { value == nullptr; }) {
    return value == nullptr;
  } else {
    static_assert(sizeof(T) == 0, "XCTAssertNil needs an optional or a pointer");
    return false;
  }
}

// Records "<what> failed<details> - <message>" (the " - <message>" part only with a message).
void assertionFailed(const std::string& what, const std::string& details, const std::string& message,
                     const char* file, int line);
[[noreturn]] void skipTest(const std::string& what, const std::string& message);

}  // namespace xctest

#define XCTAssertTrue(expression, ...)                                                              \
  do {                                                                                              \
    if (!static_cast<bool>(expression))                                                             \
      ::xctest::assertionFailed("XCTAssertTrue", "", ::xctest::assertionMessage(__VA_ARGS__), __FILE__, \
                                __LINE__);                                                          \
  } while (false)

#define XCTAssert(expression, ...) XCTAssertTrue(expression __VA_OPT__(,) __VA_ARGS__)

#define XCTAssertFalse(expression, ...)                                                              \
  do {                                                                                               \
    if (static_cast<bool>(expression))                                                               \
      ::xctest::assertionFailed("XCTAssertFalse", "", ::xctest::assertionMessage(__VA_ARGS__), __FILE__, \
                                __LINE__);                                                           \
  } while (false)

#define XCTEST_ASSERT_COMPARE_(name, a, b, condition, relation, ...)                                    \
  do {                                                                                                  \
    const auto& xct_a_ = (a);                                                                           \
    const auto& xct_b_ = (b);                                                                           \
    if (!(condition))                                                                                   \
      ::xctest::assertionFailed(name,                                                                   \
                                ": (\"" + ::xctest::describeValue(xct_a_) + "\") " relation " (\"" +    \
                                    ::xctest::describeValue(xct_b_) + "\")",                            \
                                ::xctest::assertionMessage(__VA_ARGS__), __FILE__, __LINE__);           \
  } while (false)

#define XCTAssertEqual(a, b, ...) \
  XCTEST_ASSERT_COMPARE_("XCTAssertEqual", a, b, ::xctest::valuesEqual(xct_a_, xct_b_), "is not equal to" __VA_OPT__(,) __VA_ARGS__)
#define XCTAssertNotEqual(a, b, ...)                                                                   \
  XCTEST_ASSERT_COMPARE_("XCTAssertNotEqual", a, b, !::xctest::valuesEqual(xct_a_, xct_b_), "is equal to" \
                         __VA_OPT__(,) __VA_ARGS__)
#define XCTAssertGreaterThan(a, b, ...)                                                                \
  XCTEST_ASSERT_COMPARE_("XCTAssertGreaterThan", a, b, ::xctest::valuesLess(xct_b_, xct_a_),           \
                         "is not greater than" __VA_OPT__(,) __VA_ARGS__)
#define XCTAssertGreaterThanOrEqual(a, b, ...)                                                         \
  XCTEST_ASSERT_COMPARE_("XCTAssertGreaterThanOrEqual", a, b, !::xctest::valuesLess(xct_a_, xct_b_),   \
                         "is less than" __VA_OPT__(,) __VA_ARGS__)
#define XCTAssertLessThan(a, b, ...)                                                                   \
  XCTEST_ASSERT_COMPARE_("XCTAssertLessThan", a, b, ::xctest::valuesLess(xct_a_, xct_b_),              \
                         "is not less than" __VA_OPT__(,) __VA_ARGS__)
#define XCTAssertLessThanOrEqual(a, b, ...)                                                            \
  XCTEST_ASSERT_COMPARE_("XCTAssertLessThanOrEqual", a, b, !::xctest::valuesLess(xct_b_, xct_a_),      \
                         "is greater than" __VA_OPT__(,) __VA_ARGS__)

#define XCTAssertNil(expression, ...)                                                                 \
  do {                                                                                                \
    const auto& xct_v_ = (expression);                                                                \
    if (!::xctest::isNil(xct_v_))                                                                     \
      ::xctest::assertionFailed("XCTAssertNil", ": \"" + ::xctest::describeValue(xct_v_) + "\"",      \
                                ::xctest::assertionMessage(__VA_ARGS__), __FILE__, __LINE__);         \
  } while (false)

#define XCTAssertNotNil(expression, ...)                                                                  \
  do {                                                                                                    \
    const auto& xct_v_ = (expression);                                                                    \
    if (::xctest::isNil(xct_v_))                                                                          \
      ::xctest::assertionFailed("XCTAssertNotNil", "", ::xctest::assertionMessage(__VA_ARGS__), __FILE__, \
                                __LINE__);                                                                \
  } while (false)

#define XCTFail(...) ::xctest::assertionFailed("", "", ::xctest::assertionMessage(__VA_ARGS__), __FILE__, __LINE__)

#define XCTSkipIf(expression, ...) \
  do {                             \
    if (static_cast<bool>(expression)) ::xctest::skipTest("Test skipped", ::xctest::assertionMessage(__VA_ARGS__)); \
  } while (false)
#define XCTSkipUnless(expression, ...) \
  do {                                 \
    if (!static_cast<bool>(expression)) ::xctest::skipTest("Test skipped", ::xctest::assertionMessage(__VA_ARGS__)); \
  } while (false)
