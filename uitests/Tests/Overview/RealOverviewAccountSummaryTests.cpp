// The overview's deposit, loan and investment cards and the category totals against the test
// backend: presence and form, not amounts.

#include "Screens/LoginScreen.h"
#include "Screens/OverviewScreen.h"
#include "Tests/Overview/AccountSummaryFamily.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class RealOverviewAccountSummaryTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testOverviewForDepositsRealData() {
    AccountSummaryFamily{"RealDepositAccountSummary", "deposits", "Banking", "Available balance", false, false}.run(*this);
  }

  void testOverviewForLoansRealData() {
    AccountSummaryFamily{"RealLoanAccountSummary", "loans", "Loans & mortgages", "Principal balance", true, false}.run(*this);
  }

  void testOverviewForInvestmentRealData() {
    AccountSummaryFamily{"RealInvestmentAccountSummary", "investments", "Investments", "Value", true, false}.run(*this);
  }

  void testAccountTotals() {
    OverviewScreen overviewScreen;
    LoginScreen loginScreen;
    loginScreen.performLogin("2038556", "480917", *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
    loginScreen.tapOkIfErrorAppear();
    auto banking = overviewScreen.calculateTotals("Banking");
    auto creditCards = overviewScreen.calculateTotals("Credit cards");
    auto investments = overviewScreen.calculateTotals("Investments");
    auto loans = overviewScreen.calculateTotals("Loans & mortgages");
    overviewScreen.verifyTotals("Banking", banking.first, banking.second);
    overviewScreen.verifyTotals("Credit cards", creditCards.first, creditCards.second);
    overviewScreen.verifyTotals("Loans & mortgages", loans.first, loans.second);
    overviewScreen.verifyTotals("Investments", investments.first, investments.second);
  }
};

XCTEST_CLASS(RealOverviewAccountSummaryTests)
XCTEST_METHOD(RealOverviewAccountSummaryTests, testOverviewForDepositsRealData)
XCTEST_METHOD(RealOverviewAccountSummaryTests, testOverviewForLoansRealData)
XCTEST_METHOD(RealOverviewAccountSummaryTests, testOverviewForInvestmentRealData)
XCTEST_METHOD(RealOverviewAccountSummaryTests, testAccountTotals)
