// What a collector reads out of a measurement batch posted to "<server>/a": per bundle, the app
// ids, the events with their parameters and the user properties it carries. The body is a
// `MeasurementBatch` (sdk/proto/defs/tlmpb.proto), decoded with the SDK's own message classes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace collector {

// A parameter or property value: exactly one member is set.
struct Value {
  std::optional<std::string> text;
  std::optional<std::int64_t> integer;
  std::optional<double> real;
};

struct Event {
  std::string name;
  std::map<std::string, Value> parameters;
};

struct Bundle {
  std::string bundleID;          // the app's bundle identifier
  std::string measurementAppID;  // OMBRIX_APP_ID of the service information file
  std::vector<Event> events;
  std::map<std::string, Value> userProperties;
};

namespace detail {

template <typename Slot, typename Message>
Value readValue(const Message& message) {
  Value value;
  if (NANOHasField(message, Slot::string_value)) value.text = NANOGetString(message, Slot::string_value);
  if (NANOHasField(message, Slot::int_value)) value.integer = NANOGetInt64(message, Slot::int_value);
  if (NANOHasField(message, Slot::double_value)) value.real = NANOGetDouble(message, Slot::double_value);
  if (NANOHasField(message, Slot::float_value)) value.real = NANOGetFloat(message, Slot::float_value);
  return value;
}

template <typename T>
std::vector<std::shared_ptr<T>> array(const NANOMessageBase& message, int32_t slot) {
  return NANOGetArray<T>(message, slot).value_or(std::vector<std::shared_ptr<T>>{});
}

}  // namespace detail

// The bundles of a posted body; empty when the body is not a batch.
inline std::optional<std::vector<Bundle>> readBatch(const std::string& body) {
  using BundleSlot = TLMPBMeasurementBundleSlot;
  auto batch = TLMPBMeasurementBatch::initWithBuffer(std::vector<uint8_t>(body.begin(), body.end()));
  if (!batch) return std::nullopt;
  std::vector<Bundle> bundles;
  for (const auto& proto : detail::array<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles)) {
    Bundle bundle;
    bundle.bundleID = NANOGetString(*proto, BundleSlot::app_id).value_or("");
    bundle.measurementAppID = NANOGetString(*proto, BundleSlot::measurement_app_id).value_or("");
    for (const auto& e : detail::array<TLMPBEvent>(*proto, BundleSlot::events)) {
      Event event;
      event.name = NANOGetString(*e, TLMPBEventSlot::name).value_or("");
      for (const auto& p : detail::array<TLMPBEventParam>(*e, TLMPBEventSlot::params)) {
        event.parameters[NANOGetString(*p, TLMPBEventParamSlot::name).value_or("")] =
            detail::readValue<TLMPBEventParamSlot>(*p);
      }
      bundle.events.push_back(std::move(event));
    }
    for (const auto& a : detail::array<TLMPBUserAttribute>(*proto, BundleSlot::user_attributes)) {
      bundle.userProperties[NANOGetString(*a, TLMPBUserAttributeSlot::name).value_or("")] =
          detail::readValue<TLMPBUserAttributeSlot>(*a);
    }
    bundles.push_back(std::move(bundle));
  }
  return bundles;
}

// The bundle that carries the event of that name, or none.
inline const Bundle* bundleWithEvent(const std::vector<Bundle>& bundles, const std::string& name) {
  for (const auto& bundle : bundles) {
    for (const auto& event : bundle.events) {
      if (event.name == name) return &bundle;
    }
  }
  return nullptr;
}

// The first event of that name in any bundle, or none.
inline const Event* findEvent(const std::vector<Bundle>& bundles, const std::string& name) {
  const Bundle* bundle = bundleWithEvent(bundles, name);
  if (bundle == nullptr) return nullptr;
  for (const auto& event : bundle->events) {
    if (event.name == name) return &event;
  }
  return nullptr;
}

}  // namespace collector
