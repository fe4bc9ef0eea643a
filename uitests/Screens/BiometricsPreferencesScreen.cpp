#include "Screens/BiometricsPreferencesScreen.h"

#include "Utility/DeviceUtil.h"

namespace {

// The last note, found by its whole text: the text goes to the predicate as an argument, so its
// typographic apostrophe (and any quote) is compared as written.
XCUIElement noteByText(const XCUIApplication& app, const std::string& text) {
  return app.scrollViews().staticTexts().matching(NSPredicate("label == %@", text)).element();
}

std::string note3Text(const std::string& kind) {
  return "You are responsible for all transactions when you enable " + kind +
         " login as your password, regardless of whether or not they\u2019re completed by you or anyone else with "
         "a " + kind + " saved to this device.";
}

}  // namespace

BiometricsPreferencesScreen::BiometricsPreferencesScreen()
    : BaseScreen(),
      kind_(DeviceUtil::getBiometricTypeName()),
      pageTitle(app.navigationBars()[kind_].otherElements()[kind_]),
      securityNote(app.scrollViews().staticTexts()["Security Note"]),
      note1(app.scrollViews().staticTexts()["By enabling " + kind_ + " login you agree to the following:"]),
      note2(app.scrollViews().staticTexts()["Any " + kind_ + " saved to this device can be used to access Corvane Mobile."]),
      note3(noteByText(app, note3Text(kind_))),
      EnableBiometrics(app.switches()["EnableBiometrics"]),
      StoreBiometrics(app.switches()["StoreBiometrics"]),
      alertOkayButton(app.alerts().buttons()["OK"]),
      enableBiometricsAlertEnabled(app.alerts().staticTexts()["You've successfully enabled " + kind_ + "."]),
      enableBiometricsAlertDisabled(app.alerts().staticTexts()["You've successfully disabled " + kind_ + "."]) {}

void BiometricsPreferencesScreen::tapOnEnableBiometricsSwitch() { tap(EnableBiometrics); }

void BiometricsPreferencesScreen::tapOkAlert() { tap(alertOkayButton); }
