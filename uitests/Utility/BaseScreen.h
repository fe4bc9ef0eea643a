// Base of every page object: the app handle it queries, the loading indicator, and the basic
// actions and waits.
#pragma once

#include <string>

#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

class BaseScreen {
 public:
  explicit BaseScreen(XCUIApplication app = XCUIApplication());
  virtual ~BaseScreen() = default;

  // The activity indicator "loadingIndicator".
  XCUIElement appLoadingAnimation;

  virtual void tap(const XCUIElement& element);
  // Taps the field, then types the text into it; with the empty text it only taps.
  virtual void type(const std::string& string, const XCUIElement& field);
  XCUIElementQuery tablesQuery() const;

  // Waits until the loading indicator of the app under test is gone; a wait that runs out is a
  // test failure.
  static void waitForLoading(XCTestCase& xctestcase, double timeoutSeconds = 120);
  // The static text of the app under test named by `staticText` (resolved when used).
  static XCUIElement ReturnStaticText(const std::string& staticText);
  // The static text named by `string` among the static texts of all tables (not waited for).
  static XCUIElement AccountNameObject(const std::string& string);

 protected:
  XCUIApplication app;
};
