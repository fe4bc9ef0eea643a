// The simulated device and the interface of the apps it hosts.
//
// An app is an ordinary C++ object (a subclass of `sim::App`). Whenever a test reads or acts on an
// element, the framework asks the app for its current screen (`render()`), an accessibility tree
// of `sim::Node`s, resolves the element's query on that tree and, for an action, hands the action
// to the node it found. An app that counts its changes (`renderGeneration()`) is rendered again
// only after something changed. The app changes its state synchronously inside that call; the next query
// sees the new screen. Nothing runs in the background: what an app wants to happen "later" it
// schedules on the virtual clock through `nextDeadline()` / `timeAdvanced()`.
//
// The device hosts apps by bundle identifier. `install()` gives it a factory; every launch makes a
// new app object (a fresh process), and termination destroys it. What must outlive launches
// within a run (the app's stored data, biometric enrolment) lives on the device. Per-test state
// (pasteboard, system alerts, the edit menu) is reset before every test method through the test
// observation hook, and `addTestResetHandler()` lets an app's owner reset more.
//
// The device, like the whole UI framework, is used from the test runner's thread only (a stub
// server's threads must not call it).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xcuitest/XCUIElementType.h"

namespace sim {

class Device;

// An action the framework delivers to an app.
struct Action {
  enum class Kind {
    tap,
    doubleTap,
    press,              // `duration` holds the seconds
    typeText,           // `text` holds the keystrokes, "\b" being the delete key
    paste,              // `text` holds the pasteboard's text (from the edit menu's "Paste")
    swipeUp,
    swipeDown,
    swipeLeft,
    swipeRight,
    adjustPickerWheel,  // `text` holds the value to turn the wheel to
    scrollToVisible,    // sent by the framework before tapping an element that is off screen:
                        // a scrolling container moves it into view (no handler: nothing moves)
  };
  Kind kind = Kind::tap;
  std::string text;
  double duration = 0;
};

std::string actionName(Action::Kind kind);  // "tap", "typeText", ...

// The delete key as typed by `typeText` (the platform's XCUIKeyboardKey.delete).
inline constexpr const char* kDeleteKey = "\b";

// Applies keystrokes to a text value: "\b" removes the last character (a whole UTF-8 code point),
// any other character is appended while the value holds fewer than `maxLength` characters
// (counted in code points). Text fields use it for `typeText` and `paste`.
void applyKeystrokes(std::string& value, const std::string& keystrokes, std::size_t maxLength = SIZE_MAX);
// Number of code points in a UTF-8 text.
std::size_t characterCount(const std::string& text);

// One element of an app's accessibility tree.
struct Node {
  XCUIElementType type = XCUIElementType::other;
  std::string identifier;
  std::string label;
  std::optional<std::string> value;             // a switch: "1" / "0"; a text field: its text
  std::optional<std::string> placeholderValue;
  bool enabled = true;
  bool selected = false;
  bool hasFocus = false;                          // the field that receives typed text
  bool hittable = true;                           // false: visible but cannot be tapped
  // Covers everything drawn before it, as an alert does (a pop-up, a loading overlay): taps
  // outside its subtree fail as not hittable.
  bool modal = false;
  // Screen frame. An empty frame (the default) means "the parent's frame", so an app only sets
  // frames where position matters (off-screen rows, elements that must not count as visible).
  xcui::CGRect frame;
  // For a picker wheel: the values it can be turned to (empty: any value is accepted).
  std::vector<std::string> pickerValues;
  std::vector<Node> children;
  // Receives the actions on this node and on descendants that have no handler of their own.
  std::function<void(const Action&)> onAction;
  // Set by the device on system UI it adds to an app's tree (the edit menu); apps leave it false.
  bool systemOwned = false;

  Node() = default;
  Node(XCUIElementType type, std::string identifier = {}, std::string label = {})
      : type(type), identifier(std::move(identifier)), label(std::move(label)) {}

  // Builder helpers, each returning *this.
  Node& add(Node child) {
    children.push_back(std::move(child));
    return *this;
  }
  Node& withValue(std::optional<std::string> v) {
    value = std::move(v);
    return *this;
  }
  Node& withPlaceholder(std::string p) {
    placeholderValue = std::move(p);
    return *this;
  }
  Node& withFrame(xcui::CGRect f) {
    frame = f;
    return *this;
  }
  Node& withEnabled(bool e) {
    enabled = e;
    return *this;
  }
  Node& withSelected(bool s) {
    selected = s;
    return *this;
  }
  Node& withFocus(bool f) {
    hasFocus = f;
    return *this;
  }
  Node& asModal() {
    modal = true;
    return *this;
  }
  Node& on(std::function<void(const Action&)> handler) {
    onAction = std::move(handler);
    return *this;
  }
  // Handler for taps only (other actions are ignored by this node).
  Node& onTap(std::function<void()> handler) {
    onAction = [h = std::move(handler)](const Action& a) {
      if (a.kind == Action::Kind::tap) h();
    };
    return *this;
  }
};

// What a launched app gets from the device.
struct LaunchContext {
  Device& device;
  std::string bundleIdentifier;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;
  // The app's stored data: survives termination and relaunch within the run (like the app's
  // container on a real device); cleared only by `Device::eraseAppData()`.
  std::map<std::string, std::string>& storage;
};

class App {
 public:
  virtual ~App() = default;

  // The current screen: a node of type `application` (the framework sets that type) whose
  // descendants are the app's windows, alerts and controls.
  virtual Node render() = 0;

  // A number that changes whenever the app's own state changes in a way `render()` may show.
  // While it, the device's state (see `Device::generation()`), the virtual wall clock and the
  // current time zone stay the same, the device hands out the tree it rendered last instead of
  // rendering again. An app whose screen depends on anything else returns none (the default):
  // it is rendered for every snapshot.
  virtual std::optional<std::uint64_t> renderGeneration() const { return std::nullopt; }

  // Delivers an action to `target`, a node of the tree just rendered. The default hands it to
  // the nearest handler (`Node::onAction`) of the target or its ancestors, as given in `path`
  // (root first, target last). Override to route actions yourself.
  virtual void perform(const std::vector<const Node*>& path, const Action& action);

  // Life cycle: the home button sends the app to the background (its screen stays readable);
  // `activate()`/`launch()` of a running app bring it back.
  virtual void didEnterBackground() {}
  virtual void willEnterForeground() {}
  // Called before the app object is destroyed by termination.
  virtual void willTerminate() {}

  // Virtual time (see xctest/XCTVirtualClock.h).
  virtual std::optional<double> nextDeadline() const { return std::nullopt; }
  virtual void timeAdvanced(double /*now*/) {}
};

using AppFactory = std::function<std::unique_ptr<App>(LaunchContext& context)>;

enum class AppState { unknown, notRunning, runningBackground, runningForeground };

enum class BiometryKind { none, touchID, faceID };

// A system alert shown by the springboard over every app (permission prompts and the like).
struct SystemAlert {
  std::string title;
  std::string message;
  std::vector<std::string> buttons;
  // Called with the tapped button's title after the alert is gone.
  std::function<void(const std::string& button)> onButton;
  // The bundle identifier of the app that asked, when the alert is its request (a permission
  // prompt): the alert goes, unanswered, when that app terminates. Empty: the alert stays.
  std::string owner;
};

class Device {
 public:
  // The device of the process: the one all `XCUIApplication` handles talk to.
  static Device& shared();

  // --- apps ---------------------------------------------------------------------------------
  // Installs (or replaces) the app of a bundle identifier.
  void install(const std::string& bundleIdentifier, AppFactory factory);
  bool isInstalled(const std::string& bundleIdentifier) const;
  // The app that `XCUIApplication()` addresses (the app under test).
  void setTargetBundleIdentifier(const std::string& bundleIdentifier);
  const std::string& targetBundleIdentifier() const { return target_; }

  // Entries every launch's environment starts from; the launching handle's own entries win. A
  // runner hands run-wide settings to the app under test this way. Cleared by `reset()`.
  void setDefaultLaunchEnvironment(std::map<std::string, std::string> environment) {
    defaultLaunchEnvironment_ = std::move(environment);
    changed();
  }
  const std::map<std::string, std::string>& defaultLaunchEnvironment() const { return defaultLaunchEnvironment_; }

  // Launches the app (terminating a running instance first); false when it is not installed.
  bool launch(const std::string& bundleIdentifier, const std::vector<std::string>& arguments,
              const std::map<std::string, std::string>& environment);
  void terminate(const std::string& bundleIdentifier);
  // Brings a running app to the foreground (others go to the background); false when not running.
  bool activate(const std::string& bundleIdentifier);
  AppState state(const std::string& bundleIdentifier) const;
  // The running app object, or null.
  App* runningApp(const std::string& bundleIdentifier) const;
  // The home button: the foreground app goes to the background.
  void pressHome();
  // The app's stored data (see LaunchContext::storage).
  std::map<std::string, std::string>& storage(const std::string& bundleIdentifier);
  void eraseAppData(const std::string& bundleIdentifier);

  // --- biometry -----------------------------------------------------------------------------
  BiometryKind biometryKind() const { return biometryKind_; }
  void setBiometryKind(BiometryKind kind) {
    biometryKind_ = kind;
    changed();
  }
  // Enrolment follows the "com.apple.BiometricKit.enrollmentChanged" notification's state.
  bool isBiometricEnrolled() const { return biometricEnrolled_; }
  void setBiometricEnrolled(bool enrolled) {
    biometricEnrolled_ = enrolled;
    changed();
  }

  // --- pasteboard ---------------------------------------------------------------------------
  const std::optional<std::string>& pasteboardString() const { return pasteboard_; }
  void setPasteboardString(std::optional<std::string> text) {
    pasteboard_ = std::move(text);
    changed();
  }

  // --- notifications (what notify_post and its companions reach) ----------------------------
  using NotificationHandler = std::function<void(const std::string& name)>;
  // Handlers run synchronously inside `postNotification`. Returns a token for removal.
  std::uint64_t addNotificationObserver(const std::string& name, NotificationHandler handler);
  void removeNotificationObserver(std::uint64_t token);
  void postNotification(const std::string& name);
  std::uint64_t notificationState(const std::string& name) const;
  void setNotificationState(const std::string& name, std::uint64_t state);

  // --- system alerts (springboard) ----------------------------------------------------------
  void presentSystemAlert(SystemAlert alert);
  bool hasSystemAlert() const { return !systemAlerts_.empty(); }

  // --- per-test reset -----------------------------------------------------------------------
  // Called before every test method (after the device's own reset: pasteboard emptied, system
  // alerts and the edit menu dismissed). Running apps keep running.
  std::uint64_t addTestResetHandler(std::function<void()> handler);
  void removeTestResetHandler(std::uint64_t token);
  void resetForTest();
  // Terminates every app, forgets installed apps, stored data, notification state and
  // observers, and restores the defaults (face ID, enrolled). For the framework's own tests.
  void reset();

  // --- used by the UI framework -------------------------------------------------------------
  // The accessibility tree of an app as tests see it: the app's own tree (its last screen while
  // in the background), plus the edit menu when shown; the springboard's tree holds the system
  // alerts. Null when the app is not running (or not installed).
  std::shared_ptr<const Node> snapshot(const std::string& bundleIdentifier);
  // Whether system UI (a system alert) covers the given app.
  bool coveredBySystemUI(const std::string& bundleIdentifier) const;
  // Delivers an action to the node at `path` (root first) of a snapshot of the app. Handles
  // the system parts (the springboard's alerts, the edit menu) itself.
  void deliver(const std::string& bundleIdentifier, const std::vector<const Node*>& path, const Action& action);
  // Counts the changes of the device's own state that an app may show (launches, actions
  // delivered, notifications, alerts, biometry, stored data, per-test resets).
  std::uint64_t generation() const { return generation_; }
  // The screen size of the device.
  xcui::CGRect screenFrame() const { return {0, 0, 390, 844}; }

  Device();
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

 private:
  struct Impl;
  struct RunningApp;
  void changed() { ++generation_; }
  std::unique_ptr<Impl> impl_;
  std::string target_;
  std::map<std::string, std::string> defaultLaunchEnvironment_;
  BiometryKind biometryKind_ = BiometryKind::faceID;
  bool biometricEnrolled_ = true;
  std::optional<std::string> pasteboard_;
  std::vector<SystemAlert> systemAlerts_;
  std::uint64_t generation_ = 0;
};

// The springboard's bundle identifier.
inline constexpr const char* kSpringboardBundleIdentifier = "com.apple.springboard";

}  // namespace sim
