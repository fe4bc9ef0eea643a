// The e-Transfer preferences page objects against the simulated app, with the loading time on:
// texts with apostrophes and "%" go into predicates as arguments, an account is told apart from
// one whose name contains its name, and the success alert comes only after the save's wait.
#include <gtest/gtest.h>

#include "Screens/AutodepositCreateEditScreen.h"
#include "Screens/ETransferPreferencesScreen.h"
#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "app/VesmoraApp.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

namespace {

class ETransferProbe : public XCTestCase {};

class ETransferScreenTest : public ::testing::Test {
 protected:
  ETransferScreenTest() {
    sim::Device::shared().reset();
    vesmora::installVesmora(sim::Device::shared());
    vesmora::installedTestBackend().reseed();
    sim::Device::shared().setDefaultLaunchEnvironment({{"VESMORA_LOADING_SECONDS", "2"}});
  }
  ~ETransferScreenTest() override {
    sim::Device::shared().reset();
    vesmora::installedTestBackend().reseed();
  }

  ETransferPreferencesScreen open(const std::string& user, const std::string& password) {
    XCUIApplication().launch();
    LoginScreen().performLogin(user, password, probe, LoginScreen::BiometricEnrollAlertResponse::Cancel);
    LandingScreen().tapOnMoreButton();
    XCUIApplication().tables().staticTexts().matching("MoreViewInteractPreferences").element().tap();
    BaseScreen::waitForLoading(probe, 20);
    return ETransferPreferencesScreen(XCUIApplication());
  }

  std::string registeredAccount(const std::string& user) {
    auto list = vesmora::installedTestBackend().autodeposits(user);
    return list.empty() ? "" : list.back().accountId;
  }

  ETransferProbe probe;
  int failuresBefore = xctest::unattributedFailureCount();
  int failures() const { return xctest::unattributedFailureCount() - failuresBefore; }
};

}  // namespace

TEST(AutodepositScreen, DeleteMessageNamesTheAddressAsIs) {
  EXPECT_EQ(AutodepositCreateEditScreen::deleteMessageFor("a@b.com"), "This will remove a@b.com from your Autodeposit profile.");
  EXPECT_EQ(AutodepositCreateEditScreen::deleteMessageFor("<handle>@b.com"),
            "This will remove <handle>@b.com from your Autodeposit profile.")
      << "an address holding the placeholder is not replaced again";
}

TEST_F(ETransferScreenTest, AddressWithApostropheAndPercentIsRegisteredFoundAndDeleted) {
  auto preferences = open("etprefs04", "Cedar#4440");
  const std::string address = "o'neil%50@corvane-test.com";
  preferences.registerAutodeposit(probe, address, "Children's Savings", "001-93400000002");
  EXPECT_EQ(registeredAccount("etprefs04"), "dep-kids-etprefs04");
  XCUIElement cell = preferences.cellElement(address);
  ASSERT_TRUE(cell.exists());
  cell.tap();
  AutodepositCreateEditScreen editor(XCUIApplication(), AutodepositCreateEditType::edit);
  editor.deleteNavigationButton.tap();
  std::string expected = AutodepositCreateEditScreen::deleteMessageFor(address);
  EXPECT_TRUE(XCUIApplication().alerts().staticTexts().matching(NSPredicate("label == %@", expected)).element().exists());
  editor.deleteAlertConfirmButton.tap();
  BaseScreen::waitForLoading(probe, 20);
  EXPECT_TRUE(vesmora::installedTestBackend().autodeposits("etprefs04").empty());
  EXPECT_EQ(failures(), 0);
}

TEST_F(ETransferScreenTest, AccountIsPickedByNumberAmongNamesThatContainEachOther) {
  auto preferences = open("etprefs02", "Cedar#4420");
  preferences.autodepositRegisterButton.tap();
  AutodepositCreateEditScreen editor(XCUIApplication(), AutodepositCreateEditType::create);
  editor.typeOnEmail("quinn.plus@corvane-test.com");
  EXPECT_FALSE(editor.doneToolbarButton.exists()) << "Done puts the keyboard away";
  editor.selectAccount("Everyday Chequing", "001-93200000002");
  EXPECT_EQ(editor.accountTextField.value(), std::optional<std::string>("Everyday Chequing Plus (001-93200000002)"));
  editor.saveButton.tap();
  EXPECT_TRUE(editor.loadingIndicator.exists());
  EXPECT_FALSE(editor.alertSuccessfulTitle.exists()) << "the alert waits for the bank";
  BaseScreen::waitForLoading(probe, 20);
  EXPECT_TRUE(editor.alertSuccessfulTitle.exists());
  editor.alertOkButton.tap();
  EXPECT_EQ(registeredAccount("etprefs02"), "dep-sav-etprefs02");
  EXPECT_TRUE(preferences.autodepositRegisterAnotherButton.exists());
  EXPECT_EQ(failures(), 0);
}
