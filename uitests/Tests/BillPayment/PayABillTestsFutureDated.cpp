// Bill payments dated a random number of days ahead (1 to 364): one cent from every funded
// deposit account of a row to every payee of the row, with the payment date checked on the
// completion screen. The expected date is written by the same "MDT" formatter that turns the
// picker's wheels, so the check holds at every hour in every device time zone.

#include <optional>

#include "Tests/BillPayment/BillPaymentFlow.h"
#include "Utility/MoneyForms.h"
#include "Utility/PaymentFunctions.h"
#include "dispatch/Random.h"
#include "Utility/AppTestCase.h"
#include "xctest/XCTest.h"

class PayABillTestsFutureDated : public AppTestCase {
  static constexpr const char* kDataFile = "PayABillTestsFutureDatedTestData";

 public:
  void testPayABillFutureDatedPositiveCase() {
    std::optional<std::string> expectedDate;
    BillPayment::Steps steps;
    steps.formWait.emplace([] {});
    steps.beforeBalance = [this] { BaseScreen::waitForLoading(*this); };
    steps.afterAccount = [this] { BaseScreen::waitForLoading(*this, 15); };
    steps.afterMemo = [&] {
      int offset = static_cast<int>(platform::Random::current()->uniform(364)) + 1;
      Date paymentDate = MoneyForms::daysFromNow(offset);
      expectedDate = paymentDate.monthDayYearString();
      PaymentFunctions(*app).selectPaymentDate(DateType::paymentDate, *this, paymentDate);
    };
    steps.afterSubmit = [this] { BaseScreen::waitForLoading(*this, 15); };
    steps.afterReview = [this] { BaseScreen::waitForLoading(*this, 15); };
    steps.expectedDate = [&] { return expectedDate; };
    auto rows = CommonFunctions::loadDataSourceArray(kDataFile);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      TestDataRow row(rows[i], kDataFile, i);
      BillPayment::open(*this, row);
      BillPayment::payEveryPayee(*this, *app, row, steps);
    }
  }
};

XCTEST_CLASS(PayABillTestsFutureDated)
XCTEST_METHOD(PayABillTestsFutureDated, testPayABillFutureDatedPositiveCase)
