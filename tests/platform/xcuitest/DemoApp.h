// A tiny app for the UI framework's own tests: a sign-in screen (text fields with a 32-character
// limit, a password that can be shown, a switch, a button that loads for two seconds), an error
// alert, and a list screen with cells and a date picker of three wheels.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "xctest/XCTVirtualClock.h"
#include "xcuitest/SimulatedDevice.h"

namespace demo {

inline constexpr const char* kBundle = "com.example.demo";

class DemoApp : public sim::App {
 public:
  explicit DemoApp(sim::LaunchContext& context) : storage_(context.storage) {
    remember_ = storage_["remember"] == "1";
    if (remember_) user_ = storage_["user"];
    for (const auto& a : context.arguments) arguments_.push_back(a);
  }

  sim::Node render() override {
    using T = XCUIElementType;
    sim::Node root(T::application, "", "Demo");
    sim::Node window(T::window);
    if (screen_ == Screen::signIn) {
      window.add(sim::Node(T::staticText, "", "Welcome"));
      window.add(field(T::textField, "userNameTextField", user_, "Enter username", Focus::user));
      if (showPassword_) {
        window.add(field(T::textField, "passwordTextField", password_, "Enter password", Focus::password));
      } else {
        std::string bullets;
        for (std::size_t i = 0; i < sim::characterCount(password_); ++i) bullets += "\u2022";
        sim::Node secure = field(T::secureTextField, "passwordTextField", password_, "Enter password", Focus::password);
        secure.value = bullets;
        window.add(std::move(secure));
      }
      window.add(sim::Node(T::button, "showPasswordButton", "Show").onTap([this] { showPassword_ = !showPassword_; }));
      window.add(sim::Node(T::switch_, "RememberMeSwitch", "Remember me").withValue(remember_ ? "1" : "0").onTap([this] {
        remember_ = !remember_;
      }));
      window.add(sim::Node(T::button, "loginButton", "Log in")
                     .withEnabled(!user_.empty() && !password_.empty())
                     .onTap([this] { signIn(); }));
    } else {
      sim::Node table(T::table, "accounts");
      for (const auto& [id, name, amount] : accounts_) {
        sim::Node cell(T::cell, id);
        cell.add(sim::Node(T::staticText, "nameLabel", name));
        cell.add(sim::Node(T::staticText, "amountLabel", amount));
        cell.onTap([this, id = id] { lastTappedCell = id; });
        table.add(std::move(cell));
      }
      window.add(std::move(table));
      // Below the screen: "far" scrolls into view when asked, "stuck" never does.
      sim::Node below(T::scrollView, "below");
      sim::Node far(T::other, "far");
      far.withFrame({0, farScrolled_ ? 300.0 : 1200.0, 390, 44});
      far.on([this](const sim::Action& a) {
        if (a.kind == sim::Action::Kind::scrollToVisible) farScrolled_ = true;
        if (a.kind == sim::Action::Kind::tap) lastTappedCell = "far";
      });
      below.add(std::move(far));
      below.add(sim::Node(T::other, "stuck").withFrame({0, 2000, 390, 44}).onTap([this] { lastTappedCell = "stuck"; }));
      window.add(std::move(below));
      sim::Node picker(T::datePicker, "datePicker");
      const std::vector<std::string>* values[] = {&months_, &days_, &years_};
      for (int i = 0; i < 3; ++i) {
        sim::Node wheel(T::pickerWheel);
        wheel.value = wheelValues_[i];
        wheel.pickerValues = *values[i];
        wheel.on([this, i](const sim::Action& a) {
          if (a.kind == sim::Action::Kind::adjustPickerWheel) wheelValues_[i] = a.text;
        });
        picker.add(std::move(wheel));
      }
      window.add(std::move(picker));
    }
    if (loadingUntil_) window.add(sim::Node(T::activityIndicator, "loadingIndicator", "In progress"));
    root.add(std::move(window));
    if (errorShown_) {
      sim::Node alert(T::alert, "Error", "Error");
      alert.add(sim::Node(T::staticText, "", "Your sign-in failed."));
      alert.add(sim::Node(T::button, "OK", "OK").onTap([this] { errorShown_ = false; }));
      root.add(std::move(alert));
    }
    return root;
  }

  std::optional<double> nextDeadline() const override { return loadingUntil_; }
  void timeAdvanced(double now) override {
    if (loadingUntil_ && now >= *loadingUntil_) {
      loadingUntil_.reset();
      if (user_ == "locked") errorShown_ = true;
      else screen_ = Screen::list;
    }
  }

  std::string lastTappedCell;

 private:
  enum class Screen { signIn, list };
  enum class Focus { none, user, password };

  sim::Node field(XCUIElementType type, const std::string& id, std::string& text, const std::string& placeholder,
                  Focus which) {
    sim::Node node(type, id);
    node.value = text;
    node.placeholderValue = placeholder;
    node.hasFocus = focus_ == which;
    node.on([this, &text, which](const sim::Action& a) {
      switch (a.kind) {
        case sim::Action::Kind::tap:
        case sim::Action::Kind::doubleTap: focus_ = which; break;
        case sim::Action::Kind::typeText:
        case sim::Action::Kind::paste: sim::applyKeystrokes(text, a.text, 32); break;
        default: break;
      }
    });
    return node;
  }

  void signIn() {
    storage_["remember"] = remember_ ? "1" : "0";
    storage_["user"] = remember_ ? user_ : "";
    loadingUntil_ = XCTVirtualClock::now() + 2;
  }

  std::map<std::string, std::string>& storage_;
  std::vector<std::string> arguments_;
  Screen screen_ = Screen::signIn;
  Focus focus_ = Focus::none;
  std::string user_, password_;
  bool showPassword_ = false;
  bool remember_ = false;
  bool errorShown_ = false;
  bool farScrolled_ = false;
  std::optional<double> loadingUntil_;
  std::vector<std::tuple<std::string, std::string, std::string>> accounts_{
      {"acc1", "Chequing (123)", "$1,234.56"}, {"acc2", "Savings (456)", "$10.00"}, {"acc3", "Savings (789)", "$0.00"}};
  std::vector<std::string> months_{"January", "February", "March"};
  std::vector<std::string> days_{"1", "2", "3"};
  std::vector<std::string> years_{"2024", "2025"};
  std::string wheelValues_[3] = {"January", "1", "2024"};
};

// Installs the demo app on the shared device as the app under test.
inline void installDemoApp() {
  auto& device = sim::Device::shared();
  device.install(kBundle, [](sim::LaunchContext& c) { return std::make_unique<DemoApp>(c); });
  device.setTargetBundleIdentifier(kBundle);
}

}  // namespace demo
