#include "Core/Public/CDVConfiguration.h"

#include "Core/Private/CDVCopies.h"
#include "Core/Private/CDVCorePlatform.h"
#include "Core/Public/CDVLogger.h"
#include "foundation/Immortal.h"

namespace {

std::mutex gSingletonMutex;
constinit platform::Immortal<std::shared_ptr<CDVAnalyticsConfiguration>> gAnalyticsConfigurationStorage;
constinit std::shared_ptr<CDVAnalyticsConfiguration>& gAnalyticsConfiguration = *gAnalyticsConfigurationStorage;
constinit platform::Immortal<std::shared_ptr<CDVConfiguration>> gConfigurationStorage;
constinit std::shared_ptr<CDVConfiguration>& gConfiguration = *gConfigurationStorage;

}  // namespace

std::shared_ptr<CDVAnalyticsConfiguration> CDVAnalyticsConfiguration::sharedInstance() {
  std::lock_guard lock(gSingletonMutex);
  if (!gAnalyticsConfiguration) gAnalyticsConfiguration = std::make_shared<CDVAnalyticsConfiguration>();
  return gAnalyticsConfiguration;
}

void CDVAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled) {
  setAnalyticsCollectionEnabled(analyticsCollectionEnabled, true);
}

void CDVAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled,
                                                              bool persistSetting) {
  if (persistSetting) {
    const std::int64_t state = analyticsCollectionEnabled ? 1 : 2;
    auto write = [state] {
      cdv_platform::defaultsSet(kCDVAnalyticsEnabledStateKey, platform::Value(state));
      cdv_platform::defaultsSynchronize();
    };
    // Beside another copy of the SDK that works, the app's settings are that copy's.
    switch (cdv_copies::writeOfTheApp("setAnalyticsCollectionEnabled", write)) {
      case cdv_copies::AppWrite::now:
        write();
        break;
      case cdv_copies::AppWrite::held:
        break;
      case cdv_copies::AppWrite::refused:
        return;
    }
  }
  postNotificationName(kCDVAnalyticsConfigurationSetEnabledNotification,
                       platform::Value(analyticsCollectionEnabled));
}

void CDVAnalyticsConfiguration::postNotificationName(const std::string& name,
                                                     const std::optional<platform::Value>& value) {
  if (name.empty() || !value || value->isNull()) return;
  cdv_platform::UserInfo userInfo;
  userInfo.set(name, *value);
  // The object is the configuration itself; observers filter on it.
  cdv_platform::postNotification(name, platform::Value::object(weak_from_this().lock()), userInfo);
}

std::shared_ptr<CDVConfiguration> CDVConfiguration::sharedInstance() {
  auto analytics = CDVAnalyticsConfiguration::sharedInstance();
  std::lock_guard lock(gSingletonMutex);
  if (!gConfiguration) {
    gConfiguration = std::make_shared<CDVConfiguration>();
    gConfiguration->analyticsConfiguration_ = std::move(analytics);
  }
  return gConfiguration;
}

void CDVConfiguration::setLoggerLevel(int loggerLevel) { CDVSetLoggerLevel(loggerLevel); }

std::shared_ptr<CDVAnalyticsConfiguration> CDVConfiguration::analyticsConfiguration() const {
  std::lock_guard lock(mutex_);
  return analyticsConfiguration_;
}

void CDVConfiguration::setAnalyticsConfiguration(
    std::shared_ptr<CDVAnalyticsConfiguration> configuration) {
  std::lock_guard lock(mutex_);
  analyticsConfiguration_ = std::move(configuration);
}

void CDVConfiguration::resetSharedInstancesForTesting() {
  std::lock_guard lock(gSingletonMutex);
  gConfiguration.reset();
  gAnalyticsConfiguration.reset();
}
