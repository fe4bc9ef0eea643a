#include "Screens/TransactionsScreen.h"

#include <iostream>

TransactionsScreen::TransactionsScreen()
    : loadingAnimation(app.activityIndicators()["loadingIndicator"]),
      availableBalanceStaticText(app.tables().staticTexts()["Available balance"]),
      principalBalanceStaticText(app.tables().staticTexts()["Principal balance"]),
      currentBalanceStaticText(app.tables().staticTexts()["Current balance"]),
      availableCreditStaticText(app.tables().staticTexts()["Available credit"]),
      valueStaticText(app.tables().staticTexts()["Value"]),
      manageAccount(app.tables().staticTexts()["Manage account"]),
      transactionsSubHeading(app.tables().staticTexts()["Transactions"]),
      overviewLink(app.navigationBars().buttons()["Overview"]),
      noTransactionsToShowStaticText(
          app.staticTexts()["To review older transactions, visit Corvane Online to see your e-statements."]) {}

void TransactionsScreen::assertOverviewBackLine(const std::string& accountName) {
  XCTAssert(app.navigationBars()[accountName].buttons()["Overview"].exists(), "Account title exists on Transactions Screen");
}

void TransactionsScreen::assertAccountTitle(const std::string& accountName) {
  XCTAssert(app.navigationBars()[accountName].exists(), "Account title exists on Transactions Screen");
}

void TransactionsScreen::tapOverviewBackLine(const std::string& accountName) {
  tap(app.navigationBars()[accountName].buttons()["Overview"]);
}

void TransactionsScreen::tapOverviewBackLine2() { tap(overviewLink); }

XCUIElementQuery TransactionsScreen::balanceQuery() const {
  return app.tables().otherElements().staticTexts().matching(NSPredicate("label CONTAINS '$'"));
}

void TransactionsScreen::assertAccountBalanceHasAnyAmount() {
  XCTAssert(balanceQuery().element(0).exists());
  XCTAssert(balanceQuery().element(1).exists());
}

void TransactionsScreen::assertInvestmentAccountBalanceHasValue() {
  XCTAssert(balanceQuery().element(0).exists());
  XCTAssert(!balanceQuery().element(1).exists());
}

std::string TransactionsScreen::getFirstBalance() { return balanceQuery().element(0).label(); }

std::string TransactionsScreen::getSecondBalance() { return balanceQuery().element(1).label(); }

XCUIElement TransactionsScreen::findTransactionByIndex(std::size_t index) { return app.tables().cells().element(index); }

void TransactionsScreen::findAndVerifyTransactionByDescription(const std::string& description,
                                                               const std::string& amount) {
  XCUIElementQuery described = app.tables().cells().containing(NSPredicate("label CONTAINS %@", description));
  XCTAssertGreaterThan(described.count(), 0u, "Transaction record has been found successfully");
  std::size_t withAmount = described.containing(NSPredicate("label CONTAINS %@", amount)).count();
  std::cout << withAmount << std::endl;
  XCTAssertGreaterThan(withAmount, 0u, "Transaction record amount has been found successfully");
}

void TransactionsScreen::tapOnManageAccount(XCTestCase& xctestcase) {
  tap(manageAccount);
  xctestcase.expectation(NSPredicate("exists == FALSE"), loadingAnimation);
  xctestcase.waitForExpectations(45);
}
