// Walks the tab bar after sign-in: Overview, Move money, More, ending on the More header icon.
// The test data loaders find the bundle's resources through this class.

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class BasicNavigationTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testNavigationBarLinks() {
    CommonFunctions::forEachDataRow(*this, "BasicNavigationTestsTestData", [&](const TestDataRow& row) {
      LoginScreen loginScreen;
      loginScreen.performLogin(row.string("username"), row.string("password"), *this,
                               LoginScreen::BiometricEnrollAlertResponse::Ok);
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
    });
  }
};

XCTEST_CLASS(BasicNavigationTests)
XCTEST_METHOD(BasicNavigationTests, testNavigationBarLinks)
