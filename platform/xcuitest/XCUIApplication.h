// Handles of apps on the simulated device.
//
// `XCUIApplication()` addresses the app under test (the device's target bundle identifier);
// `XCUIApplication("com.apple.springboard")` the springboard, whose tree holds system alerts.
// Handles created anywhere for the same bundle identifier address the same running app. Copies
// of one handle share its launch arguments and environment (the platform's handle is a reference
// type), so a page object given a handle sees what the test appends to it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "xcuitest/SimulatedDevice.h"
#include "xcuitest/XCUIElement.h"

class XCUIApplication : public XCUIElement {
 public:
  using State = sim::AppState;

  XCUIApplication();
  explicit XCUIApplication(const std::string& bundleIdentifier);

  const std::string& bundleIdentifier() const { return handle_->bundleIdentifier; }

  // Taken by the next `launch()` of this handle.
  std::vector<std::string>& launchArguments() const { return handle_->launchArguments; }
  std::map<std::string, std::string>& launchEnvironment() const { return handle_->launchEnvironment; }

  // Launches the app afresh (a running instance is terminated first) in the foreground. An app
  // that is not installed records "Failed to launch <id>: the app is not installed".
  void launch(std::source_location where = std::source_location::current()) const;
  // Terminates the app; nothing happens when it is not running.
  void terminate() const;
  // Brings the app to the foreground, launching it when it is not running.
  void activate(std::source_location where = std::source_location::current()) const;
  State state() const;

 private:
  struct Handle {
    std::string bundleIdentifier;
    std::vector<std::string> launchArguments;
    std::map<std::string, std::string> launchEnvironment;
  };
  std::shared_ptr<Handle> handle_;
};
