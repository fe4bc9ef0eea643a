// Interac e-Transfer preferences: address checks, the bank's record of profiles and autodeposit
// registrations, and the app's preferences page with its two editors.
#include <gtest/gtest.h>

#include "model/TestBackend.h"
#include "model/VesmoraModel.h"

#include <atomic>
#include <thread>

using namespace vesmora;
using Focus = PreferencesArea::Focus;

TEST(ETransferAddress, WellFormedAddressesAtTheirLimits) {
  EXPECT_TRUE(isWellFormedEmail("a@b.co"));
  EXPECT_TRUE(isWellFormedEmail("o'connor+savings@corvane-test.com")) << "apostrophe and plus are allowed";
  for (const char* bad : {"", "plain", "a@b", "a@b.c", "a@b.c0", "@b.com", "a@.com", "a@b..com", ".a@b.com", "a.@b.com",
                          "a..b@c.com", "a@b@c.com", "a b@c.com", "a@-b.com", "a@b-.com", "a@b.com."}) {
    EXPECT_FALSE(isWellFormedEmail(bad)) << bad;
  }
  std::string local64(64, 'x');
  EXPECT_TRUE(isWellFormedEmail(local64 + "@b.com"));
  EXPECT_FALSE(isWellFormedEmail(local64 + "x@b.com"));
  // 254 characters in all is the most an address may have.
  std::string domain = std::string(63, 'd') + "." + std::string(63, 'e') + "." + std::string(63, 'f') + ".com";
  std::string at254 = std::string(254 - 1 - domain.size(), 'x') + "@" + domain;
  ASSERT_EQ(at254.size(), 254u);
  EXPECT_TRUE(isWellFormedEmail(at254));
  EXPECT_FALSE(isWellFormedEmail("x" + at254));
  EXPECT_EQ(trimmedText(" \t Name Two \n"), "Name Two");
  EXPECT_EQ(trimmedText("   "), "");
}

namespace {

nlohmann::json bankWith(const nlohmann::json& preferences) {
  return {{"users",
           {{{"username", "u1"}, {"password", "p"}, {"name", "One"}, {"accounts", {"c1", "l1"}}},
            {{"username", "u2"}, {"password", "p"}, {"name", "Two"}, {"accounts", {"c2"}}}}},
          {"accounts",
           {{{"id", "c1"}, {"name", "Chequing"}, {"number", "1"}, {"category", "deposit"}, {"currency", "CAD"}, {"balance", "1"}},
            {{"id", "l1"}, {"name", "Loan"}, {"number", "2"}, {"category", "loan"}, {"currency", "CAD"}, {"balance", "1"}},
            {{"id", "c2"}, {"name", "Chequing"}, {"number", "3"}, {"category", "deposit"}, {"currency", "CAD"}, {"balance", "1"}}}},
          {"eTransferPreferences", preferences}};
}

std::string address(int n) { return "reg" + std::to_string(n) + "@corvane-test.com"; }

}  // namespace

TEST(ETransferBank, RegistrationsNeedAProfileAnOwnDepositAccountAndAFreeAddress) {
  TestBackend bank(bankWith({{"u1", {{"profile", {{"name", "One"}, {"email", "one@corvane-test.com"}}}}}}));
  EXPECT_FALSE(bank.registerAutodeposit("u2", {address(0), "c2"})) << "u2 has no profile";
  EXPECT_FALSE(bank.registerAutodeposit("u1", {address(0), "l1"})) << "a loan takes no deposits";
  EXPECT_FALSE(bank.registerAutodeposit("u1", {address(0), "c2"})) << "another customer's account";
  EXPECT_TRUE(bank.registerAutodeposit("u1", {address(0), "c1"}));
  EXPECT_FALSE(bank.registerAutodeposit("u1", {"REG0@Corvane-Test.com", "c1"})) << "addresses compare without case";
  ASSERT_TRUE(bank.saveSenderProfile("u2", {" Two ", "two@corvane-test.com"}));
  EXPECT_EQ(bank.senderProfile("u2")->name, "Two");
  EXPECT_FALSE(bank.registerAutodeposit("u2", {address(0), "c2"})) << "registered by another customer";

  // A customer may register kMaxRegistrations addresses, not one more.
  for (std::size_t n = 1; n < ETransferBook::kMaxRegistrations; ++n) EXPECT_TRUE(bank.registerAutodeposit("u1", {address(n), "c1"}));
  EXPECT_FALSE(bank.registerAutodeposit("u1", {address(99), "c1"}));
  EXPECT_TRUE(bank.deleteAutodeposit("u1", address(2)));
  EXPECT_FALSE(bank.deleteAutodeposit("u1", address(2)));
  EXPECT_FALSE(bank.deleteAutodeposit("u1", "c1")) << "an account id names no registration";
  EXPECT_TRUE(bank.registerAutodeposit("u1", {address(99), "c1"}));
  EXPECT_EQ(bank.autodeposits("u1").front().status, "Pending");

  EXPECT_FALSE(bank.saveSenderProfile("u1", {"  ", "one@corvane-test.com"}));
  EXPECT_FALSE(bank.saveSenderProfile("u1", {"One", "one@corvane-test"}));
  EXPECT_EQ(bank.senderProfile("u1")->email, "one@corvane-test.com") << "a refused save changes nothing";

  bank.reseed();
  EXPECT_TRUE(bank.autodeposits("u1").empty());
  EXPECT_FALSE(bank.senderProfile("u2"));
}

TEST(ETransferBank, FixtureEntriesAreChecked) {
  EXPECT_THROW(TestBackend(bankWith({{"u1", {{"autodeposits", {{{"email", address(1)}, {"account", "c1"}}}}}}})),
               std::runtime_error)
      << "registrations without a profile";
  nlohmann::json profile = {{"name", "One"}, {"email", "one@corvane-test.com"}};
  EXPECT_THROW(TestBackend(bankWith({{"u1", {{"profile", profile}, {"autodeposits", {{{"email", address(1)}, {"account", "l1"}}}}}}})),
               std::runtime_error)
      << "a loan account";
  EXPECT_THROW(TestBackend(bankWith({{"u1", {{"profile", {{"name", ""}, {"email", "one@corvane-test.com"}}}}}})),
               std::runtime_error);
  EXPECT_THROW(TestBackend(bankWith(nlohmann::json::array())), std::runtime_error);
}

TEST(ETransferBank, TwoThreadsRegisteringOneAddressGetItOnce) {
  TestBackend bank(bankWith({{"u1", {{"profile", {{"name", "One"}, {"email", "one@corvane-test.com"}}}}},
                             {"u2", {{"profile", {{"name", "Two"}, {"email", "two@corvane-test.com"}}}}}}));
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> accepted{0};
    std::thread first([&] { accepted += bank.registerAutodeposit("u1", {address(round), "c1"}); });
    std::thread second([&] { accepted += bank.registerAutodeposit("u2", {address(round), "c2"}); });
    first.join();
    second.join();
    EXPECT_EQ(accepted.load(), 1) << "round " << round;
    bank.reseed();
  }
}

namespace {

class Preferences : public ::testing::Test {
 protected:
  Preferences() : backend(TestBackend::defaultFixturePath()) {}

  std::unique_ptr<VesmoraModel> openAs(const std::string& user, const std::string& password, const std::string& faults = "",
                                       double loadingSeconds = 0) {
    LaunchSettings settings;
    settings.faults = Faults::parse(faults);
    settings.loadingSeconds = loadingSeconds;
    auto m = std::make_unique<VesmoraModel>(AppStore(storage), backend, settings, Biometry::none);
    m->typeText(Field::userName, user);
    m->typeText(Field::password, password);
    m->tapLogin();
    m->finishLoading();
    m->selectTab(Tab::more);
    m->openETransferPreferences();
    m->finishLoading();
    return m;
  }

  std::map<std::string, std::string> storage;
  TestBackend backend;
};

}  // namespace

TEST_F(Preferences, PageWaitsForTheBankAndShowsTheCustomersState) {
  auto m = openAs("etprefs03", "Cedar#4430", "", 2);
  EXPECT_EQ(m->morePage(), MorePage::eTransferPreferences);
  EXPECT_TRUE(m->preferences().loaded);
  // With a loading time the page shows only when the bank has answered.
  m->closeMorePage();
  m->openETransferPreferences();
  EXPECT_TRUE(m->loading());
  EXPECT_FALSE(m->preferences().loaded);
  m->openProfileEditor();
  EXPECT_EQ(m->preferences().editor, PreferencesArea::Editor::none) << "nothing to edit before the answer";
  m->finishLoading();
  ASSERT_TRUE(m->preferences().profile);
  EXPECT_EQ(m->preferences().registrations.size(), 2u);
}

TEST_F(Preferences, AutodepositEditorValidatesRegistersAndDeletes) {
  auto m = openAs("etprefs04", "Cedar#4440");
  m->openAutodepositEditor("");
  ASSERT_EQ(m->preferences().editor, PreferencesArea::Editor::autodeposit);
  m->savePreferencesEditor();
  EXPECT_EQ(m->preferences().emailError, texts::kEnterValidEmail);
  EXPECT_EQ(m->preferences().accountError, texts::kSelectDepositAccount);
  m->focusPreferencesField(Focus::profileName);
  EXPECT_EQ(m->preferences().focus, Focus::none) << "the profile's fields are not in this editor";
  m->focusPreferencesField(Focus::autodepositEmail);
  m->typeIntoPreferencesField(Focus::autodepositEmail, "new@corvane-test.comx\b");
  m->openAutodepositAccountSheet();
  m->chooseAutodepositAccount("dep-chq-2038556");
  EXPECT_TRUE(m->preferences().accountSheetOpen) << "another customer's account is not listed";
  m->chooseAutodepositAccount("dep-kids-etprefs04");
  m->savePreferencesEditor();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, texts::kAutodepositRegistered);
  ASSERT_EQ(backend.autodeposits("etprefs04").size(), 1u);
  EXPECT_EQ(backend.autodeposits("etprefs04")[0].email, "new@corvane-test.com");
  m->tapAlertButton("OK");
  EXPECT_EQ(m->preferences().editor, PreferencesArea::Editor::none);

  // Edit mode keeps the address and moves the registration; its Delete asks first.
  m->openAutodepositEditor("new@corvane-test.com");
  m->focusPreferencesField(Focus::autodepositEmail);
  EXPECT_EQ(m->preferences().focus, Focus::none);
  m->tapAutodepositDelete();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, "This will remove new@corvane-test.com from your Autodeposit profile.");
  m->tapAlertButton("Cancel");
  EXPECT_EQ(backend.autodeposits("etprefs04").size(), 1u);
  m->openAutodepositAccountSheet();
  m->chooseAutodepositAccount("dep-chq-etprefs04");
  m->savePreferencesEditor();
  EXPECT_FALSE(m->alert()) << "a changed account closes the editor without an alert";
  EXPECT_EQ(backend.autodeposits("etprefs04")[0].accountId, "dep-chq-etprefs04");

  // A row's Delete shows only once the row is swiped open.
  m->tapRegistrationDelete("new@corvane-test.com");
  EXPECT_FALSE(m->alert());
  m->swipeRegistration("new@corvane-test.com", true);
  m->tapRegistrationDelete("new@corvane-test.com");
  m->tapAlertButton(texts::kDeleteEmailButton);
  EXPECT_TRUE(backend.autodeposits("etprefs04").empty());
  EXPECT_TRUE(m->preferences().registrations.empty());
}

TEST_F(Preferences, ARefusedChangeKeepsTheEditorOpenBehindAnError) {
  auto m = openAs("etprefs04", "Cedar#4440");
  ASSERT_TRUE(backend.registerAutodeposit("etprefs02", {"taken@corvane-test.com", "dep-chq-etprefs02"}));
  m->openAutodepositEditor("");
  m->focusPreferencesField(Focus::autodepositEmail);
  m->typeIntoPreferencesField(Focus::autodepositEmail, "taken@corvane-test.com");
  m->openAutodepositAccountSheet();
  m->chooseAutodepositAccount("dep-chq-etprefs04");
  m->savePreferencesEditor();
  ASSERT_TRUE(m->alert());
  EXPECT_EQ(m->alert()->message, texts::kPreferencesRefused);
  m->tapAlertButton("OK");
  EXPECT_EQ(m->preferences().editor, PreferencesArea::Editor::autodeposit);
  EXPECT_EQ(m->preferences().email, "taken@corvane-test.com") << "nothing typed is lost";
}

TEST_F(Preferences, ProfileEditorTrimsCapsAndSavesBothFields) {
  auto m = openAs("etprefs01", "Cedar#4410");
  m->openAutodepositEditor("");
  EXPECT_EQ(m->preferences().editor, PreferencesArea::Editor::none) << "no autodeposit without a profile";
  m->openProfileEditor();
  EXPECT_TRUE(m->preferences().creating);
  m->focusPreferencesField(Focus::profileName);
  m->typeIntoPreferencesField(Focus::profileName, std::string(81, 'n'));
  EXPECT_EQ(m->preferences().name.size(), 80u);
  m->typeIntoPreferencesField(Focus::profileName, std::string(80, '\b') + "L\u00e9a\b\b");
  EXPECT_EQ(m->preferences().name, "L") << "a delete removes a whole character";
  m->typeIntoPreferencesField(Focus::profileName, "\u00e9a O'Neil ");
  m->focusPreferencesField(Focus::profileEmail);
  m->typeIntoPreferencesField(Focus::profileEmail, " lea@corvane-test.com");
  m->savePreferencesEditor();
  EXPECT_EQ(backend.senderProfile("etprefs01"), (SenderProfile{"L\u00e9a O'Neil", "lea@corvane-test.com"}));
  EXPECT_EQ(m->preferences().editor, PreferencesArea::Editor::none);

  // The edit mode opens filled; a save with the fault keeps the old address.
  auto faulty = openAs("etprefs01", "Cedar#4410", "profileSaveDropsEmail");
  faulty->openProfileEditor();
  EXPECT_FALSE(faulty->preferences().creating);
  EXPECT_EQ(faulty->preferences().email, "lea@corvane-test.com");
  faulty->focusPreferencesField(Focus::profileEmail);
  faulty->typeIntoPreferencesField(Focus::profileEmail, "\b\b\b\bca");
  faulty->savePreferencesEditor();
  EXPECT_EQ(backend.senderProfile("etprefs01")->email, "lea@corvane-test.com");
}
