// The remote settings the measurement library reads from its configuration: one row per
// setting with its getter, key, kind, compiled default and bounds. A server value replaces the
// default only when it parses and lies within [min, max] (both ends included); otherwise the
// default is used, never the nearest bound.
//
// Kinds:
//   Interval           seconds in the library, milliseconds on the wire (the server's number is
//                      cut to a whole number and divided by 1000 before the bounds check);
//   Int, Int64         whole numbers;
//   Bool               an int with the bounds 0 and 1;
//   IntReadAsInterval  a whole number whose server value is read like an interval and then cut
//                      to a whole number (5000 gives 5; 100 gives 0.1, below a minimum of 1).
#pragma once

#include <cstddef>
#include <cstdint>

enum class TLMSettingKind { Interval, Int, Int64, Bool, IntReadAsInterval };

// X(getter, key, kind, default, min, max)
#define TLM_REMOTE_SETTINGS(X)                                                                   \
  X(uploadingInterval, "measurement.upload.interval", Interval, 3600, 15, 86400)                 \
  X(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", Interval, 15, \
    1, 86400)                                                                                    \
  X(uploadingBackoffInterval, "measurement.upload.backoff_period", Interval, 43200, 3600, 604800) \
  X(uploadingRetryInterval, "measurement.upload.retry_time", Interval, 1800, 60, 86400)          \
  X(uploadingRetryCount, "measurement.upload.retry_count", Int, 6, 1, 24)                        \
  X(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", Interval, 1, 1, 15)  \
  X(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", Interval, 10, 10,  \
    15)                                                                                          \
  X(maxQueueTime, "measurement.upload.max_queue_time", Interval, 2419200, 604800, 7862400)       \
  X(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval",       \
    Interval, 86400, 3600, 604800)                                                               \
  X(uploadMaxBundlesLimit, "measurement.upload.max_bundles", Int64, 100, 1, 10000)               \
  X(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", Int64, 1000, 1,        \
    1000000)                                                                                     \
  X(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", Int64, 65536, 0, 10485760)     \
  X(maxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration",       \
    IntReadAsInterval, 100, 1, 10000)                                                            \
  X(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", Int, 10, 0,   \
    10)                                                                                          \
  X(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", Int, 500, 0, 1000000)    \
  X(maxEventsPerDay, "measurement.upload.max_events_per_day", Int, 100000, 0, 1000000)           \
  X(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", Int, 50000, 0,        \
    1000000)                                                                                     \
  X(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", Int, 1000, 0, 1000000)  \
  X(blacklistInternal, "measurement.upload.blacklist_internal", Bool, 0, 0, 1)                   \
  X(blacklistPublic, "measurement.upload.blacklist_public", Bool, 0, 0, 1)                       \
  X(uploadWhenAppInBackgroundEnabled, "measurement.upload.upload_when_app_in_background_enabled", \
    Bool, 1, 0, 1)                                                                               \
  X(parsePurchaseDataEnabled, "measurement.upload.beta_parse_purchase_data_enabled", Bool, 1, 0, \
    1)                                                                                           \
  X(dedupePurchasesEnabled, "measurement.upload.dedupe_purchases_enabled", Bool, 1, 0, 1)        \
  X(maxEventsStored, "measurement.store.max_stored_events_per_app", Int, 100000, 0, 1000000)     \
  X(remoteConfigCacheTimeInterval, "measurement.config.cache_time", Interval, 3600, 60, 86400)    \
  X(networkTimeout, "measurement.network.network_timeout", Interval, 60, 30, 3600)               \
  X(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", Bool, 0, \
    0, 1)                                                                                        \
  X(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", Interval, 86400, 0,   \
    604800)                                                                                      \
  X(maxAudienceCount, "measurement.audience.max_count", Int, 50, 0, 500)                         \
  X(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", Int, 10, 0, 100) \
  X(maxFilterResultCount, "measurement.audience.filter_result_max_count", Int, 200, 0, 2000)     \
  X(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", Int, 25, 0, 250)  \
  X(isAudienceDynamicFiltersEnabled, "measurement.audience.dynamic_filters", Bool, 1, 0, 1)      \
  X(isAudienceSequenceFiltersEnabled, "measurement.audience.sequence_filters", Bool, 1, 0, 1)    \
  X(isAudienceScopedFiltersEnabled, "measurement.audience.scoped_filters", Bool, 0, 0, 1)        \
  X(isSessionScopedEventAggregatesEnabled, "measurement.audience.session_scoped_event_aggregates", \
    Bool, 0, 0, 1)                                                                               \
  X(isSessionScopedUserEngagementEnabled, "measurement.audience.session_scoped_user_engagement", \
    Bool, 0, 0, 1)                                                                               \
  X(isAudienceFilterTypeValidationEnabled, "measurement.audience.filter_type_validation", Bool,  \
    0, 0, 1)                                                                                     \
  X(isPropertyFilterResultBundleTimestampEnabled,                                                \
    "measurement.audience.use_bundle_timestamp_for_property_filters", Bool, 0, 0, 1)             \
  X(sessionDefaultMinimumInterval, "measurement.session.default_minimum_interval", Interval, 10,  \
    0, 86400)                                                                                    \
  X(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", Interval,     \
    1800, 0, 86400)                                                                              \
  X(sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval",    \
    Interval, 3600, 0, 86400)                                                                    \
  X(sessionIDEnabled, "measurement.sessions.session_id_enabled", Bool, 1, 0, 1)                  \
  X(sessionImmediateStartEnabled, "measurement.sessions.immediate_start_enabled", Bool, 1, 0, 1) \
  X(sessionBackgroundEnabled, "measurement.sessions.background_sessions_enabled", Bool, 1, 0, 1) \
  X(sessionNumberEnabled, "measurement.sessions.session_number_enabled", Bool, 1, 0, 1)          \
  X(efficientEngagementReportingEnabled,                                                         \
    "measurement.collection.efficient_engagement_reporting_enabled", Bool, 0, 0, 1)              \
  X(redundantEngagementRemovalEnabled,                                                           \
    "measurement.collection.redundant_engagement_removal_enabled", Bool, 0, 0, 1)                \
  X(isEventSamplingEnabled, "measurement.event_sampling_enabled", Bool, 0, 0, 1)                 \
  X(isTimeZoneOffsetEnabled, "measurement.sampling.time_zone_offset_enabled", Bool, 1, 0, 1)     \
  X(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes", Int,  \
    0, -900, 900)                                                                                \
  X(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", Int, 4, 1, 100)      \
  X(isIAPSubscriptionNonConsumableReportEnabled,                                                 \
    "measurement.event.beta_iap_subscription_nonconsumable_report", Bool, 1, 0, 1)               \
  X(isIAPIntroductoryOfferEnabled, "measurement.event.alpha_iap_introductory_offer_enabled",     \
    Bool, 1, 0, 1)                                                                               \
  X(isIAPReceiptParsingV2Enabled, "measurement.event.iap_receipt_parsing_v2_enabled", Bool, 0, 0, \
    1)                                                                                           \
  X(isIAPSubscriptionEventsEnabled, "measurement.event.iap_subscription_events_enabled", Bool, 0, \
    0, 1)                                                                                        \
  X(appBackgroundedEventEnabled, "measurement.lifecycle.app_backgrounded_tracking", Bool, 0, 0,  \
    1)                                                                                           \
  X(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter", Bool,  \
    0, 0, 1)                                                                                     \
  X(isIdentifierForVendorCollectionEnabled,                                                      \
    "measurement.identity.identifier_for_vendor_collection_enabled", Bool, 1, 0, 1)              \
  X(adIDCacheTime, "measurement.ad_id_cache_time", Interval, 1, 0, 86400)                        \
  X(isSearchAdReporterEnabled, "measurement.search_ad_enabled", Bool, 1, 0, 1)                   \
  X(personalizedAdsFeatureEnabled, "measurement.personalized_ads_feature_enabled", Bool, 1, 0, 1) \
  X(checksumEnabled, "measurement.quality.checksum", Bool, 0, 0, 1)                              \
  X(isResetAnalyticsDataEnabled, "measurement.api.reset_analytics_data", Bool, 1, 0, 1)          \
  X(isScreenViewReporterDelegateEnabled, "measurement.screen.cindervale_performance_delegate",   \
    Bool, 1, 0, 1)

// One enumerator per row, named after its getter.
enum class TLMSetting : std::size_t {
#define TLM_SETTING_ENUMERATOR(getter, key, kind, def, min, max) getter,
  TLM_REMOTE_SETTINGS(TLM_SETTING_ENUMERATOR)
#undef TLM_SETTING_ENUMERATOR
};

struct TLMSettingDefinition {
  TLMSetting setting;
  const char* getter;
  const char* key;
  TLMSettingKind kind;
  double defaultValue;
  double minValue;
  double maxValue;
};

inline constexpr TLMSettingDefinition kTLMSettingDefinitions[] = {
#define TLM_SETTING_DEFINITION(getter, key, kind, def, min, max) \
  {TLMSetting::getter, #getter, key, TLMSettingKind::kind, def, min, max},
    TLM_REMOTE_SETTINGS(TLM_SETTING_DEFINITION)
#undef TLM_SETTING_DEFINITION
};

inline constexpr std::size_t kTLMSettingCount =
    sizeof(kTLMSettingDefinitions) / sizeof(kTLMSettingDefinitions[0]);

constexpr const TLMSettingDefinition& TLMSettingDefinitionFor(TLMSetting setting) {
  return kTLMSettingDefinitions[static_cast<std::size_t>(setting)];
}

// What a getter of each kind answers.
template <TLMSettingKind Kind>
struct TLMSettingKindTraits;
template <>
struct TLMSettingKindTraits<TLMSettingKind::Interval> { using Type = double; };
template <>
struct TLMSettingKindTraits<TLMSettingKind::Int> { using Type = std::int32_t; };
template <>
struct TLMSettingKindTraits<TLMSettingKind::Int64> { using Type = std::int64_t; };
template <>
struct TLMSettingKindTraits<TLMSettingKind::Bool> { using Type = bool; };
template <>
struct TLMSettingKindTraits<TLMSettingKind::IntReadAsInterval> { using Type = std::int32_t; };

// Further compiled constants of the configuration.
// Age after which the configuration is fetched again when the app becomes active, seconds.
inline constexpr double kTLMRemoteConfigRefreshAge = 604800;
// Per-event sampling rates: the default and the accepted range (both ends included).
inline constexpr std::int32_t kTLMDefaultSamplingRate = 1;
inline constexpr std::int32_t kTLMMinimumSamplingRate = 2;
inline constexpr std::int32_t kTLMMaximumSamplingRate = 65535;
