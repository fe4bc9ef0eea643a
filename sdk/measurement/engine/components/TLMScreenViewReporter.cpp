#include "measurement/engine/components/TLMScreenViewReporter.h"

#include "foundation/Bundle.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Text.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/sessions/TLMAdExposureReporter.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "obx/OBXLogger.h"

namespace {

constexpr std::size_t kMaxScreenClassLength = 100;
const char kScreenKey = 0;
const char kStackKey = 0;

bool isValidScreenValue(const std::string& value) {
  return TLMDataTypeValidator::isValidScreenParameterValue(TLMObject(value));
}

// The screen a controller carries.
class ScreenHolder : public platform::Object {
 public:
  explicit ScreenHolder(std::shared_ptr<TLMScreen> screen) : screen(std::move(screen)) {}
  std::shared_ptr<TLMScreen> screen;
};

std::shared_ptr<TLMScreen> screenOf(UIViewController& controller) {
  auto object = controller.associatedObject(&kScreenKey);
  if (!object) return nullptr;
  auto holder = std::dynamic_pointer_cast<ScreenHolder>(object);
  if (!holder) {
    tlm_monitor()->logWithLevel(4, 36000, "Found unknown associated object", tlm_text(object->description()));
    controller.setAssociatedObject(&kScreenKey, nullptr);
    return nullptr;
  }
  return holder->screen;
}

void attachScreen(UIViewController& controller, std::shared_ptr<TLMScreen> screen) {
  controller.setAssociatedObject(&kScreenKey, std::make_shared<ScreenHolder>(std::move(screen)));
}

std::shared_ptr<TLMScreen> copyOf(const std::shared_ptr<TLMScreen>& screen) {
  if (!screen) return nullptr;
  auto copy = std::make_shared<TLMScreen>(*screen);
  copy->manuallySet = false;
  return copy;
}

bool isShown(const UIViewController& controller) { return controller.isViewLoaded() && controller.viewWindow(); }

// One step down a container: the navigation controller's visible controller, the tab bar's
// selected one, the page controller's first page, else the presented controller; null to stop.
std::shared_ptr<UIViewController> containedController(const std::shared_ptr<UIViewController>& controller) {
  if (auto nav = std::dynamic_pointer_cast<UINavigationController>(controller)) return nav->visibleViewController();
  if (auto tab = std::dynamic_pointer_cast<UITabBarController>(controller)) return tab->selectedViewController();
  if (auto page = std::dynamic_pointer_cast<UIPageViewController>(controller)) {
    auto pages = page->viewControllers();
    return pages.empty() ? nullptr : pages.front();
  }
  return controller->presentedViewController();
}

std::string screenClassOf(const UIViewController& controller, bool logCut) {
  const std::string full = TLMUnprefixedClassName(controller.className());
  if (platform::text::codePointLength(full) <= kMaxScreenClassLength) return full;
  std::string cut = platform::text::codePointPrefix(full, kMaxScreenClassLength);
  if (logCut) {
    tlm_monitor()->logWithLevel(7, 31007, "Trimmed name of default screen class. Original screen class, trimmed screen class",
                                tlm_text(full), tlm_text(cut));
  }
  return cut;
}

}  // namespace

// MARK: - Functions

TLMObjectDictionary TLMPreviousScreenParameters(const TLMScreen& screen) {
  TLMObjectDictionary parameters;
  if (screen.className.empty() || !isValidScreenValue(screen.className)) return parameters;
  parameters.set("_pc", TLMObject(screen.className));
  parameters.set("_pi", TLMObject(screen.instanceID));
  if (screen.name && isValidScreenValue(*screen.name)) parameters.set("_pn", TLMObject(*screen.name));
  return parameters;
}

bool TLMIsScreenReportingEnabled() {
  auto bundle = platform::Bundle::main();
  const platform::Value& specific = bundle->objectForInfoDictionaryKey("CindervaleScreenReportingEnabled");
  const platform::Value& value =
      specific.isNull() ? bundle->objectForInfoDictionaryKey("CindervaleAutomaticScreenReportingEnabled") : specific;
  if (value.isNumber()) return value.boolValue().value_or(true);
  return true;
}

std::string TLMUnprefixedClassName(const std::string& className) {
  const auto dot = className.rfind('.');
  if (dot == std::string::npos || dot + 1 == className.size()) return className;
  return className.substr(dot + 1);
}

bool TLMShouldSetAsDefaultScreenClass(const UIViewController& controller, const std::shared_ptr<UIWindow>& keyWindow) {
  if (!controller.isFromMainBundle() && (TLMUnprefixedClassName(controller.className()).starts_with("_") ||
                                         TLMUnprefixedClassName(controller.superclassName()).starts_with("_"))) {
    return false;
  }
  return controller.isViewLoaded() && keyWindow && controller.viewWindow() == keyWindow;
}

// MARK: - Stack

std::vector<std::shared_ptr<UIViewController>> TLMControllerStack::compacted() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<UIViewController>> alive;
  std::vector<std::weak_ptr<UIViewController>> kept;
  for (const auto& entry : entries_) {
    if (auto controller = entry.lock()) {
      alive.push_back(controller);
      kept.push_back(entry);
    }
  }
  entries_ = std::move(kept);
  return alive;
}

bool TLMControllerStack::empty() { return compacted().empty(); }

void TLMControllerStack::remove(const UIViewController* controller, bool keepBottom) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = keepBottom ? 1 : 0; i < entries_.size(); ++i) {
    if (entries_[i].lock().get() == controller) {
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void TLMControllerStack::append(const std::shared_ptr<UIViewController>& controller) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(controller);
}

void TLMControllerStack::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

// MARK: - Creation

std::shared_ptr<TLMScreenViewReporter> TLMScreenViewReporter::sharedInstance() {
  static const auto& instance = *new auto(create());
  return instance;
}

std::shared_ptr<TLMScreenViewReporter> TLMScreenViewReporter::create(TLMScreenViewReporterServices services) {
  std::shared_ptr<TLMScreenViewReporter> reporter(new TLMScreenViewReporter(std::move(services)));
  auto& center = *reporter->services_.notificationCenter;
  std::weak_ptr<TLMScreenViewReporter> weak = reporter;
  reporter->observers_.push_back(center.addObserver(UIWindowDidResignKeyNotification, platform::Value(),
                                                    [weak](const platform::Notification&) {
                                                      if (auto self = weak.lock()) self->handleWindowDidResign();
                                                    }));
  reporter->observers_.push_back(center.addObserver(UIApplicationDidBecomeActiveNotification, platform::Value(),
                                                    [weak](const platform::Notification&) {
                                                      if (auto self = weak.lock()) self->handleApplicationDidBecomeActive();
                                                    }));
  reporter->observers_.push_back(center.addObserver(UIApplicationWillResignActiveNotification, platform::Value(),
                                                    [weak](const platform::Notification&) {
                                                      if (auto self = weak.lock()) self->handleApplicationWillResignActive();
                                                    }));
  return reporter;
}

TLMScreenViewReporter::TLMScreenViewReporter(TLMScreenViewReporterServices services) : services_(std::move(services)) {
  if (!services_.queue) services_.queue = platform::Queue::serial("TLMScreenViewReporter");
  if (!services_.isReportingEnabled) services_.isReportingEnabled = [] { return TLMIsScreenReportingEnabled(); };
  if (!services_.application) {
    services_.application = [] { return std::dynamic_pointer_cast<UIApplication>(TLMAEU::sharedApplication()); };
  }
  if (!services_.sessionReporter) {
    services_.sessionReporter = []() -> std::shared_ptr<TLMSessionReporting> {
      if (!TLMMeasurementEngine::hasSharedInstance()) return nullptr;
      auto engine = TLMMeasurementEngine::sharedInstance();
      return engine ? engine->sessionReporter() : nullptr;
    };
  }
  if (!services_.adExposureReporter) services_.adExposureReporter = [] { return TLMAdExposureReporter::sharedInstance(); };
  if (!services_.delegateEnabled) {
    services_.delegateEnabled = [] { return TLMMeasurementEngine::sharedRemoteConfig()->isScreenViewReporterDelegateEnabled(); };
  }
  if (!services_.efficientEngagementEnabled) {
    services_.efficientEngagementEnabled = [] {
      return TLMMeasurementEngine::sharedRemoteConfig()->efficientEngagementReportingEnabled();
    };
  }
  if (!services_.logEvent) {
    services_.logEvent = [](const std::string& name, const TLMObjectDictionary& parameters) {
      TLMMeasurement::logInternalEvent("auto", name, parameters);
    };
  }
  if (!services_.randomInt64) services_.randomInt64 = [] { return TLMNumericUtil::randomInt64(); };
  if (!services_.notificationCenter) services_.notificationCenter = &platform::NotificationCenter::defaultCenter();
  nextInstanceID_ = static_cast<std::uint64_t>(services_.randomInt64());
}

TLMScreenViewReporter::~TLMScreenViewReporter() {
  for (auto token : observers_) services_.notificationCenter->removeObserver(token);
}

void TLMScreenViewReporter::installAppearanceWrappers() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!TLMAEU::isOSSupported()) return;
    if (!TLMIsScreenReportingEnabled()) {
      OBXLogInfo(kTLMMonitorDefaultLogTag, false, "I-ACS036001",
                 "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
      return;
    }
    if (platform::ClassRegistry::hasClassNamed("CDVADatabase")) {
      OBXLogWarning(kTLMMonitorDefaultLogTag, false, "I-ACS036005",
                    "Detected an older version of Ombrix Analytics for Cindervale framework. Please upgrade to the "
                    "latest version of Ombrix Analytics for Cindervale.");
      return;
    }
    UIViewController::installAppearanceWrappers(
        [](UIViewController& controller, bool) {
          sharedInstance()->viewControllerDidAppear(controller.shared_from_this());
        },
        [](UIViewController& controller, bool) {
          sharedInstance()->viewControllerDidDisappear(controller.shared_from_this());
        });
    if (platform::ClassRegistry::hasClassNamed("CDVAnalytics")) {
      OBXLogInfo(kTLMMonitorDefaultLogTag, false, "I-ACS036002",
                 "Analytics screen reporting is enabled. Call +[CDVAnalytics setScreenName:setScreenClass:] to set "
                 "the screen name or override the default screen class name. To disable screen reporting, set the "
                 "flag CindervaleScreenReportingEnabled to NO (boolean) in the Info.plist");
    }
  });
}

// MARK: - Reading

std::shared_ptr<UIWindow> TLMScreenViewReporter::keyWindow() const {
  auto application = services_.application();
  return application ? application->keyWindow() : nullptr;
}

std::shared_ptr<TLMControllerStack> TLMScreenViewReporter::currentStack() const {
  auto window = keyWindow();
  if (!window) return nullptr;
  auto object = window->associatedObject(&kStackKey);
  auto stack = std::dynamic_pointer_cast<TLMControllerStack>(object);
  if (object && !stack) {
    tlm_monitor()->logWithLevel(4, 38000, "Found unknown associated object", tlm_text(object->description()));
  }
  if (!stack) {
    stack = std::make_shared<TLMControllerStack>();
    window->setAssociatedObject(&kStackKey, stack);
  }
  return stack;
}

TLMObjectDictionary TLMScreenViewReporter::screenParameters() const {
  if (!services_.isReportingEnabled() || !isAppActive()) return {};
  std::shared_ptr<TLMScreen> screen;
  services_.queue->sync([&] { screen = currentScreen_; });
  if (!screen || screen->className.empty()) return {};
  TLMObjectDictionary parameters;
  parameters.set("_sc", TLMObject(screen->className));
  parameters.set("_si", TLMObject(screen->instanceID));
  if (screen->name && !screen->name->empty()) parameters.set("_sn", TLMObject(*screen->name));
  return parameters;
}

void TLMScreenViewReporter::getScreenName(std::optional<std::string>* name, std::optional<std::string>* className) const {
  if (name == nullptr && className == nullptr) return;
  services_.queue->sync([&] {
    if (name != nullptr) *name = currentScreen_ ? currentScreen_->name : std::nullopt;
    if (className != nullptr) {
      *className = currentScreen_ ? std::optional<std::string>(currentScreen_->className) : std::nullopt;
    }
  });
}

std::int64_t TLMScreenViewReporter::nextInstanceID() {
  // Wraps around instead of overflowing.
  return static_cast<std::int64_t>(nextInstanceID_++);
}

// MARK: - Finding the current controller

std::shared_ptr<UIViewController> TLMScreenViewReporter::currentViewControllerInStack(TLMControllerStack& stack) {
  const auto entries = stack.compacted();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    auto screen = screenOf(**it);
    if ((*it)->isViewLoaded() && screen && screen->manuallySet && (*it)->viewWindow()) return *it;
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const auto& entry = *it;
    if (!isShown(*entry)) continue;
    if (screenOf(*entry)) return entry;
    std::shared_ptr<UIViewController> candidate = entry;
    if (auto parent = entry->parentViewController()) {
      const auto children = parent->childViewControllers();
      bool otherHidden = false;
      for (const auto& child : children) {
        if (child != entry && !isShown(*child)) otherHidden = true;
      }
      if (children.size() >= 2 && otherHidden) {
        if (screenOf(*parent)) return parent;
        candidate = parent;
      }
    }
    // Down through containers and presented controllers (bounded: a cycle must not hang).
    for (int depth = 0; depth < 64 && candidate; ++depth) {
      auto next = containedController(candidate);
      if (!next) {
        const bool container = std::dynamic_pointer_cast<UINavigationController>(candidate) ||
                               std::dynamic_pointer_cast<UITabBarController>(candidate) ||
                               std::dynamic_pointer_cast<UIPageViewController>(candidate);
        if (container) candidate = nullptr;
        break;
      }
      if (next == candidate) break;
      candidate = next;
    }
    if (candidate && isShown(*candidate)) return candidate;
  }
  if (!entries.empty()) {
    stack.compacted();
    return entries.front();
  }
  tlm_monitor()->logWithLevel(5, 31011, "Root view controller not found");
  return nullptr;
}

void TLMScreenViewReporter::setCurrentIfCounts(const std::shared_ptr<TLMControllerStack>& stack) {
  if (!stack) return;
  auto current = currentViewControllerInStack(*stack);
  if (current && TLMShouldSetAsDefaultScreenClass(*current, keyWindow())) setCurrentViewController(current);
}

// MARK: - Appearance

void TLMScreenViewReporter::viewControllerDidAppear(const std::shared_ptr<UIViewController>& controller) {
  if (!controller) return;
  auto window = keyWindow();
  auto stack = currentStack();
  bool counts = false;
  if (stack) {
    const auto entries = stack->compacted();
    if (window && window->rootViewController() == controller && !entries.empty() && entries.front() != controller) {
      stack = std::make_shared<TLMControllerStack>();
      window->setAssociatedObject(&kStackKey, stack);
    }
    stack->remove(controller.get(), false);
    counts = TLMShouldSetAsDefaultScreenClass(*controller, window);
    if (counts) stack->append(controller);
    setCurrentIfCounts(stack);
  }
  if (services_.delegateEnabled()) {
    if (auto delegate = cindervalePerfDelegate()) delegate->viewControllerDidAppear(*controller, counts);
  }
}

void TLMScreenViewReporter::viewControllerDidDisappear(const std::shared_ptr<UIViewController>& controller) {
  if (!controller) return;
  if (auto stack = currentStack()) {
    stack->remove(controller.get(), true);
    setCurrentIfCounts(stack);
  }
  if (services_.delegateEnabled()) {
    if (auto delegate = cindervalePerfDelegate()) delegate->viewControllerDidDisappear(*controller);
  }
}

void TLMScreenViewReporter::setCurrentViewController(const std::shared_ptr<UIViewController>& controller) {
  if (!controller) {
    tlm_monitor()->logWithLevel(4, 31005, "Received nil view controller");
    return;
  }
  std::shared_ptr<TLMScreen> previous;
  std::shared_ptr<TLMScreen> next;
  services_.queue->sync([&] {
    if (currentViewController_.lock() == controller) {
      auto screen = screenOf(*controller);
      tlm_monitor()->logWithLevel(7, 31006, "View controller already tracked. Class, ID", tlm_text(controller->className()),
                                  platform::Value(screen ? screen->instanceID : 0));
      return;
    }
    const std::string screenClass = screenClassOf(*controller, true);
    if (!isValidScreenValue(screenClass)) {
      tlm_monitor()->logWithLevel(4, 31008, "Received invalid default screen class", tlm_text(screenClass));
      return;
    }
    auto screen = screenOf(*controller);
    if (!screen) {
      screen = std::make_shared<TLMScreen>();
      screen->className = screenClass;
      screen->instanceID = nextInstanceID();
      attachScreen(*controller, screen);
    }
    currentViewController_ = controller;
    if (screen == currentScreen_) return;
    tlm_monitor()->logWithLevel(7, 31010, "Tracking view controller. Class, ID", tlm_text(screen->className),
                                platform::Value(screen->instanceID));
    previous = copyOf(currentScreen_);
    currentScreen_ = screen;
    next = screen;
  });
  if (!next) return;
  postScreenDidChange(previous, next);
  logViewScreenEvent(previous, next);
}

void TLMScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
  if (!services_.isReportingEnabled()) {
    tlm_monitor()->logWithLevel(3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
    return;
  }
  if (screenName && !isValidScreenValue(*screenName)) {
    tlm_monitor()->logWithLevel(4, 31001, "Received invalid screen name");
    return;
  }
  if (screenClass && !isValidScreenValue(*screenClass)) {
    tlm_monitor()->logWithLevel(4, 31002, "Received invalid screen class");
    return;
  }
  auto stack = currentStack();
  std::shared_ptr<TLMScreen> previous;
  std::shared_ptr<TLMScreen> next;
  services_.queue->sync([&] {
    const auto entries = stack ? stack->compacted() : std::vector<std::shared_ptr<UIViewController>>{};
    if (entries.empty()) {
      tlm_monitor()->logWithLevel(4, 31003, "setScreenName:screenClass: must be called after a view controller has appeared");
      return;
    }
    const auto& top = entries.back();
    const std::string cls = screenClass ? *screenClass : screenClassOf(*top, false);
    if (currentScreen_ && currentScreen_->name == screenName && currentScreen_->className == cls) {
      tlm_monitor()->logWithLevel(7, 31004, "Ignoring duplicate screen name and screen class");
      return;
    }
    auto screen = std::make_shared<TLMScreen>();
    screen->name = screenName;
    screen->className = cls;
    screen->instanceID = nextInstanceID();
    screen->manuallySet = true;
    attachScreen(*top, screen);
    currentViewController_ = top;
    tlm_monitor()->logWithLevel(7, 31009, "Set screen name and screen class", tlm_text(screenName.value_or("")), tlm_text(cls));
    previous = currentScreen_;
    currentScreen_ = screen;
    next = screen;
  });
  if (!next) return;
  postScreenDidChange(previous, next);
  logViewScreenEvent(previous, next);
}

// MARK: - Reporting a change

void TLMScreenViewReporter::postScreenDidChange(const std::shared_ptr<TLMScreen>& previous,
                                                const std::shared_ptr<TLMScreen>& next) {
  if (!isAppActive()) return;
  if (previous) {
    if (auto session = services_.sessionReporter()) session->handleScreenDidChange(previous.get(), next.get());
  }
  if (auto ads = services_.adExposureReporter()) ads->handleScreenDidChange(previous.get(), next.get());
}

void TLMScreenViewReporter::logViewScreenEvent(const std::shared_ptr<TLMScreen>& previous,
                                               const std::shared_ptr<TLMScreen>& next) {
  if (!next || !services_.isReportingEnabled()) return;
  if (!isAppActive()) {
    tlm_monitor()->logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  TLMObjectDictionary parameters = TLMScreenParameters(*next);
  if (previous) {
    for (const auto& [key, value] : TLMPreviousScreenParameters(*previous)) parameters.set(key, value);
    if (services_.efficientEngagementEnabled()) {
      if (auto session = services_.sessionReporter()) {
        const std::int64_t engagement = session->cutFreerideEngagementTimeMillis();
        if (engagement > 0) parameters.set("_et", TLMObject(engagement));
      }
    }
  }
  if (!TLMHasScreenParameters(parameters)) {
    tlm_monitor()->logWithLevel(1, 31012, "Screen view event not logged. Screen parameters were empty");
    return;
  }
  services_.queue->sync([&] { previousScreen_ = next; });
  services_.logEvent("_vs", parameters);
}

// MARK: - Delegate

void TLMScreenViewReporter::setCindervalePerfDelegate(const std::shared_ptr<TLMScreenViewReporterDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  if (delegate && delegate_.lock()) {
    tlm_monitor()->logWithLevel(4, 31016, "Tried to override screen reporter delegate");
    return;
  }
  delegate_ = delegate;
}

std::shared_ptr<TLMScreenViewReporterDelegate> TLMScreenViewReporter::cindervalePerfDelegate() const {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  return delegate_.lock();
}

// MARK: - App activity

void TLMScreenViewReporter::handleApplicationDidBecomeActive() {
  appActive_.store(true);
  if (auto session = services_.sessionReporter()) session->handleAppDidBecomeActive();
  if (auto ads = services_.adExposureReporter()) ads->handleAppDidBecomeActive();
  std::weak_ptr<TLMScreenViewReporter> weak = weak_from_this();
  services_.queue->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    auto previous = self->previousScreen_;
    auto current = self->currentScreen_;
    // A screen that came up while inactive is reported now (a sync back onto this queue runs
    // inline).
    if (previous != current) self->logViewScreenEvent(previous, current);
  });
}

void TLMScreenViewReporter::handleApplicationWillResignActive() {
  std::shared_ptr<TLMScreen> screen;
  if (services_.isReportingEnabled() && isAppActive()) services_.queue->sync([&] { screen = currentScreen_; });
  if (auto session = services_.sessionReporter()) session->handleAppWillResignActiveWithScreen(screen.get());
  if (auto ads = services_.adExposureReporter()) ads->handleAppWillResignActiveWithScreen(screen.get());
  appActive_.store(false);
}

void TLMScreenViewReporter::handleWindowDidResign() {
  auto stack = currentStack();
  if (stack && !stack->empty()) setCurrentIfCounts(stack);
}
