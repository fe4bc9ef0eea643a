// The transactions pages of every listed credit card: title and back button, current balance and
// available credit with their amounts, "Manage account", the "Transactions" sub-heading, and a "$"
// amount in the first row, or the no-transactions text when there is none.

#include "Screens/OverviewScreen.h"
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
        overviewScreen.tapAccountCard(account.id, *this);
        TransactionChecks::waitUntilGone(*this, transactionsScreen.loadingAnimation, 300);
        transactionsScreen.assertOverviewBackLine(account.title());
        transactionsScreen.assertAccountTitle(account.title());
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
