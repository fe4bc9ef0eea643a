// An account's transactions page: its navigation bar (named after the account, with the
// "Overview" back button), the balance header, "Manage account", the "Transactions" sub-heading
// and one cell per transaction.
#pragma once

#include <cstddef>
#include <string>

#include "Utility/BaseScreen.h"

class TransactionsScreen : public BaseScreen {
 public:
  TransactionsScreen();

  XCUIElement loadingAnimation;
  XCUIElement availableBalanceStaticText;
  XCUIElement principalBalanceStaticText;
  XCUIElement currentBalanceStaticText;
  XCUIElement availableCreditStaticText;
  XCUIElement valueStaticText;
  XCUIElement manageAccount;
  XCUIElement transactionsSubHeading;
  XCUIElement overviewLink;  // the navigation bar's "Overview" button
  XCUIElement noTransactionsToShowStaticText;

  // The navigation bar named `accountName` has an "Overview" button / exists.
  void assertOverviewBackLine(const std::string& accountName);
  void assertAccountTitle(const std::string& accountName);
  // Taps the "Overview" button of the navigation bar named `accountName`; no wait.
  void tapOverviewBackLine(const std::string& accountName);
  // Taps `overviewLink`; no wait.
  void tapOverviewBackLine2();

  // The balance header's amounts: static texts under the tables' other elements whose label
  // contains "$". Two of them (deposits, loans, credit cards) / exactly one (investments).
  void assertAccountBalanceHasAnyAmount();
  void assertInvestmentAccountBalanceHasValue();
  std::string getFirstBalance();
  std::string getSecondBalance();

  // The cell at `index` of the app's tables (0: the first transaction).
  XCUIElement findTransactionByIndex(std::size_t index);
  // Asserts that some cell holds a text containing `description` and that one of those also holds
  // a text containing `amount`. Both go into the predicates as arguments, quotes and all.
  void findAndVerifyTransactionByDescription(const std::string& description, const std::string& amount);

  // Taps "Manage account", then waits up to 45 seconds for loading to end.
  void tapOnManageAccount(XCTestCase& xctestcase);

 private:
  XCUIElementQuery balanceQuery() const;
};
