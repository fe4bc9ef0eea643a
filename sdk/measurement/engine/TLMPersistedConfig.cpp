#include "measurement/engine/TLMPersistedConfig.h"

#include "dispatch/Random.h"
#include "measurement/model/TLMMonitor.h"

namespace {

constexpr const char* kLastDeleteStaleKey = "/ombrix/measurement/last_delete_stale";
constexpr const char* kSearchAdCampaignKey = "/ombrix/measurement/is_search_ad_campaign";
constexpr const char* kSearchAdLastAttemptKey = "/ombrix/measurement/search_ad_last_attempt_timestamp";
constexpr const char* kSearchAdRetriesKey = "/ombrix/measurement/search_ad_number_of_retries";
constexpr const char* kAppInstanceIDKey = "/ombrix/measurement/app_instance_id";
constexpr const char* kQPXAppIDKey = "/ombrix/measurement/qpx_app_id";
constexpr const char* kVeltrixAppIDKey = "/ombrix/measurement/veltrix_app_id";
constexpr const char* kHashedIDFAKey = "/ombrix/measurement/hashed_idfa";
constexpr const char* kMeasurementEnabledStateKey = "/ombrix/measurement/measurement_enabled_state";
constexpr const char* kLastBackoffKey = "/ombrix/measurement/last_backoff";
constexpr const char* kLastSuccessfulUploadKey = "/ombrix/measurement/last_successful_upload";
constexpr const char* kLastFailedUploadKey = "/ombrix/measurement/last_failed_upload";
constexpr const char* kAppVersionKey = "/ombrix/measurement/app_version";
constexpr const char* kOSVersionKey = "/ombrix/measurement/os_version";
constexpr const char* kAppVersionChangesKey = "/ombrix/measurement/app_version_changes";
constexpr const char* kOSVersionChangesKey = "/ombrix/measurement/os_version_changes";
constexpr const char* kMidnightOffsetKey = "/ombrix/measurement/midnight_offset";
constexpr const char* kLastMonitorSampledKey = "/ombrix/measurement/last_monitor_data_sampled_timestamp";
constexpr const char* kFirstOpenKey = "/ombrix/measurement/first_open_timestamp_ms";
constexpr const char* kLastModifiedKey = "/ombrix/measurement/last_modified_since_key";
constexpr const char* kDeferredCollectionKey = "/ombrix/measurement/deferred_analytics_collection";
constexpr const char* kLoadTimestampKey = "/ombrix/measurement/load_timestamp";
constexpr const char* kAllowPersonalizedAdsKey = "/ombrix/measurement/allow_personalized_ads";
constexpr const char* kStartNewSessionKey = "/ombrix/measurement/start_new_session";
constexpr const char* kLastEngagementEndKey = "/ombrix/measurement/last_engagement_end";
constexpr const char* kEngagementBeforeSessionKey = "/ombrix/measurement/et_before_session_start";
constexpr const char* kSessionNumberKey = "/ombrix/measurement/session_number";

constexpr std::uint32_t kMillisecondsPerDay = 86400000;

std::optional<bool> optionalBool(const platform::Value& value) {
  return value.isNumber() ? value.boolValue() : std::nullopt;
}

platform::Value fromOptional(std::optional<bool> value) { return value ? platform::Value(*value) : platform::Value(); }

}  // namespace

std::shared_ptr<TLMPersistedConfig> TLMPersistedConfig::sharedInstance() {
  // Never destroyed: background queues may still use it while the process exits.
  static auto* shared = new std::shared_ptr<TLMPersistedConfig>(initWithSuiteName(kTLMPersistedConfigName));
  if (!*shared) TLMMeasurement::monitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  return *shared;
}

std::shared_ptr<TLMPersistedConfig> TLMPersistedConfig::initWithSuiteName(const std::string& name) {
  if (name.empty()) return nullptr;
  return initWithUserDefaults(TLMUserDefaults::initWithSuiteName(name));
}

std::shared_ptr<TLMPersistedConfig> TLMPersistedConfig::initWithUserDefaults(TLMUserDefaultsPtr userDefaults) {
  if (!userDefaults || userDefaults->suiteName().empty()) return nullptr;
  return std::shared_ptr<TLMPersistedConfig>(new TLMPersistedConfig(std::move(userDefaults)));
}

TLMPersistedConfig::TLMPersistedConfig(TLMUserDefaultsPtr userDefaults)
    : userDefaults_(std::move(userDefaults)), serialQueue_(platform::Queue::serial("TLMPersistedConfig")) {}

platform::Value TLMPersistedConfig::objectForKey(const std::string& key) const {
  platform::Value value;
  serialQueue_->sync([&] { value = userDefaults_->objectForKey(key); });
  return value;
}

void TLMPersistedConfig::setObject(const platform::Value& value, const std::string& key) {
  serialQueue_->sync([&] { userDefaults_->setObject(value, key); });
}

std::int64_t TLMPersistedConfig::int64ForKey(const std::string& key) const { return int64ForKey(key, *userDefaults_); }

std::int64_t TLMPersistedConfig::int64ForKey(const std::string& key, const TLMUserDefaults& userDefaults) const {
  if (key.empty()) return 0;
  platform::Value value;
  serialQueue_->sync([&] { value = userDefaults.objectForKey(key); });
  return value.isNumber() ? value.int64Value().value_or(0) : 0;
}

double TLMPersistedConfig::doubleForKey(const std::string& key) const {
  if (key.empty()) return 0;
  double value = 0;
  serialQueue_->sync([&] { value = userDefaults_->doubleForKey(key); });
  return value;
}

std::optional<std::string> TLMPersistedConfig::stringForKey(const std::string& key) const {
  if (key.empty()) return std::nullopt;
  std::optional<std::string> value;
  serialQueue_->sync([&] { value = userDefaults_->stringForKey(key); });
  return value;
}

void TLMPersistedConfig::setInt64(std::int64_t value, const std::string& key) {
  serialQueue_->sync([&] {
    userDefaults_->setObject(platform::Value(static_cast<long long>(value)), key);
    scheduleSynchronizeToDisk();
  });
}

void TLMPersistedConfig::setDouble(double value, const std::string& key) {
  serialQueue_->sync([&] {
    userDefaults_->setDouble(value, key);
    scheduleSynchronizeToDisk();
  });
}

void TLMPersistedConfig::setString(const std::optional<std::string>& value, const std::string& key) {
  serialQueue_->sync([&] {
    userDefaults_->setObject(value ? platform::Value(*value) : platform::Value(), key);
    scheduleSynchronizeToDisk();
  });
}

void TLMPersistedConfig::clearValues() {
  serialQueue_->sync([&] { userDefaults_->clearAllData(); });
}

// The store debounces its own synchronisation: one more request pushes that same one back, so
// writes through the config and through the store share one synchronisation.
void TLMPersistedConfig::scheduleSynchronizeToDisk() { userDefaults_->scheduleSynchronize(); }

void TLMPersistedConfig::synchronizeToDisk() {
  serialQueue_->sync([&] { userDefaults_->synchronize(); });
}

double TLMPersistedConfig::lastDeleteStaleBundlesTimestamp() const { return doubleForKey(kLastDeleteStaleKey); }
void TLMPersistedConfig::setLastDeleteStaleBundlesTimestamp(double value) { setDouble(value, kLastDeleteStaleKey); }

std::optional<bool> TLMPersistedConfig::searchAdCampaignValue() const {
  return optionalBool(objectForKey(kSearchAdCampaignKey));
}
void TLMPersistedConfig::setSearchAdCampaignValue(std::optional<bool> value) {
  setObject(fromOptional(value), kSearchAdCampaignKey);
}

double TLMPersistedConfig::lastSearchAdLookUpTimestamp() const { return doubleForKey(kSearchAdLastAttemptKey); }
void TLMPersistedConfig::setLastSearchAdLookUpTimestamp(double value) { setDouble(value, kSearchAdLastAttemptKey); }

std::int64_t TLMPersistedConfig::searchAdRetryCount() const { return int64ForKey(kSearchAdRetriesKey); }
void TLMPersistedConfig::setSearchAdRetryCount(std::int64_t value) { setInt64(value, kSearchAdRetriesKey); }

std::optional<std::string> TLMPersistedConfig::appInstanceID() const { return stringForKey(kAppInstanceIDKey); }
void TLMPersistedConfig::setAppInstanceID(const std::optional<std::string>& value) {
  setString(value, kAppInstanceIDKey);
}

std::optional<std::string> TLMPersistedConfig::appIDFromQPX() const { return stringForKey(kQPXAppIDKey); }
void TLMPersistedConfig::setAppIDFromQPX(const std::optional<std::string>& value) { setString(value, kQPXAppIDKey); }

std::optional<std::string> TLMPersistedConfig::appIDFromVeltrix() const { return stringForKey(kVeltrixAppIDKey); }
void TLMPersistedConfig::setAppIDFromVeltrix(const std::optional<std::string>& value) {
  setString(value, kVeltrixAppIDKey);
}

std::optional<std::string> TLMPersistedConfig::hashedIDFA() const { return stringForKey(kHashedIDFAKey); }
void TLMPersistedConfig::setHashedIDFA(const std::optional<std::string>& value) { setString(value, kHashedIDFAKey); }

std::int64_t TLMPersistedConfig::measurementEnabledState() const {
  return int64ForKey(kMeasurementEnabledStateKey, *TLMUserDefaults::standardUserDefaults());
}
void TLMPersistedConfig::setMeasurementEnabledState(std::int64_t state) {
  serialQueue_->sync([&] {
    const TLMUserDefaultsPtr standard = TLMUserDefaults::standardUserDefaults();
    standard->setObject(platform::Value(static_cast<long long>(state)), kMeasurementEnabledStateKey);
    standard->synchronize();
  });
}

double TLMPersistedConfig::lastBackoffTimestamp() const { return doubleForKey(kLastBackoffKey); }
void TLMPersistedConfig::setLastBackoffTimestamp(double value) { setDouble(value, kLastBackoffKey); }

double TLMPersistedConfig::lastSuccessfulUploadTimestamp() const { return doubleForKey(kLastSuccessfulUploadKey); }
void TLMPersistedConfig::setLastSuccessfulUploadTimestamp(double value) { setDouble(value, kLastSuccessfulUploadKey); }

double TLMPersistedConfig::lastFailedUploadTimestamp() const { return doubleForKey(kLastFailedUploadKey); }
void TLMPersistedConfig::setLastFailedUploadTimestamp(double value) { setDouble(value, kLastFailedUploadKey); }

std::optional<std::string> TLMPersistedConfig::appVersion() const { return stringForKey(kAppVersionKey); }
void TLMPersistedConfig::setAppVersion(const std::optional<std::string>& value) { setString(value, kAppVersionKey); }

std::optional<std::string> TLMPersistedConfig::osVersion() const { return stringForKey(kOSVersionKey); }
void TLMPersistedConfig::setOSVersion(const std::optional<std::string>& value) { setString(value, kOSVersionKey); }

std::int64_t TLMPersistedConfig::appVersionChangeCount() const { return int64ForKey(kAppVersionChangesKey); }
void TLMPersistedConfig::setAppVersionChangeCount(std::int64_t value) { setInt64(value, kAppVersionChangesKey); }

std::int64_t TLMPersistedConfig::osVersionChangeCount() const { return int64ForKey(kOSVersionChangesKey); }
void TLMPersistedConfig::setOSVersionChangeCount(std::int64_t value) { setInt64(value, kOSVersionChangesKey); }

double TLMPersistedConfig::midnightOffset() {
  double offset = 0;
  // Read, draw and store in one block, so two first readers cannot draw two offsets.
  serialQueue_->sync([&] {
    const platform::Value stored = userDefaults_->objectForKey(kMidnightOffsetKey);
    if (stored.isNumber()) {
      offset = stored.doubleValue().value_or(0);
      return;
    }
    offset = platform::Random::current()->uniform(kMillisecondsPerDay) / 1000.0;
    setDouble(offset, kMidnightOffsetKey);
  });
  return offset;
}

double TLMPersistedConfig::lastMonitorDataSampledTimestamp() const { return doubleForKey(kLastMonitorSampledKey); }
void TLMPersistedConfig::setLastMonitorDataSampledTimestamp(double value) { setDouble(value, kLastMonitorSampledKey); }

std::int64_t TLMPersistedConfig::firstOpenTimestampMilliseconds() const { return int64ForKey(kFirstOpenKey); }
void TLMPersistedConfig::setFirstOpenTimestampMilliseconds(std::int64_t value) { setInt64(value, kFirstOpenKey); }

std::optional<std::string> TLMPersistedConfig::configServerLastModifiedString() const {
  return objectForKey(kLastModifiedKey).stringValue();
}
void TLMPersistedConfig::setConfigServerLastModifiedString(const std::optional<std::string>& value) {
  setString(value, kLastModifiedKey);
}

std::optional<bool> TLMPersistedConfig::deferredAnalyticsCollection() const {
  return optionalBool(objectForKey(kDeferredCollectionKey));
}
void TLMPersistedConfig::setDeferredAnalyticsCollection(std::optional<bool> value) {
  setObject(fromOptional(value), kDeferredCollectionKey);
}

std::optional<double> TLMPersistedConfig::loadTimestampValue() const {
  const platform::Value value = objectForKey(kLoadTimestampKey);
  return value.isNumber() ? value.doubleValue() : std::nullopt;
}
void TLMPersistedConfig::setLoadTimestampValue(std::optional<double> value) {
  setObject(value ? platform::Value(*value) : platform::Value(), kLoadTimestampKey);
}

std::optional<bool> TLMPersistedConfig::allowPersonalizedAds() const {
  return optionalBool(objectForKey(kAllowPersonalizedAdsKey));
}
void TLMPersistedConfig::setAllowPersonalizedAds(std::optional<bool> value) {
  setObject(fromOptional(value), kAllowPersonalizedAdsKey);
}

bool TLMPersistedConfig::startNewSession() const { return optionalBool(objectForKey(kStartNewSessionKey)).value_or(false); }
void TLMPersistedConfig::setStartNewSession(bool value) { setObject(platform::Value(value), kStartNewSessionKey); }

double TLMPersistedConfig::lastSessionActivityClockTime() const { return doubleForKey(kLastEngagementEndKey); }
void TLMPersistedConfig::setLastSessionActivityClockTime(double value) { setDouble(value, kLastEngagementEndKey); }

double TLMPersistedConfig::engagementTimeBeforeSessionStart() const { return doubleForKey(kEngagementBeforeSessionKey); }
void TLMPersistedConfig::setEngagementTimeBeforeSessionStart(double value) {
  setDouble(value, kEngagementBeforeSessionKey);
}

std::int64_t TLMPersistedConfig::sessionNumber() const { return int64ForKey(kSessionNumberKey); }
void TLMPersistedConfig::setSessionNumber(std::int64_t value) { setInt64(value, kSessionNumberKey); }
