#include "Tests/More/MoreTabRows.h"

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Utility/CommonFunctions.h"

namespace MoreTabRows {

void run(XCTestCase& test, const std::string& dataFile, const std::function<void()>& onMoreTab) {
  auto rows = CommonFunctions::loadDataSourceArray(dataFile);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    TestDataRow row(rows[r], dataFile, r);
    std::string username = row.string("username");
    std::string password = row.string("password");
    LoginScreen loginScreen;
    loginScreen.performLogin(username, password, test, LoginScreen::BiometricEnrollAlertResponse::Ok);
    loginScreen.tapOkIfErrorAppear();
    BaseScreen::waitForLoading(test);
    LandingScreen().tapOnMoreButton();
    onMoreTab();
  }
}

}  // namespace MoreTabRows
