#include "xcuitest/XCUIApplication.h"

#include "xctest/XCTestCase.h"
#include "xcuitest/XCUIElementQueryInternal.h"

namespace {

std::shared_ptr<const xcui::detail::ElementSpec> applicationSpec(const std::string& bundleIdentifier) {
  auto spec = std::make_shared<xcui::detail::ElementSpec>();
  spec->bundleIdentifier = bundleIdentifier;
  return spec;
}

}  // namespace

XCUIApplication::XCUIApplication() : XCUIApplication(sim::Device::shared().targetBundleIdentifier()) {}

XCUIApplication::XCUIApplication(const std::string& bundleIdentifier)
    : XCUIElement(applicationSpec(bundleIdentifier)), handle_(std::make_shared<Handle>()) {
  handle_->bundleIdentifier = bundleIdentifier;
}

void XCUIApplication::launch(std::source_location where) const {
  if (!sim::Device::shared().launch(bundleIdentifier(), handle_->launchArguments, handle_->launchEnvironment))
    xctest::recordFailure("Failed to launch " + bundleIdentifier() + ": the app is not installed", where.file_name(),
                          static_cast<int>(where.line()));
}

void XCUIApplication::terminate() const { sim::Device::shared().terminate(bundleIdentifier()); }

void XCUIApplication::activate(std::source_location where) const {
  if (!sim::Device::shared().activate(bundleIdentifier())) launch(where);
}

XCUIApplication::State XCUIApplication::state() const { return sim::Device::shared().state(bundleIdentifier()); }
