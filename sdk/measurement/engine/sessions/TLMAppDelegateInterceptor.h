// Hands the app's URL-opening and user-activity callbacks to the measurement interface (which
// reads campaign parameters from the URL), and background-session events to the network client.
// Registered with the app-delegate proxy (obx/OBXAppDelegateSwizzler.h) when the library starts.
// Never claims a callback as handled, so the app's own delegate still sees every one.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "obx/OBXAppDelegateSwizzler.h"

class TLMAppDelegateInterceptor : public OBXAppDelegateInterceptor {
 public:
  // Where the interceptor hands over; the measurement interface installs its own.
  struct Handlers {
    // The interface's handleOpenURL.
    std::function<void(const std::string& url)> handleOpenURL;
    // The deep link a user activity carries; empty when none.
    std::function<std::optional<std::string>(const platform::UserActivity&)> deepLinkFromUserActivity;
  };

  static std::shared_ptr<TLMAppDelegateInterceptor> sharedInstance();
  // Registers the shared interceptor with the app-delegate proxy when the proxy is on; once.
  static void registerWithAppDelegateProxy();
  // Replaces the handlers; unset members keep the defaults (no URL hand-off; the activity's web
  // page URL for a browsing activity).
  void setHandlers(Handlers handlers);

  bool applicationOpenURL(const std::string& url, const platform::Dictionary& options) override;
  bool applicationOpenURL(const std::string& url, const std::optional<std::string>& sourceApplication,
                          const platform::Value& annotation) override;
  bool applicationContinueUserActivity(const platform::UserActivity& userActivity) override;
  void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                      std::function<void()> completionHandler) override;

 private:
  Handlers handlers() const;
  void openURL(const std::string& url) const;

  mutable std::mutex mutex_;
  Handlers handlers_;
};
