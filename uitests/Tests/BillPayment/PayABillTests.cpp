// Bill payments through the Pay a bill form: the form's in-line validation, and one cent paid
// from every funded deposit account of a row to every payee of the row, immediately or as a
// recurring payment ending on a date, after a number of payments or never. The app is launched
// anew for every row whose "id" is not 1. The immediate payments' forms, reviews and completions
// show the device's today.

#include <optional>

#include "Screens/MoveMoneyScreen.h"
#include "Screens/PayABillScreen.h"
#include "Tests/BillPayment/BillPaymentFlow.h"
#include "Utility/MoneyForms.h"
#include "Utility/PaymentFunctions.h"
#include "Utility/AppTestCase.h"
#include "xctest/XCTest.h"

class PayABillTests : public AppTestCase {
  static constexpr const char* kDataFile = "PayABillTestsTestData";

 public:
  void testPayABillInLineValidations() {
    CommonFunctions::forEachDataRow(*this, kDataFile, [&](const TestDataRow& row) {
      PayABillScreen payABillScreen;
      PaymentFunctions paymentFunctions(*app);
      BillPayment::open(*this, row, 15);
      MoveMoneyScreen moveMoneyScreen;
      MoneyForms::waitUntilGone(*this, moveMoneyScreen.loadingAnimation, 45);
      MoneyForms::assertFormDatedToday(*app, "Payment date");
      paymentFunctions.typeOnMemo("This is my memo");
      paymentFunctions.tapOnSubmitButton(*this);
      MoneyForms::waitUntilGone(*this, moveMoneyScreen.loadingAnimation, 45);
      XCTAssert(payABillScreen.fromAccountInLineError.exists());
      XCTAssert(payABillScreen.toAccountInLineError.exists());
      XCTAssert(payABillScreen.amountInLineError.exists());
      std::optional<std::string> memo = payABillScreen.memotextviewTextView.value();
      XCTAssert(memo.value_or("") == "This is my memo");
    });
  }

  void testPayABillPositiveCase() {
    BillPayment::Steps steps;
    steps.datedToday = true;
    payEveryPayee(steps);
  }

  void testPayABillPositiveCaseRecurringEndDate() {
    std::optional<Date> startDate, endDate;
    BillPayment::Steps steps = recurring();
    steps.payeeStart = [&] {
      startDate = MoneyForms::daysFromNow(2);
      endDate = startDate->addDays(10);
      if (!endDate) XCTFail("no end date");
    };
    steps.afterAmount = [&] {
      PaymentFunctions paymentFunctions(*app);
      paymentFunctions.selectFrequency("Weekly", *this);
      paymentFunctions.selectPaymentDate(DateType::startDate, *this, startDate);
      paymentFunctions.selectEnding(EndingType::endDate);
      paymentFunctions.selectPaymentDate(DateType::endDate, *this, endDate);
    };
    payEveryPayee(steps);
  }

  void testPayABillPositiveCaseRecurringNumOf() { payEveryPayee(recurringWithoutEndDate("Weekly", EndingType::numberOf)); }

  void testPayABillPositiveCaseRecurringNever() { payEveryPayee(recurringWithoutEndDate("Yearly", EndingType::never)); }

 private:
  void payEveryPayee(const BillPayment::Steps& steps) {
    CommonFunctions::forEachDataRow(*this, kDataFile, [&](const TestDataRow& row) {
      BillPayment::open(*this, row);
      BillPayment::payEveryPayee(*this, *app, row, steps);
    });
  }

  // The recurring tests' form wait (30 seconds, "Recurring payment", 30 seconds) and the
  // payment type chosen before every payment.
  BillPayment::Steps recurring() {
    BillPayment::Steps steps;
    steps.formWait = [this] {
      BaseScreen::waitForLoading(*this, 30);
      PayABillScreen().recurringPaymentTab.tap();
      BaseScreen::waitForLoading(*this, 30);
    };
    steps.afterLoadingWait = [this] { PaymentFunctions(*app).selectPaymentType(1); };
    return steps;
  }

  // Weekly payments ending after 2, or yearly ones that never end, from two days ahead.
  BillPayment::Steps recurringWithoutEndDate(const std::string& frequency, EndingType ending) {
    auto startDate = std::make_shared<std::optional<Date>>();
    BillPayment::Steps steps = recurring();
    steps.payeeStart = [startDate] { *startDate = MoneyForms::daysFromNow(2); };
    steps.afterAmount = [this, startDate, frequency, ending] {
      PaymentFunctions paymentFunctions(*app);
      paymentFunctions.selectFrequency(frequency, *this);
      paymentFunctions.selectPaymentDate(DateType::startDate, *this, *startDate);
      paymentFunctions.selectEnding(ending);
      if (ending == EndingType::numberOf) {
        BaseScreen::waitForLoading(*this, 15);
        paymentFunctions.typeNumberOfPayments(2);
      }
    };
    return steps;
  }
};

XCTEST_CLASS(PayABillTests)
XCTEST_METHOD(PayABillTests, testPayABillInLineValidations)
XCTEST_METHOD(PayABillTests, testPayABillPositiveCase)
XCTEST_METHOD(PayABillTests, testPayABillPositiveCaseRecurringEndDate)
XCTEST_METHOD(PayABillTests, testPayABillPositiveCaseRecurringNumOf)
XCTEST_METHOD(PayABillTests, testPayABillPositiveCaseRecurringNever)
