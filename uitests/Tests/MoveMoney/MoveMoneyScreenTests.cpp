// The Move money tab offers its three main entries after sign-in.

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoveMoneyScreen.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class MoveMoneyScreenTests : public XCTestCase {
 public:
  void setUp() override {
    continueAfterFailure = false;
    XCUIApplication().launch();
  }

  void tearDown() override {}

  void testMoveyMoneyLinksExistence() {
    const std::string file = "MoveMoneyScreenTestsTestData";
    auto rows = CommonFunctions::loadDataSourceArray(file);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      TestDataRow row(rows[r], file, r);
      if (CommonFunctions::determineSetUp(static_cast<int>(row.integer("id")))) setUp();
      std::string username = row.string("username");
      std::string password = row.string("password");
      LoginScreen loginScreen;
      loginScreen.performLogin(username, password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
      loginScreen.tapOkIfErrorAppear();
      LandingScreen landingScreen;
      BaseScreen::waitForLoading(*this, 120);
      landingScreen.tapOnMoveMoneyButton(*this);
      BaseScreen::waitForLoading(*this, 120);
      MoveMoneyScreen moveMoneyScreen;
      XCTAssert(moveMoneyScreen.sendInteracETransfer.exists(), "Send Interac e-Transfer exist");
      XCTAssert(moveMoneyScreen.payABill.exists(), "Pay a bill exist");
      XCTAssert(moveMoneyScreen.transferBetweenAccounts.exists(), "Transfer between accounts exist");
    }
  }
};

XCTEST_CLASS(MoveMoneyScreenTests)
XCTEST_METHOD(MoveMoneyScreenTests, testMoveyMoneyLinksExistence)
