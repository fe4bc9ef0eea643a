#include "Tests/AccountDetails/AccountDetailsFamily.h"

#include "Extensions/XCUIElementExtensions.h"
#include "Screens/AccountDetailsScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/OverviewScreen.h"
#include "Screens/TransactionsScreen.h"
#include "Utility/CommonFunctions.h"
#include "foundation/Date.h"

namespace {

using Kind = AccountDetailsFamily::Kind;

// A credit card's statement rows and what each value must look like.
enum class Form { amount, date, nonEmpty };
struct StatementRow {
  const char* label;
  Form form;
};
const StatementRow kStatementRows[] = {
    {"Last statement balance", Form::amount},   {"Next statement date", Form::date},
    {"Minimum payment amount", Form::amount},   {"Minimum payment due date", Form::date},
    {"Last payment amount", Form::amount},      {"Last payment date", Form::date},
    {"Rewards balance", Form::nonEmpty},
};

// Rows the page does not show are skipped; a shown row whose value has the wrong form fails,
// naming the row and the value.
void checkStatementRows(AccountDetailsScreen& details) {
  for (const StatementRow& row : kStatementRows) {
    if (!BaseScreen::ReturnStaticText(row.label).exists()) continue;
    std::string value = details.findDetailElementText(row.label);
    std::string shown = std::string("\"") + row.label + "\" shows \"" + value + "\"";
    switch (row.form) {
      case Form::amount:
        XCTAssert(value.find('$') != std::string::npos, shown + ", not an amount with \"$\"");
        break;
      case Form::date: {
        platform::DateFormatter formatter;
        formatter.setDateFormat("MMM d, yyyy");
        XCTAssert(formatter.dateFromString(value).has_value(), shown + ", not a date like \"Jan 5, 2020\"");
        break;
      }
      case Form::nonEmpty:
        XCTAssert(!value.empty(), shown);
        break;
    }
  }
}

const char* kindHeading(Kind kind) {
  switch (kind) {
    case Kind::deposit:
      return "Banking";
    case Kind::investment:
      return "Investments";
    case Kind::creditCard:
      return "Credit cards";
  }
  return "";
}

}  // namespace

void AccountDetailsFamily::run(XCTestCase& test) const {
  CommonFunctions::forEachDataRow(test, dataFile, [&](const TestDataRow& row) {
    LoginScreen loginScreen;
    loginScreen.performLogin(row.string("username"), row.string("password"), test,
                             LoginScreen::BiometricEnrollAlertResponse::Ok);
    OverviewScreen overviewScreen;
    TransactionsScreen transactionsScreen;
    overviewScreen.tapOnOverviewButton(test);
    for (const TestDataRow& account : row.list(listKey)) {
      std::string id = account.string("id");
      std::string name = account.string("name");
      NSPredicate gone("exists == FALSE");
      test.expectation(gone, transactionsScreen.loadingAnimation);
      test.waitForExpectations(5);
      overviewScreen.tapAccountCard(id, test);
      test.expectation(gone, transactionsScreen.loadingAnimation);
      test.waitForExpectations(5);

      std::string first;
      std::string second;
      if (kind == Kind::deposit) {
        transactionsScreen.assertAccountBalanceHasAnyAmount();
        first = transactionsScreen.getFirstBalance();
        second = transactionsScreen.getSecondBalance();
      } else {
        first = transactionsScreen.getFirstBalance();
      }
      transactionsScreen.tapOnManageAccount(test);
      if (kind == Kind::deposit) BaseScreen::waitForLoading(test);
      if (kind == Kind::investment) BaseScreen::waitForLoading(test, 30);

      AccountDetailsScreen details;
      XCTAssert(details.manageAccountTitle.exists());
      XCTAssert(BaseScreen::ReturnStaticText(kindHeading(kind)).exists());
      XCTAssert(BaseScreen::ReturnStaticText(name).exists());
      switch (kind) {
        case Kind::deposit:
          details.findAndAssertAccountNumberFormat();
          XCTAssert(BaseScreen::ReturnStaticText("Available balance").exists());
          XCTAssert(BaseScreen::ReturnStaticText("Current balance").exists());
          break;
        case Kind::investment:
          details.findAndAssertAccountNumberFormat();
          XCTAssertFalse(isVisible(BaseScreen::ReturnStaticText("Available balance")));
          XCTAssert(BaseScreen::ReturnStaticText("Value").exists());
          break;
        case Kind::creditCard:
          details.findAndAssertCreditCardNumberFormat();
          XCTAssert(BaseScreen::ReturnStaticText("Available credit").exists());
          XCTAssert(BaseScreen::ReturnStaticText("Current balance").exists());
          break;
      }
      XCTAssert(BaseScreen::ReturnStaticText(first).exists());
      if (kind == Kind::deposit) XCTAssert(BaseScreen::ReturnStaticText(second).exists());
      if (kind == Kind::creditCard) checkStatementRows(details);

      details.tapAccountBackLink(test);
      if (kind == Kind::investment) BaseScreen::waitForLoading(test, 30);
      transactionsScreen.tapOverviewBackLine2();
      if (kind == Kind::investment) BaseScreen::waitForLoading(test, 30);
    }
  });
}
