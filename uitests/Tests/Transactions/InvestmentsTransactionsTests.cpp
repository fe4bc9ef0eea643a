// The transactions page of an investment account: title and back button, "Value" with exactly one
// amount, "Manage account", the "Transactions" sub-heading, and a "$" amount in the first row when
// there is one.

#include "Tests/Transactions/TransactionChecks.h"

class InvestmentsTransactionsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testInvestmentsTransactions() {
    CommonFunctions::forEachDataRow(*this, "InvestmentsTransactionsTestData", [&](const TestDataRow& row) {
      TransactionsScreen transactionsScreen;
      TransactionChecks::openFirstAccountFromOverview(row, *this, transactionsScreen);
      XCTAssert(transactionsScreen.valueStaticText.exists());
      transactionsScreen.assertInvestmentAccountBalanceHasValue();
      XCTAssert(transactionsScreen.manageAccount.exists());
      XCTAssert(transactionsScreen.transactionsSubHeading.exists());
      TransactionChecks::checkFirstRowAmount(transactionsScreen);
    });
  }
};

XCTEST_CLASS(InvestmentsTransactionsTests)
XCTEST_METHOD(InvestmentsTransactionsTests, testInvestmentsTransactions)
