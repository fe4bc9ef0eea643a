#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "foundation/Files.h"
#include "foundation/Preferences.h"
#include "foundation/UserDefaults.h"
#include "measurement/model/TLMUtil.h"

using platform::Value;

TEST(TLMUserDefaultsTest, BothModesShareOneStoreAndReadTypedValues) {
  EngineTestEnvironment env;
  auto store = TLMUserDefaults::initWithSuiteName("com.example.suite", env.queue);
  EXPECT_TRUE(store->useCFPreferencesLibrary());  // no Info.plist key
  store->setObject(Value("42"), "text");
  store->setDouble(2.5, "double");
  store->setBool(true, "flag");
  EXPECT_EQ(platform::preferences::copyAppValue("text", "com.example.suite"), Value("42"));

  store->setUseCFPreferencesLibrary(false);
  EXPECT_EQ(store->integerForKey("text"), 42);  // strings read as numbers
  EXPECT_EQ(store->doubleForKey("double"), 2.5);
  EXPECT_TRUE(store->boolForKey("flag"));
  EXPECT_EQ(store->integerForKey("missing"), 0);
  EXPECT_FALSE(store->stringForKey("double").has_value());
  EXPECT_TRUE(store->arrayForKey("text").isNull());
  store->removeObjectForKey("text");
  store->setUseCFPreferencesLibrary(true);
  EXPECT_TRUE(store->objectForKey("text").isNull());

  // The standard store is the app's own domain.
  TLMUserDefaults::standardUserDefaults()->setInteger(7, "/ombrix/measurement/x");
  EXPECT_EQ(platform::UserDefaults::standard().integerForKey("/ombrix/measurement/x"), 7);
  TLMUserDefaults::standardUserDefaults()->removeObjectForKey("/ombrix/measurement/x");
}

TEST(TLMUserDefaultsTest, InvalidKeysAndValuesChangeNothing) {
  EngineTestEnvironment env;
  ScopedVendorLogCapture log;
  auto store = TLMUserDefaults::initWithSuiteName("com.example.suite", env.queue);
  store->setObject(Value("old"), "key");
  EXPECT_TRUE(store->objectForKey("").isNull());
  store->setObject(Value("v"), "");
  EXPECT_EQ(log.count("I-ACS041001"), 1u);
  EXPECT_EQ(log.count("I-ACS041002"), 1u);

  auto object = std::make_shared<int>(1);
  store->setObject(Value::object(object), "key");
  store->setObject(Value::array({Value("fine"), Value::object(object)}), "key");  // nested too
  EXPECT_EQ(log.count("I-ACS041003"), 2u);
  EXPECT_EQ(store->objectForKey("key"), Value("old"));

  for (bool cfPreferences : {true, false}) {
    store->setUseCFPreferencesLibrary(cfPreferences);
    store->setObject(Value("a"), "k1");
    store->setObject(Value::array({1, 2}), "k2");
    store->clearAllData();
    EXPECT_TRUE(platform::preferences::copyKeyList("com.example.suite").empty()) << cfPreferences;
  }
}

TEST(TLMUserDefaultsTest, BurstOfWritesSynchronisesOnceASecondAfterTheLast) {
  EngineTestEnvironment env;
  auto store = std::make_shared<CountingDefaults>("com.example.burst", env.queue);
  for (int i = 0; i < 10; ++i) {
    store->setInteger(i, "counter");
    env.advance(0.5);  // each write pushes the synchronisation back
  }
  EXPECT_EQ(store->synchronizations, 0);
  env.advance(0.499);
  EXPECT_EQ(store->synchronizations, 0);
  env.advance(0.001);
  EXPECT_EQ(store->synchronizations, 1);
  env.advance(10);
  EXPECT_EQ(store->synchronizations, 1);
  // The first synchronisation excluded the suite's file from backup.
  EXPECT_TRUE(store->isPreferenceFileExcluded());
  EXPECT_TRUE(platform::files::isExcludedFromBackup(TLMFilePathForPreferencesName("com.example.burst")));

  // A synchronisation already handed to the queue is dropped when a write pushes it back.
  store->setInteger(1, "counter");
  env.clock->advance(1.0);
  ASSERT_EQ(env.queue->pendingCount(), 1u);
  store->setInteger(2, "counter");
  env.queue->drain();
  EXPECT_EQ(store->synchronizations, 1);
  env.advance(1.0);
  EXPECT_EQ(store->synchronizations, 2);

  // A store that goes away takes its pending synchronisation with it.
  store->setInteger(3, "counter");
  store.reset();
  env.advance(1.0);
}

TEST(TLMUserDefaultsTest, TheStandardStoreNeverExcludesAFile) {
  EngineTestEnvironment env;
  auto standard = TLMUserDefaults::standardUserDefaults();
  EXPECT_TRUE(standard->isPreferenceFileExcluded());
  platform::UserDefaults::standard().setObject(Value("v"), "k");
  standard->synchronize();
  const std::string file = platform::files::join(platform::sandbox::preferencesDirectory(),
                                                 platform::UserDefaults::standardDomainName() + ".plist");
  ASSERT_TRUE(platform::files::exists(file));
  EXPECT_FALSE(platform::files::isExcludedFromBackup(file));
}
