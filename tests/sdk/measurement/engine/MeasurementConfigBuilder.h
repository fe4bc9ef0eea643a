// Builds measurement configurations as the collection server sends them, for engine tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

using TLMTestSettings = std::vector<std::pair<std::string, std::string>>;

inline std::shared_ptr<TLMPBMeasurementConfig> TLMTestMeasurementConfig(
    const std::string& appID, const TLMTestSettings& settings, std::optional<std::int64_t> version = 7,
    const std::vector<std::shared_ptr<TLMPBEventConfig>>& eventConfigs = {}) {
  auto config = TLMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetString(*config, TLMPBMeasurementConfigSlot::measurement_app_id, appID);
  if (version) NANOSetInt64(*config, TLMPBMeasurementConfigSlot::version, *version);
  std::vector<std::shared_ptr<TLMPBSetting>> list;
  for (const auto& [name, value] : settings) {
    auto setting = TLMPBSetting::initWithMessageInfo(nullptr);
    NANOSetString(*setting, TLMPBSettingSlot::name, name);
    NANOSetString(*setting, TLMPBSettingSlot::value, value);
    list.push_back(setting);
  }
  NANOSetArray(*config, TLMPBMeasurementConfigSlot::settings, list);
  if (!eventConfigs.empty()) NANOSetArray(*config, TLMPBMeasurementConfigSlot::event_config, eventConfigs);
  return config;
}
