// A plugin that embeds the SDK: a shared library a host loads with dlopen, whose entry points
// configure the app (when it is not yet), log events, end the app and count what the store holds.
// The host finds them with dlsym (PluginHost.cpp).
#include <cstdint>

#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMSqliteStore.h"
#include "uikit/UIKit.h"

namespace {

constexpr const char* kEventName = "from_plugin";

}  // namespace

// Logs `count` events and ends the app, configuring it first when it is not. Answers 1 when the
// app was configured already, 0 when this call configured it, -1 when the end did not store
// everything (or anything threw).
extern "C" __attribute__((visibility("default"))) int sdk_plugin_log_and_end(int count) noexcept try {
  const bool configured = CDVApp::isDefaultAppConfigured();
  if (!configured) {
    TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
    CDVApp::configure();
  }
  for (int i = 0; i < count; ++i) {
    TLMObjectDictionary parameters;
    parameters.set("index", TLMObject(std::int64_t{i}));
    CDVAnalytics::logEventWithName(kEventName, parameters);
  }
  if (!UIApplication().terminate()) return -1;
  return configured ? 1 : 0;
} catch (...) {
  return -1;
}

// The events the app's store holds, -1 when it cannot be read.
extern "C" __attribute__((visibility("default"))) long sdk_plugin_stored_events() noexcept try {
  auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
  if (!database) return -1;
  platform::Array arguments;
  arguments.push_back(platform::Value(kEventName));
  auto stored =
      database->sqliteStore()->numberForQuery("SELECT count(1) FROM raw_events WHERE name = ?", arguments, nullptr);
  return stored ? static_cast<long>(stored->int64Value().value_or(-1)) : -1;
} catch (...) {
  return -1;
}
