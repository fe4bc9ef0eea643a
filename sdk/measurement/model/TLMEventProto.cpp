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
#include "measurement/model/TLMUtil.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

// Writes a value into the field of its kind, tested in the order double, int64, string; false
// when it holds none of them.
bool setValueFields(NANOMessageBase& message, const TLMValue& value, std::int32_t doubleSlot,
                    std::int32_t intSlot, std::int32_t stringSlot) {
  if (value.isDouble()) {
    NANOSetDouble(message, doubleSlot, value.doubleValue());
  } else if (value.isInt64()) {
    NANOSetInt64(message, intSlot, value.int64Value());
  } else if (const std::string* s = value.stringPtr()) {
    NANOSetString(message, stringSlot, *s);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<TLMPBEvent> TLMEvent::protoEvent() const {
  std::shared_ptr<TLMPBEvent> event = TLMPBEvent::initWithMessageInfo(nullptr);
  if (!event) return nullptr;
  NANOSetString(*event, TLMPBEventSlot::name, name_);
  if (previousTimestamp_ > DBL_EPSILON) {
    NANOSetInt64(*event, TLMPBEventSlot::previous_timestamp_millis,
                 TLMMillisecondsFromSeconds(previousTimestamp_));
  }
  NANOSetInt64(*event, TLMPBEventSlot::timestamp_millis, TLMMillisecondsFromSeconds(timestamp_));
  std::vector<std::shared_ptr<TLMPBEventParam>> params;
  params.reserve(parameters_.size());
  for (const auto& [key, value] : parameters_) {
    std::shared_ptr<TLMPBEventParam> param = TLMPBEventParam::initWithMessageInfo(nullptr);
    if (!param) return nullptr;
    NANOSetString(*param, TLMPBEventParamSlot::name, key);
    if (!setValueFields(*param, value, TLMPBEventParamSlot::double_value,
                        TLMPBEventParamSlot::int_value, TLMPBEventParamSlot::string_value)) {
      tlm_monitor()->logWithLevel(1, 16005, "Invalid event param value. Event name, param name",
                                  platform::Value(TLMFormattedEventName(TLMObject(name_))),
                                  platform::Value(TLMFormattedParameterName(TLMObject(key))));
      continue;
    }
    params.push_back(std::move(param));
  }
  NANOSetArray(*event, TLMPBEventSlot::params, params);
  return event;
}

std::optional<TLMEventProtoFields> TLMEvent::fieldsFromEventProto(
    const TLMPBEvent& proto, const TLMSkippedEventParameter& skipped) {
  TLMEventProtoFields fields;
  fields.name = NANOGetString(proto, TLMPBEventSlot::name).value_or("");
  fields.timestamp =
      static_cast<double>(NANOGetInt64(proto, TLMPBEventSlot::timestamp_millis)) / 1000.0;
  fields.previousTimestamp =
      static_cast<double>(NANOGetInt64(proto, TLMPBEventSlot::previous_timestamp_millis)) / 1000.0;
  auto params = NANOGetArray<TLMPBEventParam>(proto, TLMPBEventSlot::params);
  for (const auto& param : params.value_or(std::vector<std::shared_ptr<TLMPBEventParam>>{})) {
    std::optional<std::string> key = NANOGetString(*param, TLMPBEventParamSlot::name);
    if (!key) {
      if (skipped) skipped(std::nullopt);
      continue;
    }
    if (*key == "_o") {
      fields.origin = NANOGetString(*param, TLMPBEventParamSlot::string_value);
      if (!fields.origin) return std::nullopt;
      continue;
    }
    if (std::optional<std::string> s = NANOGetString(*param, TLMPBEventParamSlot::string_value)) {
      fields.parameters.set(*key, TLMValue(std::move(*s)));
    } else if (NANOHasField(*param, TLMPBEventParamSlot::int_value)) {
      fields.parameters.set(*key, TLMValue(NANOGetInt64(*param, TLMPBEventParamSlot::int_value)));
    } else if (NANOHasField(*param, TLMPBEventParamSlot::double_value)) {
      fields.parameters.set(*key,
                            TLMValue(NANOGetDouble(*param, TLMPBEventParamSlot::double_value)));
    } else if (skipped) {
      skipped(*key);
    }
  }
  return fields;
}

TLMEventPtr TLMEvent::initWithEventProto(const TLMPBEvent& proto) {
  const std::string name = NANOGetString(proto, TLMPBEventSlot::name).value_or("");
  auto fields = fieldsFromEventProto(proto, [&name](const std::optional<std::string>& key) {
    if (!key) {
      tlm_monitor()->logWithLevel(1, 15000, "Ignoring parameter. Parameter name is nil. Event name",
                                  platform::Value(name));
    } else {
      tlm_monitor()->logWithLevel(4, 15002,
                                  "Unknown event parameter type from converting an event proto into "
                                  "TLMEvent instance. Event param name",
                                  platform::Value(TLMFormattedParameterName(TLMObject(*key))));
    }
  });
  if (!fields) {
    tlm_monitor()->logWithLevel(
        1, 15001,
        "Cannot create an event from event proto. Origin parameter is not a string. Event name",
        platform::Value(name));
    return nullptr;
  }
  if (!fields->origin) return nullptr;
  return initWithOrigin(*fields->origin, false, fields->name, fields->timestamp,
                        fields->previousTimestamp, fields->parameters);
}

std::shared_ptr<TLMPBUserAttribute> TLMUserAttribute::protoUserAttribute() const {
  std::shared_ptr<TLMPBUserAttribute> attribute = TLMPBUserAttribute::initWithMessageInfo(nullptr);
  if (!attribute) return nullptr;
  NANOSetString(*attribute, TLMPBUserAttributeSlot::name, name_);
  setValueFields(*attribute, value_, TLMPBUserAttributeSlot::double_value,
                 TLMPBUserAttributeSlot::int_value, TLMPBUserAttributeSlot::string_value);
  NANOSetInt64(*attribute, TLMPBUserAttributeSlot::set_timestamp_millis,
               TLMMillisecondsFromSeconds(lastSetTimestamp_));
  return attribute;
}
