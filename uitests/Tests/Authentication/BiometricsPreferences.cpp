// The biometric settings page that the More tab opens: its security notes, turning the enable
// switch off, and the alerts that confirm turning biometric sign-in on and off.
#include <functional>
#include <optional>

#include "Screens/BiometricsPreferencesScreen.h"
#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoreScreen.h"
#include "Utility/AppTestCase.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

class BiometricsPreferences : public AppTestCase {
 public:
  void testBiometricsPreferenceCopy() {
    eachRowOnSettings(LoginScreen::BiometricEnrollAlertResponse::Ok, true, [&](BiometricsPreferencesScreen& screen) {
      XCTAssert(screen.securityNote.exists(), "Security Note Exists");
      XCTAssert(screen.note1.exists(), "Note1 Exists");
      XCTAssert(screen.note2.exists(), "Note2 Exists");
      XCTAssert(screen.note3.exists(), "Note3 Exists");
      XCTAssert(screen.EnableBiometrics.exists(), "Enable Biometrics Switch Exists");
    });
  }

  void testBiometricsPreferenceStoreBiometricSwitchOff() {
    eachRowOnSettings(LoginScreen::BiometricEnrollAlertResponse::Ok, false, [&](BiometricsPreferencesScreen& screen) {
      if (switchValue(screen) != "1") return;
      screen.tapOnEnableBiometricsSwitch();
      XCTAssert(switchValue(screen) == "0", "Enable Switch is off as expected");
    });
  }

  void testBiometricsPreferenceEnableDisableBiometricSwitch() {
    eachRowOnSettings(LoginScreen::BiometricEnrollAlertResponse::Cancel, false,
                      [&](BiometricsPreferencesScreen& screen) {
                        if (switchValue(screen) == "1") {
                          screen.tapOnEnableBiometricsSwitch();
                          // Turning it off is confirmed too; the alert covers the switch.
                          if (screen.enableBiometricsAlertDisabled.exists()) screen.tapOkAlert();
                        }
                        screen.tapOnEnableBiometricsSwitch();
                        XCTAssert(screen.enableBiometricsAlertEnabled.exists());
                        screen.tapOkAlert();
                        screen.tapOnEnableBiometricsSwitch();
                        XCTAssert(screen.enableBiometricsAlertDisabled.exists());
                        screen.tapOkAlert();
                      });
  }

 private:
  // For every row: relaunch (rows after the first; a signed-in app cannot sign in again), sign
  // in, open the More tab and the biometric settings, wait for the page, run `checks`.
  void eachRowOnSettings(LoginScreen::BiometricEnrollAlertResponse enrollBio, bool waitAfterMoreTab,
                         const std::function<void(BiometricsPreferencesScreen&)>& checks) {
    const std::string file = "BiometricsPreferencesTestData";
    auto rows = CommonFunctions::loadDataSourceArray(file);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      TestDataRow row(rows[r], file, r);
      std::string username = row.string("username");
      std::string password = row.string("password");
      if (r > 0) setUp();
      LoginScreen loginScreen;
      loginScreen.performLogin(username, password, *this, enrollBio);
      LandingScreen().tapOnMoreButton();
      if (waitAfterMoreTab) BaseScreen::waitForLoading(*this);
      MoreScreen(*app).tapOnBiometricSettingButton();
      BaseScreen::waitForLoading(*this);
      BiometricsPreferencesScreen screen;
      expectation(NSPredicate("exists == TRUE"), screen.pageTitle);
      waitForExpectations(15);
      checks(screen);
    }
  }

  // The enable switch's value; a switch without one cannot be run and fails the test.
  std::string switchValue(BiometricsPreferencesScreen& screen) {
    std::optional<std::string> value = screen.EnableBiometrics.value();
    if (!value) XCTFail("The EnableBiometrics switch has no value");
    return value.value_or("");
  }

};

XCTEST_CLASS(BiometricsPreferences)
XCTEST_METHOD(BiometricsPreferences, testBiometricsPreferenceCopy)
XCTEST_METHOD(BiometricsPreferences, testBiometricsPreferenceStoreBiometricSwitchOff)
XCTEST_METHOD(BiometricsPreferences, testBiometricsPreferenceEnableDisableBiometricSwitch)
