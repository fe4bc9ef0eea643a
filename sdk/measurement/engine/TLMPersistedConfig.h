// Small pieces of measurement state that must survive restarts but do not belong in the
// database: identifiers, version stamps, upload and back-off times, session bookkeeping and a few
// switches. A typed facade over one preferences suite; every key starts with
// "/ombrix/measurement/". The measurement-enabled state alone lives in the standard preferences,
// so clearing the suite keeps it.
//
// All typed access runs on one serial queue ("TLMPersistedConfig"), so each read and write is
// whole; every member is thread-safe and may be called from any queue. Writes reach the disk
// through the suite's debounced synchronisation: a burst of writes costs one synchronisation about
// a second after the last.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "dispatch/Queue.h"
#include "measurement/engine/TLMUserDefaults.h"

inline constexpr const char* kTLMPersistedConfigName = "com.ombrix.qpx.measurement";

// Values of measurementEnabledState.
enum TLMMeasurementEnabledState : std::int64_t {
  TLMMeasurementEnabledStateUnset = 0,
  TLMMeasurementEnabledStateEnabled = 1,
  TLMMeasurementEnabledStateDisabled = 2,
};

class TLMPersistedConfig {
 public:
  // The library's one instance, over the suite "com.ombrix.qpx.measurement".
  static std::shared_ptr<TLMPersistedConfig> sharedInstance();
  // nullptr for an empty name.
  static std::shared_ptr<TLMPersistedConfig> initWithSuiteName(const std::string& name);
  // Tests: over a store made by the caller (its suite name is the config's name); nullptr for a
  // null store or a store without suite name.
  static std::shared_ptr<TLMPersistedConfig> initWithUserDefaults(TLMUserDefaultsPtr userDefaults);

  const std::string& name() const { return userDefaults_->suiteName(); }
  const TLMUserDefaultsPtr& userDefaults() const { return userDefaults_; }

  // Typed primitives over the suite; an empty key reads 0 / nothing. int64ForKey reads only
  // numbers (a string gives 0).
  std::int64_t int64ForKey(const std::string& key) const;
  std::int64_t int64ForKey(const std::string& key, const TLMUserDefaults& userDefaults) const;
  double doubleForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  void setInt64(std::int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  // An empty optional removes the key.
  void setString(const std::optional<std::string>& value, const std::string& key);

  // Empties the suite (the midnight offset is drawn anew at its next read).
  void clearValues();
  void scheduleSynchronizeToDisk();
  void synchronizeToDisk();

  double lastDeleteStaleBundlesTimestamp() const;
  void setLastDeleteStaleBundlesTimestamp(double value);
  std::optional<bool> searchAdCampaignValue() const;
  void setSearchAdCampaignValue(std::optional<bool> value);
  double lastSearchAdLookUpTimestamp() const;
  void setLastSearchAdLookUpTimestamp(double value);
  std::int64_t searchAdRetryCount() const;
  void setSearchAdRetryCount(std::int64_t value);
  std::optional<std::string> appInstanceID() const;
  void setAppInstanceID(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromQPX() const;
  void setAppIDFromQPX(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromVeltrix() const;
  void setAppIDFromVeltrix(const std::optional<std::string>& value);
  std::optional<std::string> hashedIDFA() const;
  void setHashedIDFA(const std::optional<std::string>& value);
  // In the standard preferences; written to disk at once.
  std::int64_t measurementEnabledState() const;
  void setMeasurementEnabledState(std::int64_t state);
  double lastBackoffTimestamp() const;
  void setLastBackoffTimestamp(double value);
  double lastSuccessfulUploadTimestamp() const;
  void setLastSuccessfulUploadTimestamp(double value);
  double lastFailedUploadTimestamp() const;
  void setLastFailedUploadTimestamp(double value);
  std::optional<std::string> appVersion() const;
  void setAppVersion(const std::optional<std::string>& value);
  std::optional<std::string> osVersion() const;
  void setOSVersion(const std::optional<std::string>& value);
  // How many app or system updates this build (and later ones) found: an older build writes the
  // version alone, so an update after its run is told from the last one logged.
  std::int64_t appVersionChangeCount() const;
  void setAppVersionChangeCount(std::int64_t value);
  std::int64_t osVersionChangeCount() const;
  void setOSVersionChangeCount(std::int64_t value);
  // Seconds in [0, 86400) in millisecond steps, drawn once from the platform's random source and
  // kept; it shifts the device's day boundary for the daily counts.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp() const;
  void setLastMonitorDataSampledTimestamp(double value);
  std::int64_t firstOpenTimestampMilliseconds() const;
  void setFirstOpenTimestampMilliseconds(std::int64_t value);
  std::optional<std::string> configServerLastModifiedString() const;
  void setConfigServerLastModifiedString(const std::optional<std::string>& value);
  std::optional<bool> deferredAnalyticsCollection() const;
  void setDeferredAnalyticsCollection(std::optional<bool> value);
  std::optional<double> loadTimestampValue() const;
  void setLoadTimestampValue(std::optional<double> value);
  std::optional<bool> allowPersonalizedAds() const;
  void setAllowPersonalizedAds(std::optional<bool> value);
  bool startNewSession() const;
  void setStartNewSession(bool value);
  double lastSessionActivityClockTime() const;
  void setLastSessionActivityClockTime(double value);
  double engagementTimeBeforeSessionStart() const;
  void setEngagementTimeBeforeSessionStart(double value);
  std::int64_t sessionNumber() const;
  void setSessionNumber(std::int64_t value);

 private:
  explicit TLMPersistedConfig(TLMUserDefaultsPtr userDefaults);
  platform::Value objectForKey(const std::string& key) const;
  // Stores without scheduling the config's own synchronisation.
  void setObject(const platform::Value& value, const std::string& key);

  const TLMUserDefaultsPtr userDefaults_;
  const std::shared_ptr<platform::Queue> serialQueue_;
};
