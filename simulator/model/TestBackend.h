// The simulated test backend: an in-process fake bank holding users, accounts with balances and
// transactions, payees and Interac e-Transfer recipients, seeded from one fixture file. reseed() restores the
// fixture (the UI runner does so before every test method, so money moved by one test never
// breaks another).
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "model/Backend.h"

namespace vesmora {

struct BankUser {
  std::string username;
  std::string password;
  std::string name;
  bool locked = false;
  std::string challengeQuestion;  // empty: no challenge
  std::string challengeAnswer;
  bool survey = false;
  std::vector<std::string> accounts;  // account ids
};

struct BankAccount {
  std::string id;
  std::string name;
  std::string nickname;
  std::string number;
  std::string category;  // "deposit", "loan", "investment", "creditcard"
  std::string currency;  // "CAD" or "USD"
  std::string balance;   // decimal text, "1234.56"
  // From the fixture's "accountDetails" section (all optional):
  std::string availableBalance;  // decimal text; deposits and loans (the balance when absent)
  std::string creditLimit;       // decimal text; credit cards
  nlohmann::json transactions = nlohmann::json::array();  // [{"date", "description", "amount"}], newest first
  nlohmann::json statement = nlohmann::json::object();    // credit-card statement fields
};

// A future-dated or recurring transfer the bank holds until its days come.
struct ScheduledTransfer {
  std::string confirmationNumber;
  std::string username;
  TransferOrder order;
};

class TestBackend : public Backend {
 public:
  // Loads the fixture file; throws std::runtime_error when it cannot be read or is malformed.
  explicit TestBackend(std::string fixturePath);
  // Builds from a fixture document (unit tests).
  explicit TestBackend(const nlohmann::json& fixture);

  // Restores every user, account and balance of the fixture.
  void reseed();

  SignInResult signIn(const std::string& username, const std::string& password) override;
  bool answerChallenge(const std::string& username, const std::string& answer) override;
  std::string customerName(const std::string& username) override;
  std::optional<nlohmann::json> accountSummary(const std::string& username, const std::string& path) override;
  bool offersSurvey(const std::string& username) override;
  std::optional<nlohmann::json> accountDetails(const std::string& username, const std::string& accountId) override;
  std::vector<MovableAccount> movableAccounts(const std::string& username) override;
  std::optional<std::string> bookTransfer(const std::string& username, const TransferOrder& order,
                                          const CalendarDay& today) override;
  std::vector<Payee> payees(const std::string& username) override;
  std::vector<Payee> recipients(const std::string& username) override;
  platform::Decimal eTransferFee() override;
  std::optional<std::string> payBill(const std::string& username, const TransferOrder& order,
                                     const CalendarDay& today) override;
  std::optional<std::string> sendETransfer(const std::string& username, const TransferOrder& order,
                                           const CalendarDay& today) override;
  // Future-dated and recurring transfers and bill payments (recurring schedules are counted
  // here; bill payments have a payee's id as `order.toId`).
  std::vector<ScheduledTransfer> scheduledTransfers() const;

  // Interac e-Transfer preferences (model/ETransferPreferences.h), seeded from the fixture's
  // "eTransferPreferences" section.
  std::optional<SenderProfile> senderProfile(const std::string& username) override;
  bool saveSenderProfile(const std::string& username, const SenderProfile& profile) override;
  std::vector<AutodepositRegistration> autodeposits(const std::string& username) override;
  bool registerAutodeposit(const std::string& username, const AutodepositRegistration& registration) override;
  bool changeAutodepositAccount(const std::string& username, const std::string& email,
                                const std::string& accountId) override;
  bool deleteAutodeposit(const std::string& username, const std::string& email) override;

  std::vector<BankUser> users() const;
  std::vector<BankAccount> accounts() const;
  const nlohmann::json& fixture() const { return fixture_; }

  // The fixture file of the simulated app, fixed at build time.
  static std::string defaultFixturePath();

 private:
  // The bank's state as the fixture describes it.
  struct Seed {
    std::map<std::string, BankUser> users;
    std::map<std::string, BankAccount> accounts;
    std::vector<Payee> payees;
    std::vector<Payee> recipients;
    platform::Decimal fee;
    ETransferBook eTransfer;
  };
  // Reads and checks the fixture; throws std::runtime_error when it is malformed.
  static Seed parse(const nlohmann::json& fixture);
  // Takes `amount` off a deposit and lists `description` first among its transactions.
  void debit(BankAccount& account, const platform::Decimal& amount, const std::string& description,
             const CalendarDay& today);

  std::string fixturePath_;
  nlohmann::json fixture_;
  Seed seed_;
  mutable std::mutex mutex_;
  std::map<std::string, BankUser> users_;
  std::map<std::string, BankAccount> accounts_;
  std::vector<ScheduledTransfer> scheduled_;
  std::vector<Payee> payees_;
  std::vector<Payee> recipients_;
  platform::Decimal fee_;
  long long nextConfirmation_ = 0;
  ETransferBook eTransfer_;
  // Whether the account is one of the user's deposit accounts (with the lock held).
  bool ownsDeposit(const std::string& username, const std::string& accountId) const;
};

}  // namespace vesmora
