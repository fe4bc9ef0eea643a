// What the core needs of the measurement library's facade class: when a class named
// "CDVAnalytics" is registered in platform::ClassRegistry and is a CDVAnalyticsStarter, the
// default app's configuration starts the library through it (once, with the shared analytics
// configuration and the default app's own options). A missing class is no failure.
#pragma once

#include <memory>

#include "foundation/ClassRegistry.h"

class CDVAnalyticsConfiguration;
class CDVOptions;

inline constexpr const char* kCDVAnalyticsClassName = "CDVAnalytics";

class CDVAnalyticsStarter : public platform::ClassObject {
 public:
  CDVAnalyticsStarter() : platform::ClassObject(kCDVAnalyticsClassName) {}

  // `options` is the default app's locked options.
  virtual void startWithConfiguration(const std::shared_ptr<CDVAnalyticsConfiguration>& configuration,
                                      const std::shared_ptr<const CDVOptions>& options) = 0;
};
