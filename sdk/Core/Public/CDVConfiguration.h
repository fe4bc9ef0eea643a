// Process-wide SDK configuration: the logger level and the analytics collection switch.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/ClassRegistry.h"
#include "foundation/Value.h"

// Persisted analytics switch: 1 collection enabled, 2 disabled, absent never set by the host.
inline constexpr const char* kCDVAnalyticsEnabledStateKey = "/ombrix/measurement/measurement_enabled_state";
inline constexpr const char* kCDVAnalyticsConfigurationSetEnabledNotification =
    "CDVAnalyticsConfigurationSetEnabledNotification";

// The switch by which the host turns analytics collection on or off. Setting it persists the
// value for the measurement library and posts "CDVAnalyticsConfigurationSetEnabledNotification"
// (object: this configuration; user info: { notification name: the boolean }).
class CDVAnalyticsConfiguration : public platform::Object,
                                  public std::enable_shared_from_this<CDVAnalyticsConfiguration> {
 public:
  static std::shared_ptr<CDVAnalyticsConfiguration> sharedInstance();

  void setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled);
  void setAnalyticsCollectionEnabled(bool analyticsCollectionEnabled, bool persistSetting);
  // Posts only when `name` is non-empty and a value is given.
  void postNotificationName(const std::string& name, const std::optional<platform::Value>& value);

  std::string description() const override { return "<CDVAnalyticsConfiguration>"; }
};

class CDVConfiguration : public platform::Object {
 public:
  static std::shared_ptr<CDVConfiguration> sharedInstance();

  // Sets the level up to which SDK log lines are written.
  void setLoggerLevel(int loggerLevel);

  std::shared_ptr<CDVAnalyticsConfiguration> analyticsConfiguration() const;
  void setAnalyticsConfiguration(std::shared_ptr<CDVAnalyticsConfiguration> configuration);

  std::string description() const override { return "<CDVConfiguration>"; }

  // Test support: the next sharedInstance() calls create fresh singletons.
  static void resetSharedInstancesForTesting();

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<CDVAnalyticsConfiguration> analyticsConfiguration_;
};
