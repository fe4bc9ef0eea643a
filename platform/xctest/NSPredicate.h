// Predicates written as format strings, evaluated against objects that answer key lookups.
//
// Grammar (keywords are case-insensitive):
//   predicate  := orExpr
//   orExpr     := andExpr { ("OR" | "||") andExpr }
//   andExpr    := notExpr { ("AND" | "&&") notExpr }
//   notExpr    := ("NOT" | "!") notExpr | "(" predicate ")" | "TRUEPREDICATE" | "FALSEPREDICATE"
//               | comparison
//   comparison := operand operator [ "[" flags "]" ] operand
//   operator   := "==" | "=" | "!=" | "<>" | "<" | "<=" | ">" | ">=" | "CONTAINS" | "BEGINSWITH"
//               | "ENDSWITH" | "LIKE" | "MATCHES"
//   flags      := "c" (case-insensitive) and/or "d" (diacritic-insensitive)
//   operand    := key path | 'text' | "text" | number | TRUE | YES | FALSE | NO | NIL | NULL | %@
//
// Quoted texts take backslash escapes (\' \" \\ \n \t). Each `%@` takes the next argument as a
// value: it is never pasted into the format text, so an argument may hold any quotes. LIKE takes
// the wildcards * and ?; MATCHES a whole-text regular expression (ECMAScript syntax).
//
// Comparisons: equal types compare by value (texts exactly, unless flagged); a number and a
// boolean compare as numbers; a missing value (nil) equals only nil; the text operators on a
// value that is not text are false.
//
// A format that cannot be parsed, or an argument count that does not match the `%@`s, throws
// platform::Exception "NSInvalidArgumentException" at construction. A key the evaluated object
// doesn't know throws platform::Exception "NSUnknownKeyException" at evaluation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

// A value a predicate compares: nil, a boolean, a number or a text.
using NSPredicateValue = std::variant<std::monostate, bool, double, std::string>;

// An object a predicate can be evaluated with.
class NSPredicateSubject {
 public:
  virtual ~NSPredicateSubject() = default;
  // The value under `key`; throws platform::Exception "NSUnknownKeyException" for an unknown key.
  virtual NSPredicateValue valueForKey(const std::string& key) const = 0;
  // How the object appears in failure messages.
  virtual std::string debugDescription() const = 0;
};

namespace xctest::detail {
struct PredicateNode;

inline NSPredicateValue predicateArgument(const std::string& v) { return v; }
inline NSPredicateValue predicateArgument(std::string_view v) { return std::string(v); }
inline NSPredicateValue predicateArgument(const char* v) { return std::string(v); }
inline NSPredicateValue predicateArgument(bool v) { return v; }
inline NSPredicateValue predicateArgument(std::monostate) { return std::monostate{}; }
template <class T>
  requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
NSPredicateValue predicateArgument(T v) {
  return static_cast<double>(v);
}
}  // namespace xctest::detail

class NSPredicate {
 public:
  // `NSPredicate("label CONTAINS[c] %@", text)`: the format and one argument per `%@`.
  template <class... Args>
  explicit NSPredicate(const std::string& format, const Args&... arguments)
      : NSPredicate(format, std::vector<NSPredicateValue>{xctest::detail::predicateArgument(arguments)...}, 0) {}

  bool evaluate(const NSPredicateSubject& object) const;
  // The predicate in canonical form, arguments inlined as quoted texts (used in messages).
  const std::string& predicateFormat() const { return canonical_; }

 private:
  NSPredicate(const std::string& format, std::vector<NSPredicateValue> arguments, int);

  std::shared_ptr<const xctest::detail::PredicateNode> root_;
  std::string canonical_;
};

// Renders a predicate value as it appears in messages ("nil", "1", "abc").
std::string NSPredicateValueDescription(const NSPredicateValue& value);
