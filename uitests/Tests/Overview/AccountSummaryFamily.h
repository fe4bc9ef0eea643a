// The card-summary tests against the test backend, shared by the deposit, loan, investment and
// credit-card classes: for each row of a data file, sign in as its user and check every listed
// account's card (title, amount labels, category and balance captions).
#pragma once

#include <string>

#include "xctest/XCTest.h"

struct AccountSummaryFamily {
  std::string dataFile;        // "RealDepositAccountSummary"
  std::string listKey;         // "deposits"
  std::string categoryText;    // "Banking"
  std::string balanceText;     // "Available balance"
  bool waitBeforeScrolling;    // wait up to 10 seconds for loading before scrolling to a card
  bool creditCard;             // titles by name only, checked once more as a card text

  // Runs the family's test on `test`, whose own setUp() relaunches the app for rows after the first.
  void run(XCTestCase& test) const;
};
