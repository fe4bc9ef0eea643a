// The details page of investment accounts: "Investments", the account number form, the value as
// the transactions page showed it, and no "Available balance" in view.

#include "Tests/AccountDetails/AccountDetailsFamily.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class InvestmentAccountDetailsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testAccountDetailsInformation() {
    AccountDetailsFamily{AccountDetailsFamily::Kind::investment, "InvestmentAccountDetailsTestData", "investmentDetails"}
        .run(*this);
  }
};

XCTEST_CLASS(InvestmentAccountDetailsTests)
XCTEST_METHOD(InvestmentAccountDetailsTests, testAccountDetailsInformation)
