#include "Tests/BillPayment/BillPaymentFlow.h"

#include <iostream>

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoreScreen.h"
#include "Screens/MoveMoneyScreen.h"
#include "Screens/PayABillScreen.h"
#include "Utility/MoneyForms.h"
#include "Utility/PaymentFunctions.h"

namespace BillPayment {

namespace {

constexpr const char* kAmount = "0.01";
constexpr const char* kMemo = "Testing Memo";

void call(const std::function<void()>& hook) {
  if (hook) hook();
}

}  // namespace

void open(XCTestCase& test, const TestDataRow& row, double landingWait) {
  std::string username = row.string("username");
  std::string password = row.string("password");
  LoginScreen loginScreen;
  loginScreen.performLogin(username, password, test, LoginScreen::BiometricEnrollAlertResponse::Ok);
  loginScreen.tapOkIfErrorAppear();
  LandingScreen landingScreen;
  BaseScreen::waitForLoading(test, landingWait);
  landingScreen.tapOnMoveMoneyButton(test);
  BaseScreen::waitForLoading(test);
  MoveMoneyScreen().tapOnPayABill();
}

void payEveryPayee(XCTestCase& test, const XCUIApplication& app, const TestDataRow& row, const Steps& steps) {
  PayABillScreen payABillScreen;
  PaymentFunctions paymentFunctions(app);
  MoveMoneyScreen moveMoneyScreen;
  if (steps.formWait) {
    call(*steps.formWait);
  } else {
    BaseScreen::waitForLoading(test);
  }
  // Today as the form was asked for ("Pay a bill", then "Pay another bill").
  std::string formAskedOn = MoneyForms::todayText();
  static const platform::Decimal threshold = CommonFunctions::roundUp("1");
  for (const TestDataRow& deposit : row.list("deposits")) {
    std::string name = deposit.string("name");
    std::string number = deposit.string("number");
    std::string nickname = deposit.contains("nickname") ? deposit.string("nickname") : "";
    std::string label = nickname.empty() ? name : nickname;
    call(steps.beforeBalance);
    platform::Decimal balance = paymentFunctions.findBalanceOfAccountFromDropdown(ToFrom::from, label, number);
    if (!(balance > threshold)) {
      std::cout << "Skipping test as account balance is lower than $1" << std::endl;
      continue;
    }
    for (const TestDataRow& payee : row.list("payees")) {
      std::string payeeNickname = payee.string("payeeNickname");
      call(steps.payeeStart);
      MoneyForms::waitUntilGone(test, moveMoneyScreen.loadingAnimation, 45);
      if (steps.datedToday) MoneyForms::assertFormDatedToday(app, "Payment date", formAskedOn);
      call(steps.afterLoadingWait);
      paymentFunctions.selectAccountFromDropdown(ToFrom::from, label, number);
      call(steps.afterAccount);
      paymentFunctions.selectRecipientDropdown(payeeNickname);
      paymentFunctions.typeOnAmount(kAmount);
      call(steps.afterAmount);
      paymentFunctions.typeOnMemo(kMemo);
      call(steps.afterMemo);
      paymentFunctions.tapOnSubmitButton(test);
      if (steps.datedToday) MoneyForms::assertDatedToday(paymentFunctions.getElement("Move_Money_Date"), "review");
      call(steps.afterSubmit);
      payABillScreen.tapOnReviewTransferSubmit(test);
      call(steps.afterReview);
      MoneyForms::waitUntilGone(test, payABillScreen.appLoadingAnimation, 45);
      std::optional<std::string> expectedDate = steps.datedToday     ? MoneyForms::todayText()
                                                : steps.expectedDate ? steps.expectedDate()
                                                                     : std::nullopt;
      payABillScreen.assertConfirmationSuccess();
      std::string fromName = paymentFunctions.getElement("Move_Money_From_Name");
      std::string fromNumber = paymentFunctions.getElement("Move_Money_From_Number");
      std::string to = paymentFunctions.getElement("To");
      std::string amount = paymentFunctions.getElement("Move_Money_Amount");
      std::string date = expectedDate ? paymentFunctions.getElement("Move_Money_Date") : "";
      XCTAssert(MoneyForms::containsText(fromName, label));
      XCTAssert(MoneyForms::containsText(fromNumber, number));
      XCTAssert(!to.empty());
      XCTAssert(MoneyForms::containsText(amount, std::string("$") + kAmount));
      if (expectedDate) {
        XCTAssertEqual(date, *expectedDate, "the completion screen's payment date is not the expected one");
      }
      formAskedOn = MoneyForms::todayText();
      payABillScreen.tapOnMakeAnotherPayABillButton(test);
    }
  }
  MoreScreen(app).performLogout(test);
}

}  // namespace BillPayment
