// The transactions pages of every listed credit card: title and back button, current balance and
// available credit with their amounts, "Manage account", the "Transactions" sub-heading, and a "$"
// amount in the first row, or the no-transactions text when there is none.

#include "Tests/Transactions/TransactionChecks.h"

class CreditCardTransactionsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testCreditCardTransactions() {
    CommonFunctions::forEachDataRow(*this, "CreditCardTransactionsTestData", [&](const TestDataRow& row) {
      TransactionChecks::signIn(row, *this);
      OverviewScreen overviewScreen;
      TransactionsScreen transactionsScreen;
      overviewScreen.tapOnOverviewButton(*this);
      for (const TestDataRow& entry : row.list("transactionAccount")) {
        TransactionAccount account(entry);
        TransactionChecks::openAccountPage(*this, overviewScreen, transactionsScreen, account);
        XCTAssert(transactionsScreen.currentBalanceStaticText.exists());
        XCTAssert(transactionsScreen.availableCreditStaticText.exists());
        transactionsScreen.assertAccountBalanceHasAnyAmount();
        XCTAssert(transactionsScreen.manageAccount.exists());
        XCTAssert(transactionsScreen.transactionsSubHeading.exists());
        if (!TransactionChecks::checkFirstRowAmount(transactionsScreen)) {
          XCTAssert(transactionsScreen.noTransactionsToShowStaticText.exists());
        }
        transactionsScreen.tapOverviewBackLine(account.title());
      }
    });
  }
};

XCTEST_CLASS(CreditCardTransactionsTests)
XCTEST_METHOD(CreditCardTransactionsTests, testCreditCardTransactions)
