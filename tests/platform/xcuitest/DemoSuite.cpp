// A runner executable the way a UI suite builds one: install the apps, then hand over to the
// runner. Registered with ctest one entry per class through vesmora_add_xctest_suite.
#include "DemoApp.h"
#include "xcuitest/XCUITest.h"

namespace {

class DemoSignInTests : public XCTestCase {
 public:
  void setUp() override {
    XCTestCase::setUp();
    continueAfterFailure = false;
    app.emplace();
    app->launch();
  }
  void tearDown() override {
    app->terminate();
    app.reset();
    XCTestCase::tearDown();
  }

  void testPlaceholders() {
    XCTAssertEqual(app->textFields()["userNameTextField"].placeholderValue(), "Enter username");
    XCTAssert(app->secureTextFields()["passwordTextField"].placeholderValue() == "Enter password");
  }
  void testSignInShowsAccounts() {
    app->textFields()["userNameTextField"].tap();
    app->textFields()["userNameTextField"].typeText("me");
    app->secureTextFields()["passwordTextField"].tap();
    app->secureTextFields()["passwordTextField"].typeText("pw");
    app->buttons()["loginButton"].tap();
    expectation(NSPredicate("exists == FALSE"), app->activityIndicators()["loadingIndicator"]);
    waitForExpectations(120);
    XCTAssertEqual(app->tables().cells().count(), 3u);
  }

 private:
  std::optional<XCUIApplication> app;
};
XCTEST_CLASS(DemoSignInTests)
XCTEST_METHOD(DemoSignInTests, testPlaceholders)
XCTEST_METHOD(DemoSignInTests, testSignInShowsAccounts)

class DemoSpringboardTests : public XCTestCase {
 public:
  void testPermissionPrompt() {
    XCUIApplication springboard(sim::kSpringboardBundleIdentifier);
    XCTAssertFalse(springboard.alerts().buttons()["OK"].exists());
    sim::Device::shared().presentSystemAlert({"Allow?", "", {"OK"}, nullptr, {}});
    XCTAssertTrue(springboard.alerts().buttons()["OK"].waitForExistence(1));
    springboard.alerts().buttons()["OK"].tap();
    XCTAssertFalse(springboard.alerts().element().exists());
  }
};
XCTEST_METHOD(DemoSpringboardTests, testPermissionPrompt)

}  // namespace

int main(int argc, char** argv) {
  demo::installDemoApp();
  return XCTestMain(argc, argv);
}
