// The biometric settings page that the More tab opens. Its texts name the device's biometry
// ("Face ID" or "Touch ID").
#pragma once

#include <string>

#include "Utility/BaseScreen.h"

class BiometricsPreferencesScreen : public BaseScreen {
 private:
  std::string kind_;  // DeviceUtil::getBiometricTypeName(), read once

 public:
  BiometricsPreferencesScreen();

  XCUIElement pageTitle;
  XCUIElement securityNote;
  XCUIElement note1;
  XCUIElement note2;
  XCUIElement note3;
  // Switches: value "1" on, "0" off.
  XCUIElement EnableBiometrics;
  XCUIElement StoreBiometrics;
  XCUIElement alertOkayButton;
  XCUIElement enableBiometricsAlertEnabled;
  XCUIElement enableBiometricsAlertDisabled;

  void tapOnEnableBiometricsSwitch();
  void tapOkAlert();
};
