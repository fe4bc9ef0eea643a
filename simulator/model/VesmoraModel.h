// The simulated Vesmora app's model: its screens, state and navigation, independent of how it is
// drawn. The renderer (app/VesmoraApp) turns this state into an accessibility tree and maps the
// actions on that tree onto the operations below. Every operation completes synchronously.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/AccountPages.h"
#include "model/AppStore.h"
#include "model/Backend.h"
#include "model/Faults.h"
#include "model/MoreTab.h"
#include "model/Overview.h"
#include "model/PreferencesArea.h"
#include "model/TransferForm.h"

namespace vesmora {

enum class Biometry { none, touch, face };

enum class Screen { signIn, challenge, landing };
enum class Tab { overview, moveMoney, more };
enum class Field { none, userName, password, challengeAnswer };

struct Alert {
  enum class Kind {
    confirmUser,
    signInError,
    accountLocked,
    incorrectAnswer,
    biometricEnroll,
    biometricUnavailable,  // no enrolment, or Face ID not allowed
    biometricNotTurnedOn,  // biometric sign-in is off in the app
    biometricUnsupported,  // the device has no biometry
    biometricsEnabled,
    biometricsDisabled,
    accountUnavailable,
    autodepositRegistered,     // the registration was sent; the activation e-mail follows
    autodepositDeleteConfirm,  // "Delete This Email?"
    preferencesRefused,        // the bank refused a change of the e-Transfer preferences
  };
  Kind kind;
  std::string identifier;  // accessibility identifier of the alert
  std::string title;
  std::string message;
  std::vector<std::string> buttons;
};

// Launch-time settings: the test settings of the launch arguments, and what the launch
// environment sets (faults switched on).
struct LaunchSettings {
  bool userChangeIgnored = false;
  bool firstBiometricsLoginOptinIgnored = false;
  Faults faults;
  // How long each request (sign-in, challenge answer, Move money menu, an account's pages) keeps
  // the loading indicator up; 0: answers arrive at once. The app sets it from its launch
  // environment (VESMORA_LOADING_SECONDS, 2 seconds without it: VesmoraApp).
  double loadingSeconds = 0;
  // With any test setting the app runs against the mock backend.
  bool usesMockBackend() const { return userChangeIgnored || firstBiometricsLoginOptinIgnored; }
  static LaunchSettings fromArguments(const std::vector<std::string>& arguments);
};

// Texts the app shows.
namespace texts {
inline constexpr const char* kWelcome = "Welcome";
inline constexpr const char* kUserNamePlaceholder = "Enter username";
inline constexpr const char* kPasswordPlaceholder = "Enter password";
inline constexpr const char* kChallengeTitle = "Secury Check Point";
inline constexpr const char* kIncorrectAnswerTitle = "Incorrect Answer";
inline constexpr const char* kIncorrectAnswerMessage =
    "The security answers you entered don\u2019t match our records. Please try again.";
inline constexpr const char* kErrorTitle = "Error";
inline constexpr const char* kInvalidCredentials =
    "The username or password you entered is incorrect. Please try again.";
inline constexpr const char* kMissingCredentials = "Please enter your username and password.";
inline constexpr const char* kAccountLocked =
    "Your account has been locked for security purposes. To unlock, visit www.corvane.com to reset your "
    "password or call 1-800-555-0142.";
inline constexpr const char* kConfirmUserTitle = "Confirm Authenticated User";
inline constexpr const char* kConfirmUserMessage =
    "You are signing in as a different user than the last one on this device. Do you want to continue?";
inline constexpr const char* kSurveyTitle = "How are we doing?";
inline constexpr const char* kAccountUnavailable =
    "This account can’t be shown right now. Please try again later.";
inline constexpr const char* kTransferRefused = "Your transfer can’t be made right now. Please try again later.";
inline constexpr const char* kPaymentRefused = "Your payment can’t be made right now. Please try again later.";
}  // namespace texts

class VesmoraModel {
 public:
  // Both credential fields accept at most this many characters, typed or pasted.
  static constexpr std::size_t kMaxCredentialLength = 32;

  VesmoraModel(AppStore store, Backend& backend, LaunchSettings settings, Biometry biometry);

  // How the app learns whether a face or finger is enrolled on the device (asked when needed);
  // without one, enrolment counts as present.
  void setBiometricEnrollment(std::function<bool()> enrolled) { biometricEnrolled_ = std::move(enrolled); }

  // --- state ---------------------------------------------------------------------------------
  Screen screen() const { return screen_; }
  Tab tab() const { return tab_; }
  Field focus() const { return focus_; }
  const std::optional<Alert>& alert() const { return alert_; }
  bool surveyShown() const { return surveyShown_; }
  // A request is on its way: the loading indicator is up and the screen takes no input.
  bool loading() const { return static_cast<bool>(pending_); }
  Biometry biometry() const { return biometry_; }
  const LaunchSettings& settings() const { return settings_; }

  // What the user-name field shows: the typed text, or the remembered name masked.
  std::string userNameText() const;
  bool showsRememberedUserName() const { return showsRemembered_; }
  const std::string& password() const { return password_; }
  bool passwordVisible() const { return passwordVisible_; }
  bool rememberMeOn() const { return rememberMe_; }
  // The switch can be used once there is a user name in the field (typed or remembered).
  bool rememberMeEnabled() const;

  const std::string& challengeQuestion() const { return challengeQuestion_; }
  const std::string& challengeAnswer() const { return challengeAnswer_; }

  const std::string& signedInUser() const { return signedInUser_; }
  const std::string& customerName() const { return customerName_; }
  // Account summaries fetched after sign-in, by category path ("/deposits", ...).
  const std::map<std::string, nlohmann::json>& accountSummaries() const { return summaries_; }
  // The overview tab: cards, totals and scroll position, built from the summaries at sign-in.
  const Overview& overview() const { return overview_; }
  Overview& overview() { return overview_; }
  // The account pages pushed over the overview (transactions, details).
  const AccountPages& accountPages() const { return accountPages_; }
  AccountPages& accountPages() { return accountPages_; }

  // The transfer form pushed over the Move money menu; null while the menu shows.
  const TransferForm* transferForm() const { return transfer_ ? &*transfer_ : nullptr; }
  TransferForm* transferForm() { return transfer_ ? &*transfer_ : nullptr; }
  // The device's clock (seconds since 1970; the system clock unless the app sets another) and
  // today's day in the device's time zone.
  void setClock(std::function<double()> clock) { clock_ = std::move(clock); }
  CalendarDay today() const;
  // The More tab's page, biometric sign-in in progress, and the two biometric switches.
  MorePage morePage() const { return morePage_; }
  BiometricPrompt biometricPrompt() const { return biometricPrompt_; }
  bool biometricLoginOn() const { return store_.biometricLoginEnabled(); }
  bool storeBiometricsOn() const { return store_.storeBiometrics(); }
  // "face", "fingerprint" or "" for the device's biometry.
  std::string biometryWord() const;

  // "Face ID", "Touch ID" or "" for the device's biometry.
  std::string biometryName() const;
  // The masked form of a remembered user name: its first two and last two characters around
  // "•••" (only "•••" and the last character for names of four characters or fewer).
  static std::string maskedUserName(const std::string& name);

  // --- actions -------------------------------------------------------------------------------
  void focusField(Field field);
  // Keystrokes into a field ("\b" deletes one character); the field gets the focus.
  void typeText(Field field, const std::string& keys);
  // Inserts pasted text at the end of a field, as much as the field's limit lets in.
  void paste(Field field, const std::string& text);
  void tapShowPassword();
  void tapRememberMe();
  void tapLogin();
  void tapAlertButton(const std::string& button);
  void tapChallengeSubmit();
  void tapChallengeClose();
  void selectTab(Tab tab);
  void logOut();
  // Closes the survey pop-up ("Take survey" or "Not now").
  void dismissSurvey(bool takeSurvey = false);
  // A card of the overview: fetches the account's details and shows its transactions page
  // (an "Error" alert when the backend has none).
  void openAccount(const std::string& accountId);
  // "Manage account" on the transactions page; the navigation bar's back button.
  void tapManageAccount();
  void tapAccountBack();
  // "Transfer between accounts": shows the transfer form over the accounts the Move money menu
  // fetched.
  void openTransfer();
  // "Pay a bill" and "Send Interac e-Transfer": the form over the accounts of the Move money menu,
  // once the bank has sent the payees (recipients and the e-Transfer fee).
  void openPayABill();
  void openETransfer();
  // "Pay another bill" and "Make another Interac e-Transfer" on the completion: the same form
  // empty again.
  void makeAnotherPayment();
  // The form's Submit: in-line messages at once, or the review once the bank has answered.
  void submitTransfer();
  // The review's "Transfer" (or "Pay bill"): books the order and shows the completion.
  void confirmTransfer();
  // The review's "Edit": back to the form as it was filled.
  void editTransfer();
  // The completion's "Done": the overview's balances are fetched again, and Move money shows.
  void finishTransfer();
  // The answer to the request on its way has arrived (the app calls it when the loading time is
  // over); nothing happens when no request is on its way.
  void finishLoading();

  // Biometric sign-in (model/BiometricSignIn.cpp): the sign-in screen's button, the answer to the
  // system's Face ID prompt, the outcome of a face or finger, and the app going to the background
  // (which cancels a scan in progress).
  void tapBiometricLogin();
  void answerFaceIDPermission(bool allowed);
  void biometricScanned(bool matched);
  void enteredBackground();

  // The More tab's pages (model/MoreTab.cpp).
  void openBiometricSettings();
  void openContactUs();
  // The navigation bar's back button: back to the More menu.
  void closeMorePage();
  void tapEnableBiometrics();
  void tapStoreBiometrics();

  // The Interac e-Transfer preferences page and its editors (model/PreferencesArea.cpp). Opening
  // the page, saving, and deleting a registration are requests to the bank.
  const PreferencesArea& preferences() const { return prefs_; }
  PreferencesArea& preferences() { return prefs_; }
  void openETransferPreferences();
  // The sender-profile editor: create mode without a profile, else edit mode filled with it.
  void openProfileEditor();
  // The autodeposit editor: a new registration (empty `email`) or the registration of `email`.
  void openAutodepositEditor(const std::string& email);
  void focusPreferencesField(PreferencesArea::Focus field);
  void typeIntoPreferencesField(PreferencesArea::Focus field, const std::string& keys);
  // The keyboard toolbar's Done: the field gives up the focus.
  void preferencesKeyboardDone();
  void openAutodepositAccountSheet();
  void chooseAutodepositAccount(const std::string& accountId);
  void closePreferencesEditor();
  void savePreferencesEditor();
  // The autodeposit editor's Delete (edit mode): asks for confirmation.
  void tapAutodepositDelete();
  // A swipe left on a registration row shows its Delete button; a swipe right hides it.
  void swipeRegistration(const std::string& email, bool open);
  void tapRegistrationDelete(const std::string& email);

 private:
  // Sends a request: `answered` runs at once without a loading time, else at finishLoading().
  void request(std::function<void()> answered);
  // An alert, the survey or a request in progress covers the screen.
  bool covered() const { return alert_ || surveyShown_ || loading(); }
  // The day a money form of `purpose` takes as today.
  CalendarDay formDay(TransferForm::Purpose purpose) const;
  // Today in UTC by the app's clock.
  CalendarDay utcDay() const;
  void sendSignIn(const std::string& user);
  void signInAnswered(const std::string& user);
  std::string* fieldText(Field field);
  std::size_t fieldLimit(Field field) const;
  void editField(Field field, const std::string& keys, bool pasted);
  void proceedAfterPassword();
  void authenticated();
  void finishSignIn();
  void showSignIn();
  void showAlert(Alert::Kind kind);
  void loadAccountSummaries();
  bool biometricEnrolled() const { return !biometricEnrolled_ || biometricEnrolled_(); }
  bool onMorePage(MorePage page) const;
  bool onPreferences(PreferencesArea::Editor editor) const;
  void fetchPreferences();
  void preferencesAlertAnswered(Alert::Kind kind, const std::string& button);

  AppStore store_;
  Backend& backend_;
  LaunchSettings settings_;
  Biometry biometry_;

  Screen screen_ = Screen::signIn;
  Tab tab_ = Tab::overview;
  Field focus_ = Field::none;
  std::optional<Alert> alert_;
  bool surveyShown_ = false;

  std::string userName_;          // typed text
  bool showsRemembered_ = false;  // the field shows the remembered name instead
  std::string password_;
  bool passwordVisible_ = false;
  bool rememberMe_ = false;

  std::string pendingUser_;  // signing in, not yet on the landing page
  std::string challengeQuestion_;
  std::string challengeAnswer_;
  std::string signedInUser_;
  std::string customerName_;
  std::map<std::string, nlohmann::json> summaries_;
  Overview overview_;
  AccountPages accountPages_;
  std::function<void()> pending_;
  std::optional<TransferForm> transfer_;
  std::vector<MovableAccount> movableAccounts_;  // fetched with the Move money menu
  std::function<double()> clock_;

  MorePage morePage_ = MorePage::menu;
  PreferencesArea prefs_;
  BiometricPrompt biometricPrompt_ = BiometricPrompt::none;
  std::function<bool()> biometricEnrolled_;
};

}  // namespace vesmora
