// Biometric sign-in and the More tab's pages as drawn on the simulated device.
#include <gtest/gtest.h>

#include "app/VesmoraApp.h"
#include "model/AppStore.h"
#include "xcuitest/XCUITest.h"

using namespace vesmora;

namespace {

class BiometricOnDevice : public ::testing::Test {
 protected:
  BiometricOnDevice() : device(sim::Device::shared()), installed(install(device)) {}
  static bool install(sim::Device& d) {
    d.reset();
    installVesmora(d);
    d.setDefaultLaunchEnvironment({{VesmoraApp::kLoadingSecondsKey, "0"}});  // answers at once
    return true;
  }
  ~BiometricOnDevice() override { device.reset(); }

  void signIn(const std::string& user, const std::string& password) {
    app.textFields()["userNameTextField"].tap();
    app.textFields()["userNameTextField"].typeText(user);
    app.secureTextFields()["passwordTextField"].tap();
    app.secureTextFields()["passwordTextField"].typeText(password);
    app.buttons()["loginButton"].tap();
  }
  void signInAcceptingBiometricsAndOut() {
    signIn("2038556", "480917");
    app.alerts()["biometricEnrollAlert"].buttons()["OK"].tap();
    app.tabBars().buttons()["More"].tap();
    app.navigationBars().buttons()["Log out"].tap();
  }

  sim::Device& device;
  bool installed;
  XCUIApplication app;
  XCUIApplication springboard{sim::kSpringboardBundleIdentifier};
};

}  // namespace

TEST_F(BiometricOnDevice, ATouchIDDeviceHearsFingersOnly) {
  device.setBiometryKind(sim::BiometryKind::touchID);
  app.launch();
  signInAcceptingBiometricsAndOut();
  app.buttons()["biometricLoginButton"].tap();
  EXPECT_FALSE(springboard.alerts().element().exists()) << "Touch ID asks no permission";
  notify_post("com.apple.BiometricKit_Sim.pearl.match");
  EXPECT_TRUE(app.staticTexts()["Welcome"].exists());
  notify_post("com.apple.BiometricKit_Sim.fingerTouch.match");
  EXPECT_TRUE(app.tabBars().buttons()["Overview"].exists());
}

TEST_F(BiometricOnDevice, TheFaceIDPromptGoesWithTheAppAndTheHomeButtonCancelsAScan) {
  app.launch();
  signInAcceptingBiometricsAndOut();
  app.buttons()["biometricLoginButton"].tap();
  XCUIElement allow = springboard.alerts().buttons()["OK"];
  ASSERT_TRUE(allow.exists());
  app.launch();  // relaunched: the unanswered prompt is gone, the sign-in screen usable
  EXPECT_FALSE(allow.exists());
  EXPECT_TRUE(app.buttons()["biometricLoginButton"].isHittable());

  app.buttons()["biometricLoginButton"].tap();
  allow.tap();
  EXPECT_EQ(AppStore(device.storage(VesmoraApp::kBundleIdentifier)).faceIDPermission(), "allowed");
  XCUIDevice::shared().press(XCUIDeviceButton::home);
  notify_post("com.apple.BiometricKit_Sim.pearl.match");
  EXPECT_TRUE(app.staticTexts()["Welcome"].exists()) << "the background app's last screen";
  app.activate();
  notify_post("com.apple.BiometricKit_Sim.pearl.match");
  EXPECT_TRUE(app.staticTexts()["Welcome"].exists()) << "the scan was cancelled, not paused";
}

TEST_F(BiometricOnDevice, MorePagesOpenAndTheirBackButtonAndTheTabReturnToTheMenu) {
  app.launch();
  signIn("2038556", "480917");
  app.alerts()["biometricEnrollAlert"].buttons()["Cancel"].tap();
  app.tabBars().buttons()["More"].tap();
  app.tables().staticTexts()["Contact us"].tap();
  EXPECT_TRUE(app.navigationBars()["Contact us"].otherElements()["Contact us"].exists());
  EXPECT_TRUE(app.buttons()["clientcare@corvane.com"].exists());
  app.tabBars().buttons()["More"].tap();
  EXPECT_TRUE(app.navigationBars().buttons()["Log out"].exists());

  app.staticTexts()["Biometric settings"].tap();
  EXPECT_TRUE(app.navigationBars()["Face ID"].otherElements()["Face ID"].exists());
  EXPECT_EQ(app.switches()["EnableBiometrics"].value(), std::optional<std::string>("0"));
  app.navigationBars()["Face ID"].buttons()["More"].tap();
  EXPECT_TRUE(app.tables().staticTexts()["More"].exists());
}
