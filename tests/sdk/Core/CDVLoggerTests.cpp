#include "CoreTestSupport.h"

namespace {

using coretest::CoreTest;

class CDVLoggerTest : public CoreTest {
 protected:
  // A new launch of the process with these arguments: the logger sets itself up again.
  void relaunchWithArguments(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/app/Vesmora");
    platform::ProcessInfo::setArguments(std::move(arguments));
    CDVLoggerResetForTesting();
    OBXLoggerResetForTesting();
    platform::UserDefaults::resetForTesting();
    CDVLoggerInitializeASL();
  }
  static platform::Value persistedDebugMode() {
    return platform::UserDefaults::standard().objectForKey("/ombrix/cindervale/debug_mode");
  }
};

TEST_F(CDVLoggerTest, DebugModePersistsUntilALaunchDisablesIt) {
  relaunchWithArguments({});
  EXPECT_FALSE(OBXLoggerIsDebugForced());
  EXPECT_TRUE(persistedDebugMode().isNull());
  EXPECT_EQ(OBXLoggerRegisteredVersion(), "6.4.0");
  EXPECT_FALSE(OBXLoggerIsSTDERREnabled());

  relaunchWithArguments({"-CDVDebugEnabled", "-CDVLoggerForceSTDERR"});
  EXPECT_TRUE(OBXLoggerIsDebugForced());
  EXPECT_TRUE(OBXLoggerIsSTDERREnabled());
  EXPECT_EQ(persistedDebugMode(), platform::Value(true));

  relaunchWithArguments({});
  EXPECT_TRUE(OBXLoggerIsDebugForced());

  relaunchWithArguments({"-CDVDebugEnabled", "-CDVDebugDisabled"});
  EXPECT_FALSE(OBXLoggerIsDebugForced());
  EXPECT_TRUE(persistedDebugMode().isNull());

  relaunchWithArguments({});
  EXPECT_FALSE(OBXLoggerIsDebugForced());
}

TEST_F(CDVLoggerTest, LevelsAndTheAnalyticsDebugMode) {
  relaunchWithArguments({});
  CDVSetLoggerLevel(CDVLoggerLevelNotice);
  clearCaptures();

  CDVLogDebug(kCDVLoggerAnalytics, "I-ACS000001", "hidden %d", 1);
  CDVLogNotice(kCDVLoggerCore, "I-COR000099", "shown %@ %d", "text", 2);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].message, "shown text 2");
  EXPECT_EQ(lines()[0].level, 5);
  EXPECT_FALSE(CDVIsLoggableLevel(CDVLoggerLevelDebug, true));

  CDVSetAnalyticsDebugMode(true);
  clearCaptures();
  CDVLogDebug(kCDVLoggerAnalytics, "I-ACS000001", "forced");
  CDVLogDebug(kCDVLoggerCore, "I-COR000099", "not forced");
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].message, "forced");
  EXPECT_TRUE(lines()[0].forced);
  EXPECT_TRUE(CDVIsLoggableLevel(CDVLoggerLevelDebug, true));
  EXPECT_FALSE(CDVIsLoggableLevel(CDVLoggerLevelDebug, false));
  EXPECT_TRUE(CDVIsLoggableLevel(CDVLoggerLevelError, false));

  CDVConfiguration::sharedInstance()->setLoggerLevel(CDVLoggerLevelError);
  clearCaptures();
  CDVLogWarning(kCDVLoggerCore, "I-COR000098", "warning");
  CDVLogError(kCDVLoggerCore, "I-COR000097", "error");
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].messageCode, "I-COR000097");
}

TEST_F(CDVLoggerTest, AnalyticsCollectionSwitchPersistsAndNotifies) {
  auto configuration = CDVConfiguration::sharedInstance();
  auto analytics = CDVAnalyticsConfiguration::sharedInstance();
  EXPECT_EQ(configuration->analyticsConfiguration(), analytics);
  EXPECT_EQ(CDVConfiguration::sharedInstance(), configuration);

  analytics->setAnalyticsCollectionEnabled(false);
  EXPECT_EQ(platform::UserDefaults::standard().objectForKey("/ombrix/measurement/measurement_enabled_state"),
            platform::Value(2));
  analytics->setAnalyticsCollectionEnabled(true);
  EXPECT_EQ(platform::UserDefaults::standard().objectForKey("/ombrix/measurement/measurement_enabled_state"),
            platform::Value(1));
  auto posted = notificationsNamed("CDVAnalyticsConfigurationSetEnabledNotification");
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].object, platform::Value::object(analytics));
  EXPECT_EQ(posted[0].userInfo, platform::Value(platform::Dictionary{
                                    {"CDVAnalyticsConfigurationSetEnabledNotification", false}}));
  EXPECT_EQ(posted[1].userInfo["CDVAnalyticsConfigurationSetEnabledNotification"], platform::Value(true));

  analytics->setAnalyticsCollectionEnabled(false, false);
  EXPECT_EQ(platform::UserDefaults::standard().objectForKey("/ombrix/measurement/measurement_enabled_state"),
            platform::Value(1));
  EXPECT_EQ(notificationsNamed("CDVAnalyticsConfigurationSetEnabledNotification").size(), 3u);

  clearCaptures();
  analytics->postNotificationName("", platform::Value(true));
  analytics->postNotificationName("SomeName", std::nullopt);
  EXPECT_TRUE(notificationsNamed("").empty());
  EXPECT_TRUE(notificationsNamed("SomeName").empty());
}

}  // namespace
