// Events and user properties to and from their messages ("Event", "EventParam",
// "UserAttribute"). Times travel in whole milliseconds; the event's origin travels as the
// parameter "_o".
#include <cfloat>
#include <cmath>
#include <limits>

#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUserAttribute.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

std::shared_ptr<TLMMonitor> monitor() { return TLMMeasurement::monitor(); }

// Seconds to whole milliseconds, truncated toward zero; times outside the int64 range (and NaN)
// are clamped instead of overflowing.
std::int64_t millisFromSeconds(double seconds) {
  const double millis = std::trunc(seconds * 1000.0);
  if (std::isnan(millis)) return 0;
  if (millis >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (millis <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(millis);
}

}  // namespace

std::shared_ptr<TLMPBEvent> TLMEvent::protoEvent() const {
  std::shared_ptr<TLMPBEvent> event = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(*event, TLMPBEventSlot::name, name_);
  if (previousTimestamp_ > DBL_EPSILON) {
    NANOSetInt64(*event, TLMPBEventSlot::previous_timestamp_millis,
                 millisFromSeconds(previousTimestamp_));
  }
  NANOSetInt64(*event, TLMPBEventSlot::timestamp_millis, millisFromSeconds(timestamp_));
  std::vector<std::shared_ptr<TLMPBEventParam>> params;
  params.reserve(parameters_.size());
  for (const auto& [key, value] : parameters_) {
    std::shared_ptr<TLMPBEventParam> param = TLMPBEventParam::initWithMessageInfo(nullptr);
    NANOSetString(*param, TLMPBEventParamSlot::name, key);
    if (value.isDouble()) {
      NANOSetDouble(*param, TLMPBEventParamSlot::double_value, value.doubleValue());
    } else if (value.isInt64()) {
      NANOSetInt64(*param, TLMPBEventParamSlot::int_value, value.int64Value());
    } else if (const std::string* s = value.stringPtr()) {
      NANOSetString(*param, TLMPBEventParamSlot::string_value, *s);
    } else {
      monitor()->logWithLevel(1, 16005, "Invalid event param value. Event name, param name",
                              platform::Value(TLMFormattedEventName(TLMObject(name_))),
                              platform::Value(TLMFormattedParameterName(TLMObject(key))));
      continue;
    }
    params.push_back(std::move(param));
  }
  NANOSetArray(*event, TLMPBEventSlot::params, params);
  return event;
}

TLMEventPtr TLMEvent::initWithEventProto(const TLMPBEvent& proto) {
  const std::string name = NANOGetString(proto, TLMPBEventSlot::name).value_or("");
  const std::int64_t timestamp = NANOGetInt64(proto, TLMPBEventSlot::timestamp_millis);
  const std::int64_t previous = NANOGetInt64(proto, TLMPBEventSlot::previous_timestamp_millis);
  std::optional<std::string> origin;
  TLMObjectDictionary parameters;
  auto params = NANOGetArray<TLMPBEventParam>(proto, TLMPBEventSlot::params);
  for (const auto& param : params.value_or(std::vector<std::shared_ptr<TLMPBEventParam>>{})) {
    std::optional<std::string> key = NANOGetString(*param, TLMPBEventParamSlot::name);
    if (!key) {
      monitor()->logWithLevel(1, 15000, "Ignoring parameter. Parameter name is nil. Event name",
                              platform::Value(name));
      continue;
    }
    if (*key == "_o") {
      origin = NANOGetString(*param, TLMPBEventParamSlot::string_value);
      if (!origin) {
        monitor()->logWithLevel(
            1, 15001,
            "Cannot create an event from event proto. Origin parameter is not a string. Event name",
            platform::Value(name));
        return nullptr;
      }
      continue;
    }
    if (std::optional<std::string> s = NANOGetString(*param, TLMPBEventParamSlot::string_value)) {
      parameters.set(*key, TLMValue(std::move(*s)));
    } else if (NANOHasField(*param, TLMPBEventParamSlot::int_value)) {
      parameters.set(*key, TLMValue(NANOGetInt64(*param, TLMPBEventParamSlot::int_value)));
    } else if (NANOHasField(*param, TLMPBEventParamSlot::double_value)) {
      parameters.set(*key, TLMValue(NANOGetDouble(*param, TLMPBEventParamSlot::double_value)));
    } else {
      monitor()->logWithLevel(4, 15002,
                              "Unknown event parameter type from converting an event proto into "
                              "TLMEvent instance. Event param name",
                              platform::Value(TLMFormattedParameterName(TLMObject(*key))));
    }
  }
  if (!origin) return nullptr;
  return initWithOrigin(*origin, false, name, static_cast<double>(timestamp) / 1000.0,
                        static_cast<double>(previous) / 1000.0, parameters);
}

std::shared_ptr<TLMPBUserAttribute> TLMUserAttribute::protoUserAttribute() const {
  std::shared_ptr<TLMPBUserAttribute> attribute = TLMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(*attribute, TLMPBUserAttributeSlot::name, name_);
  if (value_.isDouble()) {
    NANOSetDouble(*attribute, TLMPBUserAttributeSlot::double_value, value_.doubleValue());
  } else if (value_.isInt64()) {
    NANOSetInt64(*attribute, TLMPBUserAttributeSlot::int_value, value_.int64Value());
  } else if (const std::string* s = value_.stringPtr()) {
    NANOSetString(*attribute, TLMPBUserAttributeSlot::string_value, *s);
  }
  NANOSetInt64(*attribute, TLMPBUserAttributeSlot::set_timestamp_millis,
               millisFromSeconds(lastSetTimestamp_));
  return attribute;
}
