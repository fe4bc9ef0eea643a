#include "Utility/BaseScreen.h"

#include <iostream>

BaseScreen::BaseScreen(XCUIApplication app)
    : appLoadingAnimation(app.activityIndicators()["loadingIndicator"]), app(std::move(app)) {}

void BaseScreen::tap(const XCUIElement& element) { element.tap(); }

void BaseScreen::type(const std::string& string, const XCUIElement& field) {
  tap(field);
  if (!string.empty()) field.typeText(string);
}

XCUIElementQuery BaseScreen::tablesQuery() const { return app.tables(); }

void BaseScreen::waitForLoading(XCTestCase& xctestcase, double timeoutSeconds) {
  xctestcase.expectation(NSPredicate("exists == FALSE"), XCUIApplication().activityIndicators()["loadingIndicator"]);
  xctestcase.waitForExpectations(timeoutSeconds);
}

XCUIElement BaseScreen::ReturnStaticText(const std::string& staticText) {
  return XCUIApplication().staticTexts()[staticText];
}

XCUIElement BaseScreen::AccountNameObject(const std::string& string) {
  std::cout << "Looking for staticText object with name " << string << std::endl;
  return XCUIApplication().tables().staticTexts()[string];
}
