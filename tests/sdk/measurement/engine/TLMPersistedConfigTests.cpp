#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "dispatch/Random.h"
#include "measurement/engine/TLMPersistedConfig.h"

using platform::Value;

namespace {

std::shared_ptr<TLMPersistedConfig> makeConfig(EngineTestEnvironment& env) {
  return TLMPersistedConfig::initWithUserDefaults(TLMUserDefaults::initWithSuiteName(kTLMPersistedConfigName, env.queue));
}

}  // namespace

TEST(TLMPersistedConfigTest, AFreshSuiteReadsNothingAndValuesKeepTheirKinds) {
  EngineTestEnvironment env;
  EXPECT_EQ(TLMPersistedConfig::initWithSuiteName(""), nullptr);
  auto config = makeConfig(env);
  EXPECT_EQ(config->name(), "com.ombrix.qpx.measurement");
  EXPECT_EQ(config->sessionNumber(), 0);
  EXPECT_EQ(config->lastBackoffTimestamp(), 0.0);
  EXPECT_FALSE(config->appInstanceID().has_value());
  EXPECT_FALSE(config->deferredAnalyticsCollection().has_value());
  EXPECT_FALSE(config->startNewSession());
  EXPECT_EQ(config->measurementEnabledState(), TLMMeasurementEnabledStateUnset);

  config->setSessionNumber(INT64_MAX);
  config->setLastBackoffTimestamp(1700000000.25);
  config->setAppInstanceID("0123456789abcdef");
  config->setLoadTimestampValue(1700000001.5);
  config->setDeferredAnalyticsCollection(false);
  EXPECT_EQ(config->sessionNumber(), INT64_MAX);
  EXPECT_EQ(config->lastBackoffTimestamp(), 1700000000.25);
  EXPECT_EQ(config->appInstanceID(), "0123456789abcdef");
  EXPECT_EQ(config->loadTimestampValue(), 1700000001.5);
  EXPECT_EQ(config->deferredAnalyticsCollection(), false);  // set to NO is not unset
  EXPECT_EQ(config->userDefaults()->objectForKey("/ombrix/measurement/session_number"), Value(INT64_MAX));
  config->setDeferredAnalyticsCollection(std::nullopt);
  EXPECT_TRUE(config->userDefaults()->objectForKey("/ombrix/measurement/deferred_analytics_collection").isNull());

  // A string under an integer key reads as 0.
  config->userDefaults()->setObject(Value("12"), "/ombrix/measurement/first_open_timestamp_ms");
  EXPECT_EQ(config->firstOpenTimestampMilliseconds(), 0);
  EXPECT_EQ(config->int64ForKey(""), 0);
}

TEST(TLMPersistedConfigTest, TheMidnightOffsetIsDrawnOnceInMillisecondSteps) {
  EngineTestEnvironment env;
  auto random = std::make_shared<platform::ScriptedRandom>(std::vector<std::uint64_t>{86399999, 86400000});
  platform::ScopedRandom scopedRandom(random);
  auto config = makeConfig(env);

  // First readers on several threads at once still see one offset.
  std::vector<double> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { seen[t] = config->midnightOffset(); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<double>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_DOUBLE_EQ(seen[0], 86399.999);  // the top of the range stays below a whole day
  EXPECT_EQ(random->integerDraws(), 1u);
  EXPECT_DOUBLE_EQ(makeConfig(env)->midnightOffset(), 86399.999);  // kept in the suite

  config->clearValues();
  EXPECT_EQ(config->midnightOffset(), 0.0);  // drawn anew after a wipe
  EXPECT_EQ(random->integerDraws(), 2u);
}

TEST(TLMPersistedConfigTest, ClearValuesKeepsTheEnabledStateAndWritesShareOneSynchronisation) {
  EngineTestEnvironment env;
  auto store = std::make_shared<CountingDefaults>(kTLMPersistedConfigName, env.queue);
  auto config = TLMPersistedConfig::initWithUserDefaults(store);
  config->setMeasurementEnabledState(TLMMeasurementEnabledStateDisabled);
  for (int i = 0; i < 10; ++i) {
    config->setSessionNumber(i);
    config->setLastSessionActivityClockTime(i);
    env.advance(0.1);
  }
  EXPECT_EQ(store->synchronizations, 0);
  env.advance(0.9);
  EXPECT_EQ(store->synchronizations, 1);
  env.advance(5);
  EXPECT_EQ(store->synchronizations, 1);

  config->clearValues();
  EXPECT_EQ(config->sessionNumber(), 0);
  EXPECT_EQ(config->lastSessionActivityClockTime(), 0.0);
  EXPECT_EQ(config->measurementEnabledState(), TLMMeasurementEnabledStateDisabled);
  EXPECT_EQ(platform::UserDefaults::standard().integerForKey("/ombrix/measurement/measurement_enabled_state"), 2);
}
