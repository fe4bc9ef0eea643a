// The parts of CommonFunctions that reach the simulated device.
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

void CommonFunctions::forEachDataRow(XCTestCase& test, const std::string& filename,
                                     const std::function<void(const TestDataRow&)>& body) {
  auto rows = loadDataSourceArray(filename);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    TestDataRow row(rows[r], filename, r);
    if (determineSetUp(static_cast<int>(row.integer("id")))) test.setUp();
    body(row);
  }
}

void CommonFunctions::launchAppStoppingAtFirstFailure(XCTestCase& test) {
  test.continueAfterFailure = false;
  XCUIApplication().launch();
}

void CommonFunctions::acceptPermissionsPromptIfRequired() {
  XCUIApplication springboard(sim::kSpringboardBundleIdentifier);
  XCUIElement ok = springboard.alerts().buttons()["OK"];
  if (ok.exists()) ok.tap();
}
