// One fuzz input for the property-list and JSON readers. Each returns false when the reader's
// answer breaks a promise: an input refused without its error, or a value read that does not
// write back and read again as the same value.
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "foundation/Json.h"
#include "foundation/PropertyList.h"

// Equal, but for dates within `dateTolerance` seconds and NaN matching NaN: libplist hands a
// binary date over as whole seconds and truncated microseconds, so a date may lose a microsecond
// on a trip, and XML keeps whole seconds only.
inline bool fuzzSameValue(const platform::Value& a, const platform::Value& b, double dateTolerance) {
  using Type = platform::Value::Type;
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Type::Date: return std::fabs(*a.dateValue() - *b.dateValue()) <= dateTolerance;
    case Type::Number:
      if (a.isFloatingPoint() && b.isFloatingPoint() && std::isnan(*a.doubleValue())) {
        return std::isnan(*b.doubleValue());
      }
      return a == b;
    case Type::Array:
      if (a.arrayPtr()->size() != b.arrayPtr()->size()) return false;
      for (size_t i = 0; i < a.arrayPtr()->size(); ++i) {
        if (!fuzzSameValue((*a.arrayPtr())[i], (*b.arrayPtr())[i], dateTolerance)) return false;
      }
      return true;
    case Type::Dictionary: {
      if (a.dictionaryPtr()->size() != b.dictionaryPtr()->size()) return false;
      auto other = b.dictionaryPtr()->begin();
      for (const auto& [key, item] : *a.dictionaryPtr()) {
        if (other->first != key || !fuzzSameValue(item, other->second, dateTolerance)) return false;
        ++other;
      }
      return true;
    }
    default: return a == b;
  }
}

inline bool fuzzPropertyListOne(const uint8_t* data, size_t size) {
  namespace plist = platform::plist;
  platform::Error error;
  auto value = plist::read(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!value) return error.code == 3840;
  for (auto format : {plist::Format::Binary, plist::Format::XML}) {
    auto bytes = plist::write(*value, format);
    if (!bytes) return false;
    auto back = plist::read(*bytes);
    if (!back || !fuzzSameValue(*value, *back, format == plist::Format::Binary ? 2e-6 : 1.0)) return false;
  }
  return true;
}

inline bool fuzzJsonOne(const uint8_t* data, size_t size) {
  namespace json = platform::json;
  platform::Error error;
  auto value = json::parse(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!value) return error.code == 3840;
  auto first = json::serialize(*value);
  if (!first) return false;
  auto back = json::parse(*first);
  if (!back) return false;
  auto second = json::serialize(*back);
  return second && *second == *first;
}
