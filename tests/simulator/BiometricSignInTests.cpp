// Biometric sign-in and the biometric settings page of the app's model.
#include <gtest/gtest.h>

#include "model/TestBackend.h"
#include "model/VesmoraModel.h"

using namespace vesmora;

namespace {

class Biometric : public ::testing::Test {
 protected:
  Biometric() : backend(TestBackend::defaultFixturePath()) {}

  std::unique_ptr<VesmoraModel> launch(Biometry biometry = Biometry::face) {
    auto m = std::make_unique<VesmoraModel>(AppStore(storage), backend, LaunchSettings{}, biometry);
    m->setBiometricEnrollment([this] { return enrolled; });
    return m;
  }
  // Signs in with the password and answers the biometric offer; ends signed out.
  void signInAndOut(VesmoraModel& m, const std::string& user, const std::string& password, const char* answer) {
    m.typeText(Field::userName, user);
    m.typeText(Field::password, password);
    m.tapLogin();
    if (m.alert() && m.alert()->kind == Alert::Kind::confirmUser) m.tapAlertButton("OK");
    if (m.alert() && m.alert()->kind == Alert::Kind::biometricEnroll) m.tapAlertButton(answer);
    m.dismissSurvey();
    ASSERT_EQ(m.screen(), Screen::landing);
    m.logOut();
  }
  void openSettings(VesmoraModel& m) {
    m.selectTab(Tab::more);
    m.openBiometricSettings();
    ASSERT_EQ(m.morePage(), MorePage::biometricSettings);
  }

  std::map<std::string, std::string> storage;
  TestBackend backend;
  bool enrolled = true;
};

}  // namespace

TEST_F(Biometric, FaceIDAsksPermissionOnceThenAMatchSignsInTheUserWhoTurnedItOn) {
  AppStore(storage).setRememberedUserName("2048887");
  auto m = launch();
  signInAndOut(*m, "2038556", "480917", "OK");
  EXPECT_EQ(AppStore(storage).biometricUser(), "2038556");
  AppStore(storage).setRememberedUserName("2048887");

  m->tapBiometricLogin();
  EXPECT_EQ(m->biometricPrompt(), BiometricPrompt::permission);
  m->biometricScanned(true);  // no scan before the permission is given
  EXPECT_EQ(m->screen(), Screen::signIn);
  m->answerFaceIDPermission(true);
  EXPECT_EQ(m->biometricPrompt(), BiometricPrompt::scanning);
  m->biometricScanned(false);
  EXPECT_EQ(m->screen(), Screen::signIn) << "a face that does not match signs nobody in";
  EXPECT_FALSE(m->alert());

  m->tapBiometricLogin();
  EXPECT_EQ(m->biometricPrompt(), BiometricPrompt::scanning) << "the permission is asked once";
  m->biometricScanned(true);
  EXPECT_EQ(m->screen(), Screen::landing);
  EXPECT_EQ(m->signedInUser(), "2038556");
  EXPECT_EQ(AppStore(storage).rememberedUserName(), "2048887") << "the remembered name is left alone";
}

TEST_F(Biometric, AMatchWaitsForTheBankLikeAPassword) {
  auto m = launch(Biometry::touch);
  signInAndOut(*m, "2038556", "480917", "OK");
  LaunchSettings slow;
  slow.loadingSeconds = 2;
  VesmoraModel app(AppStore(storage), backend, slow, Biometry::touch);
  app.tapBiometricLogin();
  app.biometricScanned(true);
  EXPECT_TRUE(app.loading());
  EXPECT_EQ(app.screen(), Screen::signIn);
  app.tapBiometricLogin();  // beneath the loading overlay
  app.finishLoading();
  EXPECT_EQ(app.screen(), Screen::landing);
  EXPECT_FALSE(app.loading());
}

TEST_F(Biometric, EachReasonNotToScanHasItsAlert) {
  auto m = launch(Biometry::touch);
  m->tapBiometricLogin();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->kind, Alert::Kind::biometricNotTurnedOn);
  m->tapAlertButton("OK");

  signInAndOut(*m, "2038556", "480917", "OK");
  enrolled = false;
  m->tapBiometricLogin();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->title, "Vesmora");
  EXPECT_EQ(m->alert()->message, "Touch ID is not available. Please login with username and password.");
  m->tapAlertButton("OK");

  enrolled = true;
  m->tapBiometricLogin();
  EXPECT_EQ(m->biometricPrompt(), BiometricPrompt::scanning) << "Touch ID needs no permission";
  m->enteredBackground();
  m->biometricScanned(true);
  EXPECT_EQ(m->screen(), Screen::signIn) << "leaving the screen cancels the scan";

  auto denied = launch(Biometry::face);
  denied->tapBiometricLogin();
  denied->answerFaceIDPermission(false);
  ASSERT_TRUE(denied->alert());
  EXPECT_EQ(denied->alert()->message, "Face ID is not available. Please login with username and password.");
}

TEST_F(Biometric, AnotherUserSigningInTurnsTheFirstUsersBiometricSignInOff) {
  auto m = launch();
  signInAndOut(*m, "2038556", "480917", "OK");
  m->typeText(Field::userName, "2048887");
  m->typeText(Field::password, "Pine#2048");
  m->tapLogin();
  m->tapAlertButton("OK");  // another user than last time
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->kind, Alert::Kind::biometricEnroll) << "offered again, to the new user";
  EXPECT_FALSE(AppStore(storage).biometricUser().has_value());
  m->tapAlertButton("Cancel");
  m->logOut();
  m->tapBiometricLogin();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->kind, Alert::Kind::biometricNotTurnedOn);
}

TEST_F(Biometric, NoOfferWithoutEnrolmentAndNoSettingsWithoutBiometry) {
  enrolled = false;
  auto m = launch();
  signInAndOut(*m, "2038556", "480917", "OK");
  EXPECT_FALSE(AppStore(storage).biometricLoginEnabled());

  auto none = launch(Biometry::none);
  signInAndOut(*none, "2038556", "480917", "OK");
  none->typeText(Field::userName, "2038556");
  none->typeText(Field::password, "480917");
  none->tapLogin();
  none->selectTab(Tab::more);
  none->openBiometricSettings();
  EXPECT_EQ(none->morePage(), MorePage::menu);
  ASSERT_TRUE(none->alert());
  EXPECT_EQ(none->alert()->kind, Alert::Kind::biometricUnsupported);
}

TEST_F(Biometric, EnableSwitchConfirmsEachChangeAndKeepsItAcrossLaunches) {
  auto m = launch();
  signInAndOut(*m, "2038556", "480917", "Cancel");
  m->typeText(Field::userName, "2038556");
  m->typeText(Field::password, "480917");
  m->tapLogin();
  m->tapAlertButton("Cancel");
  openSettings(*m);
  EXPECT_FALSE(m->biometricLoginOn());

  m->tapEnableBiometrics();
  EXPECT_TRUE(m->biometricLoginOn());
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, "You've successfully enabled Face ID.");
  m->tapEnableBiometrics();  // beneath the alert: nothing happens
  EXPECT_TRUE(m->biometricLoginOn());
  m->tapAlertButton("OK");
  EXPECT_EQ(launch()->biometricLoginOn(), true) << "another launch sees the saved switch";
  EXPECT_EQ(AppStore(storage).biometricUser(), "2038556");

  m->tapEnableBiometrics();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, "You've successfully disabled Face ID.");
  EXPECT_FALSE(launch()->biometricLoginOn());

  m->tapAlertButton("OK");
  m->tapStoreBiometrics();
  EXPECT_TRUE(launch()->storeBiometricsOn());
  m->selectTab(Tab::more);  // the shown tab again: back to the menu
  EXPECT_EQ(m->morePage(), MorePage::menu);
}
