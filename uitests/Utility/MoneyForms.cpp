#include "Utility/MoneyForms.h"

#include "Screens/QualtricsScreen.h"
#include "Utility/CommonFunctions.h"

namespace MoneyForms {

XCUIElement accountCell(const XCUIApplication& app, const std::string& name, const std::string& number) {
  return app.tables()
      .cells()
      .containing(NSPredicate("label CONTAINS %@", name))
      .containing(NSPredicate("label CONTAINS %@", "(" + number + ")"))
      .element();
}

XCUIElement dateField(const XCUIApplication& app, DateType type) {
  switch (type) {
    case DateType::startDate:
      return app.staticTexts()["Starting"];
    case DateType::endDate:
      return app.staticTexts()["End date"];
    case DateType::paymentDate:
      return app.staticTexts()["Payment date"];
    case DateType::transferDate:
      break;
  }
  return app.staticTexts()["Transfer date"];
}

void turnDateWheels(const XCUIApplication& app, const Date& date, std::initializer_list<int> wheels) {
  for (int wheel : wheels) {
    std::string value = wheel == 0 ? date.fullMonthString() : wheel == 1 ? date.dayString() : date.fullYearString();
    app.pickerWheels().element(static_cast<std::size_t>(wheel)).adjust(value);
  }
}

void tapPickerDone(const XCUIApplication& app, XCTestCase& testCase) {
  XCUIElement done = app.buttons()["toolbarDoneButton"];
  testCase.expectation(NSPredicate("exists == TRUE"), done);
  testCase.waitForExpectations(15);
  done.tap();
}

platform::Decimal amountOfBalanceText(const std::string& label) {
  std::string digits;
  for (char c : label) {
    if (c != '$' && c != ',') digits += c;
  }
  return CommonFunctions::roundUp(digits);
}

platform::Decimal scrollViewAmount(const XCUIApplication& app, std::size_t index) {
  std::string label =
      app.scrollViews().otherElements().staticTexts().matching(NSPredicate("label CONTAINS '$'")).element(index).label();
  return amountOfBalanceText(label);
}

void waitUntilGone(XCTestCase& testCase, const XCUIElement& element, double seconds) {
  testCase.expectation(NSPredicate("exists == FALSE"), element);
  testCase.waitForExpectations(seconds);
}

bool containsText(const std::string& text, const std::string& part) {
  return !part.empty() && text.find(part) != std::string::npos;
}

Date daysFromNow(int days) {
  std::optional<Date> date = Date::now().addDays(days);
  if (!date) XCTFail("no date " + std::to_string(days) + " days from now");
  return date.value_or(Date::now());
}

std::string todayText() { return CommonFunctions::getDateFormatter(Date::now(), "MMM d, yyyy"); }

void assertFormDatedToday(const XCUIApplication& app, const std::string& caption, const std::string& askedOn) {
  const std::string today = todayText();
  // The field is the innermost element of the form that holds the caption (a query lists an
  // element before those inside it); its value is the one other text of its own.
  XCUIElementQuery holders = app.scrollViews().otherElements().containing(NSPredicate("label == %@", caption));
  const std::size_t count = holders.count();
  if (count == 0) {
    XCTFail("the form has no field captioned " + caption);
    return;
  }
  XCUIElementQuery values = holders.element(count - 1)
                                .children(XCUIElementType::staticText)
                                .matching(NSPredicate("label != %@", caption));
  if (values.count() != 1) {
    XCTFail("the form's " + caption + " field holds " + std::to_string(values.count()) + " texts besides its caption");
    return;
  }
  const std::string shown = values.element().label();
  if (shown == today || (!askedOn.empty() && shown == askedOn)) return;
  XCTFail("the form's " + caption + " is not today (" + today + "): it shows " + shown);
}

void assertDatedToday(const std::string& shown, const std::string& where) {
  XCTAssertEqual(shown, todayText(), "the date on the " + where + " is not today");
}

void dismissSurvey() { QualtricsScreen(XCUIApplication()).dismissSurveyPopUp(); }

}  // namespace MoneyForms
