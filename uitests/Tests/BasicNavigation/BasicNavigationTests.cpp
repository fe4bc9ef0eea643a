// Walks the tab bar after sign-in: Overview, Move money, More, ending on the More header icon.
// The test data loaders find the bundle's resources through this class.

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class BasicNavigationTests : public XCTestCase {
 public:
  void setUp() override {
    continueAfterFailure = false;
    XCUIApplication().launch();
  }

  void tearDown() override {}

  void testNavigationBarLinks() {
    const std::string file = "BasicNavigationTestsTestData";
    auto rows = CommonFunctions::loadDataSourceArray(file);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      TestDataRow row(rows[r], file, r);
      if (CommonFunctions::determineSetUp(static_cast<int>(row.integer("id")))) setUp();
      std::string username = row.string("username");
      std::string password = row.string("password");
      LoginScreen loginScreen;
      loginScreen.performLogin(username, password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
      expectation(NSPredicate("exists == FALSE"), loginScreen.loadingAnimation);
      waitForExpectations(45);
      LandingScreen landingScreen;
      BaseScreen::waitForLoading(*this);
      loginScreen.tapOkIfErrorAppear();
      landingScreen.tapOnOverviewButton();
      landingScreen.tapOnMoveMoneyButton(*this);
      BaseScreen::waitForLoading(*this, 120);
      landingScreen.tapOnMoreButton();
      XCTAssert(landingScreen.moreHeaderIcon.waitForExistence(10));
    }
  }
};

XCTEST_CLASS(BasicNavigationTests)
XCTEST_METHOD(BasicNavigationTests, testNavigationBarLinks)
