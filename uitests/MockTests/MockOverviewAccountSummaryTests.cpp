// The overview's account cards against the mock backend: the stub server answers the app's
// account-summary requests with the bundle's documents, and the cards must show what they say.

#include "Screens/LoginScreen.h"
#include "Screens/OverviewScreen.h"
#include "Utility/AccountCardTitle.h"
#include "Utility/CommonFunctions.h"
#include "Utility/HTTPStubs.h"
#include "Utility/TestSetting.h"
#include "xctest/XCTest.h"

class MockOverviewAccountSummaryTests : public XCTestCase {
 public:
  XCUIApplication swifterapp;
  HTTPStubs httpStubs;

  void setUp() override {
    XCTestCase::setUp();
    httpStubs.setUp();
    continueAfterFailure = false;
    TestSettingUtil::set(swifterapp, TestSettingEnum::firstBiometricsLoginOptinIgnored);
    TestSettingUtil::set(swifterapp, TestSettingEnum::userChangeIgnored);
  }

  void tearDown() override {
    XCTestCase::tearDown();
    httpStubs.tearDown();
  }

  void testOverviewWithDepositAndLoanSummaryWithMock() {
    swifterapp.launch();
    httpStubs.setupStub("/deposits", "depositSummary", HTTPMethod::GET);
    httpStubs.setupStub("/loans", "loanSummary", HTTPMethod::GET);
    auto deposits = CommonFunctions::loadDataSourceArray("depositSummary");
    auto loans = CommonFunctions::loadDataSourceArray("loanSummary");
    signIn("2048887");
    for (const auto& [document, accounts] : {std::pair{"depositSummary", &deposits}, std::pair{"loanSummary", &loans}}) {
      for (std::size_t i = 0; i < accounts->size(); ++i) {
        TestDataRow account((*accounts)[i], document, i);
        std::string title = accountCardTitle(account);
        XCTAssert(OverviewScreen::accountCellElement(account.string("id")).staticTexts()[title].exists());
      }
    }
  }

  void testOverviewAccountCards() {
    swifterapp.launch();
    httpStubs.setupStub("/deposits", "depositSummary", HTTPMethod::GET);
    httpStubs.setupStub("/loans", "loanSummary", HTTPMethod::GET);
    OverviewScreen overviewScreen;
    auto deposits = CommonFunctions::loadDataSourceArray("depositSummary");
    auto loans = CommonFunctions::loadDataSourceArray("loanSummary");
    signIn("2048887");
    for (std::size_t i = 0; i < deposits.size(); ++i) {
      TestDataRow account(deposits[i], "depositSummary", i);
      std::string title = accountCardTitle(account);
      std::string id = account.string("id");
      std::string currency = account.object("balance").string("currency");
      XCTAssert(OverviewScreen::accountCellElement(id).staticTexts()[title].exists());
      verifyCurrency(overviewScreen, id, currency);
    }
    for (std::size_t i = 0; i < loans.size(); ++i) {
      TestDataRow account(loans[i], "loanSummary", i);
      std::string title = accountCardTitle(account);
      std::string id = account.string("id");
      std::string currency = account.object("balance").string("currency");
      // A loan's title is accepted anywhere among the tables' static texts.
      XCTAssert(BaseScreen::AccountNameObject(title).exists());
      verifyCurrency(overviewScreen, id, currency);
    }
  }

  void testOverviewWithMock_accountNameAndBalance() {
    swifterapp.launch();
    httpStubs.setupStub("/deposits", "depositSummary", HTTPMethod::GET);
    httpStubs.setupStub("/loans", "loanSummary", HTTPMethod::GET);
    httpStubs.setupStub("/investments", "investmentSummary", HTTPMethod::GET);
    httpStubs.setupStub("/creditcards", "creditcardSummary", HTTPMethod::GET);
    OverviewScreen overviewScreen;
    signIn("2038556");
    // Deposit cards show the available balance, the others their balance.
    const std::pair<const char*, const char*> documents[] = {{"depositSummary", "availableBalance"},
                                                             {"loanSummary", "balance"},
                                                             {"investmentSummary", "balance"},
                                                             {"creditcardSummary", "balance"}};
    std::vector<std::vector<nlohmann::json>> expected;
    for (const auto& [document, balanceKey] : documents) expected.push_back(CommonFunctions::loadDataSourceArray(document));
    for (std::size_t d = 0; d < expected.size(); ++d) {
      for (std::size_t i = 0; i < expected[d].size(); ++i) {
        TestDataRow account(expected[d][i], documents[d].first, i);
        std::string title = accountCardTitle(account);
        TestDataRow balance = account.object(documents[d].second);
        std::string currency = balance.string("currency");
        double value = balance.number("value");
        std::string id = account.string("id");
        XCTAssert(OverviewScreen::accountCellElement(id).staticTexts()[title].exists());
        overviewScreen.verifyAmountLabel(id, value, currency);
      }
    }
  }

 private:
  void signIn(const std::string& username) {
    LoginScreen loginScreen;
    loginScreen.performLogin(username, "480917", *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
  }

  // A USD account shows its currency code on its card; any other shows none.
  void verifyCurrency(OverviewScreen& overviewScreen, const std::string& id, const std::string& currency) {
    if (currency == "USD") {
      XCTAssert(overviewScreen.getCurrencyOfAccount(id, currency).exists());
    } else {
      XCTAssertFalse(overviewScreen.getCurrencyOfAccount(id, currency).exists());
    }
  }
};

XCTEST_CLASS(MockOverviewAccountSummaryTests)
XCTEST_METHOD(MockOverviewAccountSummaryTests, testOverviewWithDepositAndLoanSummaryWithMock)
XCTEST_METHOD(MockOverviewAccountSummaryTests, testOverviewAccountCards)
XCTEST_METHOD(MockOverviewAccountSummaryTests, testOverviewWithMock_accountNameAndBalance)
