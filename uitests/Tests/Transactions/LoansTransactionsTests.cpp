// The transactions page of a loan: title and back button, available and principal balance with
// their amounts, the "Transactions" sub-heading, and a "$" amount in the first row when there is one.

#include "Tests/Transactions/TransactionChecks.h"

class LoansTransactionsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testLoansTransactions() {
    CommonFunctions::forEachDataRow(*this, "LoansTransactionsTestData", [&](const TestDataRow& row) {
      TransactionsScreen transactionsScreen;
      TransactionChecks::openFirstAccountFromOverview(row, *this, transactionsScreen);
      XCTAssert(transactionsScreen.availableBalanceStaticText.exists());
      XCTAssert(transactionsScreen.principalBalanceStaticText.exists());
      transactionsScreen.assertAccountBalanceHasAnyAmount();
      BaseScreen::waitForLoading(*this);
      XCTAssert(transactionsScreen.transactionsSubHeading.exists());
      TransactionChecks::checkFirstRowAmount(transactionsScreen);
    });
  }
};

XCTEST_CLASS(LoansTransactionsTests)
XCTEST_METHOD(LoansTransactionsTests, testLoansTransactions)
