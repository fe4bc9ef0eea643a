// The SDK family's analytics: the public facade CDVAnalytics, whose class object the core finds
// by the name "CDVAnalytics" and starts when the default app is configured, and the analytics
// connector, the component through which the family's other libraries log events, set user
// properties and listen to logged events, fenced by the lists of CDVConnectorUtils.
//
// CDVAnalyticsConnector::load() registers both: the connector as the library "cind-analytics"
// and the facade's class object. Linking the library runs it once (see CMakeLists.txt); tests
// that reset the core's registries call it again.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Core/Public/CDVAnalyticsStarter.h"
#include "Core/Public/CDVComponent.h"
#include "measurement/analytics/CDVAMeasurement.h"
#include "measurement/analytics/TLMAnalytics.h"

inline constexpr const char* kCDVAnalyticsConnectorLibraryName = "cind-analytics";
inline constexpr const char* kCDVAnalyticsConnectorLibraryVersion = "6.0.3";
inline constexpr const char* kCDVAnalyticsExpectedLibraryVersion = "60003000";
inline constexpr const char* kCDVAnalyticsLogTag = "[Cindervale/Analytics]";
inline constexpr const char* kCDVAnalyticsSafelistedEventsKey = "ANALYTICS_SAFELISTED_EVENTS";

class CDVAnalytics : public CDVAnalyticsStarter {
 public:
  // The class object; the first call checks the library version (raises
  // "CDVAnalyticsVersionMismatch" when it differs).
  static std::shared_ptr<CDVAnalytics> classObject();
  static void checkLibraryVersion(const std::string& libraryVersion);

  // The core's start: the app id of `options`, origin "xq", and the start options built from
  // the configuration, the options' switches, the log tag and the safelisted events.
  void startWithConfiguration(const std::shared_ptr<CDVAnalyticsConfiguration>& configuration,
                              const std::shared_ptr<const CDVOptions>& options) override;
  static platform::Dictionary startOptions(const std::shared_ptr<CDVAnalyticsConfiguration>& configuration,
                                           const CDVOptions& options);

  // Refused (25018 / 25019) until the default app is configured.
  static void logEventWithName(const std::string& name, const TLMObjectDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const TLMObjectDictionary& parameters);
  static void setUserPropertyString(const TLMObject& value, const std::string& name);

  static void setUserID(const TLMObject& userID) { TLMAnalytics::setUserID(userID); }
  static void setScreenName(const std::optional<std::string>& screenName,
                            const std::optional<std::string>& screenClass) {
    TLMAnalytics::setScreenName(screenName, screenClass);
  }
  static std::optional<std::string> appInstanceID() { return TLMAnalytics::appInstanceID(); }
  static void resetAnalyticsData() { TLMAnalytics::resetAnalyticsData(); }
  // Persisted.
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setSessionTimeoutInterval(double seconds);
  static void setLogEventInterceptor(TLMLogEventInterceptor interceptor) {
    TLMAnalytics::setLogEventInterceptor(std::move(interceptor));
  }
  static std::optional<TLMLogEventListenerToken> addLogEventListener(TLMLogEventListener listener) {
    return TLMAnalytics::addLogEventListener(std::move(listener));
  }
  static void removeLogEventListener(std::optional<TLMLogEventListenerToken> token) {
    TLMAnalytics::removeLogEventListener(token);
  }
  static void notifyEventListeners(const TLMEventPtr& event) { TLMAnalytics::notifyEventListeners(event); }
  static void setOpenURLListener(TLMOpenURLListener listener) { TLMAnalytics::setOpenURLListener(std::move(listener)); }
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const TLMObjectDictionary& parameters) {
    TLMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
  }
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const TLMObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void setInternalUserProperty(const TLMObject& value, const std::string& name) {
    TLMAnalytics::setInternalUserProperty(value, name);
  }
  static void setInternalUserProperty(const TLMObject& value, const std::string& name, const std::string& origin) {
    TLMAnalytics::setInternalUserProperty(value, name, origin);
  }
  static void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::Queue> queue,
                                         std::function<void(int)> callback) {
    TLMAnalytics::maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
  }
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<platform::Queue> queue,
                                              std::function<void(platform::Dictionary)> callback) {
    TLMAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(queue), std::move(callback));
  }
  static void handleOpenURL(const std::string& url) { TLMAnalytics::handleOpenURL(url); }
  static void handleUserActivity(const std::optional<platform::UserActivity>& activity) {
    TLMAnalytics::handleUserActivity(activity);
  }
  static void dispatchAsyncOnSerialQueue(platform::Block block) { TLMAnalytics::dispatchAsyncOnSerialQueue(std::move(block)); }
  static void queueOperationWithBlock(platform::Block block) { TLMAnalytics::queueOperationWithBlock(std::move(block)); }
  static void unsuspendOperationQueue() { TLMAnalytics::unsuspendOperationQueue(); }
  static double loadTimestamp() { return TLMAnalytics::loadTimestamp(); }
  static void handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completionHandler) {
    TLMAnalytics::handleEventsForBackgroundURLSession(sessionID, std::move(completionHandler));
  }
};

// What another SDK library is told of a logged event.
class CDVAnalyticsInteropListener {
 public:
  virtual ~CDVAnalyticsInteropListener() = default;
  virtual void messageTriggered(const std::string& name, const platform::Dictionary& parameters) = 0;
};

// The allow and block lists of the connector.
class CDVConnectorUtils {
 public:
  static bool isOriginAllowed(const std::string& origin);
  static bool isListenerOriginAllowed(const std::string& origin);
  static bool isEventNameAllowedForListeners(const std::string& name);
  static bool shouldLogEventWithName(const std::string& name, const TLMObjectDictionary& parameters);
  static bool isUserPropertyAllowed(const std::string& name, const std::string& origin);
};

// The connector's class object as an SDK library: one lazy component for "CDVAnalyticsInterop".
class CDVAnalyticsConnectorClass : public CDVLibrary {
 public:
  CDVAnalyticsConnectorClass() : CDVLibrary("CDVAnalyticsConnector") {}
  std::vector<std::shared_ptr<CDVComponent>> componentsToRegister() const override;
};

// The component offered under the protocol "CDVAnalyticsInterop".
class CDVAnalyticsConnector : public platform::Object, public std::enable_shared_from_this<CDVAnalyticsConnector> {
 public:
  // Listeners' parameters are simplified on `listenerQueue` (default: a serial queue made with
  // the first listener).
  explicit CDVAnalyticsConnector(std::shared_ptr<platform::Queue> listenerQueue = nullptr)
      : listenerQueue_(std::move(listenerQueue)) {}
  // Registers the connector library and the facade's class object (idempotent).
  static void load();
  static CDVProtocol interopProtocol();

  void setConditionalUserProperty(const platform::Dictionary&) {}
  void clearConditionalUserProperty(const std::string&, const std::string&, const platform::Dictionary&) {}
  std::optional<platform::Array> conditionalUserProperties(const std::string&, const std::string&) {
    return std::nullopt;
  }
  std::int64_t maxUserProperties(const std::string&) const { return -1; }
  void logEventWithOrigin(const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters);
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name, const TLMObject& value);
  void registerAnalyticsListener(std::shared_ptr<CDVAnalyticsInteropListener> listener, const std::string& origin);
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin);
  static platform::Dictionary simplifiedParametersFromEventParameters(const TLMObjectDictionary& parameters);

 private:
  void eventLogged(const TLMEventPtr& event);

  // Guards the listener table and the token; the log-event listener copies its targets under it.
  std::mutex mutex_;
  std::shared_ptr<platform::Queue> listenerQueue_;
  std::optional<TLMLogEventListenerToken> logEventListener_;
  std::uint64_t generation_ = 0;  // counts the tables made and dropped
  std::optional<std::map<std::string, std::shared_ptr<CDVAnalyticsInteropListener>>> listeners_;
};
