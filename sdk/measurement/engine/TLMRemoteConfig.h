// The measurement configuration sent by the collection server, turned into typed settings,
// per-event configuration (blacklisting, custom conversions, sampling rates), experiment ids and
// the configuration version; and the URL the configuration is fetched from.
//
// Settings are read only through the typed getters (one per row of TLMRemoteConfigSettings.h);
// an unparsable or out-of-range server value gives the compiled default. Getters and the other
// readers may be called from any thread; updating, parsing and database reads belong on the
// worker queue. The database is not owned: it must outlive the configuration.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMRemoteConfigSettings.h"

class TLMDatabase;
class TLMPBEventConfig;
class TLMPBMeasurementConfig;

// Scheme and host of the collection server, in front of the configuration path.
inline constexpr const char* kTLMCollectionServerURL = "https://tallymark.ombrix.com";
inline constexpr const char* kTLMRemoteConfigURLPathFormat = "/config/app/%@?";
// The ad-network product's origin; a library started by it also checks the ad-network app id.
inline constexpr const char* kTLMAdNetworkOrigin = "vx";

class TLMRemoteConfig {
 public:
  // Answers the origin the library was started with (the shared identifiers' origin).
  using OriginProvider = std::function<std::string()>;

  // The shared instance without app id, database or configuration: every getter answers its
  // default, version() is -1 and isExpired() false. Made once.
  static std::shared_ptr<TLMRemoteConfig> defaultInstance();

  // Needs a non-empty app id (else monitor 29000 and null) and a database (else 29001 and null);
  // loads the stored configuration. Worker queue.
  static std::shared_ptr<TLMRemoteConfig> initWithAppID(const std::string& appID,
                                                        TLMDatabase* database,
                                                        OriginProvider origin = {});
  // The designated initialiser: applies `measurementConfig` (updateMeasurementConfig) or, when
  // null, loads and parses the stored one. Without app id and database it is a default
  // instance.
  static std::shared_ptr<TLMRemoteConfig> initWithAppID(
      const std::string& appID, TLMDatabase* database,
      std::shared_ptr<TLMPBMeasurementConfig> measurementConfig, OriginProvider origin = {});

  TLMRemoteConfig(const TLMRemoteConfig&) = delete;
  TLMRemoteConfig& operator=(const TLMRemoteConfig&) = delete;

  const std::string& appID() const { return appID_; }
  bool isDefaultInstance() const { return isDefaultInstance_; }

  // Stores the configuration in the database and applies it. False (with a monitor message) on
  // the default instance (29002), for a configuration of another app id (29004) or, when the
  // library was started by the ad-network product, of another ad-network app id (29022), and
  // when storing fails (29005). Worker queue.
  bool updateMeasurementConfig(const std::shared_ptr<TLMPBMeasurementConfig>& config);
  // Caches the settings, experiment ids and event configurations of a configuration for this
  // app id; one for another app id is ignored.
  void parseRemoteConfigFromMeasurementConfig(const TLMPBMeasurementConfig& config);
  // The stored configuration, or null (after a monitor message). Worker queue.
  std::shared_ptr<TLMPBMeasurementConfig> measurementConfigFromDatabase();
  // Empties the caches; drops the configuration except on the default instance.
  void reset();
  std::shared_ptr<TLMPBMeasurementConfig> remoteConfigProto() const;

  // Per-event configuration, cached under the internal name of the event.
  std::shared_ptr<TLMPBEventConfig> eventConfigWithName(const std::string& name) const;
  bool isEventBlacklisted(const std::string& name) const;
  bool isEventCustomConversion(const std::string& name) const;
  bool eventHasSamplingRate(const std::string& name) const;
  // The configured rate when it lies in 2..65535, else 1.
  std::int32_t samplingRateForEvent(const std::string& name) const;

  // Version of the current configuration; -1 when there is none or it carries none.
  std::int64_t version() const;
  // When the configuration was last stored or confirmed, seconds since 1970; 0 when unknown.
  double lastRemoteConfigUpdateTimestamp() const;
  // Whether |now - last update| has reached the cache time. Worker queue.
  bool isExpired() const;
  // Experiment ids switched on by the configuration's settings, in ascending order.
  std::vector<std::int64_t> experimentIDs() const;

  // "<server>/config/app/<app id>?app_instance_id=..&platform=..&qpx_version=.."; empty (after
  // monitor 29010) when the app instance id or the platform is missing.
  std::optional<std::string> remoteConfigURLWithAppInstanceID(
      const std::optional<std::string>& appInstanceID, const std::optional<std::string>& platform,
      std::int64_t SDKVersion) const;

  // Typed readers over the setting cache. An empty key gives 0 (monitor 29020).
  double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                               double maxValue, double minValue) const;
  std::int32_t intValueFromCacheWithKey(const std::string& key, std::int32_t defaultValue,
                                        std::int32_t maxValue, std::int32_t minValue) const;
  std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue,
                                          std::int64_t maxValue, std::int64_t minValue) const;
  std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue) const;

  // Any setting by its table row, as a double (bools as 0 or 1).
  double numberForSetting(TLMSetting setting) const;
  template <TLMSettingKind Kind>
  typename TLMSettingKindTraits<Kind>::Type settingValue(TLMSetting setting) const {
    using Type = typename TLMSettingKindTraits<Kind>::Type;
    if constexpr (Kind == TLMSettingKind::Bool) {
      return numberForSetting(setting) != 0;
    } else {
      return static_cast<Type>(numberForSetting(setting));
    }
  }

  // One getter per setting: uploadingInterval(), maxEventsPerDay(), blacklistPublic(), ...
#define TLM_SETTING_GETTER(getter, key, kind, def, min, max)              \
  typename TLMSettingKindTraits<TLMSettingKind::kind>::Type getter() const { \
    return settingValue<TLMSettingKind::kind>(TLMSetting::getter);           \
  }
  TLM_REMOTE_SETTINGS(TLM_SETTING_GETTER)
#undef TLM_SETTING_GETTER

  // Test support: the server in front of the configuration path (empty restores the default).
  static void setCollectionServerURLForTesting(const std::string& url);

 private:
  TLMRemoteConfig(std::string appID, TLMDatabase* database, OriginProvider origin);
  using NumberBlock = double (*)(double);
  // The bounded number for `key`; empty for an empty key. `hasBounds` false reads unbounded.
  std::optional<double> numberFromCacheWithKey(const std::string& key, double defaultValue,
                                               std::optional<double> maxValue,
                                               std::optional<double> minValue,
                                               NumberBlock block) const;
  void cacheValue(const platform::Value& value, const std::string& key) const;
  std::string origin() const;

  const std::string appID_;
  TLMDatabase* const database_;
  const OriginProvider origin_;
  const bool isDefaultInstance_;

  mutable std::mutex mutex_;
  // Setting key -> the server's string until first read, then the bounded number.
  mutable std::map<std::string, platform::Value> cachedValueByRemoteConfigKeys_;
  std::map<std::string, std::shared_ptr<TLMPBEventConfig>> cachedEventConfigByEventName_;
  std::set<std::int64_t> cachedExperimentIDs_;
  std::shared_ptr<TLMPBMeasurementConfig> remoteConfigProto_;
};
