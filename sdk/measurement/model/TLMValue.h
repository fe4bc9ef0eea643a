// The one typed value of the measurement library: a double, a signed 64-bit integer or a string.
// Every event parameter value and every user property value is a TLMValue.
//
// Values are immutable and cheap to copy (a string is held in shared storage).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/Value.h"

class TLMObject;

enum TLMValueType : std::int64_t {
  TLMValueTypeDouble = 0,
  TLMValueTypeInt64 = 1,
  TLMValueTypeString = 2,
};

class TLMValue {
 public:
  // initWithDouble:, initWithInt64: and a string value from a string that is known to be one.
  explicit TLMValue(double value);
  template <std::integral T>
  explicit TLMValue(T value) : TLMValue(TLMValueTypeInt64, platform::Value(static_cast<std::int64_t>(value))) {}
  explicit TLMValue(std::string value);
  explicit TLMValue(const char* value);
  // Designated initialiser: stores kind and held object unchanged, without any check.
  TLMValue(TLMValueType valueType, platform::Value value);

  // initWithString: a string value from a plain string object; nil (after a log) for a nil or
  // non-string object.
  static std::optional<TLMValue> initWithString(const TLMObject& object);
  // The entry point for values handed in by the host app: a TLMValue comes back unchanged, a
  // string gives a string value, a floating-point number a double value, any other number
  // (booleans included) an int64 value; nil or anything else is logged and gives nil.
  static std::optional<TLMValue> valueFromObject(const TLMObject& object);

  TLMValueType valueType() const { return valueType_; }
  // The held object.
  const platform::Value& value() const { return value_; }

  bool isDouble() const { return valueType_ == TLMValueTypeDouble; }
  // The double for a double value, else 0.0 (no conversion from the other kinds).
  double doubleValue() const;
  bool isInt64() const { return valueType_ == TLMValueTypeInt64; }
  // The integer for an int64 value, else 0.
  std::int64_t int64Value() const;
  bool isString() const { return valueType_ == TLMValueTypeString; }
  // The string of a string value, else empty.
  std::optional<std::string> stringValue() const;
  // Borrowing form of stringValue(): nullptr unless this is a string value holding a string.
  const std::string* stringPtr() const;

  // The description of the held object: the number as the platform prints it, or the string.
  std::string description() const;

  // Equal only with the same kind and equal held objects (numbers by numeric value).
  friend bool operator==(const TLMValue& a, const TLMValue& b);
  std::size_t hash() const;

 private:
  TLMValueType valueType_;
  platform::Value value_;
};

template <>
struct std::hash<TLMValue> {
  std::size_t operator()(const TLMValue& v) const noexcept { return v.hash(); }
};
