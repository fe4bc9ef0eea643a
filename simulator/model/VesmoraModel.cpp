#include "model/VesmoraModel.h"

#include <algorithm>
#include <ctime>

namespace vesmora {
namespace {

// Code points in a UTF-8 text.
std::size_t characterCount(const std::string& s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Splits UTF-8 text into its characters (code points).
std::vector<std::string> characters(const std::string& s) {
  std::vector<std::string> out;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) == 0x80 && !out.empty()) {
      out.back() += c;
    } else {
      out.emplace_back(1, c);
    }
  }
  return out;
}

void removeLastCharacter(std::string& s) {
  while (!s.empty()) {
    unsigned char c = static_cast<unsigned char>(s.back());
    s.pop_back();
    if ((c & 0xC0) != 0x80) break;
  }
}

bool isDeleteKey(const std::string& ch) { return ch == "\b" || ch == "\x7f"; }

}  // namespace

// Faults of the sign-in screens (see model/Faults.h).
const Fault kWrongPasswordSignsIn("wrongPasswordSignsIn",
                                  "a rejected password shows its alert over the landing page: the user is signed in");
const Fault kLockedAccountSignsIn("lockedAccountSignsIn",
                                  "the locked-account alert comes over the landing page: the user is signed in");
const Fault kWrongAnswerSignsIn("wrongAnswerSignsIn",
                                "a wrong security answer shows its notice but signs the user in");
const Fault kRememberedNameInClear("rememberedNameInClear",
                                   "the remembered user name is shown in clear instead of masked");
const Fault kUserNameTakes33("userNameTakes33", "the user-name field takes 33 characters instead of 32");
const Fault kPasteIgnoresLimit("pasteIgnoresLimit", "pasted text is not cut to the fields' 32 characters");
const Fault kPasswordStaysShown("passwordStaysShown", "the show/hide button shows the password but never hides it again");
const Fault kRememberMeAlwaysEnabled("rememberMeAlwaysEnabled",
                                     "the remember-me switch can be used while the user-name field is empty");
const Fault kSwitchOffKeepsSavedName("switchOffKeepsSavedName",
                                     "turning remember-me off leaves the saved name in the field and in storage");
const Fault kSwitchOffClearsTypedName("switchOffClearsTypedName",
                                      "turning remember-me off also empties a typed, unsaved user name");
const Fault kLockMessageCut("lockMessageCut",
                            "the locked-account alert shows only its first sentence");
const Fault kConfirmOkCancels("confirmOkCancels", "OK on \"Confirm Authenticated User\" cancels the sign-in");
const Fault kCloseKeepsChallenge("closeKeepsChallenge", "the challenge's Close button does nothing");
const Fault kLogOutIgnored("logOutIgnored", "Log out leaves the user on the landing page");
const Fault kSurveyNotNowIgnored("surveyNotNowIgnored", "the survey pop-up's \"Not now\" does not close it");

LaunchSettings LaunchSettings::fromArguments(const std::vector<std::string>& arguments) {
  LaunchSettings s;
  for (const auto& a : arguments) {
    if (a == "userChangeIgnored") s.userChangeIgnored = true;
    if (a == "firstBiometricsLoginOptinIgnored") s.firstBiometricsLoginOptinIgnored = true;
  }
  return s;
}

VesmoraModel::VesmoraModel(AppStore store, Backend& backend, LaunchSettings settings, Biometry biometry)
    : store_(store), backend_(backend), settings_(settings), biometry_(biometry) {
  showSignIn();
}

std::string VesmoraModel::maskedUserName(const std::string& name) {
  auto chars = characters(name);
  std::string bullets = "\u2022\u2022\u2022";
  if (chars.size() <= 4) return bullets + (chars.empty() ? "" : chars.back());
  return chars[0] + chars[1] + bullets + chars[chars.size() - 2] + chars.back();
}

std::string VesmoraModel::userNameText() const {
  if (showsRemembered_) {
    std::string name = store_.rememberedUserName().value_or("");
    return settings_.faults.has(kRememberedNameInClear) ? name : maskedUserName(name);
  }
  return userName_;
}

bool VesmoraModel::rememberMeEnabled() const {
  return settings_.faults.has(kRememberMeAlwaysEnabled) || !userNameText().empty();
}

std::string VesmoraModel::biometryName() const {
  switch (biometry_) {
    case Biometry::face:
      return "Face ID";
    case Biometry::touch:
      return "Touch ID";
    case Biometry::none:
      break;
  }
  return "";
}

std::string VesmoraModel::biometryWord() const {
  switch (biometry_) {
    case Biometry::face:
      return "face";
    case Biometry::touch:
      return "fingerprint";
    case Biometry::none:
      break;
  }
  return "";
}

void VesmoraModel::showSignIn() {
  screen_ = Screen::signIn;
  tab_ = Tab::overview;
  morePage_ = MorePage::menu;
  prefs_ = PreferencesArea();
  biometricPrompt_ = BiometricPrompt::none;
  focus_ = Field::none;
  surveyShown_ = false;
  password_.clear();
  passwordVisible_ = false;
  userName_.clear();
  challengeQuestion_.clear();
  challengeAnswer_.clear();
  pendingUser_.clear();
  auto remembered = store_.rememberedUserName();
  showsRemembered_ = remembered.has_value() && !remembered->empty();
  rememberMe_ = showsRemembered_;
}

void VesmoraModel::focusField(Field field) {
  if (alert_ || loading()) return;
  focus_ = field;
}

std::string* VesmoraModel::fieldText(Field field) {
  switch (field) {
    case Field::userName:
      return screen_ == Screen::signIn ? &userName_ : nullptr;
    case Field::password:
      return screen_ == Screen::signIn ? &password_ : nullptr;
    case Field::challengeAnswer:
      return screen_ == Screen::challenge ? &challengeAnswer_ : nullptr;
    case Field::none:
      break;
  }
  return nullptr;
}

std::size_t VesmoraModel::fieldLimit(Field field) const {
  if (field == Field::challengeAnswer) return SIZE_MAX;
  if (field == Field::userName && settings_.faults.has(kUserNameTakes33)) return kMaxCredentialLength + 1;
  return kMaxCredentialLength;
}

void VesmoraModel::editField(Field field, const std::string& keys, bool pasted) {
  if (alert_ || loading()) return;
  std::string* text = fieldText(field);
  if (!text) return;
  focus_ = field;
  if (field == Field::userName && showsRemembered_) {
    // The remembered name is shown masked and cannot be edited: any edit starts a new name.
    showsRemembered_ = false;
    userName_.clear();
    if (!pasted && std::all_of(keys.begin(), keys.end(), [](char c) { return c == '\b' || c == '\x7f'; })) return;
  }
  std::size_t limit = pasted && settings_.faults.has(kPasteIgnoresLimit) ? SIZE_MAX : fieldLimit(field);
  for (const auto& ch : characters(keys)) {
    if (!pasted && isDeleteKey(ch)) {
      removeLastCharacter(*text);
    } else if (characterCount(*text) < limit) {
      *text += ch;
    }
  }
}

void VesmoraModel::typeText(Field field, const std::string& keys) { editField(field, keys, false); }

void VesmoraModel::paste(Field field, const std::string& text) { editField(field, text, true); }

void VesmoraModel::tapShowPassword() {
  if (alert_ || loading() || screen_ != Screen::signIn) return;
  passwordVisible_ = settings_.faults.has(kPasswordStaysShown) ? true : !passwordVisible_;
}

void VesmoraModel::tapRememberMe() {
  if (alert_ || loading() || screen_ != Screen::signIn || !rememberMeEnabled()) return;
  if (rememberMe_) {
    rememberMe_ = false;
    if (settings_.faults.has(kSwitchOffKeepsSavedName)) return;
    if (settings_.faults.has(kSwitchOffClearsTypedName)) userName_.clear();
    // Turning the switch off forgets a saved user name; a typed one stays.
    if (store_.rememberedUserName()) store_.setRememberedUserName(std::nullopt);
    if (showsRemembered_) {
      showsRemembered_ = false;
      userName_.clear();
    }
  } else {
    rememberMe_ = true;
  }
}

void VesmoraModel::showAlert(Alert::Kind kind) {
  Alert a;
  a.kind = kind;
  switch (kind) {
    case Alert::Kind::confirmUser:
      a.title = texts::kConfirmUserTitle;
      a.message = texts::kConfirmUserMessage;
      a.buttons = {"Cancel", "OK"};
      break;
    case Alert::Kind::signInError:
      a.title = texts::kErrorTitle;
      a.message = texts::kInvalidCredentials;
      a.buttons = {"OK"};
      break;
    case Alert::Kind::accountLocked:
      a.title = texts::kErrorTitle;
      a.message = texts::kAccountLocked;
      if (settings_.faults.has(kLockMessageCut)) a.message = "Your account has been locked for security purposes.";
      a.buttons = {"OK"};
      break;
    case Alert::Kind::incorrectAnswer:
      a.title = texts::kIncorrectAnswerTitle;
      a.message = texts::kIncorrectAnswerMessage;
      a.buttons = {"OK"};
      break;
    case Alert::Kind::accountUnavailable:
      a.title = texts::kErrorTitle;
      a.message = texts::kAccountUnavailable;
      a.buttons = {"OK"};
      break;
    case Alert::Kind::biometricEnroll:
      a.identifier = "biometricEnrollAlert";
      a.title = "Log in with " + biometryName();
      a.message = "Would you like to use " + biometryName() + " to log in to Vesmora next time?";
      a.buttons = {"Cancel", "OK"};
      break;
    case Alert::Kind::biometricUnavailable:
      a.title = texts::kAppAlertTitle;
      a.message = texts::biometricNotAvailable(biometryName());
      a.buttons = {"OK"};
      break;
    case Alert::Kind::biometricNotTurnedOn:
      a.title = texts::kAppAlertTitle;
      a.message = texts::biometricNotTurnedOn(biometryName());
      a.buttons = {"OK"};
      break;
    case Alert::Kind::biometricUnsupported:
      a.title = texts::kAppAlertTitle;
      a.message = texts::kBiometricUnsupported;
      a.buttons = {"OK"};
      break;
    case Alert::Kind::biometricsEnabled:
      a.title = biometryName();
      a.message = texts::biometricsEnabled(biometryName());
      a.buttons = {"OK"};
      break;
    case Alert::Kind::biometricsDisabled:
      a.title = biometryName();
      a.message = texts::biometricsDisabled(biometryName());
      a.buttons = {"OK"};
      break;
    case Alert::Kind::autodepositRegistered:
      a.title = texts::kAutodeposit;
      a.message = texts::kAutodepositRegistered;
      a.buttons = {"OK"};
      break;
    case Alert::Kind::autodepositDeleteConfirm:
      a.title = texts::kDeleteEmailTitle;
      a.message = texts::deleteEmailMessage(prefs_.deletingEmail);
      a.buttons = {"Cancel", texts::kDeleteEmailButton};
      break;
    case Alert::Kind::preferencesRefused:
      a.title = texts::kErrorTitle;
      a.message = texts::kPreferencesRefused;
      a.buttons = {"OK"};
      break;
  }
  if (a.identifier.empty()) a.identifier = a.title;
  alert_ = a;
}

void VesmoraModel::request(std::function<void()> answered) {
  if (settings_.loadingSeconds <= 0) {
    answered();
    return;
  }
  pending_ = std::move(answered);
}

void VesmoraModel::finishLoading() {
  if (!pending_) return;
  auto answered = std::move(pending_);
  pending_ = nullptr;
  answered();
}

void VesmoraModel::tapLogin() {
  if (alert_ || loading() || screen_ != Screen::signIn) return;
  focus_ = Field::none;
  std::string user = showsRemembered_ ? store_.rememberedUserName().value_or("") : userName_;
  if (user.empty() || password_.empty()) {
    showAlert(Alert::Kind::signInError);
    alert_->message = texts::kMissingCredentials;
    return;
  }
  // Another user than the last one on the device is asked before anything is sent.
  auto last = store_.lastSignedInUser();
  if (last && *last != user && !settings_.userChangeIgnored) {
    pendingUser_ = user;
    showAlert(Alert::Kind::confirmUser);
    return;
  }
  sendSignIn(user);
}

void VesmoraModel::sendSignIn(const std::string& user) {
  pendingUser_ = user;
  request([this, user] { signInAnswered(user); });
}

void VesmoraModel::signInAnswered(const std::string& user) {
  SignInResult result = backend_.signIn(user, password_);
  switch (result.kind) {
    case SignInResult::Kind::invalidCredentials:
      password_.clear();
      pendingUser_.clear();
      if (settings_.faults.has(kWrongPasswordSignsIn)) {
        pendingUser_ = user;
        finishSignIn();
      }
      showAlert(Alert::Kind::signInError);
      return;
    case SignInResult::Kind::locked:
      password_.clear();
      pendingUser_.clear();
      if (settings_.faults.has(kLockedAccountSignsIn)) {
        pendingUser_ = user;
        finishSignIn();
      }
      showAlert(Alert::Kind::accountLocked);
      return;
    case SignInResult::Kind::challenge:
      challengeQuestion_ = result.question;
      break;
    case SignInResult::Kind::success:
      break;
  }
  proceedAfterPassword();
}

void VesmoraModel::proceedAfterPassword() {
  if (!challengeQuestion_.empty()) {
    screen_ = Screen::challenge;
    challengeAnswer_.clear();
    focus_ = Field::none;
    return;
  }
  authenticated();
}

void VesmoraModel::authenticated() {
  finishSignIn();
  // Biometric sign-in belongs to the user who turned it on: another user signing in turns it off.
  if (store_.biometricLoginEnabled() && store_.biometricUser() != signedInUser_) {
    store_.setBiometricLoginEnabled(false);
    store_.setBiometricUser(std::nullopt);
  }
  // The offer to sign in with biometrics next time comes over the landing page, when the device
  // has a face or finger enrolled.
  if (biometry_ != Biometry::none && biometricEnrolled() && !store_.biometricLoginEnabled() &&
      !settings_.firstBiometricsLoginOptinIgnored) {
    showAlert(Alert::Kind::biometricEnroll);
  }
}

void VesmoraModel::finishSignIn() {
  std::string user = pendingUser_;
  if (rememberMe_) {
    store_.setRememberedUserName(user);
  } else {
    store_.setRememberedUserName(std::nullopt);
  }
  store_.setLastSignedInUser(user);
  signedInUser_ = user;
  customerName_ = backend_.customerName(user);
  pendingUser_.clear();
  password_.clear();
  challengeQuestion_.clear();
  challengeAnswer_.clear();
  screen_ = Screen::landing;
  tab_ = Tab::overview;
  morePage_ = MorePage::menu;
  prefs_ = PreferencesArea();
  focus_ = Field::none;
  loadAccountSummaries();
  accountPages_.close();
  transfer_.reset();
  surveyShown_ = backend_.offersSurvey(user);
}

void VesmoraModel::loadAccountSummaries() {
  summaries_.clear();
  for (const char* path : kAccountSummaryPaths) {
    if (auto summary = backend_.accountSummary(signedInUser_, path)) summaries_[path] = *summary;
  }
  overview_ = Overview(summaries_, customerName_, settings_.faults);
}

void VesmoraModel::tapAlertButton(const std::string& button) {
  if (!alert_) return;
  if (std::find(alert_->buttons.begin(), alert_->buttons.end(), button) == alert_->buttons.end()) return;
  Alert::Kind kind = alert_->kind;
  alert_.reset();
  switch (kind) {
    case Alert::Kind::confirmUser:
      if (button == "OK" && !settings_.faults.has(kConfirmOkCancels)) {
        sendSignIn(pendingUser_);
      } else {
        pendingUser_.clear();
        password_.clear();
      }
      break;
    case Alert::Kind::biometricEnroll:
      if (button == "OK") {
        store_.setBiometricLoginEnabled(true);
        store_.setBiometricUser(signedInUser_);
      }
      break;
    case Alert::Kind::biometricUnavailable:
    case Alert::Kind::biometricNotTurnedOn:
    case Alert::Kind::biometricUnsupported:
    case Alert::Kind::biometricsEnabled:
    case Alert::Kind::biometricsDisabled:
    case Alert::Kind::signInError:
    case Alert::Kind::accountLocked:
    case Alert::Kind::incorrectAnswer:
    case Alert::Kind::accountUnavailable:
      break;
    case Alert::Kind::autodepositRegistered:
    case Alert::Kind::autodepositDeleteConfirm:
    case Alert::Kind::preferencesRefused:
      preferencesAlertAnswered(kind, button);
      break;
  }
}

void VesmoraModel::tapChallengeSubmit() {
  if (alert_ || loading() || screen_ != Screen::challenge) return;
  focus_ = Field::none;
  request([this] {
    if (backend_.answerChallenge(pendingUser_, challengeAnswer_)) {
      authenticated();
    } else {
      challengeAnswer_.clear();
      if (settings_.faults.has(kWrongAnswerSignsIn)) finishSignIn();
      showAlert(Alert::Kind::incorrectAnswer);
    }
  });
}

void VesmoraModel::tapChallengeClose() {
  if (alert_ || loading() || screen_ != Screen::challenge || settings_.faults.has(kCloseKeepsChallenge)) return;
  showSignIn();
}

void VesmoraModel::selectTab(Tab tab) {
  if (covered() || screen_ != Screen::landing) return;
  // Tapping the tab that is already selected goes back to its first page.
  if (tab == tab_ && tab == Tab::overview) accountPages_.close();
  if (tab == tab_ && tab == Tab::moveMoney) transfer_.reset();
  if (tab == tab_ && tab == Tab::more) {
    morePage_ = MorePage::menu;
    prefs_ = PreferencesArea();
  }
  tab_ = tab;
  // The Move money menu asks the bank which movements the customer may make, and between which
  // accounts.
  if (tab == Tab::moveMoney) request([this] { movableAccounts_ = backend_.movableAccounts(signedInUser_); });
}

void VesmoraModel::logOut() {
  if (covered() || screen_ != Screen::landing || settings_.faults.has(kLogOutIgnored)) return;
  signedInUser_.clear();
  customerName_.clear();
  summaries_.clear();
  overview_ = Overview();
  accountPages_.close();
  transfer_.reset();
  movableAccounts_.clear();
  prefs_ = PreferencesArea();
  showSignIn();
}

void VesmoraModel::dismissSurvey(bool takeSurvey) {
  if (!takeSurvey && settings_.faults.has(kSurveyNotNowIgnored)) return;
  surveyShown_ = false;
}

void VesmoraModel::openAccount(const std::string& accountId) {
  if (covered() || screen_ != Screen::landing || tab_ != Tab::overview) return;
  if (accountPages_.page() != AccountPages::Page::none) return;
  request([this, accountId] {
    std::optional<AccountPage> page;
    if (auto details = backend_.accountDetails(signedInUser_, accountId)) {
      page = accountPageFromDetails(*details, settings_.faults);
    }
    if (!page) {
      showAlert(Alert::Kind::accountUnavailable);
      return;
    }
    accountPages_.open(std::move(*page));
  });
}

void VesmoraModel::tapManageAccount() {
  if (covered() || screen_ != Screen::landing || accountPages_.page() != AccountPages::Page::transactions) return;
  // The details page asks the bank for the account's statement first.
  request([this] { accountPages_.showDetails(); });
}

const Fault kAccountBackGoesToOverview("accountBackGoesToOverview",
                                       "the details page's back button returns to the overview, not to the account");

void VesmoraModel::tapAccountBack() {
  if (covered() || screen_ != Screen::landing) return;
  if (settings_.faults.has(kAccountBackGoesToOverview)) {
    accountPages_.close();
    return;
  }
  accountPages_.back();
}

}  // namespace vesmora

namespace vesmora {

// Faults of the transfer flow (see model/Faults.h).
const Fault kEditGoesToMoveMoney("editGoesToMoveMoney",
                                 "the review's Edit closes the transfer and shows the Move money menu");
const Fault kPresetDateInUTC("presetDateInUTC",
                             "the transfer form takes today as the day in UTC, not in the device's time zone");
// A transfer form that opens dated a wrong day, while every later step takes the device's day.
const Fault kTransferOpensOnUTCDay("transferOpensOnUTCDay",
                                   "the transfer form opens dated today in UTC, not in the device's time zone");
const Fault kTransferOpensYesterday("transferOpensYesterday", "the transfer form opens dated yesterday");
const Fault kTransferOpensTomorrow("transferOpensTomorrow", "the transfer form opens dated tomorrow");
// A form that opens dated a wrong day and takes that day for the device's: the first Submit finds
// the device's day moved on and re-dates it, so only the form itself shows the wrong day.
const Fault kTransferOpensOnUTCDayAsToday("transferOpensOnUTCDayAsToday",
                                          "the transfer form opens dated today in UTC and takes that day as the "
                                          "device's (Submit re-dates it to the device's day)");
const Fault kFormOpensYesterdayAsToday("formOpensYesterdayAsToday",
                                       "the transfer and bill-payment forms open dated yesterday and take that day as "
                                       "the device's (Submit re-dates them to the device's day)");
const Fault kReviewKeepsOpeningDay("reviewKeepsOpeningDay",
                                   "Submit does not re-date a form: sent after midnight, its review shows the day it "
                                   "opened and its completion the next");

CalendarDay VesmoraModel::today() const {
  double now = clock_ ? clock_() : static_cast<double>(std::time(nullptr));
  return CalendarDay::of(now, platform::TimeZone::current());
}

CalendarDay VesmoraModel::utcDay() const {
  return CalendarDay::of(clock_ ? clock_() : static_cast<double>(std::time(nullptr)), platform::TimeZone::utc());
}

CalendarDay VesmoraModel::formDay(TransferForm::Purpose purpose) const {
  if (purpose == TransferForm::Purpose::transfer && settings_.faults.has(kPresetDateInUTC)) return utcDay();
  return today();
}

void VesmoraModel::openTransfer() {
  if (covered() || screen_ != Screen::landing || tab_ != Tab::moveMoney || transfer_) return;
  CalendarDay day = formDay(TransferForm::Purpose::transfer);
  if (settings_.faults.has(kTransferOpensOnUTCDayAsToday)) day = utcDay();
  if (settings_.faults.has(kFormOpensYesterdayAsToday)) day = day.addingDays(-1);
  CalendarDay dated = day;
  if (settings_.faults.has(kTransferOpensOnUTCDay)) dated = utcDay();
  if (settings_.faults.has(kTransferOpensYesterday)) dated = day.addingDays(-1);
  if (settings_.faults.has(kTransferOpensTomorrow)) dated = day.addingDays(1);
  transfer_.emplace(movableAccounts_, dated, settings_.faults);
  transfer_->setOpeningDeviceDay(day);
}

void VesmoraModel::openPayABill() {
  if (covered() || screen_ != Screen::landing || tab_ != Tab::moveMoney || transfer_) return;
  request([this] {
    CalendarDay day = formDay(TransferForm::Purpose::billPayment);
    if (settings_.faults.has(kFormOpensYesterdayAsToday)) day = day.addingDays(-1);
    transfer_.emplace(TransferForm::Purpose::billPayment, movableAccounts_, backend_.payees(signedInUser_), day,
                      settings_.faults);
  });
}

void VesmoraModel::openETransfer() {
  if (covered() || screen_ != Screen::landing || tab_ != Tab::moveMoney || transfer_) return;
  request([this] {
    transfer_.emplace(TransferForm::Purpose::eTransfer, movableAccounts_, backend_.recipients(signedInUser_),
                      formDay(TransferForm::Purpose::eTransfer),
                      settings_.faults, backend_.eTransferFee());
  });
}

const Fault kMakeAnotherGoesToMenu("makeAnotherGoesToMenu",
                                   "\"Make another Interac e-Transfer\" closes the e-Transfer and shows the Move money menu");

void VesmoraModel::makeAnotherPayment() {
  if (covered() || !transfer_ || transfer_->stage() != TransferForm::Stage::complete ||
      transfer_->purpose() == TransferForm::Purpose::transfer) {
    return;
  }
  request([this] {
    if (!transfer_) return;
    if (transfer_->purpose() == TransferForm::Purpose::eTransfer && settings_.faults.has(kMakeAnotherGoesToMenu)) {
      transfer_.reset();
      return;
    }
    transfer_ = transfer_->another();
    transfer_->setToday(formDay(transfer_->purpose()));
  });
}

void VesmoraModel::submitTransfer() {
  if (covered() || !transfer_ || transfer_->stage() != TransferForm::Stage::form) return;
  transfer_->closePicker();
  if (!transfer_->validate()) return;
  request([this] {
    if (!transfer_) return;
    if (!settings_.faults.has(kReviewKeepsOpeningDay)) transfer_->setToday(formDay(transfer_->purpose()));
    transfer_->showReview();
  });
}

void VesmoraModel::confirmTransfer() {
  if (covered() || !transfer_ || transfer_->stage() != TransferForm::Stage::review) return;
  request([this] {
    if (!transfer_) return;
    // The bank books on the day the order reaches it, the day an immediate form is dated by.
    const CalendarDay day = today();
    transfer_->setToday(formDay(transfer_->purpose()));
    std::optional<std::string> confirmation;
    switch (transfer_->purpose()) {
      case TransferForm::Purpose::transfer:
        confirmation = backend_.bookTransfer(signedInUser_, transfer_->order(), day);
        break;
      case TransferForm::Purpose::billPayment:
        confirmation = backend_.payBill(signedInUser_, transfer_->order(), day);
        break;
      case TransferForm::Purpose::eTransfer:
        confirmation = backend_.sendETransfer(signedInUser_, transfer_->order(), day);
        break;
    }
    if (!confirmation) {
      showAlert(Alert::Kind::accountUnavailable);
      alert_->message = transfer_->purpose() == TransferForm::Purpose::transfer ? texts::kTransferRefused
                                                                                : texts::kPaymentRefused;
      transfer_->edit();
      return;
    }
    transfer_->complete(texts::kConfirmationPrefix + *confirmation, backend_.movableAccounts(signedInUser_));
  });
}

void VesmoraModel::editTransfer() {
  if (covered() || !transfer_ || transfer_->stage() != TransferForm::Stage::review) return;
  if (settings_.faults.has(kEditGoesToMoveMoney)) {
    transfer_.reset();
    return;
  }
  transfer_->edit();
}

void VesmoraModel::finishTransfer() {
  if (covered() || !transfer_ || transfer_->stage() != TransferForm::Stage::complete) return;
  request([this] {
    transfer_.reset();
    loadAccountSummaries();
    movableAccounts_ = backend_.movableAccounts(signedInUser_);
  });
}

}  // namespace vesmora
