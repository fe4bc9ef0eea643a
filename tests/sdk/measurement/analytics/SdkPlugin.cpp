// A plugin that embeds the SDK: a shared library a host loads with dlopen, whose entry points
// configure the app (when it is not yet), log events, end the app and count what the store holds.
// The host finds them with dlsym (PluginHost.cpp, TwoPluginsHost.cpp). PLUGIN_EVENT_NAME names
// the events it logs. An entry point that uses another calls this plugin's own code (a function of
// the file's), never the exported symbol, which RTLD_GLOBAL may bind to another plugin's.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>

#include <unistd.h>

#include "Core/Private/CDVCopies.h"
#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVOptions.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/store/TLMDatabase.h"
#include "foundation/NotificationCenter.h"
#include "measurement/store/TLMSqliteStore.h"
#include "uikit/UIKit.h"

namespace {

#ifdef PLUGIN_EVENT_NAME
constexpr const char* kEventName = PLUGIN_EVENT_NAME;
#else
constexpr const char* kEventName = "from_plugin";
#endif

// The answer of `configure`, or -1 when it raised, with the reason in `reason` (`size` bytes).
template <typename Configure>
int configuring(char* reason, std::size_t size, Configure&& configure) noexcept {
  try {
    return configure();
  } catch (const std::exception& e) {
    if (size > 0) {
      std::strncpy(reason, e.what(), size - 1);
      reason[size - 1] = '\0';
    }
  } catch (...) {
  }
  return -1;
}

int configureDefault(char* reason, std::size_t size) noexcept {
  return configuring(reason, size, [] {
    if (CDVApp::isDefaultAppConfigured()) return 1;
    TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
    CDVApp::configure();
    return 0;
  });
}

void log(int count) noexcept try {
  for (int i = 0; i < count; ++i) {
    TLMObjectDictionary parameters;
    parameters.set("index", TLMObject(std::int64_t{i}));
    CDVAnalytics::logEventWithName(kEventName, parameters);
  }
} catch (...) {
}

int end() noexcept try {
  return UIApplication().terminate() ? 1 : 0;
} catch (...) {
  return -1;
}

long storedEventsNamed(const char* name) noexcept try {
  auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
  if (!database) return -1;
  platform::Array arguments;
  arguments.push_back(platform::Value(name));
  auto stored =
      database->sqliteStore()->numberForQuery("SELECT count(1) FROM raw_events WHERE name = ?", arguments, nullptr);
  return stored ? static_cast<long>(stored->int64Value().value_or(-1)) : -1;
} catch (...) {
  return -1;
}

}  // namespace

// Configures the app when it is not yet. Answers 1 when it was configured already, 0 when this
// call configured it, -1 when configure refused, with its reason in `reason` (`size` bytes).
extern "C" __attribute__((visibility("default"))) int sdk_plugin_configure(char* reason, std::size_t size) noexcept {
  return configureDefault(reason, size);
}

// Holds the next configure of this copy once it holds the process (in the notification that the
// app is ready to configure the libraries): writes a byte to `parked`, then waits for one on
// `release` (or its end).
extern "C" __attribute__((visibility("default"))) void sdk_plugin_hold_next_configure(int parked, int release) noexcept try {
  auto token = std::make_shared<platform::NotificationCenter::ObserverToken>();
  *token = platform::NotificationCenter::defaultCenter().addObserver(
      kCDVAppReadyToConfigureSDKNotification, platform::Value(), [parked, release, token](const platform::Notification&) {
        platform::NotificationCenter::defaultCenter().removeObserver(*token);
        char byte = 1;
        if (::write(parked, &byte, 1) != 1) return;
        while (::read(release, &byte, 1) < 0) {
        }
      });
} catch (...) {
}

// Configures an app named `name` with the default options: 0 when it was configured, -1 when
// configure refused, with its reason in `reason` (`size` bytes).
extern "C" __attribute__((visibility("default"))) int sdk_plugin_configure_named(const char* name, char* reason,
                                                                                std::size_t size) noexcept {
  return configuring(reason, size, [name] {
    CDVApp::configureWithName(std::string(name), CDVOptions::defaultOptions());
    return 0;
  });
}

// Switches the app's collection on (1) or off (0), as the app's settings keep it.
extern "C" __attribute__((visibility("default"))) void sdk_plugin_set_collection(int enabled) noexcept try {
  CDVAnalytics::setAnalyticsCollectionEnabled(enabled != 0);
} catch (...) {
}

// 1 when the app instance id is answered, 0 when not.
extern "C" __attribute__((visibility("default"))) int sdk_plugin_has_app_instance_id() noexcept try {
  return CDVAnalytics::appInstanceID().has_value() ? 1 : 0;
} catch (...) {
  return -1;
}

// Holds this copy's next claim of the process once it has read the other copies' (its mark set
// before), before it decides: writes a byte to `parked`, then, when `release` is a descriptor, waits for one there.
extern "C" __attribute__((visibility("default"))) void sdk_plugin_hold_next_claim(int parked, int release) noexcept {
  static int fds[2];
  fds[0] = parked;
  fds[1] = release;
  cdv_copies::setClaimHookForTesting(
      [](void* context) {
        const int* fds = static_cast<const int*>(context);
        char byte = 1;
        if (::write(fds[0], &byte, 1) != 1 || fds[1] < 0) return;
        while (::read(fds[1], &byte, 1) < 0) {
        }
      },
      fds);
}

// 1 when this copy finds another copy loaded in the process (it reads their blocks, and makes no
// thread), 0 when not.
extern "C" __attribute__((visibility("default"))) int sdk_plugin_sees_other_copies() noexcept {
  return cdv_copies::otherCopiesLoaded() ? 1 : 0;
}

// The file of another copy that works in this process, as this copy finds it, or null.
extern "C" __attribute__((visibility("default"))) const char* sdk_plugin_working_copy() noexcept {
  return cdv_copies::otherWorkingCopy();
}

#ifdef PLUGIN_UNDEFINED_SYMBOL
// A symbol no object defines: a load that binds every symbol at once fails ("undefined symbol").
extern "C" void cdv_plugin_symbol_nothing_defines();
extern "C" __attribute__((visibility("default"))) void sdk_plugin_undefined() { cdv_plugin_symbol_nothing_defines(); }
#endif

// Logs `count` events.
extern "C" __attribute__((visibility("default"))) void sdk_plugin_log(int count) noexcept { log(count); }

// Ends the app: the end's answer, 1 when everything was stored.
extern "C" __attribute__((visibility("default"))) int sdk_plugin_end() noexcept { return end(); }

// Logs `count` events and ends the app: the end's answer, 1 when everything was stored.
extern "C" __attribute__((visibility("default"))) int sdk_plugin_log_then_end(int count) noexcept {
  log(count);
  return end();
}

// Logs `count` events and ends the app, configuring it first when it is not. Answers 1 when the
// app was configured already, 0 when this call configured it, -1 when the end did not store
// everything (or configure refused).
extern "C" __attribute__((visibility("default"))) int sdk_plugin_log_and_end(int count) noexcept {
  const int configured = configureDefault(nullptr, 0);
  if (configured < 0) return -1;
  log(count);
  if (end() != 1) return -1;
  return configured;
}

// The events named `name` the app's store holds, -1 when it cannot be read.
extern "C" __attribute__((visibility("default"))) long sdk_plugin_stored_events_named(const char* name) noexcept {
  return storedEventsNamed(name);
}

// The events of this plugin the app's store holds, -1 when it cannot be read.
extern "C" __attribute__((visibility("default"))) long sdk_plugin_stored_events() noexcept {
  return storedEventsNamed(kEventName);
}
