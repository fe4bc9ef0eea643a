// The overview's header after sign-in: today's date in the long date style, the greeting of the
// time of day and the user's first name.

#include "Screens/LoginScreen.h"
#include "Screens/OverviewScreen.h"
#include "Utility/CommonFunctions.h"
#include "foundation/Date.h"
#include "xctest/XCTest.h"

class OverviewGreetingTests : public XCTestCase {
 public:
  void setUp() override {
    continueAfterFailure = false;
    XCUIApplication().launch();
  }

  void testAccountDetailsInformation() {
    const std::string file = "Usernames";
    auto rows = CommonFunctions::loadDataSourceArray(file);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      TestDataRow row(rows[r], file, r);
      if (CommonFunctions::determineSetUp(static_cast<int>(row.integer("id")))) setUp();
      std::string username = row.string("username");
      std::string password = row.string("password");
      LoginScreen loginScreen;
      loginScreen.performLogin(username, password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
      OverviewScreen overviewScreen;
      overviewScreen.tapOnOverviewButton(*this);
      // The long date style of the en_US locale, no time, in the device's time zone.
      platform::DateFormatter formatter("MMMM d, y");
      overviewScreen.verifyDate(formatter.stringFromDate(secondsSince1970(Date::now())));
      overviewScreen.verifyGreeting(Date::now());
      overviewScreen.verifyName(row.string("firstName"));
    }
  }

 private:
  static double secondsSince1970(const Date& date) {
    return std::chrono::duration<double>(date.instant().time_since_epoch()).count();
  }
};

XCTEST_CLASS(OverviewGreetingTests)
XCTEST_METHOD(OverviewGreetingTests, testAccountDetailsInformation)
