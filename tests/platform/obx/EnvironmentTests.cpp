#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "obx/OBXAppEnvironmentUtil.h"
#include "obx/OBXMutableDictionary.h"
#include "obx/OBXUserDefaults.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"

TEST(AppEnvironment, TestsSetTheValuesForAScope) {
  EXPECT_TRUE(OBXAppEnvironmentUtil::isSimulator());
  EXPECT_FALSE(OBXAppEnvironmentUtil::isFromAppStore());
  {
    OBXAppEnvironmentUtil::Environment device;
    device.isSimulator = false;
    device.isFromAppStore = true;
    device.isAppStoreReceiptSandbox = true;
    device.isAppExtension = true;
    device.systemVersion = "12.1.4";
    OBXScopedAppEnvironment scope(device);
    EXPECT_FALSE(OBXAppEnvironmentUtil::isSimulator());
    EXPECT_TRUE(OBXAppEnvironmentUtil::isFromAppStore());
    EXPECT_TRUE(OBXAppEnvironmentUtil::isAppStoreReceiptSandbox());
    EXPECT_TRUE(OBXAppEnvironmentUtil::isAppExtension());
    EXPECT_EQ(OBXAppEnvironmentUtil::systemVersion(), "12.1.4");
  }
  EXPECT_TRUE(OBXAppEnvironmentUtil::isSimulator());
  EXPECT_EQ(OBXAppEnvironmentUtil::systemVersion(), "16.4");
}

TEST(MutableDictionary, ConcurrentReadersAndWritersSeeWholeValues) {
  OBXMutableDictionary<std::string> dictionary;
  std::vector<std::thread> threads;
  std::atomic<bool> torn{false};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        std::string key = "k" + std::to_string(i % 16);
        dictionary.setObject(std::string(64, static_cast<char>('a' + t)), key);
        if (auto value = dictionary.objectForKeyedSubscript(key)) {
          if (value->size() != 64 || value->find_first_not_of((*value)[0]) != std::string::npos) torn = true;
        }
        if (i % 500 == 0) dictionary.removeAllObjects();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(torn);
  dictionary.setObject("v", "key");
  dictionary.setObject(std::nullopt, "key");  // an empty value removes
  EXPECT_FALSE(dictionary.objectForKeyedSubscript("key").has_value());
}

TEST(OBXUserDefaultsTest, StringsOnlyAndNullRemoves) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  platform::UserDefaults::resetForTesting();
  auto& defaults = OBXUserDefaults::standardUserDefaults();
  EXPECT_FALSE(defaults.stringForKey("com.cindervale.instanceid.user_defaults.locale").has_value());
  defaults.setObject(platform::Value("fr_CA"), "com.cindervale.instanceid.user_defaults.locale");
  EXPECT_EQ(defaults.stringForKey("com.cindervale.instanceid.user_defaults.locale"), "fr_CA");
  EXPECT_EQ(platform::UserDefaults::standard().stringForKey("com.cindervale.instanceid.user_defaults.locale"), "fr_CA");
  defaults.setObject(platform::Value(42), "number");
  EXPECT_FALSE(defaults.stringForKey("number").has_value());
  defaults.setObject(platform::Value(), "com.cindervale.instanceid.user_defaults.locale");
  EXPECT_FALSE(defaults.stringForKey("com.cindervale.instanceid.user_defaults.locale").has_value());
  platform::UserDefaults::resetForTesting();
}
