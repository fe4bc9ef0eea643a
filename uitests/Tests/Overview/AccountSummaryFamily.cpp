#include "Tests/Overview/AccountSummaryFamily.h"

#include "Extensions/XCUIElementExtensions.h"
#include "Screens/LoginScreen.h"
#include "Screens/OverviewScreen.h"
#include "Utility/AccountCardTitle.h"
#include "Utility/CommonFunctions.h"

void AccountSummaryFamily::run(XCTestCase& test) const {
  CommonFunctions::forEachDataRow(test, dataFile, [&](const TestDataRow& row) {
    OverviewScreen overviewScreen;
    LoginScreen loginScreen;
    loginScreen.performLogin(row.string("username"), row.string("password"), test,
                             LoginScreen::BiometricEnrollAlertResponse::Ok);
    for (const TestDataRow& account : row.list(listKey)) {
      std::string title = accountCardTitle(account, !creditCard);
      std::string id = account.string("id");
      XCUIElement card = OverviewScreen::accountCellElement(id);
      if (waitBeforeScrolling) BaseScreen::waitForLoading(test, 10);
      scrollToElement(card);
      XCTAssert(card.staticTexts()[title].exists());
      overviewScreen.verifyAmountLabelNotNull(id);
      overviewScreen.verifyAccountCardStaticTexts(id, categoryText);
      overviewScreen.verifyAccountCardStaticTexts(id, balanceText);
      if (creditCard) overviewScreen.verifyAccountCardStaticTexts(id, title);
    }
  });
}
