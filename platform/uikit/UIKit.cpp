#include "uikit/UIKit.h"

#include "foundation/NotificationCenter.h"

namespace {

struct Wrappers {
  std::mutex mutex;
  std::vector<UIViewController::AppearanceWrapper> didAppear;
  std::vector<UIViewController::AppearanceWrapper> didDisappear;
};
Wrappers& wrappers() {
  static Wrappers& w = *new Wrappers();
  return w;
}

class ApplicationClass : public platform::ClassObject, public platform::SharedApplicationClass {
 public:
  explicit ApplicationClass(std::shared_ptr<UIApplication> application)
      : platform::ClassObject("UIApplication"), application_(std::move(application)) {}
  std::shared_ptr<platform::Object> sharedApplication() const override { return application_; }

 private:
  const std::shared_ptr<UIApplication> application_;
};

void post(const char* name, platform::Value sender = platform::Value()) {
  platform::Notification notification;
  notification.name = name;
  notification.object = std::move(sender);
  platform::NotificationCenter::defaultCenter().post(notification);
}

}  // namespace

// MARK: - Associated objects

std::shared_ptr<platform::Object> UIAssociatedObjects::associatedObject(const void* key) const {
  std::lock_guard<std::mutex> lock(associatedMutex_);
  auto it = associated_.find(key);
  return it == associated_.end() ? nullptr : it->second;
}

void UIAssociatedObjects::setAssociatedObject(const void* key, std::shared_ptr<platform::Object> object) {
  std::lock_guard<std::mutex> lock(associatedMutex_);
  if (object) {
    associated_[key] = std::move(object);
  } else {
    associated_.erase(key);
  }
}

// MARK: - View controllers

UIViewController::UIViewController(std::string className, std::string superclassName, bool fromMainBundle)
    : className_(std::move(className)), superclassName_(std::move(superclassName)), fromMainBundle_(fromMainBundle) {}

bool UIViewController::isViewLoaded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return viewLoaded_;
}
void UIViewController::setViewLoaded(bool loaded) {
  std::lock_guard<std::mutex> lock(mutex_);
  viewLoaded_ = loaded;
}
std::shared_ptr<UIWindow> UIViewController::viewWindow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return window_.lock();
}
void UIViewController::setViewWindow(const std::shared_ptr<UIWindow>& window) {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = window;
}
std::shared_ptr<UIViewController> UIViewController::parentViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return parent_.lock();
}
std::vector<std::shared_ptr<UIViewController>> UIViewController::childViewControllers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return children_;
}
void UIViewController::addChildViewController(const std::shared_ptr<UIViewController>& child) {
  if (!child) return;
  {
    std::lock_guard<std::mutex> lock(child->mutex_);
    child->parent_ = weak_from_this();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  children_.push_back(child);
}
std::shared_ptr<UIViewController> UIViewController::presentedViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return presented_;
}
void UIViewController::setPresentedViewController(const std::shared_ptr<UIViewController>& presented) {
  std::lock_guard<std::mutex> lock(mutex_);
  presented_ = presented;
}
bool UIViewController::isBeingPresented() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return beingPresented_;
}
void UIViewController::setBeingPresented(bool presented) {
  std::lock_guard<std::mutex> lock(mutex_);
  beingPresented_ = presented;
}

void UIViewController::viewDidAppear(bool animated) {
  std::vector<AppearanceWrapper> hooks;
  {
    std::lock_guard<std::mutex> lock(wrappers().mutex);
    hooks = wrappers().didAppear;
  }
  for (const auto& hook : hooks) hook(*this, animated);
}

void UIViewController::viewDidDisappear(bool animated) {
  std::vector<AppearanceWrapper> hooks;
  {
    std::lock_guard<std::mutex> lock(wrappers().mutex);
    hooks = wrappers().didDisappear;
  }
  for (const auto& hook : hooks) hook(*this, animated);
}

void UIViewController::installAppearanceWrappers(AppearanceWrapper didAppear, AppearanceWrapper didDisappear) {
  std::lock_guard<std::mutex> lock(wrappers().mutex);
  if (didAppear) wrappers().didAppear.push_back(std::move(didAppear));
  if (didDisappear) wrappers().didDisappear.push_back(std::move(didDisappear));
}

void UIViewController::removeAppearanceWrappersForTesting() {
  std::lock_guard<std::mutex> lock(wrappers().mutex);
  wrappers().didAppear.clear();
  wrappers().didDisappear.clear();
}

std::shared_ptr<UIViewController> UINavigationController::visibleViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return visible_.lock();
}
void UINavigationController::setVisibleViewController(const std::shared_ptr<UIViewController>& controller) {
  std::lock_guard<std::mutex> lock(mutex_);
  visible_ = controller;
}
std::shared_ptr<UIViewController> UITabBarController::selectedViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return selected_.lock();
}
void UITabBarController::setSelectedViewController(const std::shared_ptr<UIViewController>& controller) {
  std::lock_guard<std::mutex> lock(mutex_);
  selected_ = controller;
}
std::vector<std::shared_ptr<UIViewController>> UIPageViewController::viewControllers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pages_;
}
void UIPageViewController::setViewControllers(std::vector<std::shared_ptr<UIViewController>> controllers) {
  std::lock_guard<std::mutex> lock(mutex_);
  pages_ = std::move(controllers);
}

// MARK: - Windows and the application

std::shared_ptr<UIViewController> UIWindow::rootViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return root_;
}
void UIWindow::setRootViewController(const std::shared_ptr<UIViewController>& root) {
  std::lock_guard<std::mutex> lock(mutex_);
  root_ = root;
}

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
  auto cls = std::dynamic_pointer_cast<platform::SharedApplicationClass>(
      platform::ClassRegistry::classNamed("UIApplication"));
  return cls ? std::dynamic_pointer_cast<UIApplication>(cls->sharedApplication()) : nullptr;
}

void UIApplication::install(const std::shared_ptr<UIApplication>& application) {
  if (!application) {
    platform::ClassRegistry::unregisterClass("UIApplication");
    return;
  }
  platform::ClassRegistry::registerClass(std::make_shared<ApplicationClass>(application));
}

std::shared_ptr<UIWindow> UIApplication::keyWindow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keyWindow_;
}

void UIApplication::makeKeyWindow(const std::shared_ptr<UIWindow>& window) {
  std::shared_ptr<UIWindow> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = keyWindow_;
    keyWindow_ = window;
  }
  if (old && old != window) post(UIWindowDidResignKeyNotification, platform::Value::unownedObject(old.get()));
}

void UIApplication::becomeActive() { post(UIApplicationDidBecomeActiveNotification); }
void UIApplication::resignActive() { post(UIApplicationWillResignActiveNotification); }
namespace {
constinit std::atomic<bool (*)()> gEndRefusal{nullptr};
constinit std::atomic<int (*)()> gEndElsewhere{nullptr};
}  // namespace

void UIApplication::setEndRefusal(bool (*refuses)()) { gEndRefusal.store(refuses); }

void UIApplication::setEndElsewhere(int (*endElsewhere)()) { gEndElsewhere.store(endElsewhere); }

bool UIApplication::terminate() {
  if (bool (*refuses)() = gEndRefusal.load(); refuses != nullptr && refuses()) return false;
  auto report = std::make_shared<UIApplicationTerminationReport>();
  platform::Notification notification;
  notification.name = UIApplicationWillTerminateNotification;
  notification.userInfo.set(UIApplicationTerminationReportKey, platform::Value::object(report));
  platform::NotificationCenter::defaultCenter().post(notification);
  bool complete = !report->isIncomplete();
  if (int (*elsewhere)() = gEndElsewhere.load(); elsewhere != nullptr && elsewhere() == 0) complete = false;
  return complete;
}

std::shared_ptr<UIApplicationTerminationReport> UIApplicationTerminationReport::inNotification(
    const platform::Value& userInfo) {
  return userInfo[UIApplicationTerminationReportKey].objectAs<UIApplicationTerminationReport>();
}
