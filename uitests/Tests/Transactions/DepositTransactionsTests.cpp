// The transactions page of a deposit account: title and back button, "Available balance",
// "Manage account", the "Transactions" sub-heading and at least one transaction.

#include "Tests/Transactions/TransactionChecks.h"

class DepositTransactionsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testDepositTransactionsPage() {
    CommonFunctions::forEachDataRow(*this, "DepositTransactionsTestData", [&](const TestDataRow& row) {
      TransactionAccount account(row.first("transactionAccount"));
      OverviewScreen overviewScreen;
      TransactionChecks::signIn(row, *this);
      overviewScreen.tapAccountCard(account.id, *this);
      TransactionsScreen transactionsScreen;
      TransactionChecks::waitUntilExists(*this, transactionsScreen.manageAccount, 15);
      transactionsScreen.assertOverviewBackLine(account.title());
      transactionsScreen.assertAccountTitle(account.title());
      XCTAssert(transactionsScreen.availableBalanceStaticText.exists());
      TransactionChecks::waitUntilGone(*this, transactionsScreen.loadingAnimation, 15);
      XCTAssert(transactionsScreen.manageAccount.exists());
      XCTAssert(transactionsScreen.transactionsSubHeading.exists());
      XCTAssert(transactionsScreen.findTransactionByIndex(0).exists());
    });
  }
};

XCTEST_CLASS(DepositTransactionsTests)
XCTEST_METHOD(DepositTransactionsTests, testDepositTransactionsPage)
