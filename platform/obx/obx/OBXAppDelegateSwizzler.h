// The app-delegate proxy. On the phone platform the framework swaps the app delegate's methods at
// run time so that registered interceptors see the app's URL-opening, user-activity and
// background-session callbacks. C++ has no run-time method replacement, so here the proxy is an
// explicit hand-off: the host app's delegate calls the `application...` functions below from its
// own callbacks, and they pass each callback to every registered interceptor (in registration
// order), then answer whether any interceptor handled it. Interceptors are held weakly.
//
// The hand-off is always on (isAppDelegateProxyEnabled). The framework's other run-time method
// replacement (a swizzler) has no counterpart: callers that would look up or replace a method
// take the optional operations of an interface instead. Thread-safe; the callbacks belong on the
// main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/UserActivity.h"
#include "foundation/Value.h"

class OBXAppDelegateInterceptor {
 public:
  virtual ~OBXAppDelegateInterceptor() = default;
  virtual bool applicationOpenURL(const std::string& url, const platform::Dictionary& options) = 0;
  virtual bool applicationOpenURL(const std::string& url, const std::optional<std::string>& sourceApplication,
                                  const platform::Value& annotation) = 0;
  virtual bool applicationContinueUserActivity(const platform::UserActivity& userActivity) = 0;
  virtual void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                              std::function<void()> completionHandler) = 0;
};

class OBXAppDelegateSwizzler {
 public:
  static bool isAppDelegateProxyEnabled();
  static void proxyOriginalDelegate();
  // Null or already registered: nothing.
  static void registerAppDelegateInterceptor(const std::shared_ptr<OBXAppDelegateInterceptor>& interceptor);
  static void unregisterAppDelegateInterceptor(const std::shared_ptr<OBXAppDelegateInterceptor>& interceptor);

  // The hand-off the host's delegate calls; each answers whether an interceptor handled it.
  static bool applicationOpenURL(const std::string& url, const platform::Dictionary& options = {});
  static bool applicationOpenURL(const std::string& url, const std::optional<std::string>& sourceApplication,
                                 const platform::Value& annotation);
  static bool applicationContinueUserActivity(const platform::UserActivity& userActivity);
  // Each interceptor gets the session's events; the host's handler is called once, after the
  // last interceptor called its own (at once without interceptors).
  static void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                             std::function<void()> completionHandler);

  // Test support: forgets the interceptors.
  static void resetForTesting();
};
