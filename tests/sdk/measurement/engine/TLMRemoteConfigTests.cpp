#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "MeasurementConfigBuilder.h"
#include "dispatch/Testing.h"
#include "foundation/Sandbox.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

constexpr const char* kConfigAppID = "1:1234:ios:abcd";

using Settings = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<TLMPBMeasurementConfig> makeConfig(const std::string& appID, const Settings& settings,
                                                   std::optional<std::int64_t> version = 7) {
  return TLMTestMeasurementConfig(appID, settings, version);
}

std::shared_ptr<TLMPBEventConfig> eventConfig(const std::string& name, std::optional<bool> blacklisted,
                                              std::optional<bool> conversion,
                                              std::optional<std::int32_t> rate) {
  auto config = TLMPBEventConfig::initWithMessageInfo(nullptr);
  NANOSetString(*config, TLMPBEventConfigSlot::name, name);
  if (blacklisted) NANOSetBool(*config, TLMPBEventConfigSlot::blacklisted, *blacklisted);
  if (conversion) NANOSetBool(*config, TLMPBEventConfigSlot::custom_conversion, *conversion);
  if (rate) NANOSetInt32(*config, TLMPBEventConfigSlot::sampling_rate, *rate);
  return config;
}

class RemoteConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database = TLMDatabase::initWithDatabaseName("ombrix-tally-mark.sql", nullptr, nullptr);
    ASSERT_TRUE(database);
    monitor->clear();
  }
  std::shared_ptr<TLMRemoteConfig> make(std::shared_ptr<TLMPBMeasurementConfig> config = nullptr,
                                        std::string origin = "app") {
    return TLMRemoteConfig::initWithAppID(kConfigAppID, database.get(), std::move(config),
                                          [origin] { return origin; });
  }
  // The setting read from a configuration holding one server value.
  double read(TLMSetting setting, const std::string& serverValue) {
    auto config = make(makeConfig(kConfigAppID, {{TLMSettingDefinitionFor(setting).key, serverValue}}));
    return config ? config->numberForSetting(setting) : NAN;
  }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(1700000000.0);
  platform::ScopedClock scopedClock{clock};
  platform::sandbox::ScopedTemporarySandbox sandbox;
  TLMScopedRecordingMonitor monitor;
  std::unique_ptr<TLMDatabase> database;
};

TEST_F(RemoteConfigTest, DefaultInstanceAnswersDefaultsAndRefusesWork) {
  auto shared = TLMRemoteConfig::defaultInstance();
  EXPECT_EQ(shared, TLMRemoteConfig::defaultInstance());
  EXPECT_TRUE(shared->isDefaultInstance());
  for (const TLMSettingDefinition& d : kTLMSettingDefinitions) {
    EXPECT_EQ(shared->numberForSetting(d.setting), d.defaultValue) << d.key;
    EXPECT_GE(d.defaultValue, d.minValue) << d.key;
    EXPECT_LE(d.defaultValue, d.maxValue) << d.key;
  }
  EXPECT_EQ(shared->uploadingInterval(), 3600.0);
  EXPECT_EQ(shared->analyticsAccountTimeZoneOffsetMinutes(), 0);
  EXPECT_TRUE(shared->uploadWhenAppInBackgroundEnabled());
  EXPECT_FALSE(shared->blacklistPublic());
  EXPECT_EQ(shared->version(), -1);
  EXPECT_FALSE(shared->isExpired());
  EXPECT_TRUE(monitor->has(29007));
  EXPECT_FALSE(shared->updateMeasurementConfig(makeConfig("", {})));
  EXPECT_TRUE(monitor->has(29002));
  EXPECT_EQ(shared->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_TRUE(monitor->has(29008));

  EXPECT_FALSE(TLMRemoteConfig::initWithAppID("", database.get()));
  EXPECT_TRUE(monitor->has(29000));
  EXPECT_FALSE(TLMRemoteConfig::initWithAppID(kConfigAppID, nullptr));
  EXPECT_TRUE(monitor->has(29001));
}

// Server values pass only within the bounds, ends included; anything else gives the default.
TEST_F(RemoteConfigTest, BoundsAndIntervals) {
  struct Case {
    TLMSetting setting;
    const char* server;
    double expected;
  };
  const Case cases[] = {
      // Interval: milliseconds on the wire, bounds in seconds.
      {TLMSetting::uploadingInterval, "60000", 60},
      {TLMSetting::uploadingInterval, "5000", 3600},
      {TLMSetting::uploadingInterval, "15000", 15},
      {TLMSetting::uploadingInterval, "14999", 3600},
      {TLMSetting::uploadingInterval, "86400000", 86400},
      {TLMSetting::uploadingInterval, "86400001", 3600},
      {TLMSetting::uploadingInterval, "60000.9", 60},
      {TLMSetting::uploadingInterval, "sixty", 3600},
      {TLMSetting::uploadingInterval, "", 3600},
      {TLMSetting::uploadingInterval, "1e5", 3600},
      {TLMSetting::uploadingInterval, "99999999999999999999999", 3600},
      {TLMSetting::monitoringSamplePeriod, "0", 0},
      {TLMSetting::uploadingRealTimeInterval, "9999", 10},
      {TLMSetting::uploadingRealTimeInterval, "15000", 15},
      // Int.
      {TLMSetting::analyticsAccountTimeZoneOffsetMinutes, "-901", 0},
      {TLMSetting::analyticsAccountTimeZoneOffsetMinutes, "-900", -900},
      {TLMSetting::analyticsAccountTimeZoneOffsetMinutes, "900", 900},
      {TLMSetting::analyticsAccountTimeZoneOffsetMinutes, "901", 0},
      {TLMSetting::uploadingRetryCount, "0", 6},
      {TLMSetting::uploadingRetryCount, "1", 1},
      {TLMSetting::uploadingRetryCount, "24", 24},
      {TLMSetting::uploadingRetryCount, "25", 6},
      {TLMSetting::uploadingRetryCount, "abc", 6},
      {TLMSetting::maxRealtimeEventCountPerDay, "0", 0},
      // Int64.
      {TLMSetting::uploadMaxSizeLimitBytes, "0", 0},
      {TLMSetting::uploadMaxSizeLimitBytes, "10485760", 10485760},
      {TLMSetting::uploadMaxSizeLimitBytes, "10485761", 65536},
      {TLMSetting::uploadMaxSizeLimitBytes, "-1", 65536},
      // Int read as interval: divided by 1000, then cut to a whole number.
      {TLMSetting::maxBundlesCreatedPerIteration, "5000", 5},
      {TLMSetting::maxBundlesCreatedPerIteration, "5999", 5},
      {TLMSetting::maxBundlesCreatedPerIteration, "100", 100},
      {TLMSetting::maxBundlesCreatedPerIteration, "999", 100},
      {TLMSetting::maxBundlesCreatedPerIteration, "1000", 1},
      {TLMSetting::maxBundlesCreatedPerIteration, "10000000", 10000},
      {TLMSetting::maxBundlesCreatedPerIteration, "10000001", 100},
      // Bool: an int between 0 and 1.
      {TLMSetting::blacklistPublic, "1", 1},
      {TLMSetting::blacklistPublic, "2", 0},
      {TLMSetting::uploadWhenAppInBackgroundEnabled, "0", 0},
      {TLMSetting::uploadWhenAppInBackgroundEnabled, "-1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read(c.setting, c.server), c.expected)
        << TLMSettingDefinitionFor(c.setting).key << " = \"" << c.server << "\"";
  }
  // Getters answer their kind.
  auto config = make(makeConfig(kConfigAppID, {{"measurement.upload.max_bundles_created_per_iteration", "5500"},
                                         {"measurement.upload.blacklist_internal", "1"}}));
  EXPECT_EQ(config->maxBundlesCreatedPerIteration(), 5);
  EXPECT_TRUE(config->blacklistInternal());
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 100);
}

TEST_F(RemoteConfigTest, ValueIsBoundedOnceAndTypedReadersGuardEmptyKeys) {
  auto config = make(makeConfig(kConfigAppID, {{"measurement.upload.interval", "120000"}}));
  EXPECT_EQ(config->uploadingInterval(), 120);
  // Cached as the bounded number: a second read with other bounds does not re-check it.
  EXPECT_EQ(config->timeIntervalInSecondsFromCacheWithKey("measurement.upload.interval", 1, 2, 1), 120);
  EXPECT_EQ(config->intValueFromCacheWithKey("", 5, 10, 0), 0);
  EXPECT_TRUE(monitor->has(29020));
  EXPECT_EQ(config->int64ValueFromCacheWithKey("custom.unbounded", 42), 42);
}

TEST_F(RemoteConfigTest, ConfigurationForAnotherAppIsNotApplied) {
  auto config = make();
  EXPECT_FALSE(config->updateMeasurementConfig(
      makeConfig("1:9999:ios:other", {{"measurement.upload.interval", "60000"}})));
  EXPECT_TRUE(monitor->has(29004));
  EXPECT_EQ(config->uploadingInterval(), 3600);
  EXPECT_EQ(config->version(), -1);
  EXPECT_FALSE(database->queryMeasurementConfigWithError(nullptr));

  // Parsing one directly is ignored as well.
  config->parseRemoteConfigFromMeasurementConfig(
      *makeConfig("1:9999:ios:other", {{"measurement.upload.retry_count", "3"}}));
  EXPECT_EQ(config->uploadingRetryCount(), 6);

  // Started by the ad-network product: its app id must match too.
  auto adNetwork = make(nullptr, "vx");
  auto matching = makeConfig(kConfigAppID, {{"measurement.upload.retry_count", "3"}});
  EXPECT_FALSE(adNetwork->updateMeasurementConfig(matching));
  EXPECT_TRUE(monitor->has(29022));
  EXPECT_EQ(adNetwork->uploadingRetryCount(), 6);
  NANOSetString(*matching, TLMPBMeasurementConfigSlot::ads_app_id, std::string(kConfigAppID));
  EXPECT_TRUE(adNetwork->updateMeasurementConfig(matching));
  EXPECT_EQ(adNetwork->uploadingRetryCount(), 3);
}

TEST_F(RemoteConfigTest, UpdateStoresParsesAndReloads) {
  auto message = makeConfig(kConfigAppID, {{"measurement.upload.interval", "60000"},
                                     {"measurement.upload.blacklist_public", "1"}},
                            41);
  NANOSetArray(*message, TLMPBMeasurementConfigSlot::event_config,
               std::vector<std::shared_ptr<TLMPBEventConfig>>{
                   eventConfig("ad_click", true, std::nullopt, std::nullopt),
                   eventConfig("purchase_made", false, true, 70000),
                   eventConfig("rare", std::nullopt, false, 1),
                   eventConfig("low", std::nullopt, std::nullopt, 2),
                   eventConfig("high", std::nullopt, std::nullopt, 65535),
                   eventConfig("over", std::nullopt, std::nullopt, 65536),
                   eventConfig("", true, std::nullopt, std::nullopt)});
  auto config = make();
  EXPECT_TRUE(monitor->has(29017));  // nothing stored yet
  ASSERT_TRUE(config->updateMeasurementConfig(message));
  EXPECT_TRUE(monitor->has(29013));  // the nameless event configuration
  EXPECT_TRUE(monitor->has(29014));
  EXPECT_EQ(config->version(), 41);
  EXPECT_EQ(config->uploadingInterval(), 60);

  // Event configurations are kept under the internal name.
  EXPECT_TRUE(config->eventConfigWithName("_ac"));
  EXPECT_FALSE(config->eventConfigWithName("ad_click"));
  EXPECT_TRUE(config->isEventBlacklisted("_ac"));
  // Explicitly not blacklisted, but every public event is.
  EXPECT_TRUE(config->isEventBlacklisted("purchase_made"));
  EXPECT_FALSE(config->isEventBlacklisted("_internal"));
  EXPECT_TRUE(config->isEventCustomConversion("purchase_made"));
  EXPECT_FALSE(config->isEventCustomConversion("rare"));
  EXPECT_FALSE(config->isEventCustomConversion("unknown"));
  EXPECT_EQ(config->samplingRateForEvent("purchase_made"), 1);
  EXPECT_EQ(config->samplingRateForEvent("rare"), 1);
  EXPECT_EQ(config->samplingRateForEvent("low"), 2);
  EXPECT_EQ(config->samplingRateForEvent("high"), 65535);
  EXPECT_EQ(config->samplingRateForEvent("over"), 1);
  EXPECT_EQ(config->samplingRateForEvent("unknown"), 1);
  EXPECT_TRUE(config->eventHasSamplingRate("rare"));
  EXPECT_FALSE(config->eventHasSamplingRate("_ac"));
  EXPECT_FALSE(config->eventConfigWithName(""));
  EXPECT_TRUE(monitor->has(29006));

  // A new instance loads the stored configuration.
  auto reloaded = make();
  EXPECT_EQ(reloaded->version(), 41);
  EXPECT_EQ(reloaded->uploadingInterval(), 60);
  EXPECT_TRUE(reloaded->isEventBlacklisted("_ac"));

  // A configuration without settings changes nothing.
  monitor->clear();
  reloaded->parseRemoteConfigFromMeasurementConfig(*makeConfig(kConfigAppID, {}));
  EXPECT_TRUE(monitor->has(29012));
  EXPECT_EQ(reloaded->uploadingInterval(), 60);

  // A newer configuration replaces every cached value, bounded ones included.
  ASSERT_TRUE(reloaded->updateMeasurementConfig(makeConfig(kConfigAppID, {{"measurement.upload.retry_count", "2"}})));
  EXPECT_EQ(reloaded->uploadingInterval(), 3600);
  EXPECT_EQ(reloaded->uploadingRetryCount(), 2);
  EXPECT_FALSE(reloaded->eventConfigWithName("_ac"));

  reloaded->reset();
  EXPECT_EQ(reloaded->uploadingRetryCount(), 6);
  EXPECT_EQ(reloaded->version(), -1);
}

TEST_F(RemoteConfigTest, HugeNumericSettingsReadAsUnsetAfterEveryStart) {
  // A setting of 100,000 digits (a reply of about 100 KB) is stored like any other; every start
  // reads it again. Too large for a number, it reads as unset; leading zeros cost nothing.
  const std::string digits(100000, '9');
  auto message = makeConfig(kConfigAppID, {{"measurement.upload.interval", digits},
                                     {"measurement.upload.retry_time", std::string(100000, '0') + "120000"},
                                     {"measurement.upload.retry_count", "-" + digits + ".5"}});
  ASSERT_TRUE(make()->updateMeasurementConfig(message));
  for (int start = 0; start < 2; ++start) {
    auto config = make();
    EXPECT_EQ(config->uploadingInterval(), 3600);
    EXPECT_EQ(config->uploadingRetryInterval(), 120);
    EXPECT_EQ(config->uploadingRetryCount(), 6);
  }
}

TEST_F(RemoteConfigTest, ExpiresWhenTheAgeReachesTheCacheTimeEitherWay) {
  auto config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(
      makeConfig(kConfigAppID, {{"measurement.config.cache_time", "600000"}})));
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), 1700000000.0);
  clock->advance(599.5);
  EXPECT_FALSE(config->isExpired());
  clock->advance(0.5);
  EXPECT_TRUE(config->isExpired());  // exactly the cache time
  // A clock set back behind the stored time by the cache time expires the configuration too.
  clock->setNow(1700000000.0 - 599);
  EXPECT_FALSE(config->isExpired());
  clock->setNow(1700000000.0 - 600);
  EXPECT_TRUE(config->isExpired());
}

TEST_F(RemoteConfigTest, ConfigurationURL) {
  auto config = make();
  EXPECT_EQ(config->remoteConfigURLWithAppInstanceID(std::string("a b&c"), std::string("ios"), 80100),
            "https://tallymark.ombrix.com/config/app/1:1234:ios:abcd?app_instance_id=a%20b%26c"
            "&platform=ios&qpx_version=80100");
  EXPECT_FALSE(config->remoteConfigURLWithAppInstanceID(std::nullopt, std::string("ios"), 1));
  EXPECT_FALSE(config->remoteConfigURLWithAppInstanceID(std::string("id"), std::nullopt, 1));
  EXPECT_EQ(monitor->count(29010), 2u);
  TLMRemoteConfig::setCollectionServerURLForTesting("http://127.0.0.1:1234");
  EXPECT_EQ(config->remoteConfigURLWithAppInstanceID(std::string(""), std::string(""), 0),
            "http://127.0.0.1:1234/config/app/1:1234:ios:abcd?app_instance_id=&platform=&qpx_version=0");
  TLMRemoteConfig::setCollectionServerURLForTesting("");
}

// Getters run on any thread while the worker parses: a reader never writes a value bounded from
// an older configuration over a newer one.
TEST_F(RemoteConfigTest, ReadsOnAnotherThreadDuringParsing) {
  auto config = make();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      const double value = config->uploadingInterval();
      EXPECT_TRUE(value == 3600 || value == 60 || value == 120) << value;
    }
  });
  for (int i = 0; i < 300; ++i) {
    config->parseRemoteConfigFromMeasurementConfig(
        *makeConfig(kConfigAppID, {{"measurement.upload.interval", i % 2 == 0 ? "60000" : "120000"}}));
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(config->uploadingInterval(), 120);
}

}  // namespace
