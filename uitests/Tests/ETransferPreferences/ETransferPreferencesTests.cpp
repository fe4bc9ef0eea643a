// The e-Transfer preferences screen in three account states: no sender profile, a profile without
// autodeposit registrations, and a profile with registrations (one is registered first when the
// account has none).
#include <cstdint>
#include <optional>

#include "Extensions/XCUIElementExtensions.h"
#include "Tests/ETransferPreferences/ETransferPreferencesSteps.h"
#include "dispatch/Random.h"

class ETransferPreferencesTests : public ETransferPreferencesTestCase {
 public:
  void testNoProfile() {
    auto record = etransfer::readRecord("noInteractProfile");
    if (!record) return;
    std::string username = record->string("username");
    std::string password = record->string("password");
    auto screen = etransfer::signInAndOpenPreferences(*this, *app, etransfer::Route::noProfile, username, password);
    XCTAssertTrue(screen.interactProfileTitleLabel.exists());
    XCTAssertTrue(screen.interactProfileDescriptionLabel.exists());
    XCUIElement createProfileButton = app->buttons()["Create profile"];
    if (createProfileButton.exists()) {
      XCTAssertTrue(createProfileButton.exists());
      XCTAssertTrue(isVisible(createProfileButton));
      XCTAssertFalse(screen.interactProfileEmailEntryComponent.exists());
      XCTAssertFalse(screen.interactProfileNameEntryComponent.exists());
      XCTAssertTrue(screen.autodepositLabel.exists());
      XCTAssertTrue(screen.autodepositDescriptionNoProfileLabel.exists());
      XCTAssertFalse(screen.autodepositDescriptionHasProfileLabel.exists());
      XCTAssertFalse(screen.autodepositRegisterButton.exists());
      XCTAssertFalse(screen.autodepositRegisterAnotherButton.exists());
    }
    assertNoRegistrationListed(screen);
  }

  void testNoRegistrations() {
    auto record = etransfer::readRecord("noAutoDepositRegistrations");
    if (!record) return;
    std::string username = record->string("username");
    std::string password = record->string("password");
    auto screen = etransfer::signInAndOpenPreferences(*this, *app, etransfer::Route::stateChecks, username, password);
    assertProfileShown(screen);
    XCTAssertTrue(screen.autodepositLabel.exists());
    XCTAssertFalse(screen.autodepositDescriptionNoProfileLabel.exists());
    XCTAssertTrue(screen.autodepositDescriptionHasProfileLabel.exists());
    XCTAssertTrue(screen.autodepositRegisterButton.exists());
    XCTAssertFalse(screen.autodepositRegisterAnotherButton.exists());
    assertNoRegistrationListed(screen);
  }

  void testHasRegistrations() {
    auto record = etransfer::readRecord("hasAutoDepositRegistrations");
    if (!record) return;
    std::string username = record->string("username");
    std::string password = record->string("password");
    std::string accountName = record->string("accountName");
    std::string accountNumber = record->string("accountNumber");
    auto screen = etransfer::signInAndOpenPreferences(*this, *app, etransfer::Route::stateChecks, username, password);
    assertProfileShown(screen);
    if (screen.autodepositRegisterButton.exists()) {
      screen.registerAutodeposit(*this, generatedAddress(), accountName, accountNumber);
    }
    XCTAssertTrue(screen.autodepositLabel.exists());
    XCTAssertFalse(screen.autodepositDescriptionNoProfileLabel.exists());
    XCTAssertTrue(screen.autodepositDescriptionHasProfileLabel.exists());
    XCTAssertFalse(screen.autodepositRegisterButton.exists());
    XCTAssertTrue(screen.autodepositRegisterAnotherButton.exists());
    XCTAssertTrue(screen.autodepositStatusLabel.exists());
    XCTAssertTrue(screen.autodepositEmailHeadingLabel.exists());
    XCTAssertTrue(screen.autodepositEmailHeadingLabel.label() == "Email");
    XCTAssertTrue(screen.autodepositEmailLabel.exists());
    XCTAssertTrue(screen.autodepositAccountHeadingLabel.exists());
    XCTAssertTrue(screen.autodepositAccountHeadingLabel.label() == "Account");
    XCTAssertTrue(screen.autodepositAccountNameLabel.exists());
    XCTAssertTrue(screen.autodepositAccountNumberLabel.exists());
  }

 private:
  // Title, description, no "Create profile", both entries existing and visible.
  void assertProfileShown(ETransferPreferencesScreen& screen) {
    XCTAssertTrue(screen.interactProfileTitleLabel.exists());
    XCTAssertTrue(screen.interactProfileDescriptionLabel.exists());
    XCUIElement createProfileButton = app->buttons()["Create profile"];
    XCTAssertFalse(createProfileButton.exists());
    XCTAssertTrue(screen.interactProfileEmailEntryComponent.exists());
    XCTAssertTrue(screen.interactProfileNameEntryComponent.exists());
    XCTAssertTrue(isVisible(screen.interactProfileEmailEntryComponent));
    XCTAssertTrue(isVisible(screen.interactProfileNameEntryComponent));
  }

  void assertNoRegistrationListed(ETransferPreferencesScreen& screen) {
    XCTAssertFalse(screen.autodepositStatusLabel.exists());
    XCTAssertFalse(screen.autodepositEmailHeadingLabel.exists());
    XCTAssertFalse(screen.autodepositEmailLabel.exists());
    XCTAssertFalse(screen.autodepositAccountHeadingLabel.exists());
    XCTAssertFalse(screen.autodepositAccountNameLabel.exists());
    XCTAssertFalse(screen.autodepositAccountNumberLabel.exists());
  }

  // "anyfake" and a number from 99 to 1998 at the test-mail domain; a fresh number each run (the
  // same at a pinned start, as every draw of the tests).
  static std::string generatedAddress() {
    const std::uint32_t number = 99 + platform::Random::current()->uniform(1900);
    return "anyfake" + std::to_string(number) + "@" + etransfer::kTestMailDomain;
  }

};

XCTEST_CLASS(ETransferPreferencesTests)
XCTEST_METHOD(ETransferPreferencesTests, testNoProfile)
XCTEST_METHOD(ETransferPreferencesTests, testNoRegistrations)
XCTEST_METHOD(ETransferPreferencesTests, testHasRegistrations)
