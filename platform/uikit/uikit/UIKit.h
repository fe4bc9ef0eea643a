// A small stand-in of the phone's UI framework, as far as code that follows the app's screens
// needs it: view controllers (with their run-time class name, loaded view, window, parent,
// children, presented controller and the three container kinds), windows, the application with
// its key window, the appearance calls with wrappers that run after them, associated objects,
// and the life-cycle notifications on the default notification centre.
//
// Like the real framework it is meant for the main thread; its state is still guarded, so a read
// from another thread is safe. Controllers live in shared pointers (the appearance wrappers and
// the parent link reach them through shared_from_this / weak pointers).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ClassRegistry.h"
#include "foundation/SharedApplication.h"
#include "foundation/Value.h"

inline constexpr const char* UIApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* UIApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* UIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char* UIWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";
// The key of UIApplicationWillTerminateNotification's user info under which UIApplication::terminate
// hands its observers a UIApplicationTerminationReport (a Value made from its shared pointer).
inline constexpr const char* UIApplicationTerminationReportKey = "UIApplicationTerminationReportKey";

// What the observers of the app's end tell terminate(): one that could not keep, in its time,
// all it had to keep marks it incomplete. Any thread.
class UIApplicationTerminationReport {
 public:
  void markIncomplete() { incomplete_.store(true); }
  bool isIncomplete() const { return incomplete_.load(); }
  // The report in a notification's user info; null when it holds none.
  static std::shared_ptr<UIApplicationTerminationReport> inNotification(const platform::Value& userInfo);

 private:
  std::atomic<bool> incomplete_{false};
};

// Objects that carry associated objects by key (the address of a static).
class UIAssociatedObjects : public platform::Object {
 public:
  std::shared_ptr<platform::Object> associatedObject(const void* key) const;
  // Retained; null removes.
  void setAssociatedObject(const void* key, std::shared_ptr<platform::Object> object);

 private:
  mutable std::mutex associatedMutex_;
  std::map<const void*, std::shared_ptr<platform::Object>> associated_;
};

class UIWindow;

class UIViewController : public UIAssociatedObjects, public std::enable_shared_from_this<UIViewController> {
 public:
  // `className` is the run-time name ("Module.Type" for a type declared in a module);
  // `fromMainBundle` false for the system's own controllers.
  explicit UIViewController(std::string className, std::string superclassName = "UIViewController",
                            bool fromMainBundle = true);

  const std::string& className() const { return className_; }
  const std::string& superclassName() const { return superclassName_; }
  bool isFromMainBundle() const { return fromMainBundle_; }

  bool isViewLoaded() const;
  void setViewLoaded(bool loaded);
  // The window the view is in (held weakly); null when it is in none.
  std::shared_ptr<UIWindow> viewWindow() const;
  void setViewWindow(const std::shared_ptr<UIWindow>& window);

  std::shared_ptr<UIViewController> parentViewController() const;
  std::vector<std::shared_ptr<UIViewController>> childViewControllers() const;
  void addChildViewController(const std::shared_ptr<UIViewController>& child);
  std::shared_ptr<UIViewController> presentedViewController() const;
  void setPresentedViewController(const std::shared_ptr<UIViewController>& presented);
  bool isBeingPresented() const;
  void setBeingPresented(bool presented);

  // What the system calls once the view is on screen / gone; runs the installed wrappers after
  // the controller's own handling.
  void viewDidAppear(bool animated);
  void viewDidDisappear(bool animated);

  using AppearanceWrapper = std::function<void(UIViewController& controller, bool animated)>;
  // Code run after every viewDidAppear: / viewDidDisappear: of every controller, in order of
  // installation.
  static void installAppearanceWrappers(AppearanceWrapper didAppear, AppearanceWrapper didDisappear);
  static void removeAppearanceWrappersForTesting();

  std::string description() const override { return className_; }

 protected:
  mutable std::mutex mutex_;

 private:
  const std::string className_;
  const std::string superclassName_;
  const bool fromMainBundle_;
  bool viewLoaded_ = false;
  std::weak_ptr<UIWindow> window_;
  std::weak_ptr<UIViewController> parent_;
  std::vector<std::shared_ptr<UIViewController>> children_;
  std::shared_ptr<UIViewController> presented_;
  bool beingPresented_ = false;
};

class UINavigationController : public UIViewController {
 public:
  using UIViewController::UIViewController;
  explicit UINavigationController() : UIViewController("UINavigationController", "UIViewController", false) {}
  std::shared_ptr<UIViewController> visibleViewController() const;
  void setVisibleViewController(const std::shared_ptr<UIViewController>& controller);

 private:
  std::weak_ptr<UIViewController> visible_;
};

class UITabBarController : public UIViewController {
 public:
  using UIViewController::UIViewController;
  explicit UITabBarController() : UIViewController("UITabBarController", "UIViewController", false) {}
  std::shared_ptr<UIViewController> selectedViewController() const;
  void setSelectedViewController(const std::shared_ptr<UIViewController>& controller);

 private:
  std::weak_ptr<UIViewController> selected_;
};

class UIPageViewController : public UIViewController {
 public:
  using UIViewController::UIViewController;
  explicit UIPageViewController() : UIViewController("UIPageViewController", "UIViewController", false) {}
  std::vector<std::shared_ptr<UIViewController>> viewControllers() const;
  void setViewControllers(std::vector<std::shared_ptr<UIViewController>> controllers);

 private:
  std::vector<std::shared_ptr<UIViewController>> pages_;
};

class UIWindow : public UIAssociatedObjects {
 public:
  std::shared_ptr<UIViewController> rootViewController() const;
  void setRootViewController(const std::shared_ptr<UIViewController>& root);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<UIViewController> root_;
};

class UIApplication : public platform::Object {
 public:
  // The application registered as the class "UIApplication", or null.
  static std::shared_ptr<UIApplication> sharedApplication();
  // Registers the class "UIApplication" whose sharedApplication answers `application`; null
  // unregisters.
  static void install(const std::shared_ptr<UIApplication>& application);

  std::shared_ptr<UIWindow> keyWindow() const;
  // Posts UIWindowDidResignKeyNotification (sender: the old window) when another window was key.
  void makeKeyWindow(const std::shared_ptr<UIWindow>& window);
  // Post UIApplicationDidBecomeActiveNotification / UIApplicationWillResignActiveNotification.
  void becomeActive();
  void resignActive();
  // Posts UIApplicationWillTerminateNotification: the app is about to end (a host calls it
  // before returning from main). Observers run on the calling thread and may take a few seconds
  // to finish what must be kept; the call returns when they are done. True unless an observer
  // marked the report in the user info incomplete (what it had to keep is not all kept).
  bool terminate();
  // Set by the SDK's core when a process becomes the SDK's: true where this process's end is
  // not the app's, in a child made by fork() from the app's process. There terminate() returns
  // false at once and posts nothing: an observer's lock may have been held at the fork by a thread
  // the child does not have. Null (the start): every call posts.
  static void setEndRefusal(bool (*refuses)());
  // Set by the SDK's core: after this copy's observers, ends the app through the copy of the SDK
  // that works in this process when it is another (a plugin's, beside the program's own copy),
  // which waits for what it holds: 1 when that was all stored, 0 when not (terminate() then
  // answers false), -1 when there is no such copy.
  static void setEndElsewhere(int (*endElsewhere)());

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<UIWindow> keyWindow_;
};
