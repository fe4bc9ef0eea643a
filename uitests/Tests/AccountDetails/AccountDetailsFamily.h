// The account-details tests against the test backend, shared by the deposit, investment and
// credit-card classes: for each row of a data file, sign in as its user and, for every listed
// account, open its transactions page from the overview, keep the balances it shows, open
// "Manage account" and check the details page (title, kind, name, number form, balance captions,
// the same balances; the statement rows of a credit card), then go back to the overview.
#pragma once

#include <string>

#include "xctest/XCTest.h"

struct AccountDetailsFamily {
  enum class Kind { deposit, investment, creditCard };

  Kind kind;
  std::string dataFile;  // "DepositAccountDetailsTestData"
  std::string listKey;   // "deposits"

  // Runs the family's test on `test`, whose own setUp() relaunches the app for rows after the first.
  void run(XCTestCase& test) const;
};
