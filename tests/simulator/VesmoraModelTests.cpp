#include <gtest/gtest.h>

#include "model/TestBackend.h"
#include "model/VesmoraModel.h"

using namespace vesmora;

namespace {

const char* const kL40 = "---------|---------|---------|---------|";
const char* const kL32 = "---------|---------|---------|--";

class Model : public ::testing::Test {
 protected:
  Model() : backend(TestBackend::defaultFixturePath()) {}

  std::unique_ptr<VesmoraModel> launch(LaunchSettings settings = {}, Biometry biometry = Biometry::face) {
    return std::make_unique<VesmoraModel>(AppStore(storage), backend, settings, biometry);
  }
  void signInTo(VesmoraModel& m, const std::string& user, const std::string& password) {
    m.typeText(Field::userName, user);
    m.typeText(Field::password, password);
    m.tapLogin();
  }

  std::map<std::string, std::string> storage;
  TestBackend backend;
};

}  // namespace

TEST_F(Model, CredentialFieldsKeepTheirFirst32CharactersTypedOrPasted) {
  auto m = launch();
  m->typeText(Field::userName, kL40);
  EXPECT_EQ(m->userNameText(), kL32);
  m->typeText(Field::password, kL40);
  EXPECT_EQ(m->password(), kL32);
  m->typeText(Field::userName, std::string(32, '\b'));
  EXPECT_EQ(m->userNameText(), "");
  m->paste(Field::userName, kL40);
  EXPECT_EQ(m->userNameText(), kL32);
  // A paste into a field that already holds text fills it up to the limit only.
  m->typeText(Field::password, std::string(2, '\b'));
  m->paste(Field::password, "abcdef");
  EXPECT_EQ(m->password(), std::string(kL32).substr(0, 30) + "ab");
  // Characters count as code points, not bytes; a delete removes a whole one.
  m->typeText(Field::password, std::string(32, '\b'));
  std::string accented;
  for (int i = 0; i < 40; ++i) accented += "\u00e9";
  m->paste(Field::password, accented);
  EXPECT_EQ(m->password().size(), 64u);
  m->typeText(Field::password, "\b");
  EXPECT_EQ(m->password().size(), 62u);
}

TEST_F(Model, PasswordShowsAndHides) {
  auto m = launch();
  m->typeText(Field::password, "480917");
  EXPECT_FALSE(m->passwordVisible());
  m->tapShowPassword();
  EXPECT_TRUE(m->passwordVisible());
  m->tapShowPassword();
  EXPECT_FALSE(m->passwordVisible());
  EXPECT_EQ(m->password(), "480917");
}

TEST_F(Model, RememberMeSwitchFollowsTheUserNameField) {
  auto m = launch();
  EXPECT_FALSE(m->rememberMeOn());
  EXPECT_FALSE(m->rememberMeEnabled());
  m->tapRememberMe();  // disabled: nothing happens
  EXPECT_FALSE(m->rememberMeOn());

  m->typeText(Field::userName, "2038556");
  EXPECT_TRUE(m->rememberMeEnabled());
  m->tapRememberMe();
  m->typeText(Field::userName, "_1");
  m->tapRememberMe();
  EXPECT_FALSE(m->rememberMeOn());
  EXPECT_EQ(m->userNameText(), "2038556_1") << "an unsaved name survives the switch";
  m->tapRememberMe();
  m->typeText(Field::userName, "\b\b");
  m->typeText(Field::password, "480917");
  m->tapLogin();
  ASSERT_TRUE(m->alert().has_value());
  EXPECT_EQ(m->alert()->identifier, "biometricEnrollAlert");
  m->tapAlertButton("Cancel");
  EXPECT_EQ(m->screen(), Screen::landing);
  m->logOut();

  // Saved: shown masked, switch on and enabled, also after a relaunch.
  for (int launchNo = 0; launchNo < 2; ++launchNo) {
    if (launchNo == 1) m = launch();
    EXPECT_EQ(m->screen(), Screen::signIn);
    EXPECT_TRUE(m->rememberMeOn());
    EXPECT_TRUE(m->rememberMeEnabled());
    EXPECT_EQ(m->userNameText(), "20\u2022\u2022\u202256");
  }
  // Signing in with the remembered name needs only the password.
  m->typeText(Field::password, "480917");
  m->tapLogin();
  EXPECT_EQ(m->signedInUser(), "2038556");
  m->tapAlertButton("Cancel");
  m->logOut();

  m->tapRememberMe();
  EXPECT_FALSE(m->rememberMeOn());
  EXPECT_FALSE(m->rememberMeEnabled());
  EXPECT_EQ(m->userNameText(), "");
  EXPECT_FALSE(AppStore(storage).rememberedUserName().has_value());
}

TEST_F(Model, SigningInWithoutTheSwitchForgetsASavedName) {
  AppStore(storage).setRememberedUserName("2048887");
  auto m = launch({}, Biometry::none);
  m->tapRememberMe();  // off: forgets
  signInTo(*m, "2038556", "480917");
  EXPECT_EQ(m->screen(), Screen::landing);
  EXPECT_FALSE(AppStore(storage).rememberedUserName().has_value());
  EXPECT_EQ(VesmoraModel::maskedUserName("abc"), "\u2022\u2022\u2022c");
}

TEST_F(Model, WrongPasswordUnknownUserAndLockedAccountShowErrors) {
  auto m = launch();
  signInTo(*m, "2038556", "000000");
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->title, "Error");
  EXPECT_EQ(m->alert()->message, texts::kInvalidCredentials);
  m->tapLogin();  // blocked by the alert
  m->tapAlertButton("OK");
  EXPECT_FALSE(m->alert());
  EXPECT_EQ(m->password(), "");

  m->typeText(Field::userName, std::string(7, '\b') + "lockeduser01");
  m->typeText(Field::password, "Aspen#9001");
  m->tapLogin();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, texts::kAccountLocked);
  m->tapAlertButton("OK");

  m->tapLogin();  // empty password
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, texts::kMissingCredentials);
  EXPECT_EQ(m->screen(), Screen::signIn);
}

TEST_F(Model, ChallengeCorrectWrongAndCancel) {
  auto m = launch({}, Biometry::none);
  signInTo(*m, "rsauser01", "Birch#3304");
  ASSERT_EQ(m->screen(), Screen::challenge);
  EXPECT_EQ(m->challengeQuestion(), "What is the name of your childhood street?");

  m->typeText(Field::challengeAnswer, "MismatchedReplyValueX");
  m->tapChallengeSubmit();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->title, "Incorrect Answer");
  EXPECT_EQ(m->alert()->message, texts::kIncorrectAnswerMessage);
  m->tapAlertButton("OK");
  EXPECT_EQ(m->screen(), Screen::challenge);
  EXPECT_EQ(m->challengeAnswer(), "");

  m->tapChallengeClose();
  EXPECT_EQ(m->screen(), Screen::signIn);
  EXPECT_EQ(m->password(), "");

  signInTo(*m, "rsauser01", "Birch#3304");
  m->typeText(Field::challengeAnswer, "Street");
  m->tapChallengeSubmit();
  EXPECT_EQ(m->screen(), Screen::landing);
  EXPECT_EQ(m->signedInUser(), "rsauser01");
}

TEST_F(Model, AnotherUserThanLastTimeMustBeConfirmed) {
  AppStore(storage).setLastSignedInUser("2048887");
  auto m = launch({}, Biometry::none);
  signInTo(*m, "2038556", "480917");
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->title, "Confirm Authenticated User");
  m->tapAlertButton("Cancel");
  EXPECT_EQ(m->screen(), Screen::signIn);
  m->typeText(Field::password, "480917");
  m->tapLogin();
  m->tapAlertButton("OK");
  EXPECT_EQ(m->screen(), Screen::landing);
  EXPECT_EQ(AppStore(storage).lastSignedInUser(), "2038556");
  m->logOut();
  // The same user again: no question.
  signInTo(*m, "2038556", "480917");
  EXPECT_FALSE(m->alert());
  EXPECT_EQ(m->screen(), Screen::landing);
}

TEST_F(Model, BiometricOfferComesOverTheLandingPageUntilAccepted) {
  auto m = launch({}, Biometry::touch);
  signInTo(*m, "2038556", "480917");
  EXPECT_EQ(m->screen(), Screen::landing);
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->title, "Log in with Touch ID");
  m->selectTab(Tab::more);  // blocked
  EXPECT_EQ(m->tab(), Tab::overview);
  m->tapAlertButton("OK");
  EXPECT_TRUE(AppStore(storage).biometricLoginEnabled());
  m->logOut();
  signInTo(*m, "2038556", "480917");
  EXPECT_FALSE(m->alert());
}

TEST_F(Model, TestSettingsSelectTheMockBehaviour) {
  auto settings = LaunchSettings::fromArguments({"-x", "firstBiometricsLoginOptinIgnored", "userChangeIgnored"});
  EXPECT_TRUE(settings.usesMockBackend());
  EXPECT_FALSE(LaunchSettings::fromArguments({"-x"}).usesMockBackend());
  AppStore(storage).setLastSignedInUser("someone");
  auto m = launch(settings, Biometry::face);
  signInTo(*m, "2038556", "480917");
  EXPECT_FALSE(m->alert()) << "no user-change question, no biometric offer";
  EXPECT_EQ(m->screen(), Screen::landing);
}

TEST_F(Model, SurveyAndTabsAndLogOut) {
  auto m = launch({}, Biometry::none);
  signInTo(*m, "surveyuser01", "Cedar#5120");
  EXPECT_TRUE(m->surveyShown());
  m->selectTab(Tab::more);
  EXPECT_EQ(m->tab(), Tab::overview) << "the survey covers the tab bar";
  m->dismissSurvey();
  m->selectTab(Tab::more);
  EXPECT_EQ(m->tab(), Tab::more);
  EXPECT_EQ(m->customerName(), "Morgan Castellano");
  EXPECT_EQ(m->accountSummaries().at("/deposits").size(), 1u);
  m->logOut();
  EXPECT_EQ(m->screen(), Screen::signIn);
  EXPECT_TRUE(m->signedInUser().empty());
}

TEST_F(Model, ARequestInProgressTakesNoInputUntilItsAnswerArrives) {
  LaunchSettings settings;
  settings.loadingSeconds = 2;
  AppStore(storage).setLastSignedInUser("2038556");
  auto m = launch(settings, Biometry::none);
  signInTo(*m, "2038556", "480917");
  ASSERT_TRUE(m->loading());
  EXPECT_EQ(m->screen(), Screen::signIn);
  m->tapLogin();  // a second tap sends nothing more
  m->typeText(Field::password, "x");
  m->tapShowPassword();
  EXPECT_FALSE(m->passwordVisible());
  m->finishLoading();
  EXPECT_FALSE(m->loading());
  EXPECT_EQ(m->screen(), Screen::landing);
  m->finishLoading();  // no request: nothing happens
  EXPECT_EQ(m->screen(), Screen::landing);

  m->selectTab(Tab::moveMoney);
  EXPECT_TRUE(m->loading());
  m->selectTab(Tab::more);  // covered by the request
  m->logOut();
  EXPECT_EQ(m->tab(), Tab::moveMoney);
  m->finishLoading();
  m->selectTab(Tab::overview);
  EXPECT_FALSE(m->loading()) << "the overview needs no request";
}

TEST_F(Model, TheUserChangeQuestionComesBeforeTheRequest) {
  LaunchSettings settings;
  settings.loadingSeconds = 2;
  AppStore(storage).setLastSignedInUser("2048887");
  auto m = launch(settings, Biometry::none);
  signInTo(*m, "2038556", "000000");  // a wrong password is found out only by the request
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->title, "Confirm Authenticated User");
  EXPECT_FALSE(m->loading());
  m->tapAlertButton("OK");
  EXPECT_TRUE(m->loading());
  m->finishLoading();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, texts::kInvalidCredentials);
  EXPECT_EQ(AppStore(storage).lastSignedInUser(), "2048887");
}
