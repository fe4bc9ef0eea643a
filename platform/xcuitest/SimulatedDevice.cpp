#include "xcuitest/SimulatedDevice.h"

#include <algorithm>

#include "foundation/Date.h"
#include "xctest/XCTVirtualClock.h"
#include "xctest/XCTestCase.h"
#include "xctest/XCTestObservation.h"

namespace sim {

namespace {

constexpr const char* kEnrollmentChanged = "com.apple.BiometricKit.enrollmentChanged";

bool isTextInput(XCUIElementType type) {
  return type == XCUIElementType::textField || type == XCUIElementType::secureTextField ||
         type == XCUIElementType::textView || type == XCUIElementType::searchField;
}

// UTF-8 lead bytes start a code point; continuation bytes are 10xxxxxx.
bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string actionName(Action::Kind kind) {
  switch (kind) {
    case Action::Kind::tap: return "tap";
    case Action::Kind::doubleTap: return "double tap";
    case Action::Kind::press: return "press";
    case Action::Kind::typeText: return "type text into";
    case Action::Kind::paste: return "paste into";
    case Action::Kind::swipeUp: return "swipe up";
    case Action::Kind::swipeDown: return "swipe down";
    case Action::Kind::swipeLeft: return "swipe left";
    case Action::Kind::swipeRight: return "swipe right";
    case Action::Kind::adjustPickerWheel: return "adjust picker wheel";
    case Action::Kind::scrollToVisible: return "scroll to";
  }
  return "act on";
}

std::size_t characterCount(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += !isContinuation(c);
  return n;
}

void applyKeystrokes(std::string& value, const std::string& keystrokes, std::size_t maxLength) {
  std::size_t count = characterCount(value);
  std::size_t i = 0;
  while (i < keystrokes.size()) {
    std::size_t len = 1;
    while (i + len < keystrokes.size() && isContinuation(static_cast<unsigned char>(keystrokes[i + len]))) ++len;
    if (keystrokes[i] == '\b') {
      if (!value.empty()) {
        std::size_t end = value.size() - 1;
        while (end > 0 && isContinuation(static_cast<unsigned char>(value[end]))) --end;
        value.erase(end);
        --count;
      }
    } else if (count < maxLength) {
      value.append(keystrokes, i, len);
      ++count;
    }
    i += len;
  }
}

void App::perform(const std::vector<const Node*>& path, const Action& action) {
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    if ((*it)->onAction) {
      auto handler = (*it)->onAction;  // the tree may be replaced while the handler runs
      handler(action);
      return;
    }
  }
}

// The springboard: always running; shows the system alerts.
class Springboard : public App {
 public:
  explicit Springboard(Device& device, std::vector<SystemAlert>& alerts) : device_(device), alerts_(alerts) {}

  Node render() override {
    Node root(XCUIElementType::application, "", "SpringBoard");
    for (std::size_t i = 0; i < alerts_.size(); ++i) {
      const SystemAlert& alert = alerts_[i];
      Node node(XCUIElementType::alert, alert.title, alert.title);
      node.add(Node(XCUIElementType::staticText, "", alert.title));
      if (!alert.message.empty()) node.add(Node(XCUIElementType::staticText, "", alert.message));
      for (const auto& title : alert.buttons)
        node.add(Node(XCUIElementType::button, title, title).onTap([this, i, title] { answer(i, title); }));
      root.add(std::move(node));
    }
    return root;
  }

 private:
  void answer(std::size_t index, const std::string& button) {
    if (index >= alerts_.size()) return;
    SystemAlert alert = std::move(alerts_[index]);
    alerts_.erase(alerts_.begin() + static_cast<std::ptrdiff_t>(index));
    if (alert.onButton) alert.onButton(button);
  }

  Device& device_;
  std::vector<SystemAlert>& alerts_;
};

struct Device::RunningApp {
  std::unique_ptr<App> app;
  AppState state = AppState::runningForeground;
};

struct Device::Impl : xctest::TimeDriven, XCTestObservation {
  explicit Impl(Device& d) : device(d) {}

  Device& device;
  std::map<std::string, AppFactory> factories;
  std::map<std::string, RunningApp> running;
  std::map<std::string, std::map<std::string, std::string>> storage;
  std::unique_ptr<Springboard> springboard;

  std::map<std::string, std::uint64_t> notificationStates;
  struct Observer {
    std::string name;
    NotificationHandler handler;
  };
  std::map<std::uint64_t, Observer> observers;
  std::map<std::uint64_t, std::function<void()>> resetHandlers;
  std::uint64_t nextToken = 1;

  // The edit menu: shown over one app, for the field at `fieldPath` (child indices from the root).
  struct EditMenu {
    std::string bundleIdentifier;
    std::vector<std::size_t> fieldPath;
    XCUIElementType fieldType = XCUIElementType::textField;
    std::string fieldIdentifier;
  };
  std::optional<EditMenu> editMenu;

  // The tree last handed out for an app that counts its changes (App::renderGeneration), with
  // everything it was rendered under.
  struct RenderedTree {
    const App* app = nullptr;
    std::uint64_t appGeneration = 0;
    std::uint64_t deviceGeneration = 0;
    double wallClock = 0;
    std::optional<platform::TimeZone> zone;
    std::shared_ptr<const Node> tree;

    bool stillValid(const App* a, std::uint64_t appGen, std::uint64_t deviceGen, double clock,
                    const platform::TimeZone& z) const {
      return app == a && appGeneration == appGen && deviceGeneration == deviceGen && wallClock == clock && zone &&
             *zone == z && zone->identifier() == z.identifier();
    }
  };
  std::map<std::string, RenderedTree> renderedTrees;

  std::optional<double> nextDeadline() const override {
    std::optional<double> next;
    for (const auto& [id, r] : running) {
      auto d = r.app->nextDeadline();
      if (d && (!next || *d < *next)) next = d;
    }
    return next;
  }

  void timeAdvanced(double now) override {
    std::vector<App*> apps;
    for (auto& [id, r] : running) apps.push_back(r.app.get());
    for (App* app : apps) app->timeAdvanced(now);
  }

  void testCaseWillStart(XCTestCase&) override { device.resetForTest(); }

  void paste() {
    if (!editMenu) return;
    EditMenu menu = *editMenu;
    editMenu.reset();
    auto it = running.find(menu.bundleIdentifier);
    if (it == running.end()) return;
    auto root = std::make_shared<const Node>(it->second.app->render());
    std::vector<const Node*> path{root.get()};
    for (std::size_t index : menu.fieldPath) {
      if (index >= path.back()->children.size()) return;
      path.push_back(&path.back()->children[index]);
    }
    const Node* field = path.back();
    if (field->type != menu.fieldType || field->identifier != menu.fieldIdentifier) return;
    Action action{Action::Kind::paste, device.pasteboardString().value_or(""), 0};
    it->second.app->perform(path, action);
  }
};

Device& Device::shared() {
  static Device device;
  return device;
}

Device::Device() : impl_(std::make_unique<Impl>(*this)) {
  impl_->springboard = std::make_unique<Springboard>(*this, systemAlerts_);
  XCTVirtualClock::addClient(impl_.get());
  XCTestObservationCenter::shared().addTestObserver(impl_.get());
}

Device::~Device() {
  // Apps go first, while everything they may touch on the way out is still there.
  std::vector<std::string> ids;
  for (auto& [id, r] : impl_->running) ids.push_back(id);
  for (auto& id : ids) terminate(id);
  XCTVirtualClock::removeClient(impl_.get());
  XCTestObservationCenter::shared().removeTestObserver(impl_.get());
}

void Device::install(const std::string& bundleIdentifier, AppFactory factory) {
  impl_->factories[bundleIdentifier] = std::move(factory);
  changed();
}

bool Device::isInstalled(const std::string& bundleIdentifier) const {
  return bundleIdentifier == kSpringboardBundleIdentifier || impl_->factories.count(bundleIdentifier) > 0;
}

void Device::setTargetBundleIdentifier(const std::string& bundleIdentifier) { target_ = bundleIdentifier; }

bool Device::launch(const std::string& bundleIdentifier, const std::vector<std::string>& arguments,
                    const std::map<std::string, std::string>& environment) {
  if (bundleIdentifier == kSpringboardBundleIdentifier) return true;
  auto factory = impl_->factories.find(bundleIdentifier);
  if (factory == impl_->factories.end()) return false;
  terminate(bundleIdentifier);
  changed();
  for (auto& [id, r] : impl_->running) {
    if (r.state == AppState::runningForeground) {
      r.state = AppState::runningBackground;
      r.app->didEnterBackground();
    }
  }
  std::map<std::string, std::string> merged = environment;
  merged.insert(defaultLaunchEnvironment_.begin(), defaultLaunchEnvironment_.end());  // keeps the handle's
  LaunchContext context{*this, bundleIdentifier, arguments, merged, impl_->storage[bundleIdentifier]};
  auto app = factory->second(context);
  if (!app) return false;
  impl_->running[bundleIdentifier] = RunningApp{std::move(app), AppState::runningForeground};
  return true;
}

void Device::terminate(const std::string& bundleIdentifier) {
  auto it = impl_->running.find(bundleIdentifier);
  if (it == impl_->running.end()) return;
  changed();
  impl_->renderedTrees.erase(bundleIdentifier);
  it->second.app->willTerminate();
  auto app = std::move(it->second.app);
  impl_->running.erase(it);
  if (impl_->editMenu && impl_->editMenu->bundleIdentifier == bundleIdentifier) impl_->editMenu.reset();
  std::erase_if(systemAlerts_, [&](const SystemAlert& alert) { return alert.owner == bundleIdentifier; });
  app.reset();
}

bool Device::activate(const std::string& bundleIdentifier) {
  if (bundleIdentifier == kSpringboardBundleIdentifier) return true;
  auto it = impl_->running.find(bundleIdentifier);
  if (it == impl_->running.end()) return false;
  if (it->second.state == AppState::runningForeground) return true;
  changed();
  for (auto& [id, r] : impl_->running) {
    if (id != bundleIdentifier && r.state == AppState::runningForeground) {
      r.state = AppState::runningBackground;
      r.app->didEnterBackground();
    }
  }
  it->second.state = AppState::runningForeground;
  it->second.app->willEnterForeground();
  return true;
}

AppState Device::state(const std::string& bundleIdentifier) const {
  if (bundleIdentifier == kSpringboardBundleIdentifier) return AppState::runningForeground;
  auto it = impl_->running.find(bundleIdentifier);
  if (it != impl_->running.end()) return it->second.state;
  return isInstalled(bundleIdentifier) ? AppState::notRunning : AppState::unknown;
}

App* Device::runningApp(const std::string& bundleIdentifier) const {
  if (bundleIdentifier == kSpringboardBundleIdentifier) return impl_->springboard.get();
  auto it = impl_->running.find(bundleIdentifier);
  return it == impl_->running.end() ? nullptr : it->second.app.get();
}

void Device::pressHome() {
  changed();
  impl_->editMenu.reset();
  for (auto& [id, r] : impl_->running) {
    if (r.state == AppState::runningForeground) {
      r.state = AppState::runningBackground;
      r.app->didEnterBackground();
    }
  }
}

std::map<std::string, std::string>& Device::storage(const std::string& bundleIdentifier) {
  changed();  // the caller may write through the reference
  return impl_->storage[bundleIdentifier];
}

void Device::eraseAppData(const std::string& bundleIdentifier) {
  changed();
  impl_->storage[bundleIdentifier].clear();
}

std::uint64_t Device::addNotificationObserver(const std::string& name, NotificationHandler handler) {
  std::uint64_t token = impl_->nextToken++;
  impl_->observers[token] = {name, std::move(handler)};
  return token;
}

void Device::removeNotificationObserver(std::uint64_t token) { impl_->observers.erase(token); }

void Device::postNotification(const std::string& name) {
  changed();
  if (name == kEnrollmentChanged) biometricEnrolled_ = notificationState(name) != 0;
  std::vector<NotificationHandler> handlers;
  for (const auto& [token, observer] : impl_->observers)
    if (observer.name == name) handlers.push_back(observer.handler);
  for (auto& handler : handlers) handler(name);
  changed();
}

std::uint64_t Device::notificationState(const std::string& name) const {
  auto it = impl_->notificationStates.find(name);
  return it == impl_->notificationStates.end() ? 0 : it->second;
}

void Device::setNotificationState(const std::string& name, std::uint64_t state) {
  impl_->notificationStates[name] = state;
  changed();
}

void Device::presentSystemAlert(SystemAlert alert) {
  systemAlerts_.push_back(std::move(alert));
  changed();
}

std::uint64_t Device::addTestResetHandler(std::function<void()> handler) {
  std::uint64_t token = impl_->nextToken++;
  impl_->resetHandlers[token] = std::move(handler);
  return token;
}

void Device::removeTestResetHandler(std::uint64_t token) { impl_->resetHandlers.erase(token); }

void Device::resetForTest() {
  changed();
  pasteboard_.reset();
  systemAlerts_.clear();
  impl_->editMenu.reset();
  std::vector<std::function<void()>> handlers;
  for (auto& [token, handler] : impl_->resetHandlers) handlers.push_back(handler);
  for (auto& handler : handlers) handler();
  changed();
}

void Device::reset() {
  std::vector<std::string> ids;
  for (auto& [id, r] : impl_->running) ids.push_back(id);
  for (auto& id : ids) terminate(id);
  impl_->factories.clear();
  impl_->storage.clear();
  impl_->notificationStates.clear();
  impl_->observers.clear();
  impl_->resetHandlers.clear();
  impl_->editMenu.reset();
  impl_->renderedTrees.clear();
  changed();
  target_.clear();
  defaultLaunchEnvironment_.clear();
  biometryKind_ = BiometryKind::faceID;
  biometricEnrolled_ = true;
  pasteboard_.reset();
  systemAlerts_.clear();
}

std::shared_ptr<const Node> Device::snapshot(const std::string& bundleIdentifier) {
  App* app = runningApp(bundleIdentifier);
  if (!app) return nullptr;
  // Read before rendering: a change made while rendering shows in the next snapshot.
  const std::optional<std::uint64_t> appGeneration = app->renderGeneration();
  const std::uint64_t deviceGeneration = generation_;
  const double wallClock = XCTVirtualClock::epochSeconds();
  const platform::TimeZone zone = platform::TimeZone::current();
  if (appGeneration) {
    auto cached = impl_->renderedTrees.find(bundleIdentifier);
    if (cached != impl_->renderedTrees.end() &&
        cached->second.stillValid(app, *appGeneration, deviceGeneration, wallClock, zone))
      return cached->second.tree;
  }
  auto root = std::make_shared<Node>(app->render());
  root->type = XCUIElementType::application;
  if (impl_->editMenu && impl_->editMenu->bundleIdentifier == bundleIdentifier) {
    Node paste(XCUIElementType::menuItem, "", "Paste");
    paste.systemOwned = true;
    Impl* impl = impl_.get();
    paste.onAction = [impl](const Action& a) {
      if (a.kind == Action::Kind::tap) impl->paste();
    };
    Node menu(XCUIElementType::menu);
    menu.systemOwned = true;
    menu.add(std::move(paste));
    root->add(std::move(menu));
  }
  if (appGeneration) {
    impl_->renderedTrees[bundleIdentifier] = {app, *appGeneration, deviceGeneration, wallClock, zone, root};
  } else {
    impl_->renderedTrees.erase(bundleIdentifier);
  }
  return root;
}

bool Device::coveredBySystemUI(const std::string& bundleIdentifier) const {
  return bundleIdentifier != kSpringboardBundleIdentifier && !systemAlerts_.empty();
}

void Device::deliver(const std::string& bundleIdentifier, const std::vector<const Node*>& path, const Action& action) {
  if (path.empty()) return;
  changed();
  const Node* target = path.back();
  if (target->systemOwned) {
    if (target->onAction) {
      auto handler = target->onAction;
      handler(action);
    }
    changed();
    return;
  }
  impl_->editMenu.reset();
  App* app = runningApp(bundleIdentifier);
  if (!app) return;
  app->perform(path, action);
  if (action.kind == Action::Kind::doubleTap && isTextInput(target->type) && pasteboard_ &&
      bundleIdentifier != kSpringboardBundleIdentifier && runningApp(bundleIdentifier) == app) {
    Impl::EditMenu menu{bundleIdentifier, {}, target->type, target->identifier};
    for (std::size_t i = 1; i < path.size(); ++i)
      menu.fieldPath.push_back(static_cast<std::size_t>(path[i] - path[i - 1]->children.data()));
    impl_->editMenu = std::move(menu);
  }
  changed();
}

}  // namespace sim
