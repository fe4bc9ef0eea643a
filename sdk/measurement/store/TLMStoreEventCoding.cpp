#include "measurement/store/TLMStoreEventCoding.h"

#include <cmath>

#include "measurement/model/TLMObject.h"
#include "measurement/store/TLMStoreServices.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

using platform::Error;
using platform::Value;

namespace {

constexpr const char* kOriginParameter = "_o";

std::int64_t millis(double seconds) { return static_cast<std::int64_t>(std::llround(seconds * 1000.0)); }

std::shared_ptr<TLMPBEventParam> protoParameter(const std::string& name, const TLMValue& value) {
  auto parameter = TLMPBEventParam::initWithMessageInfo(nullptr);
  if (!parameter) return nullptr;
  NANOSetString(*parameter, TLMPBEventParamSlot::name, name);
  if (value.isString()) {
    NANOSetString(*parameter, TLMPBEventParamSlot::string_value, value.stringValue().value_or(""));
  } else if (value.isInt64()) {
    NANOSetInt64(*parameter, TLMPBEventParamSlot::int_value, value.int64Value());
  } else {
    NANOSetDouble(*parameter, TLMPBEventParamSlot::double_value, value.doubleValue());
  }
  return parameter;
}

}  // namespace

std::shared_ptr<TLMPBEvent> TLMStoreProtoEvent(const TLMEvent& event) {
  auto proto = TLMPBEvent::initWithMessageInfo(nullptr);
  if (!proto) return nullptr;
  std::vector<std::shared_ptr<TLMPBEventParam>> parameters;
  bool hasOrigin = false;
  for (const auto& [name, value] : event.parameters()) {
    if (name == kOriginParameter) hasOrigin = true;
    if (auto parameter = protoParameter(name, value)) parameters.push_back(std::move(parameter));
  }
  if (!hasOrigin && !event.origin().empty()) {
    parameters.push_back(protoParameter(kOriginParameter, TLMValue(event.origin())));
  }
  NANOSetArray(*proto, TLMPBEventSlot::params, parameters);
  NANOSetString(*proto, TLMPBEventSlot::name, event.name());
  NANOSetInt64(*proto, TLMPBEventSlot::timestamp_millis, millis(event.timestamp()));
  if (std::fabs(event.previousTimestamp()) >= 0x1p-52) {
    NANOSetInt64(*proto, TLMPBEventSlot::previous_timestamp_millis,
                 millis(event.previousTimestamp()));
  }
  return proto;
}

std::optional<platform::Bytes> TLMNSDataFromEvent(const TLMEvent& event) {
  auto proto = TLMStoreProtoEvent(event);
  if (!proto) return std::nullopt;
  auto bytes = proto->protoBuffer();
  if (!bytes) return std::nullopt;
  return platform::Bytes(bytes->begin(), bytes->end());
}

TLMEventPtr TLMStoreEventFromProto(const TLMPBEvent& proto, const std::optional<std::string>& name,
                                   const std::optional<double>& timestamp, Error* error,
                                   const TLMUnknownParameterHandler& unknownParameter) {
  std::optional<std::string> origin;
  TLMObjectDictionary parameters;
  auto elements = NANOGetArray<TLMPBEventParam>(proto, TLMPBEventSlot::params);
  if (elements) {
    for (const auto& parameter : *elements) {
      if (!parameter) continue;
      std::string parameterName =
          NANOGetString(*parameter, TLMPBEventParamSlot::name).value_or(std::string());
      if (parameterName == kOriginParameter) {
        if (!NANOHasField(*parameter, TLMPBEventParamSlot::string_value)) {
          TLMStoreSetError(error, TLMStoreErrorBadState,
                           "Cannot create an event from database. Origin parameter is not a string");
          return nullptr;
        }
        origin = NANOGetString(*parameter, TLMPBEventParamSlot::string_value).value_or("");
      } else if (NANOHasField(*parameter, TLMPBEventParamSlot::string_value)) {
        parameters.set(parameterName,
                       TLMValue(NANOGetString(*parameter, TLMPBEventParamSlot::string_value)
                                    .value_or(std::string())));
      } else if (NANOHasField(*parameter, TLMPBEventParamSlot::int_value)) {
        parameters.set(parameterName,
                       TLMValue(NANOGetInt64(*parameter, TLMPBEventParamSlot::int_value)));
      } else if (NANOHasField(*parameter, TLMPBEventParamSlot::double_value)) {
        parameters.set(parameterName,
                       TLMValue(NANOGetDouble(*parameter, TLMPBEventParamSlot::double_value)));
      } else if (unknownParameter) {
        unknownParameter(parameterName);
      }
    }
  }
  if (!origin) {
    TLMStoreSetError(error, TLMStoreErrorBadState,
                     "Cannot create an event from database. Missing origin parameter");
    return nullptr;
  }
  std::string eventName =
      name ? *name : NANOGetString(proto, TLMPBEventSlot::name).value_or(std::string());
  double time = timestamp ? *timestamp
                          : static_cast<double>(NANOGetInt64(proto, TLMPBEventSlot::timestamp_millis)) /
                                1000.0;
  double previous =
      static_cast<double>(NANOGetInt64(proto, TLMPBEventSlot::previous_timestamp_millis)) / 1000.0;
  TLMEventPtr event = TLMEvent::initWithOrigin(*origin, false, eventName, time, previous, parameters);
  if (!event) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to initialize event from proto data");
  }
  return event;
}

TLMEventPtr TLMEventFromNSData(const Value& data, Error* error) {
  const platform::Bytes* bytes = data.dataPtr();
  if (bytes == nullptr) {
    TLMStoreSetError(error, TLMStoreErrorBadState,
                     "Failed to convert data to an event. Data must be a NSData instance");
    return nullptr;
  }
  auto proto = TLMPBEvent::initWithBuffer(bytes->data(), bytes->size());
  if (!proto) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to parse event from data");
    return nullptr;
  }
  Error inner;
  TLMEventPtr event = TLMStoreEventFromProto(*proto, std::nullopt, std::nullopt, &inner);
  if (!event) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to initialize event from proto data");
  }
  return event;
}
