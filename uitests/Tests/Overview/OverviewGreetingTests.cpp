// The overview's header after sign-in: today's date in the long date style, the greeting of the
// time of day and the user's first name.

#include "Screens/LoginScreen.h"
#include "Screens/OverviewScreen.h"
#include "Utility/CommonFunctions.h"
#include "foundation/Date.h"
#include "xctest/XCTest.h"

class OverviewGreetingTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void testAccountDetailsInformation() {
    CommonFunctions::forEachDataRow(*this, "Usernames", [&](const TestDataRow& row) {
      LoginScreen loginScreen;
      loginScreen.performLogin(row.string("username"), row.string("password"), *this,
                               LoginScreen::BiometricEnrollAlertResponse::Ok);
      OverviewScreen overviewScreen;
      overviewScreen.tapOnOverviewButton(*this);
      // The long date style of the en_US locale, no time, in the device's time zone.
      platform::DateFormatter formatter("MMMM d, y");
      overviewScreen.verifyDate(formatter.stringFromDate(Date::now().timeIntervalSince1970()));
      overviewScreen.verifyGreeting(Date::now());
      overviewScreen.verifyName(row.string("firstName"));
    });
  }
};

XCTEST_CLASS(OverviewGreetingTests)
XCTEST_METHOD(OverviewGreetingTests, testAccountDetailsInformation)
