#include "measurement/engine/sessions/TLMAppDelegateInterceptor.h"

#include "obx/OBXNetwork.h"

std::shared_ptr<TLMAppDelegateInterceptor> TLMAppDelegateInterceptor::sharedInstance() {
  static const auto& shared = *new auto(std::make_shared<TLMAppDelegateInterceptor>());
  return shared;
}

void TLMAppDelegateInterceptor::registerWithAppDelegateProxy() {
  if (OBXAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
    OBXAppDelegateSwizzler::registerAppDelegateInterceptor(sharedInstance());
  }
}

void TLMAppDelegateInterceptor::setHandlers(Handlers handlers) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_ = std::move(handlers);
}

TLMAppDelegateInterceptor::Handlers TLMAppDelegateInterceptor::handlers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Handlers h = handlers_;
  if (!h.deepLinkFromUserActivity) {
    h.deepLinkFromUserActivity = [](const platform::UserActivity& activity) -> std::optional<std::string> {
      if (activity.activityType != platform::kUserActivityTypeBrowsingWeb) return std::nullopt;
      return activity.webpageURL;
    };
  }
  return h;
}

void TLMAppDelegateInterceptor::openURL(const std::string& url) const {
  if (auto handle = handlers().handleOpenURL) handle(url);
}

bool TLMAppDelegateInterceptor::applicationOpenURL(const std::string& url, const platform::Dictionary&) {
  openURL(url);
  return false;
}

bool TLMAppDelegateInterceptor::applicationOpenURL(const std::string& url, const std::optional<std::string>&,
                                                   const platform::Value&) {
  openURL(url);
  return false;
}

bool TLMAppDelegateInterceptor::applicationContinueUserActivity(const platform::UserActivity& userActivity) {
  const Handlers h = handlers();
  const std::optional<std::string> link = h.deepLinkFromUserActivity(userActivity);
  if (link && !link->empty() && h.handleOpenURL) h.handleOpenURL(*link);
  return false;
}

void TLMAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSession(
    const std::string& identifier, std::function<void()> completionHandler) {
  OBXNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}
