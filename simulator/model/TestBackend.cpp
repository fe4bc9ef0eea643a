#include "model/TestBackend.h"

#include "model/AccountPages.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef VESMORA_SIMULATOR_FIXTURE
#define VESMORA_SIMULATOR_FIXTURE "TestBackendFixture.json"
#endif

namespace vesmora {
namespace {

std::string text(const nlohmann::json& object, const char* key, bool required = true) {
  auto it = object.find(key);
  if (it == object.end()) {
    if (required) throw std::runtime_error(std::string("test backend fixture: missing \"") + key + "\"");
    return "";
  }
  if (!it->is_string()) throw std::runtime_error(std::string("test backend fixture: \"") + key + "\" is not text");
  return it->get<std::string>();
}

std::string folded(std::string s) {
  auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

const std::map<std::string, std::string>& categoryOfPath() {
  static const std::map<std::string, std::string> m = {{"/deposits", "deposit"},
                                                       {"/loans", "loan"},
                                                       {"/investments", "investment"},
                                                       {"/creditcards", "creditcard"}};
  return m;
}

std::string decimalText(const nlohmann::json& object, const char* key, const std::string& where) {
  std::string value = text(object, key);
  if (!platform::Decimal::parse(value)) {
    throw std::runtime_error("test backend fixture: " + where + " \"" + key + "\" is not a decimal number");
  }
  return value;
}

// The "accountDetails" entry of one account: available balance, credit limit, transactions and
// statement, each checked so that a slip in the fixture is found at load, not on screen.
void loadDetails(BankAccount& account, const nlohmann::json& details) {
  const std::string where = "account " + account.id;
  if (!details.is_object()) throw std::runtime_error("test backend fixture: details of " + where + " are not an object");
  if (details.contains("availableBalance")) account.availableBalance = decimalText(details, "availableBalance", where);
  if (details.contains("creditLimit")) account.creditLimit = decimalText(details, "creditLimit", where);
  if (details.contains("transactions")) {
    if (!details["transactions"].is_array()) throw std::runtime_error("test backend fixture: " + where + " transactions are not an array");
    for (const auto& t : details["transactions"]) {
      text(t, "description");
      decimalText(t, "amount", where + " transaction");
      if (!calendarDayText(text(t, "date"))) {
        throw std::runtime_error("test backend fixture: " + where + " transaction date is not yyyy-MM-dd");
      }
    }
    account.transactions = details["transactions"];
  }
  if (details.contains("statement")) {
    const auto& statement = details["statement"];
    if (!statement.is_object()) throw std::runtime_error("test backend fixture: " + where + " statement is not an object");
    for (const auto& [key, value] : statement.items()) {
      const auto& fields = statementFields();
      auto field = std::find_if(fields.begin(), fields.end(), [&](const StatementField& f) { return key == f.key; });
      if (field == fields.end()) throw std::runtime_error("test backend fixture: " + where + " has unknown statement field " + key);
      if (field->kind == StatementField::Kind::amount) decimalText(statement, field->key, where + " statement");
      if (field->kind == StatementField::Kind::date && !calendarDayText(text(statement, field->key))) {
        throw std::runtime_error("test backend fixture: " + where + " statement \"" + key + "\" is not yyyy-MM-dd");
      }
      if (field->kind == StatementField::Kind::text) text(statement, field->key);
    }
    account.statement = statement;
  }
}

}  // namespace

namespace {

// Confirmation numbers count up from here after every reseed.
constexpr long long kFirstConfirmation = 40'170'001;

bool owns(const BankUser& user, const std::string& accountId) {
  return std::find(user.accounts.begin(), user.accounts.end(), accountId) != user.accounts.end();
}

// What every order must satisfy: a positive number of cents, no day already gone, and a
// recurring order with its frequency and at least one occurrence.
bool termsValid(const TransferOrder& order, const CalendarDay& today) {
  if (order.amount <= platform::Decimal() || order.amount.rounded(2) != order.amount) return false;
  if (order.firstDate < today) return false;
  return !order.recurring || (!order.frequency.empty() && (!order.occurrences || *order.occurrences >= 1));
}

const Payee* findPayee(const std::vector<Payee>& list, const std::string& id) {
  auto it = std::find_if(list.begin(), list.end(), [&](const Payee& p) { return p.id == id; });
  return it == list.end() ? nullptr : &*it;
}

std::vector<Payee> loadPayees(const nlohmann::json& fixture, const char* key, bool recipients) {
  std::vector<Payee> out;
  for (const auto& p : fixture.value(key, nlohmann::json::array())) {
    Payee payee;
    payee.id = text(p, "id");
    payee.label = text(p, recipients ? "name" : "nickname");
    payee.detail = text(p, recipients ? "email" : "number");
    if (recipients) payee.securityQuestion = text(p, "securityQuestion");
    if (findPayee(out, payee.id)) throw std::runtime_error("test backend fixture: " + std::string(key) + " id " + payee.id + " twice");
    out.push_back(std::move(payee));
  }
  return out;
}

// Adds `amount` to a decimal text of the fixture ("" counts as absent and stays so).
void addTo(std::string& balance, const platform::Decimal& amount) {
  if (balance.empty()) return;
  balance = (*platform::Decimal::parse(balance) + amount).toString();
}

}  // namespace

std::string TestBackend::defaultFixturePath() { return VESMORA_SIMULATOR_FIXTURE; }

TestBackend::TestBackend(std::string fixturePath) : fixturePath_(std::move(fixturePath)) {
  std::ifstream in(fixturePath_, std::ios::binary);
  if (!in) throw std::runtime_error("test backend fixture not found: " + fixturePath_);
  std::stringstream buffer;
  buffer << in.rdbuf();
  try {
    fixture_ = nlohmann::json::parse(buffer.str());
  } catch (const nlohmann::json::parse_error& e) {
    throw std::runtime_error("test backend fixture is not JSON: " + std::string(e.what()));
  }
  seed_ = parse(fixture_);
  reseed();
}

TestBackend::TestBackend(const nlohmann::json& fixture) : fixture_(fixture), seed_(parse(fixture_)) { reseed(); }

// Read once: the fixture's state is copied back before every test, not read again.
void TestBackend::reseed() {
  std::lock_guard<std::mutex> lock(mutex_);
  users_ = seed_.users;
  accounts_ = seed_.accounts;
  payees_ = seed_.payees;
  recipients_ = seed_.recipients;
  fee_ = seed_.fee;
  scheduled_.clear();
  nextConfirmation_ = kFirstConfirmation;
  eTransfer_ = seed_.eTransfer;
}

TestBackend::Seed TestBackend::parse(const nlohmann::json& fixture) {
  if (!fixture.is_object() || !fixture.contains("users") || !fixture["users"].is_array()) {
    throw std::runtime_error("test backend fixture: no \"users\" array");
  }
  std::map<std::string, BankUser> users;
  std::map<std::string, BankAccount> accounts;
  for (const auto& a : fixture.value("accounts", nlohmann::json::array())) {
    BankAccount account;
    account.id = text(a, "id");
    account.name = text(a, "name");
    account.nickname = text(a, "nickname", false);
    account.number = text(a, "number");
    account.category = text(a, "category");
    account.currency = text(a, "currency");
    account.balance = text(a, "balance");
    accounts[account.id] = account;
  }
  const nlohmann::json allDetails = fixture.value("accountDetails", nlohmann::json::object());
  for (const auto& [id, details] : allDetails.items()) {
    auto account = accounts.find(id);
    if (account == accounts.end()) throw std::runtime_error("test backend fixture: details of unknown account " + id);
    loadDetails(account->second, details);
  }
  for (const auto& u : fixture["users"]) {
    BankUser user;
    user.username = text(u, "username");
    user.password = text(u, "password");
    user.name = text(u, "name");
    user.locked = u.value("locked", false);
    user.survey = u.value("survey", false);
    if (u.contains("challenge")) {
      user.challengeQuestion = text(u["challenge"], "question");
      user.challengeAnswer = text(u["challenge"], "answer");
    }
    for (const auto& id : u.value("accounts", nlohmann::json::array())) {
      std::string accountId = id.get<std::string>();
      if (!accounts.count(accountId)) {
        throw std::runtime_error("test backend fixture: user " + user.username + " has unknown account " + accountId);
      }
      user.accounts.push_back(accountId);
    }
    users[user.username] = user;
  }
  auto payees = loadPayees(fixture, "payees", false);
  auto recipients = loadPayees(fixture, "recipients", true);
  std::string feeText = text(fixture, "eTransferFee", false);
  auto fee = platform::Decimal::parse(feeText.empty() ? "0" : feeText);
  if (!fee || *fee < platform::Decimal()) throw std::runtime_error("test backend fixture: \"eTransferFee\" is not a decimal number");
  ETransferBook eTransfer;
  eTransfer.load(fixture.value("eTransferPreferences", nlohmann::json()),
                 [&](const std::string& username, const std::string& accountId) {
                   auto user = users.find(username);
                   return user != users.end() && owns(user->second, accountId) &&
                          accounts.at(accountId).category == "deposit";
                 });
  return Seed{std::move(users), std::move(accounts), std::move(payees), std::move(recipients), *fee,
              std::move(eTransfer)};
}

SignInResult TestBackend::signIn(const std::string& username, const std::string& password) {
  std::lock_guard<std::mutex> lock(mutex_);
  SignInResult result;
  auto it = users_.find(username);
  if (it == users_.end()) return result;
  const BankUser& user = it->second;
  if (user.locked) {
    result.kind = SignInResult::Kind::locked;
  } else if (user.password != password) {
    result.kind = SignInResult::Kind::invalidCredentials;
  } else if (!user.challengeQuestion.empty()) {
    result.kind = SignInResult::Kind::challenge;
    result.question = user.challengeQuestion;
  } else {
    result.kind = SignInResult::Kind::success;
  }
  return result;
}

bool TestBackend::answerChallenge(const std::string& username, const std::string& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = users_.find(username);
  if (it == users_.end() || it->second.challengeQuestion.empty()) return false;
  return folded(answer) == folded(it->second.challengeAnswer);
}

std::string TestBackend::customerName(const std::string& username) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = users_.find(username);
  return it == users_.end() ? "" : it->second.name;
}

std::optional<nlohmann::json> TestBackend::accountSummary(const std::string& username, const std::string& path) {
  auto category = categoryOfPath().find(path);
  if (category == categoryOfPath().end()) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  auto user = users_.find(username);
  if (user == users_.end()) return std::nullopt;
  // The same wire format as the mock backend's documents: an array of account objects whose
  // balances are {"currency", "value"} objects; deposits also carry their available balance.
  nlohmann::json list = nlohmann::json::array();
  for (const auto& id : user->second.accounts) {
    const BankAccount& a = accounts_.at(id);
    if (a.category != category->second) continue;
    nlohmann::json balance = {{"currency", a.currency}, {"value", nlohmann::json::parse(a.balance, nullptr, false)}};
    nlohmann::json entry = {{"id", a.id}, {"name", a.name}, {"number", a.number}, {"balance", balance}};
    if (!a.nickname.empty()) entry["nickname"] = a.nickname;
    if (a.category == "deposit") {
      entry["availableBalance"] = balance;
      if (!a.availableBalance.empty()) {
        entry["availableBalance"]["value"] = nlohmann::json::parse(a.availableBalance, nullptr, false);
      }
    }
    list.push_back(std::move(entry));
  }
  return list;
}

std::optional<nlohmann::json> TestBackend::accountDetails(const std::string& username, const std::string& accountId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto user = users_.find(username);
  if (user == users_.end()) return std::nullopt;
  const auto& owned = user->second.accounts;
  // Only the user's own accounts: an id of someone else's account answers nothing.
  if (std::find(owned.begin(), owned.end(), accountId) == owned.end()) return std::nullopt;
  const BankAccount& a = accounts_.at(accountId);
  nlohmann::json details = {{"id", a.id},           {"name", a.name},         {"nickname", a.nickname},
                            {"number", a.number},   {"category", a.category}, {"currency", a.currency},
                            {"balance", a.balance}, {"transactions", a.transactions}};
  if (!a.availableBalance.empty()) details["availableBalance"] = a.availableBalance;
  if (!a.creditLimit.empty()) details["creditLimit"] = a.creditLimit;
  if (!a.statement.empty()) details["statement"] = a.statement;
  return details;
}

std::vector<MovableAccount> TestBackend::movableAccounts(const std::string& username) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<MovableAccount> out;
  auto user = users_.find(username);
  if (user == users_.end()) return out;
  for (const auto& id : user->second.accounts) {
    const BankAccount& a = accounts_.at(id);
    if (a.category != "deposit") continue;
    const std::string& available = a.availableBalance.empty() ? a.balance : a.availableBalance;
    out.push_back({a.id, a.nickname.empty() ? a.name : a.nickname, a.number, a.currency,
                   *platform::Decimal::parse(available)});
  }
  return out;
}

std::optional<std::string> TestBackend::bookTransfer(const std::string& username, const TransferOrder& order,
                                                     const CalendarDay& today) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto user = users_.find(username);
  if (user == users_.end() || !owns(user->second, order.fromId) || !owns(user->second, order.toId) ||
      order.fromId == order.toId) {
    return std::nullopt;
  }
  BankAccount& from = accounts_.at(order.fromId);
  BankAccount& to = accounts_.at(order.toId);
  if (from.category != "deposit" || to.category != "deposit" || from.currency != to.currency) return std::nullopt;
  if (!termsValid(order, today)) return std::nullopt;
  std::string confirmation = std::to_string(nextConfirmation_++);
  if (order.recurring || order.firstDate > today) {
    scheduled_.push_back({confirmation, username, order});
    return confirmation;
  }
  // Dated today: the money moves now, and both accounts list the transfer first.
  debit(from, order.amount, "Transfer to " + (to.nickname.empty() ? to.name : to.nickname), today);
  debit(to, -order.amount, "Transfer from " + (from.nickname.empty() ? from.name : from.nickname), today);
  return confirmation;
}

void TestBackend::debit(BankAccount& account, const platform::Decimal& amount, const std::string& description,
                        const CalendarDay& today) {
  addTo(account.balance, -amount);
  addTo(account.availableBalance, -amount);
  nlohmann::json entry = {{"date", today.iso()}, {"description", description}, {"amount", (-amount).toString()}};
  account.transactions.insert(account.transactions.begin(), std::move(entry));
}

std::vector<Payee> TestBackend::payees(const std::string& username) {
  std::lock_guard<std::mutex> lock(mutex_);
  return users_.count(username) ? payees_ : std::vector<Payee>{};
}

std::vector<Payee> TestBackend::recipients(const std::string& username) {
  std::lock_guard<std::mutex> lock(mutex_);
  return users_.count(username) ? recipients_ : std::vector<Payee>{};
}

platform::Decimal TestBackend::eTransferFee() {
  std::lock_guard<std::mutex> lock(mutex_);
  return fee_;
}

std::optional<std::string> TestBackend::payBill(const std::string& username, const TransferOrder& order,
                                                const CalendarDay& today) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto user = users_.find(username);
  if (user == users_.end() || !owns(user->second, order.fromId) || !termsValid(order, today)) return std::nullopt;
  BankAccount& from = accounts_.at(order.fromId);
  const Payee* payee = findPayee(payees_, order.toId);
  if (!payee || from.category != "deposit") return std::nullopt;
  std::string confirmation = std::to_string(nextConfirmation_++);
  if (order.recurring || order.firstDate > today) {
    scheduled_.push_back({confirmation, username, order});
  } else {
    debit(from, order.amount, payee->label + " bill payment", today);
  }
  return confirmation;
}

std::optional<std::string> TestBackend::sendETransfer(const std::string& username, const TransferOrder& order,
                                                      const CalendarDay& today) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto user = users_.find(username);
  if (user == users_.end() || !owns(user->second, order.fromId) || order.recurring || order.firstDate != today ||
      !termsValid(order, today) || order.fee < platform::Decimal()) {
    return std::nullopt;
  }
  BankAccount& from = accounts_.at(order.fromId);
  const Payee* recipient = findPayee(recipients_, order.toId);
  if (!recipient || from.category != "deposit" || from.currency != "CAD") return std::nullopt;
  debit(from, order.amount, "Interac e-Transfer to " + recipient->label, today);
  if (order.fee > platform::Decimal()) debit(from, order.fee, "Interac e-Transfer fee", today);
  return std::to_string(nextConfirmation_++);
}

std::vector<ScheduledTransfer> TestBackend::scheduledTransfers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return scheduled_;
}

bool TestBackend::offersSurvey(const std::string& username) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = users_.find(username);
  return it != users_.end() && it->second.survey;
}

std::vector<BankUser> TestBackend::users() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<BankUser> out;
  for (const auto& [name, user] : users_) out.push_back(user);
  return out;
}

std::vector<BankAccount> TestBackend::accounts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<BankAccount> out;
  for (const auto& [id, account] : accounts_) out.push_back(account);
  return out;
}

// --- Interac e-Transfer preferences --------------------------------------------------------------

bool TestBackend::ownsDeposit(const std::string& username, const std::string& accountId) const {
  auto user = users_.find(username);
  return user != users_.end() && owns(user->second, accountId) && accounts_.at(accountId).category == "deposit";
}

std::optional<SenderProfile> TestBackend::senderProfile(const std::string& username) {
  std::lock_guard<std::mutex> lock(mutex_);
  return eTransfer_.profile(username);
}

bool TestBackend::saveSenderProfile(const std::string& username, const SenderProfile& profile) {
  std::lock_guard<std::mutex> lock(mutex_);
  return users_.count(username) && eTransfer_.saveProfile(username, profile);
}

std::vector<AutodepositRegistration> TestBackend::autodeposits(const std::string& username) {
  std::lock_guard<std::mutex> lock(mutex_);
  return eTransfer_.registrations(username);
}

bool TestBackend::registerAutodeposit(const std::string& username, const AutodepositRegistration& registration) {
  std::lock_guard<std::mutex> lock(mutex_);
  AutodepositRegistration fresh{registration.email, registration.accountId, "Pending"};
  return ownsDeposit(username, registration.accountId) && eTransfer_.addRegistration(username, fresh);
}

bool TestBackend::changeAutodepositAccount(const std::string& username, const std::string& email,
                                           const std::string& accountId) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ownsDeposit(username, accountId) && eTransfer_.changeRegistrationAccount(username, email, accountId);
}

bool TestBackend::deleteAutodeposit(const std::string& username, const std::string& email) {
  std::lock_guard<std::mutex> lock(mutex_);
  return eTransfer_.removeRegistration(username, email);
}

}  // namespace vesmora
