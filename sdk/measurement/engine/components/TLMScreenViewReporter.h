// Follows which screen of the host app is on view: every appearance and disappearance of a view
// controller updates a per-window stack of controllers, from which the controller that counts as
// the current screen is picked. Each change of screen is told to the session and ad-exposure
// reporters and logged as "_vs" with the new and the previous screen; the app may name the screen
// itself. Other parts read the current screen's parameters ("_sn", "_sc", "_si").
//
// The wrappers and notification handlers run on the main thread; the screen state is read and
// written only on the reporter's serial queue; the stack has a lock of its own.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/Queue.h"
#include "foundation/NotificationCenter.h"
#include "measurement/engine/TLMEngineComponents.h"
#include "measurement/engine/TLMScreen.h"
#include "uikit/UIKit.h"

class TLMAdExposureReporter;

// The previous screen's parameters: "_pc", "_pi" and "_pn" (a valid name only); nothing when the
// class name is empty or invalid.
TLMObjectDictionary TLMPreviousScreenParameters(const TLMScreen& screen);
// "CindervaleScreenReportingEnabled" when present, else "CindervaleAutomaticScreenReportingEnabled";
// a number gives its truth, anything else means enabled.
bool TLMIsScreenReportingEnabled();
// The part after the last "." unless that "." ends the name.
std::string TLMUnprefixedClassName(const std::string& className);
// Whether a controller may become the current screen: not a system controller whose (super)class
// name begins with "_", and its view loaded and in `keyWindow`.
bool TLMShouldSetAsDefaultScreenClass(const UIViewController& controller, const std::shared_ptr<UIWindow>& keyWindow);

// The controllers of one window in order of appearance (oldest first), held weakly.
class TLMControllerStack : public platform::Object {
 public:
  // Released entries dropped.
  std::vector<std::shared_ptr<UIViewController>> compacted();
  bool empty();
  void remove(const UIViewController* controller, bool keepBottom);
  void append(const std::shared_ptr<UIViewController>& controller);
  void clear();

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<UIViewController>> entries_;
};

// An optional performance-tracing delegate.
class TLMScreenViewReporterDelegate {
 public:
  virtual ~TLMScreenViewReporterDelegate() = default;
  virtual void viewControllerDidAppear(UIViewController& controller, bool trackedByAnalytics) = 0;
  virtual void viewControllerDidDisappear(UIViewController& controller) = 0;
};

struct TLMScreenViewReporterServices {
  std::shared_ptr<platform::Queue> queue;                         // default: serial "TLMScreenViewReporter"
  std::function<bool()> isReportingEnabled;                       // default: TLMIsScreenReportingEnabled
  std::function<std::shared_ptr<UIApplication>()> application;    // default: the registered one
  // The engine's session reporter; null without an engine (default: the shared engine's).
  std::function<std::shared_ptr<TLMSessionReporting>()> sessionReporter;
  std::function<std::shared_ptr<TLMAdExposureReporter>()> adExposureReporter;  // default: shared; may give null
  std::function<bool()> delegateEnabled;                          // default: the remote setting
  std::function<bool()> efficientEngagementEnabled;               // default: the remote setting
  std::function<void(const std::string& name, const TLMObjectDictionary&)> logEvent;  // default: internal "auto" event
  std::function<std::int64_t()> randomInt64;                      // default: TLMNumericUtil::randomInt64
  platform::NotificationCenter* notificationCenter = nullptr;     // default: the default centre
};

class TLMScreenViewReporter : public TLMScreenReporting,
                              public std::enable_shared_from_this<TLMScreenViewReporter> {
 public:
  static std::shared_ptr<TLMScreenViewReporter> sharedInstance();
  // Registers the life-cycle observers.
  static std::shared_ptr<TLMScreenViewReporter> create(TLMScreenViewReporterServices services = {});
  ~TLMScreenViewReporter() override;
  // Wraps the appearance calls of every controller for the shared reporter, once per process;
  // nothing when reporting is switched off or an older analytics library is present.
  static void installAppearanceWrappers();

  bool isAppActive() const override { return appActive_.load(); }
  TLMObjectDictionary screenParameters() const override;
  void setScreenName(const std::optional<std::string>& screenName,
                     const std::optional<std::string>& screenClass) override;
  void getScreenName(std::optional<std::string>* name, std::optional<std::string>* className) const;

  void viewControllerDidAppear(const std::shared_ptr<UIViewController>& controller);
  void viewControllerDidDisappear(const std::shared_ptr<UIViewController>& controller);
  void setCurrentViewController(const std::shared_ptr<UIViewController>& controller);
  // Held weakly; a second delegate while one is set is refused (31016).
  void setCindervalePerfDelegate(const std::shared_ptr<TLMScreenViewReporterDelegate>& delegate);
  std::shared_ptr<TLMScreenViewReporterDelegate> cindervalePerfDelegate() const;

  void handleApplicationDidBecomeActive();
  void handleApplicationWillResignActive();
  void handleWindowDidResign();

  // The current controller of a stack (the stack is compacted first); null for an empty one (31011).
  static std::shared_ptr<UIViewController> currentViewControllerInStack(TLMControllerStack& stack);
  // The key window's stack, made and attached when it has none; null without a key window.
  std::shared_ptr<TLMControllerStack> currentStack() const;

 private:
  explicit TLMScreenViewReporter(TLMScreenViewReporterServices services);
  std::shared_ptr<UIWindow> keyWindow() const;
  std::int64_t nextInstanceID();
  void postScreenDidChange(const std::shared_ptr<TLMScreen>& previous, const std::shared_ptr<TLMScreen>& next);
  void logViewScreenEvent(const std::shared_ptr<TLMScreen>& previous, const std::shared_ptr<TLMScreen>& next);
  void setCurrentIfCounts(const std::shared_ptr<TLMControllerStack>& stack);

  TLMScreenViewReporterServices services_;
  std::atomic<bool> appActive_{false};
  std::vector<platform::NotificationCenter::ObserverToken> observers_;

  // Reporter queue only.
  std::uint64_t nextInstanceID_ = 0;
  std::weak_ptr<UIViewController> currentViewController_;
  std::shared_ptr<TLMScreen> currentScreen_;
  std::shared_ptr<TLMScreen> previousScreen_;

  mutable std::mutex delegateMutex_;
  std::weak_ptr<TLMScreenViewReporterDelegate> delegate_;
};
