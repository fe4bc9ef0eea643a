// One fuzz input for the configuration reply: the bytes are a reply body as the collection server
// sends it. A body that decodes is parsed by the remote settings as the engine applies it, every
// setting is read through its getter, the per-event configuration is looked up, and every
// audience filter it defines is evaluated against a few values. Returns false when a promise
// breaks: a setting that is neither its default nor within its bounds, or a sampling rate
// outside 1..65535. Hanging or crashing is the fuzzer's to find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/audiences/TLMAudienceFilterEvaluation.h"
#include "measurement/model/TLMEventAggregates.h"
#include "measurement/model/TLMUserAttribute.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace fuzzconfig {

// The values every filter meets: short and long text, a numeric text, whole and fractional numbers.
inline std::vector<TLMValue> sampleValues() {
  return {TLMValue("level_up"), TLMValue(std::string(100, 'a') + "!"), TLMValue("-12.5"),
          TLMValue(std::int64_t{42}), TLMValue(-0.5)};
}

inline void evaluateAudiences(const TLMPBMeasurementConfig& message) {
  const auto values = sampleValues();
  const auto audiences = NANOGetArray<TLMPBAudience>(message, TLMPBMeasurementConfigSlot::audiences)
                             .value_or(std::vector<std::shared_ptr<TLMPBAudience>>{});
  for (const auto& audience : audiences) {
    for (const auto& filter : NANOGetArray<TLMPBPropertyFilter>(*audience, TLMPBAudienceSlot::property_filters)
                                  .value_or(std::vector<std::shared_ptr<TLMPBPropertyFilter>>{})) {
      const std::string name = NANOGetString(*filter, TLMPBPropertyFilterSlot::property_name).value_or("p");
      for (const TLMValue& value : values) {
        auto property = TLMUserAttribute::initWithOrigin("app", name.empty() ? "p" : name, value, 1);
        if (property) TLMAudienceEvaluatePropertyFilter(filter.get(), &*property);
      }
    }
    for (const auto& filter : NANOGetArray<TLMPBEventFilter>(*audience, TLMPBAudienceSlot::event_filters)
                                  .value_or(std::vector<std::shared_ptr<TLMPBEventFilter>>{})) {
      const std::string name = NANOGetString(*filter, TLMPBEventFilterSlot::event_name).value_or("e");
      TLMParameters parameters;
      const auto conditions = NANOGetArray<TLMPBFilter>(*filter, TLMPBEventFilterSlot::filters)
                                  .value_or(std::vector<std::shared_ptr<TLMPBFilter>>{});
      for (std::size_t i = 0; i < conditions.size(); ++i) {
        const std::string parameter = NANOGetString(*conditions[i], TLMPBFilterSlot::param_name).value_or("");
        if (!parameter.empty()) parameters.set(parameter, values[i % values.size()]);
        for (const TLMValue& value : values) TLMAudienceEvaluateFilterWithValue(*conditions[i], value);
      }
      auto aggregates = TLMEventAggregates::initWithName(name.empty() ? "e" : name, 3, 1, 2, 1);
      for (bool sessionScoped : {false, true}) {
        TLMAudienceEvaluateEventFilter(filter.get(), name, parameters, aggregates ? &*aggregates : nullptr,
                                       sessionScoped);
      }
    }
  }
}

}  // namespace fuzzconfig

// `database` holds no configuration: each input is parsed by a fresh remote configuration.
inline bool fuzzMeasurementConfigOne(TLMDatabase& database, const uint8_t* data, size_t size) {
  auto message = TLMPBMeasurementConfig::initWithBuffer(platform::Bytes(data, data + size));
  if (!message) return true;
  std::string appID = NANOGetString(*message, TLMPBMeasurementConfigSlot::measurement_app_id).value_or("");
  if (appID.empty()) appID = "1:1234:ios:abcd";
  auto config = TLMRemoteConfig::initWithAppID(appID, &database, std::shared_ptr<TLMPBMeasurementConfig>());
  if (!config) return true;
  config->parseRemoteConfigFromMeasurementConfig(*message);
  for (const TLMSettingDefinition& d : kTLMSettingDefinitions) {
    const double value = config->numberForSetting(d.setting);
    if (value != d.defaultValue && !(d.minValue <= value && value <= d.maxValue)) return false;
  }
  for (const auto& event : NANOGetArray<TLMPBEventConfig>(*message, TLMPBMeasurementConfigSlot::event_config)
                               .value_or(std::vector<std::shared_ptr<TLMPBEventConfig>>{})) {
    const std::string name = NANOGetString(*event, TLMPBEventConfigSlot::name).value_or("");
    config->eventConfigWithName(name);
    config->isEventBlacklisted(name);
    config->isEventCustomConversion(name);
    config->eventHasSamplingRate(name);
    const std::int32_t rate = config->samplingRateForEvent(name);
    if (rate < 1 || rate > 65535) return false;
  }
  config->experimentIDs();
  config->version();
  fuzzconfig::evaluateAudiences(*message);
  return true;
}
