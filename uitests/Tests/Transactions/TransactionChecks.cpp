#include "Tests/Transactions/TransactionChecks.h"

#include "Screens/LoginScreen.h"

TransactionAccount::TransactionAccount(const TestDataRow& entry)
    : id(entry.string("id")), name(entry.string("name")), number(entry.string("number")) {}

namespace TransactionChecks {

void signIn(const TestDataRow& row, XCTestCase& test) {
  LoginScreen loginScreen;
  loginScreen.performLogin(row.string("username"), row.string("password"), test,
                           LoginScreen::BiometricEnrollAlertResponse::Ok);
}

void waitUntilGone(XCTestCase& test, const XCUIElement& element, double timeout) {
  test.expectation(NSPredicate("exists == FALSE"), element);
  test.waitForExpectations(timeout);
}

void waitUntilExists(XCTestCase& test, const XCUIElement& element, double timeout) {
  test.expectation(NSPredicate("exists == TRUE"), element);
  test.waitForExpectations(timeout);
}

void openAccountPage(XCTestCase& test, OverviewScreen& overviewScreen, TransactionsScreen& transactionsScreen,
                     const TransactionAccount& account) {
  overviewScreen.tapAccountCard(account.id, test);
  waitUntilGone(test, transactionsScreen.loadingAnimation, 300);
  transactionsScreen.assertOverviewBackLine(account.title());
  transactionsScreen.assertAccountTitle(account.title());
}

void openFirstAccountFromOverview(const TestDataRow& row, XCTestCase& test, TransactionsScreen& transactionsScreen) {
  TransactionAccount account(row.first("transactionAccount"));
  OverviewScreen overviewScreen;
  signIn(row, test);
  overviewScreen.tapOnOverviewButton(test);
  openAccountPage(test, overviewScreen, transactionsScreen, account);
}

bool checkFirstRowAmount(TransactionsScreen& transactionsScreen) {
  XCUIElement firstRow = transactionsScreen.findTransactionByIndex(0);
  if (!firstRow.exists()) return false;
  XCTAssert(firstRow.staticTexts().containing(NSPredicate("label CONTAINS '$'")).element().exists());
  return true;
}

}  // namespace TransactionChecks
