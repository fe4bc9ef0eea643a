// What the transaction-list tests share: the account entry of a data row with its title, signing
// in as the row's user, the waits on one element, and the first row's amount check.
#pragma once

#include <string>

#include "Screens/OverviewScreen.h"
#include "Screens/TransactionsScreen.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

struct TransactionAccount {
  std::string id;
  std::string name;
  std::string number;

  // Reads "id", "name" and "number" of an account entry.
  explicit TransactionAccount(const TestDataRow& entry);
  // The transactions page's title: name, " (", number and ")".
  std::string title() const { return name + " (" + number + ")"; }
};

namespace TransactionChecks {

// Signs in as the row's user with the sign-in page object's defaults, accepting biometrics.
void signIn(const TestDataRow& row, XCTestCase& test);
// Waits up to `timeout` seconds for the element to be gone / to exist.
void waitUntilGone(XCTestCase& test, const XCUIElement& element, double timeout);
void waitUntilExists(XCTestCase& test, const XCUIElement& element, double timeout);
// Taps the account's card on the overview, waits up to 300 seconds for loading to end, and asserts
// the page's navigation bar (named after the account, with its "Overview" button).
void openAccountPage(XCTestCase& test, OverviewScreen& overviewScreen, TransactionsScreen& transactionsScreen,
                     const TransactionAccount& account);
// For a row whose first account entry is examined from the Overview tab: signs in as the row's
// user, taps the Overview tab and opens the first entry's page as openAccountPage does.
void openFirstAccountFromOverview(const TestDataRow& row, XCTestCase& test, TransactionsScreen& transactionsScreen);
// When the first transaction row exists, asserts that one of its texts holds a "$" amount.
// Returns whether the row exists.
bool checkFirstRowAmount(TransactionsScreen& transactionsScreen);

}  // namespace TransactionChecks
