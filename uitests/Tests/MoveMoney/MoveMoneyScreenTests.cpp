// The Move money tab offers its three main entries after sign-in.

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoveMoneyScreen.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class MoveMoneyScreenTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testMoveyMoneyLinksExistence() {
    CommonFunctions::forEachDataRow(*this, "MoveMoneyScreenTestsTestData", [&](const TestDataRow& row) {
      LoginScreen loginScreen;
      loginScreen.performLogin(row.string("username"), row.string("password"), *this,
                               LoginScreen::BiometricEnrollAlertResponse::Ok);
      loginScreen.tapOkIfErrorAppear();
      LandingScreen landingScreen;
      BaseScreen::waitForLoading(*this, 120);
      landingScreen.tapOnMoveMoneyButton(*this);
      BaseScreen::waitForLoading(*this, 120);
      MoveMoneyScreen moveMoneyScreen;
      XCTAssert(moveMoneyScreen.sendInteracETransfer.exists(), "Send Interac e-Transfer exist");
      XCTAssert(moveMoneyScreen.payABill.exists(), "Pay a bill exist");
      XCTAssert(moveMoneyScreen.transferBetweenAccounts.exists(), "Transfer between accounts exist");
    });
  }
};

XCTEST_CLASS(MoveMoneyScreenTests)
XCTEST_METHOD(MoveMoneyScreenTests, testMoveyMoneyLinksExistence)
