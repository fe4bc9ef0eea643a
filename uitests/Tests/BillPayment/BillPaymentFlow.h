// What the bill-payment test classes share: the opening that takes a data row from the launched
// app to the Pay a bill form, and the positive flow that pays one cent from every deposit account
// of a row whose balance is above $1 to every payee of the row, with hooks where the immediate,
// recurring and future-dated tests differ.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

namespace BillPayment {

// Signs the row's user in, opens Move money and taps "Pay a bill" (no wait after it). The first
// loading wait after sign-in lasts `landingWait` seconds.
void open(XCTestCase& test, const TestDataRow& row, double landingWait = 120);

// Where the tests of the positive flow differ from the immediate payment; an empty hook does
// nothing there.
struct Steps {
  // Replaces the 120-second wait for the form once the opening is done.
  std::optional<std::function<void()>> formWait;
  // Before each deposit's balance is read (also for one that is then skipped).
  std::function<void()> beforeBalance;
  // When a payee's steps begin (the dates of recurring payments are taken here).
  std::function<void()> payeeStart;
  // After the 45-second loading wait that starts each payment.
  std::function<void()> afterLoadingWait;
  // After the From account is chosen, after the amount is typed, after the memo is typed, after
  // Submit and after "Pay bill".
  std::function<void()> afterAccount, afterAmount, afterMemo, afterSubmit, afterReview;
  // The completion's exact "Move_Money_Date" text; empty: the date is not checked.
  std::function<std::optional<std::string>()> expectedDate;
  // A payment made today: every form, review and completion shows the device's today.
  bool datedToday = false;
};

// Runs the positive flow on one row: form wait, every deposit, every payee, sign-out.
void payEveryPayee(XCTestCase& test, const XCUIApplication& app, const TestDataRow& row, const Steps& steps);

}  // namespace BillPayment
