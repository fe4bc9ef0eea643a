// The bank as the simulated app sees it. Two implementations: MockBackend (the mock tests'
// built-in users, account data from the stub server) and TestBackend (an in-process fake bank
// seeded from a fixture file).
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "foundation/Decimal.h"
#include "model/CalendarDay.h"
#include "model/ETransferPreferences.h"

namespace vesmora {

struct SignInResult {
  enum class Kind {
    success,             // signed in
    challenge,           // the password is right; the security question must be answered
    invalidCredentials,  // unknown user or wrong password
    locked,              // the account is locked
  };
  Kind kind = Kind::invalidCredentials;
  std::string question;  // for `challenge`
};

// An account money can be moved from or to (the customer's deposit accounts).
struct MovableAccount {
  std::string id;
  std::string label;  // the nickname, or the name when there is none
  std::string number;
  std::string currency;
  platform::Decimal balance;  // what can be moved: the available balance
};

// A transfer between two of the customer's accounts, as the transfer form sends it.
struct TransferOrder {
  std::string fromId;
  std::string toId;
  platform::Decimal amount;
  CalendarDay firstDate;  // the transfer date, or a recurring transfer's start
  bool recurring = false;
  std::string frequency;                 // recurring: "Weekly", ...
  std::optional<CalendarDay> lastDate;   // recurring: the last transfer's day; empty: never ends
  std::optional<int> occurrences;        // recurring: how many transfers; empty: never ends
  std::string memo;                      // bill payments and e-Transfers
  platform::Decimal fee;                 // e-Transfers: the fee shown on the review, taken with the amount
};

// Someone the customer pays: a bill payee (nickname, name, the customer's account number with
// it) or an Interac e-Transfer recipient (name, e-mail address, security question).
struct Payee {
  std::string id;
  std::string label;   // how the forms list it: the payee's nickname, the recipient's name
  std::string detail;  // the payee's account number, the recipient's e-mail address
  std::string securityQuestion;  // recipients only
};

class Backend {
 public:
  virtual ~Backend() = default;

  virtual SignInResult signIn(const std::string& username, const std::string& password) = 0;
  // Whether `answer` answers the security question asked of `username`.
  virtual bool answerChallenge(const std::string& username, const std::string& answer) = 0;
  // The customer's display name ("" when unknown).
  virtual std::string customerName(const std::string& username) = 0;
  // The account summary of one category path ("/deposits", "/loans", "/investments",
  // "/creditcards") for a signed-in user; empty when the backend has none or cannot be reached.
  virtual std::optional<nlohmann::json> accountSummary(const std::string& username, const std::string& path) = 0;
  // Whether the satisfaction survey is offered to the user after signing in.
  virtual bool offersSurvey(const std::string& username) = 0;
  // The details of one account of a signed-in user, with its recent transactions, in the wire
  // format read by accountPageFromDetails (model/AccountPages.h); empty when the backend has none
  // for that user or cannot be reached.
  virtual std::optional<nlohmann::json> accountDetails(const std::string& /*username*/,
                                                       const std::string& /*accountId*/) {
    return std::nullopt;
  }
  // The accounts the customer can move money between, in the order the overview lists them.
  virtual std::vector<MovableAccount> movableAccounts(const std::string& /*username*/) { return {}; }
  // Books a transfer of the customer's own accounts on `today`: one dated today moves the money
  // at once, later and recurring ones are scheduled. The confirmation number; empty when the bank
  // refuses the order (accounts not the customer's, the same account twice, other currencies, an
  // amount that is not a positive number of cents).
  virtual std::optional<std::string> bookTransfer(const std::string& /*username*/, const TransferOrder& /*order*/,
                                                  const CalendarDay& /*today*/) {
    return std::nullopt;
  }
  // The customer's bill payees and e-Transfer recipients, in the order the forms list them.
  virtual std::vector<Payee> payees(const std::string& /*username*/) { return {}; }
  virtual std::vector<Payee> recipients(const std::string& /*username*/) { return {}; }
  // What one e-Transfer costs on top of its amount.
  virtual platform::Decimal eTransferFee() { return platform::Decimal(); }
  // Books a bill payment (`order.toId` a payee) or sends an e-Transfer (`order.toId` a
  // recipient; amount and fee leave the account at once), as bookTransfer does; empty when
  // refused.
  virtual std::optional<std::string> payBill(const std::string& /*username*/, const TransferOrder& /*order*/,
                                             const CalendarDay& /*today*/) {
    return std::nullopt;
  }
  virtual std::optional<std::string> sendETransfer(const std::string& /*username*/, const TransferOrder& /*order*/,
                                                   const CalendarDay& /*today*/) {
    return std::nullopt;
  }

  // Interac e-Transfer preferences of a signed-in customer. The profile is empty when the
  // customer has none; the changes answer false when the bank refuses them (an unknown user,
  // bad values, an account that is not one of the customer's deposit accounts, an address
  // already registered, an unknown registration).
  virtual std::optional<SenderProfile> senderProfile(const std::string& /*username*/) { return std::nullopt; }
  virtual bool saveSenderProfile(const std::string& /*username*/, const SenderProfile& /*profile*/) { return false; }
  virtual std::vector<AutodepositRegistration> autodeposits(const std::string& /*username*/) { return {}; }
  virtual bool registerAutodeposit(const std::string& /*username*/, const AutodepositRegistration& /*registration*/) {
    return false;
  }
  virtual bool changeAutodepositAccount(const std::string& /*username*/, const std::string& /*email*/,
                                        const std::string& /*accountId*/) {
    return false;
  }
  virtual bool deleteAutodeposit(const std::string& /*username*/, const std::string& /*email*/) { return false; }
};

// The category paths the app asks for after signing in.
inline const char* const kAccountSummaryPaths[] = {"/deposits", "/loans", "/investments", "/creditcards"};

}  // namespace vesmora
