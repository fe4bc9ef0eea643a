// Every holder of a set of joint accounts sees each shared account's card on the overview.

#include <optional>

#include "Extensions/XCUIElementExtensions.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoreScreen.h"
#include "Screens/OverviewScreen.h"
#include "Utility/AccountCardTitle.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class JointAccountsOverviewAccountSummaryTests : public XCTestCase {
 public:
  void setUp() override {
    XCTestCase::setUp();
    app = XCUIApplication();
    app->launch();
  }

  void tearDown() override {
    app->terminate();
    app.reset();
    XCTestCase::tearDown();
  }

  void testOverviewForJointAccountsRealData() {
    CommonFunctions::forEachDataRow(*this, "RealJointAccountsSummary", [&](const TestDataRow& row) {
      for (const TestDataRow& holder : row.list("jointaccounts")) {
        std::string username = holder.string("username");
        std::string password = holder.string("password");
        OverviewScreen overviewScreen;
        LoginScreen loginScreen;
        loginScreen.performLogin(username, password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
        const std::pair<const char*, const char*> captions[] = {{"Banking", "Available balance"},
                                                                {"Loans & mortgages", "Principal balance"},
                                                                {"Investments", "Value"}};
        const char* lists[] = {"deposits", "loans", "investments"};
        for (std::size_t l = 0; l < 3; ++l) {
          for (const TestDataRow& account : row.list(lists[l])) checkCard(overviewScreen, account, captions[l]);
        }
        MoreScreen(*app).performLogout(*this);
      }
    });
  }

 private:
  void checkCard(OverviewScreen& overviewScreen, const TestDataRow& account,
                 const std::pair<const char*, const char*>& captions) {
    std::string title = accountCardTitle(account);
    std::string id = account.string("id");
    XCUIElement card = OverviewScreen::accountCellElement(id);
    BaseScreen::waitForLoading(*this, 10);
    scrollToElement(card);
    XCTAssert(card.staticTexts()[title].exists());
    overviewScreen.verifyAmountLabelNotNull(id);
    overviewScreen.verifyAccountCardStaticTexts(id, captions.first);
    overviewScreen.verifyAccountCardStaticTexts(id, captions.second);
  }

  std::optional<XCUIApplication> app;
};

XCTEST_CLASS(JointAccountsOverviewAccountSummaryTests)
XCTEST_METHOD(JointAccountsOverviewAccountSummaryTests, testOverviewForJointAccountsRealData)
