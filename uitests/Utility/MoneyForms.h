// What the money forms' page objects (the transfer form, the payment-form driver) share: the
// account cell of a picker, the date fields and the pickers' Done button.
#pragma once

#include <optional>

#include "Extensions/Date.h"
#include "Utility/MoneyFormTypes.h"
#include "foundation/Decimal.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

namespace MoneyForms {

// The cell of the app's tables holding a text that contains `name` and one that contains
// "(" + `number` + ")"; both go into the predicates as arguments.
XCUIElement accountCell(const XCUIApplication& app, const std::string& name, const std::string& number);
// The date field's static text: "Transfer date", "Starting", "End date" or "Payment date".
XCUIElement dateField(const XCUIApplication& app, DateType type);
// Turns the date picker's wheels (0 month, 1 day, 2 year) to the date's "MDT" texts, in the
// order given.
void turnDateWheels(const XCUIApplication& app, const Date& date, std::initializer_list<int> wheels);
// Waits up to 15 seconds for the pickers' Done button ("toolbarDoneButton") and taps it.
void tapPickerDone(const XCUIApplication& app, XCTestCase& testCase);
// "$" and "," removed, the rest as a decimal number (a failure naming the text otherwise).
platform::Decimal amountOfBalanceText(const std::string& label);
// The amount of the `index`-th (zero-based) "$" text among the static texts under the other
// elements of the app's scroll views (the review's and completion's balances).
platform::Decimal scrollViewAmount(const XCUIApplication& app, std::size_t index);
// Waits up to `seconds` for "exists == FALSE" on the element (the loading indicator).
void waitUntilGone(XCTestCase& testCase, const XCUIElement& element, double seconds);
// Case-sensitive substring search; an empty text to look for is never found.
bool containsText(const std::string& text, const std::string& part);
// Today plus `days` in the device's calendar (a failure when there is no such date).
Date daysFromNow(int days);
// The device's today as the money forms show dates: "MMM d, yyyy" through the platform's
// formatter, in the device's time zone and locale ("Dec 7, 2026").
std::string todayText();
// Asserts that the form's one-time date, the value of the field captioned `caption` ("Transfer
// date", "Payment date"), is the device's today; no other text of the form counts. Read it as the
// form appears; `askedOn`, today's text when the form was asked for, is also taken where time may
// have passed since (a form opened before midnight keeps its day until it is sent).
void assertFormDatedToday(const XCUIApplication& app, const std::string& caption, const std::string& askedOn = "");
// Asserts that `shown`, the "Move_Money_Date" text of a review or completion read as it appears,
// is the device's today; `where` names the screen in the failure.
void assertDatedToday(const std::string& shown, const std::string& where);
// Dismisses the survey pop-up when it shows within its wait (on a new app handle).
void dismissSurvey();

}  // namespace MoneyForms
