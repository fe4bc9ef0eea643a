// The fixture of the test classes that keep one app: setUp launches a new app into `app` with the
// first failure ending the test method; tearDown terminates it and clears `app`.
#pragma once

#include <optional>

#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

class AppTestCase : public XCTestCase {
 public:
  void setUp() override {
    XCTestCase::setUp();
    continueAfterFailure = false;
    app = XCUIApplication();
    app->launch();
  }

  void tearDown() override {
    if (app) app->terminate();
    app.reset();
    XCTestCase::tearDown();
  }

 protected:
  std::optional<XCUIApplication> app;
};
