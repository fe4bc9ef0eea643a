#include "measurement/model/TLMValue.h"

#include <cmath>
#include <functional>

#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMObject.h"

TLMValue::TLMValue(double value) : valueType_(TLMValueTypeDouble), value_(value) {}

TLMValue::TLMValue(std::string value)
    : valueType_(TLMValueTypeString), value_(platform::Value(std::move(value))) {}

TLMValue::TLMValue(const char* value)
    : valueType_(TLMValueTypeString), value_(platform::Value(std::string(value ? value : ""))) {}

TLMValue::TLMValue(TLMValueType valueType, platform::Value value)
    : valueType_(valueType), value_(std::move(value)) {}

std::optional<TLMValue> TLMValue::initWithString(const TLMObject& object) {
  if (object.isNil()) {
    TLMMeasurement::monitor()->logWithLevel(0, 35002, "Cannot create String value with nil");
    return std::nullopt;
  }
  const std::string* s = object.stringPtr();
  if (s == nullptr) {
    TLMMeasurement::monitor()->logWithLevel(
        0, 35003, "Cannot create String value with non-string value. Value", object.contextValue());
    return std::nullopt;
  }
  return TLMValue(*s);
}

std::optional<TLMValue> TLMValue::valueFromObject(const TLMObject& object) {
  if (const TLMValue* value = object.tlmValue()) return *value;
  if (object.isString()) return initWithString(object);
  if (object.isNumber()) {
    const platform::Value& number = *object.object();
    if (number.isFloatingPoint()) return TLMValue(number.doubleValue().value_or(0.0));
    return TLMValue(TLMValueTypeInt64, platform::Value(number.int64Value().value_or(0)));
  }
  if (object.isNil()) {
    TLMMeasurement::monitor()->logWithLevel(0, 35000, "Cannot create Value type with nil value");
    return std::nullopt;
  }
  TLMMeasurement::monitor()->logWithLevel(
      0, 35001,
      "Cannot create Value type with unsupported value. The Value has to be NSNumber or NSString. "
      "Value",
      object.contextValue());
  return std::nullopt;
}

double TLMValue::doubleValue() const {
  if (!isDouble()) return 0.0;
  return value_.doubleValue().value_or(0.0);
}

std::int64_t TLMValue::int64Value() const {
  if (!isInt64()) return 0;
  return value_.int64Value().value_or(0);
}

std::optional<std::string> TLMValue::stringValue() const {
  if (const std::string* s = stringPtr()) return *s;
  return std::nullopt;
}

const std::string* TLMValue::stringPtr() const {
  if (!isString()) return nullptr;
  return value_.stringPtr();
}

std::string TLMValue::description() const { return value_.description(); }

bool operator==(const TLMValue& a, const TLMValue& b) {
  return a.valueType_ == b.valueType_ && a.value_ == b.value_;
}

std::size_t TLMValue::hash() const {
  std::size_t h = 0;
  if (const std::string* s = value_.stringPtr()) {
    h = std::hash<std::string>{}(*s);
  } else if (value_.isNumber()) {
    // Numbers that compare equal must hash alike, whatever their stored kind.
    double d = value_.doubleValue().value_or(0.0);
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.2e18) {
      h = std::hash<std::int64_t>{}(static_cast<std::int64_t>(d));
    } else {
      h = std::hash<double>{}(d);
    }
  } else {
    h = std::hash<std::string>{}(value_.description());
  }
  return h ^ (static_cast<std::size_t>(valueType_) * 31u);
}
