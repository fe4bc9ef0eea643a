// The measurement interface over a test engine: manual operation, serial and timestamp queues, the
// engine of EngineHarness (manual worker queue and clock, temporary sandbox, real SQLite) made the
// shared engine when the interface starts it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MeasurementEngineTestSupport.h"
#include "foundation/ClassRegistry.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"

class AnalyticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The facade is linked in; the interface is started as the host app would start it alone.
    platform::ClassRegistry::unregisterClass(kCDVAnalyticsClassName);
    TLMMeasurementEngine::resetSharedInstanceForTesting();
    TLMAnalytics::resetForTesting({operation, serial, timestamp});
    TLMAnalytics::setEngineInitializerForTesting(
        [this](const std::string&, bool enabled, bool deactivated, const std::vector<std::string>& safelist) {
          ++initializations;
          TLMMeasurementEngine::setSharedInstanceForTesting(h.build(enabled, deactivated, safelist));
        });
  }
  void TearDown() override {
    drain();
    TLMMeasurementEngine::setEventListenerNotifier(nullptr);
    TLMMeasurementEngine::resetSharedInstanceForTesting();
    TLMAnalytics::setEngineInitializerForTesting(nullptr);
    TLMAnalytics::resetForTesting();
    CDVAnalyticsConnector::load();
  }

  void start(platform::Dictionary options = {}) {
    if (options.empty()) options.set(kTLMStartOptionLogTag, platform::Value("[Test]"));
    TLMAnalytics::startWithAppID(kTestAppID, "app", options);
  }
  // Runs every queue until all are idle.
  void drain() {
    while (operation->drain() + serial->drain() + h.worker->drain() + main->drain() > 0) {
    }
  }
  std::vector<StoredEvent> stored(const std::string& name) {
    std::vector<StoredEvent> result;
    for (auto& e : h.rawEvents()) {
      if (e.name == name) result.push_back(e);
    }
    return result;
  }
  // The error codes of the stored "_err" events, in order.
  std::vector<std::int64_t> errorCodes() {
    std::vector<std::int64_t> codes;
    for (const auto& e : stored("_err")) {
      const TLMValue* code = e.event->parameters().find("_err");
      codes.push_back(code ? code->int64Value() : -1);
    }
    return codes;
  }

  EngineHarness h;
  std::shared_ptr<platform::ManualQueue> operation = platform::ManualQueue::create(kTLMAnalyticsOperationQueueLabel);
  std::shared_ptr<platform::ManualQueue> serial = platform::ManualQueue::create(kTLMAnalyticsQueueLabel);
  std::shared_ptr<platform::ManualQueue> timestamp = platform::ManualQueue::create(kTLMAnalyticsTimestampQueueLabel);
  std::shared_ptr<platform::ManualQueue> main = platform::ManualQueue::create("main");
  platform::ScopedMainQueue scopedMain{main};
  int initializations = 0;
};
