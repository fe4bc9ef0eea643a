// The transactions page of a deposit account: title and back button, "Available balance",
// "Manage account", the "Transactions" sub-heading and at least one transaction; and a transfer
// between two accounts found there as a "Transfer" row with its amount.

#include <cmath>
#include <functional>
#include <utility>
#include <iostream>

#include "Screens/LoginScreen.h"
#include "Screens/TransferScreen.h"
#include "Tests/Transactions/TransactionChecks.h"
#include "dispatch/Random.h"

class DepositTransactionsTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  // A transfer that went out is moved back here when a check ended the test before its own
  // return transfer.
  void tearDown() override {
    if (auto moveBack = std::exchange(moveBack_, nullptr)) moveBack();
  }

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

  void testTransferBetweenAccountsTransaction() {
    CommonFunctions::forEachDataRow(*this, "TransactionsTestData", [&](const TestDataRow& row) {
      std::string username = row.string("username");
      std::string password = row.string("password");
      TransactionAccount account(row.first("transactionAccount"));
      TestDataRow from = row.first("fromAccount");
      TestDataRow to = row.first("toAccount");
      std::string fromName = from.string("name"), fromNumber = from.string("number");
      std::string toName = to.string("name"), toNumber = to.string("number");

      // A float in [0.2, 3.0), rounded to cents: typed as its plain text, found as currency text.
      float drawn = 0.2f + static_cast<float>(platform::Random::current()->uniformDouble()) * 2.8f;
      if (drawn >= 3.0f) drawn = std::nextafter(3.0f, 0.0f);
      platform::Decimal amount = CommonFunctions::roundUpFloat(drawn);
      std::string amountText = amount.toString();
      std::string currencyText = CommonFunctions::currencyFormatFromDecimal(amount);
      std::cout << amountText << std::endl;

      OverviewScreen overviewScreen;
      LoginScreen loginScreen;
      loginScreen.performLogin(username, password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
      TransferScreen transferScreen{XCUIApplication()};
      transferScreen.performTransferBetweenAccounts(fromName, fromNumber, toName, toNumber, amountText, std::nullopt,
                                                    *this);
      // From here on the money goes back, whether or not the checks below pass.
      moveBack_ = [=, this] {
        TransferScreen{XCUIApplication()}.performTransferBetweenAccounts(toName, toNumber, fromName, fromNumber,
                                                                         amountText, std::nullopt, *this);
      };

      TransactionsScreen transactionsScreen;
      overviewScreen.tapOnOverviewButton(*this);
      overviewScreen.tapAccountCard(account.id, *this);
      TransactionChecks::waitUntilGone(*this, transactionsScreen.loadingAnimation, 5);
      transactionsScreen.assertOverviewBackLine(account.title());
      transactionsScreen.assertAccountTitle(account.title());
      XCTAssert(transactionsScreen.availableBalanceStaticText.exists());
      XCTAssert(transactionsScreen.manageAccount.exists());
      XCTAssert(transactionsScreen.transactionsSubHeading.exists());
      transactionsScreen.findAndVerifyTransactionByDescription("Transfer", currencyText);
      std::exchange(moveBack_, nullptr)();
    });
  }

 private:
  std::function<void()> moveBack_;
};

XCTEST_CLASS(DepositTransactionsTests)
XCTEST_METHOD(DepositTransactionsTests, testDepositTransactionsPage)
XCTEST_METHOD(DepositTransactionsTests, testTransferBetweenAccountsTransaction)
