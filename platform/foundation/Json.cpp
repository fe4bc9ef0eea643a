#include "foundation/Json.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "foundation/Files.h"

namespace platform::json {

namespace {

using Json = nlohmann::ordered_json;
constexpr int kMaxDepth = 512;

Value toValue(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null: return Value();
    case Json::value_t::boolean: return Value(j.get<bool>());
    case Json::value_t::number_integer: return Value(j.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      auto u = j.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Value(static_cast<std::int64_t>(u));
      }
      return Value(u);
    }
    case Json::value_t::number_float: return Value(j.get<double>());
    case Json::value_t::string: return Value(j.get_ref<const std::string&>());
    case Json::value_t::array: {
      Array items;
      items.reserve(j.size());
      for (const auto& item : j) items.push_back(toValue(item));
      return Value(std::move(items));
    }
    case Json::value_t::object: {
      Dictionary dict;
      for (const auto& [key, item] : j.items()) dict.set(key, toValue(item));
      return Value(std::move(dict));
    }
    default: return Value();
  }
}

bool toJson(const Value& value, Json& out, std::string& reason, int depth) {
  if (depth > kMaxDepth) {
    reason = "nesting too deep";
    return false;
  }
  switch (value.type()) {
    case Value::Type::Null: out = nullptr; return true;
    case Value::Type::Bool: out = *value.boolValue(); return true;
    case Value::Type::Number:
      switch (value.numberKind()) {
        case Value::NumberKind::Int: out = *value.int64Value(); return true;
        case Value::NumberKind::UInt: out = *value.uint64Value(); return true;
        default: {
          double d = *value.doubleValue();
          if (!std::isfinite(d)) {
            reason = "invalid number (NaN or infinity)";
            return false;
          }
          out = d;
          return true;
        }
      }
    case Value::Type::String:
      out = *value.stringPtr();
      return true;
    case Value::Type::Array:
      out = Json::array();
      for (const Value& item : *value.arrayPtr()) {
        Json child;
        if (!toJson(item, child, reason, depth + 1)) return false;
        out.push_back(std::move(child));
      }
      return true;
    case Value::Type::Dictionary:
      out = Json::object();
      for (const auto& [key, item] : *value.dictionaryPtr()) {
        Json child;
        if (!toJson(item, child, reason, depth + 1)) return false;
        out[key] = std::move(child);
      }
      return true;
    case Value::Type::Data: reason = "data is not a JSON type"; return false;
    case Value::Type::Date: reason = "a date is not a JSON type"; return false;
    case Value::Type::Object: reason = "an object is not a JSON type"; return false;
  }
  return false;
}

}  // namespace

std::optional<Value> parse(std::string_view text, Error* error) {
  // Deeper nesting is dropped while parsing (and then refused), so no recursion below runs away.
  bool tooDeep = false;
  Json::parser_callback_t limit = [&](int d, Json::parse_event_t event, Json&) {
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        d > kMaxDepth) {
      tooDeep = true;
      return false;
    }
    return true;
  };
  try {
    Json j = Json::parse(text.begin(), text.end(), limit);
    if (tooDeep) {
      setError(error, files::kCocoaErrorDomain, 3840, "JSON text nested too deeply");
      return std::nullopt;
    }
    return toValue(j);
  } catch (const Json::exception& e) {
    setError(error, files::kCocoaErrorDomain, 3840, std::string("JSON text is not valid: ") + e.what());
    return std::nullopt;
  }
}

std::optional<std::string> serialize(const Value& value, bool pretty, Error* error) {
  Json j;
  std::string reason;
  if (!toJson(value, j, reason, 0)) {
    setError(error, files::kCocoaErrorDomain, 3851, "Invalid type in JSON write: " + reason);
    return std::nullopt;
  }
  try {
    return j.dump(pretty ? 2 : -1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    setError(error, files::kCocoaErrorDomain, 3851, std::string("Invalid text in JSON write: ") + e.what());
    return std::nullopt;
  }
}

}  // namespace platform::json
