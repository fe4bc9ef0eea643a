// The details page of credit cards: "Credit cards", the masked card number, available credit and
// current balance as the transactions page showed it, and the statement rows' forms.

#include "Tests/AccountDetails/AccountDetailsFamily.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class CreditCardAccountDetailsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testCreditCardAccountDetails() {
    AccountDetailsFamily{AccountDetailsFamily::Kind::creditCard, "CreditCardAccountDetailsTestData", "creditCardDetails"}
        .run(*this);
  }
};

XCTEST_CLASS(CreditCardAccountDetailsTests)
XCTEST_METHOD(CreditCardAccountDetailsTests, testCreditCardAccountDetails)
