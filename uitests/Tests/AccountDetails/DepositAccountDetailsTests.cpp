// The details page of deposit accounts: "Banking", the account number form, available and
// current balance as the transactions page showed them.

#include "Tests/AccountDetails/AccountDetailsFamily.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class DepositAccountDetailsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testAccountDetailsInformation() {
    AccountDetailsFamily{AccountDetailsFamily::Kind::deposit, "DepositAccountDetailsTestData", "deposits"}.run(*this);
  }
};

XCTEST_CLASS(DepositAccountDetailsTests)
XCTEST_METHOD(DepositAccountDetailsTests, testAccountDetailsInformation)
