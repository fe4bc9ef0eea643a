#include "obx/OBXAppDelegateSwizzler.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>


namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<OBXAppDelegateInterceptor>> interceptors;
};
Registry& registry() {
  static Registry& r = *new Registry();
  return r;
}

// The live interceptors, copied so that none is called under the lock.
std::vector<std::shared_ptr<OBXAppDelegateInterceptor>> interceptors() {
  std::vector<std::shared_ptr<OBXAppDelegateInterceptor>> out;
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& list = registry().interceptors;
  list.erase(std::remove_if(list.begin(), list.end(), [](const auto& weak) { return weak.expired(); }), list.end());
  for (const auto& weak : list) {
    if (auto strong = weak.lock()) out.push_back(std::move(strong));
  }
  return out;
}

template <typename Call>
bool anyHandled(Call call) {
  bool handled = false;
  for (const auto& interceptor : interceptors()) handled = call(*interceptor) || handled;
  return handled;
}

}  // namespace

bool OBXAppDelegateSwizzler::isAppDelegateProxyEnabled() { return true; }

void OBXAppDelegateSwizzler::proxyOriginalDelegate() {}

void OBXAppDelegateSwizzler::registerAppDelegateInterceptor(
    const std::shared_ptr<OBXAppDelegateInterceptor>& interceptor) {
  if (!interceptor) return;
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& list = registry().interceptors;
  for (const auto& weak : list) {
    if (weak.lock() == interceptor) return;
  }
  list.push_back(interceptor);
}

void OBXAppDelegateSwizzler::unregisterAppDelegateInterceptor(
    const std::shared_ptr<OBXAppDelegateInterceptor>& interceptor) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& list = registry().interceptors;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const auto& weak) { return weak.expired() || weak.lock() == interceptor; }),
             list.end());
}

bool OBXAppDelegateSwizzler::applicationOpenURL(const std::string& url, const platform::Dictionary& options) {
  return anyHandled([&](OBXAppDelegateInterceptor& i) { return i.applicationOpenURL(url, options); });
}

bool OBXAppDelegateSwizzler::applicationOpenURL(const std::string& url,
                                                const std::optional<std::string>& sourceApplication,
                                                const platform::Value& annotation) {
  return anyHandled(
      [&](OBXAppDelegateInterceptor& i) { return i.applicationOpenURL(url, sourceApplication, annotation); });
}

bool OBXAppDelegateSwizzler::applicationContinueUserActivity(const platform::UserActivity& userActivity) {
  return anyHandled([&](OBXAppDelegateInterceptor& i) { return i.applicationContinueUserActivity(userActivity); });
}

void OBXAppDelegateSwizzler::applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                                            std::function<void()> completionHandler) {
  auto list = interceptors();
  if (list.empty()) {
    if (completionHandler) completionHandler();
    return;
  }
  // The host's handler runs once, when every interceptor is done.
  auto remaining = std::make_shared<std::atomic<std::size_t>>(list.size());
  auto handler = std::make_shared<std::function<void()>>(std::move(completionHandler));
  for (const auto& interceptor : list) {
    interceptor->applicationHandleEventsForBackgroundURLSession(identifier, [remaining, handler] {
      if (remaining->fetch_sub(1) == 1 && *handler) (*handler)();
    });
  }
}

void OBXAppDelegateSwizzler::resetForTesting() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().interceptors.clear();
}
