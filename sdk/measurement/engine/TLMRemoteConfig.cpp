#include "measurement/engine/TLMRemoteConfig.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "dispatch/Clock.h"
#include "foundation/Decimal.h"
#include "foundation/Format.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

using platform::Value;

namespace {

Value errorContext(const platform::Error& error) {
  return Value::object(std::make_shared<platform::Error>(error));
}

std::mutex& serverMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& serverURL() {
  static std::string& url = *new std::string(kTLMCollectionServerURL);
  return url;
}

// A setting's text as the decimal number formatter reads it: plain decimal text only.
std::optional<double> numberFromString(const std::string& text) {
  if (!TLMIsValidNumericString(text)) return std::nullopt;
  std::optional<platform::Decimal> decimal = platform::Decimal::parse(text);
  if (!decimal) return std::nullopt;
  return decimal->toDouble();
}

// Interval settings travel in milliseconds: whole milliseconds to seconds.
double secondsFromMilliseconds(double milliseconds) { return std::trunc(milliseconds) / 1000.0; }

// Beyond this a value has no 64-bit integer reading; such a value counts as unreadable.
constexpr double kInt64Limit = 9223372036854775807.0;

}  // namespace

TLMRemoteConfig::TLMRemoteConfig(std::string appID, TLMDatabase* database, OriginProvider origin)
    : appID_(std::move(appID)),
      database_(database),
      origin_(std::move(origin)),
      isDefaultInstance_(database == nullptr && appID_.empty()) {}

std::shared_ptr<TLMRemoteConfig> TLMRemoteConfig::defaultInstance() {
  static const std::shared_ptr<TLMRemoteConfig>& instance = *new std::shared_ptr<TLMRemoteConfig>(
      new TLMRemoteConfig(std::string(), nullptr, OriginProvider()));
  return instance;
}

std::shared_ptr<TLMRemoteConfig> TLMRemoteConfig::initWithAppID(const std::string& appID,
                                                                TLMDatabase* database,
                                                                OriginProvider origin) {
  if (appID.empty()) {
    tlm_monitor()->logWithLevel(1, 29000, "Cannot init remote configuration without valid Ombrix App ID");
    return nullptr;
  }
  if (database == nullptr) {
    tlm_monitor()->logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, database, nullptr, std::move(origin));
}

std::shared_ptr<TLMRemoteConfig> TLMRemoteConfig::initWithAppID(
    const std::string& appID, TLMDatabase* database,
    std::shared_ptr<TLMPBMeasurementConfig> measurementConfig, OriginProvider origin) {
  std::shared_ptr<TLMRemoteConfig> config(new TLMRemoteConfig(appID, database, std::move(origin)));
  if (config->isDefaultInstance_) return config;
  if (measurementConfig) {
    config->updateMeasurementConfig(measurementConfig);
  } else if (std::shared_ptr<TLMPBMeasurementConfig> stored = config->measurementConfigFromDatabase()) {
    {
      std::lock_guard<std::mutex> lock(config->mutex_);
      config->remoteConfigProto_ = stored;
    }
    config->parseRemoteConfigFromMeasurementConfig(*stored);
  }
  return config;
}

std::string TLMRemoteConfig::origin() const { return origin_ ? origin_() : std::string(); }

bool TLMRemoteConfig::updateMeasurementConfig(const std::shared_ptr<TLMPBMeasurementConfig>& config) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    tlm_monitor()->logWithLevel(1, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) return false;
  if (origin() == kTLMAdNetworkOrigin &&
      NANOGetString(*config, TLMPBMeasurementConfigSlot::ads_app_id).value_or("") != appID_) {
    tlm_monitor()->logWithLevel(1, 29022, "Cannot set measurement config when Veltrix App ID does not match");
    return false;
  }
  if (NANOGetString(*config, TLMPBMeasurementConfigSlot::measurement_app_id).value_or("") != appID_) {
    tlm_monitor()->logWithLevel(1, 29004, "Cannot set measurement config when Ombrix App ID does not match");
    return false;
  }
  platform::Error error;
  if (database_ == nullptr || !database_->updateRemoteConfig(*config, &error)) {
    tlm_monitor()->logWithLevel(1, 29005, "Cannot store config into the database", errorContext(error));
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remoteConfigProto_ = config;
  }
  parseRemoteConfigFromMeasurementConfig(*config);
  return true;
}

void TLMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const TLMPBMeasurementConfig& config) {
  auto settings = NANOGetArray<TLMPBSetting>(config, TLMPBMeasurementConfigSlot::settings);
  if (!settings || settings->empty()) {
    tlm_monitor()->logWithLevel(1, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (NANOGetString(config, TLMPBMeasurementConfigSlot::measurement_app_id).value_or("") != appID_) {
    return;
  }
  const platform::Dictionary experimentIDMap = TLMDatabase::TLMExperimentIDs();
  std::map<std::string, Value> values;
  std::set<std::int64_t> experimentIDs;
  for (const auto& setting : *settings) {
    std::optional<std::string> name = NANOGetString(*setting, TLMPBSettingSlot::name);
    std::optional<std::string> value = NANOGetString(*setting, TLMPBSettingSlot::value);
    if (!name || name->empty() || !value) {
      tlm_monitor()->logWithLevel(4, 29019, "Cannot cache empty configuration value");
      continue;
    }
    values.insert_or_assign(*name, Value(*value));
    if (std::optional<std::int64_t> id = experimentIDMap.get(*name).int64Value()) {
      experimentIDs.insert(*id);
    }
  }
  std::map<std::string, std::shared_ptr<TLMPBEventConfig>> eventConfigs;
  auto configured = NANOGetArray<TLMPBEventConfig>(config, TLMPBMeasurementConfigSlot::event_config);
  for (const auto& eventConfig : configured.value_or(std::vector<std::shared_ptr<TLMPBEventConfig>>())) {
    std::string name = NANOGetString(*eventConfig, TLMPBEventConfigSlot::name).value_or("");
    if (name.empty()) {
      tlm_monitor()->logWithLevel(4, 29013,
                                  "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    if (const std::string* internal = TLMInternalEventNames().find(name)) name = *internal;
    eventConfigs.insert_or_assign(name, eventConfig);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cachedValueByRemoteConfigKeys_ = std::move(values);
    cachedExperimentIDs_ = std::move(experimentIDs);
    cachedEventConfigByEventName_ = std::move(eventConfigs);
  }
  if (NANOHasField(config, TLMPBMeasurementConfigSlot::version)) {
    tlm_monitor()->logWithLevel(7, 29014, "Successfully parsed a configuration. Version",
                                Value(NANOGetInt64(config, TLMPBMeasurementConfigSlot::version)));
  }
}

std::shared_ptr<TLMPBMeasurementConfig> TLMRemoteConfig::measurementConfigFromDatabase() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefaultInstance_ || database_ == nullptr) {
    tlm_monitor()->logWithLevel(
        1, 29015, "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  platform::Error error;
  std::shared_ptr<TLMPBMeasurementConfig> config = database_->queryMeasurementConfigWithError(&error);
  if (!error.domain.empty()) {
    tlm_monitor()->logWithLevel(1, 29016, "Cannot retrieve configuration data from database. Error",
                                errorContext(error));
    return nullptr;
  }
  if (!config) {
    tlm_monitor()->logWithLevel(7, 29017,
                                "Configuration was not found in database. The configuration will be "
                                "fetched from the network when necessary");
  }
  return config;
}

void TLMRemoteConfig::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedValueByRemoteConfigKeys_.clear();
  cachedEventConfigByEventName_.clear();
  cachedExperimentIDs_.clear();
  if (!isDefaultInstance_) remoteConfigProto_.reset();
}

std::shared_ptr<TLMPBMeasurementConfig> TLMRemoteConfig::remoteConfigProto() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return remoteConfigProto_;
}

std::shared_ptr<TLMPBEventConfig> TLMRemoteConfig::eventConfigWithName(const std::string& name) const {
  if (name.empty()) {
    tlm_monitor()->logWithLevel(4, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cachedEventConfigByEventName_.find(name);
  return it == cachedEventConfigByEventName_.end() ? nullptr : it->second;
}

bool TLMRemoteConfig::isEventBlacklisted(const std::string& name) const {
  std::shared_ptr<TLMPBEventConfig> config = eventConfigWithName(name);
  if (config && NANOGetBool(*config, TLMPBEventConfigSlot::blacklisted)) return true;
  return TLMEventUtilIsPublicName(TLMObject(name)) ? blacklistPublic() : blacklistInternal();
}

bool TLMRemoteConfig::isEventCustomConversion(const std::string& name) const {
  std::shared_ptr<TLMPBEventConfig> config = eventConfigWithName(name);
  return config && NANOHasField(*config, TLMPBEventConfigSlot::custom_conversion) &&
         NANOGetBool(*config, TLMPBEventConfigSlot::custom_conversion);
}

bool TLMRemoteConfig::eventHasSamplingRate(const std::string& name) const {
  std::shared_ptr<TLMPBEventConfig> config = eventConfigWithName(name);
  return config && NANOHasField(*config, TLMPBEventConfigSlot::sampling_rate);
}

std::int32_t TLMRemoteConfig::samplingRateForEvent(const std::string& name) const {
  std::shared_ptr<TLMPBEventConfig> config = eventConfigWithName(name);
  if (!config || !NANOHasField(*config, TLMPBEventConfigSlot::sampling_rate)) {
    return kTLMDefaultSamplingRate;
  }
  const std::int32_t rate = NANOGetInt32(*config, TLMPBEventConfigSlot::sampling_rate);
  return rate >= kTLMMinimumSamplingRate && rate <= kTLMMaximumSamplingRate ? rate
                                                                            : kTLMDefaultSamplingRate;
}

std::int64_t TLMRemoteConfig::version() const {
  std::shared_ptr<TLMPBMeasurementConfig> config = remoteConfigProto();
  if (!config || !NANOHasField(*config, TLMPBMeasurementConfigSlot::version)) return -1;
  return NANOGetInt64(*config, TLMPBMeasurementConfigSlot::version);
}

double TLMRemoteConfig::lastRemoteConfigUpdateTimestamp() const {
  if (isDefaultInstance_ || database_ == nullptr) {
    tlm_monitor()->logWithLevel(
        1, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  platform::Error error;
  std::optional<double> timestamp = database_->lastRemoteConfigUpdateTimestamp(&error);
  if (!error.domain.empty()) {
    tlm_monitor()->logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                                errorContext(error));
    return 0;
  }
  return timestamp.value_or(0);
}

bool TLMRemoteConfig::isExpired() const {
  if (isDefaultInstance_ || database_ == nullptr) {
    tlm_monitor()->logWithLevel(1, 29007,
                                "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double age = std::fabs(platform::Clock::current()->now() - lastRemoteConfigUpdateTimestamp());
  return age >= remoteConfigCacheTimeInterval();
}

std::vector<std::int64_t> TLMRemoteConfig::experimentIDs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<std::int64_t>(cachedExperimentIDs_.begin(), cachedExperimentIDs_.end());
}

std::optional<std::string> TLMRemoteConfig::remoteConfigURLWithAppInstanceID(
    const std::optional<std::string>& appInstanceID, const std::optional<std::string>& platform,
    std::int64_t SDKVersion) const {
  if (!appInstanceID || !platform) {
    tlm_monitor()->logWithLevel(1, 29010,
                                "Cannot create a URL to fetch a configuration with empty app instance "
                                "ID or empty platform (app instance, platform)",
                                appInstanceID ? Value(*appInstanceID) : Value(),
                                platform ? Value(*platform) : Value());
    return std::nullopt;
  }
  platform::Dictionary query;
  query.set("app_instance_id", Value(*appInstanceID));
  query.set("platform", Value(*platform));
  query.set("qpx_version", Value(SDKVersion));
  std::string server;
  {
    std::lock_guard<std::mutex> lock(serverMutex());
    server = serverURL();
  }
  return server + platform::format(kTLMRemoteConfigURLPathFormat, appID_) + tlm_queryString(query);
}

void TLMRemoteConfig::setCollectionServerURLForTesting(const std::string& url) {
  std::lock_guard<std::mutex> lock(serverMutex());
  serverURL() = url.empty() ? std::string(kTLMCollectionServerURL) : url;
}

// MARK: - Settings

void TLMRemoteConfig::cacheValue(const Value& value, const std::string& key) const {
  if (value.isNull() || key.empty()) {
    tlm_monitor()->logWithLevel(4, 29019, "Cannot cache empty configuration value");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  cachedValueByRemoteConfigKeys_.insert_or_assign(key, value);
}

std::optional<double> TLMRemoteConfig::numberFromCacheWithKey(const std::string& key,
                                                              double defaultValue,
                                                              std::optional<double> maxValue,
                                                              std::optional<double> minValue,
                                                              NumberBlock block) const {
  if (key.empty()) {
    tlm_monitor()->logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  Value cached;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cachedValueByRemoteConfigKeys_.find(key);
    if (it == cachedValueByRemoteConfigKeys_.end()) {
      cachedValueByRemoteConfigKeys_.emplace(key, Value(defaultValue));
      return defaultValue;
    }
    if (it->second.isNumber()) return it->second.doubleValue();
    cached = it->second;
  }
  std::optional<double> number;
  if (const std::string* text = cached.stringPtr()) {
    number = numberFromString(*text);
  } else {
    tlm_monitor()->logWithLevel(1, 29018, "Cannot parse number from non-string");
  }
  if (number && std::fabs(*number) >= kInt64Limit) number.reset();
  if (number && block != nullptr) number = block(*number);
  if (!number || (minValue && *number < *minValue) || (maxValue && *number > *maxValue)) {
    number = defaultValue;
  }
  {
    // Write the bounded number back only over the string it came from: a configuration parsed
    // meanwhile keeps its own value.
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cachedValueByRemoteConfigKeys_.find(key);
    if (it != cachedValueByRemoteConfigKeys_.end() && it->second == cached) {
      it->second = Value(*number);
    }
  }
  return number;
}

double TLMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) const {
  return numberFromCacheWithKey(key, defaultValue, maxValue, minValue, &secondsFromMilliseconds)
      .value_or(0);
}

std::int32_t TLMRemoteConfig::intValueFromCacheWithKey(const std::string& key,
                                                       std::int32_t defaultValue,
                                                       std::int32_t maxValue,
                                                       std::int32_t minValue) const {
  return static_cast<std::int32_t>(
      numberFromCacheWithKey(key, defaultValue, maxValue, minValue, nullptr).value_or(0));
}

std::int64_t TLMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue,
                                                         std::int64_t maxValue,
                                                         std::int64_t minValue) const {
  return static_cast<std::int64_t>(
      numberFromCacheWithKey(key, static_cast<double>(defaultValue), static_cast<double>(maxValue),
                             static_cast<double>(minValue), nullptr)
          .value_or(0));
}

std::int64_t TLMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue) const {
  return static_cast<std::int64_t>(
      numberFromCacheWithKey(key, static_cast<double>(defaultValue), std::nullopt, std::nullopt,
                             nullptr)
          .value_or(0));
}

double TLMRemoteConfig::numberForSetting(TLMSetting setting) const {
  const TLMSettingDefinition& d = TLMSettingDefinitionFor(setting);
  switch (d.kind) {
    case TLMSettingKind::Interval:
      return timeIntervalInSecondsFromCacheWithKey(d.key, d.defaultValue, d.maxValue, d.minValue);
    case TLMSettingKind::IntReadAsInterval:
      return std::trunc(
          timeIntervalInSecondsFromCacheWithKey(d.key, d.defaultValue, d.maxValue, d.minValue));
    case TLMSettingKind::Int:
    case TLMSettingKind::Bool:
      return intValueFromCacheWithKey(d.key, static_cast<std::int32_t>(d.defaultValue),
                                      static_cast<std::int32_t>(d.maxValue),
                                      static_cast<std::int32_t>(d.minValue));
    case TLMSettingKind::Int64:
      return static_cast<double>(int64ValueFromCacheWithKey(
          d.key, static_cast<std::int64_t>(d.defaultValue), static_cast<std::int64_t>(d.maxValue),
          static_cast<std::int64_t>(d.minValue)));
  }
  return d.defaultValue;
}
