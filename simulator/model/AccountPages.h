// The pages an account card opens on the overview tab: the account's transactions page and, from
// there, its details ("Manage Account"). Built from the account-details document the backend
// answers when a card is tapped:
//   {"id": "...", "name": "...", "nickname": "...", "number": "...",
//    "category": "deposit" | "loan" | "investment" | "creditcard", "currency": "CAD" | "USD",
//    "balance": "1234.56", "availableBalance": "1200.00", "creditLimit": "5000.00",
//    "transactions": [{"date": "2026-12-04", "description": "...", "amount": "-14.35"}, ...],
//    "statement": {"lastStatementBalance": "...", "nextStatementDate": "2026-12-18", ...}}
// Amounts are decimal texts, dates "yyyy-MM-dd" calendar days (shown as "Dec 4, 2026" in every
// time zone). Transactions come newest first.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "foundation/Decimal.h"
#include "model/Faults.h"
#include "model/Overview.h"

namespace vesmora {

// One caption and its value, as both pages show them.
struct CaptionedValue {
  std::string caption;     // "Available balance"
  std::string value;       // "$1,234.56"
  std::string identifier;  // accessibility identifier of the value on the details page
};

struct TransactionLine {
  std::string date;         // "Dec 4, 2026"
  std::string description;
  std::string amount;       // "-$14.35"
};

// A credit card's statement field: its key in the details document, its caption, and whether
// its value is an amount, a date or plain text.
struct StatementField {
  enum class Kind { amount, date, text };
  const char* key;
  const char* caption;
  Kind kind;
};
// In the order the details page shows them.
const std::vector<StatementField>& statementFields();

// "Dec 4, 2026" for "2026-12-04"; empty for text that is not a valid calendar day.
std::optional<std::string> calendarDayText(const std::string& isoDay);
// An amount as the account pages show it: en_US currency text, " USD" after a US-dollar amount.
std::string accountAmountText(const platform::Decimal& amount, const std::string& currency);
// The identifier of a details value: "Account_Details" and, for each word of the caption, "_"
// and the word with its first letter capitalised ("Account_Details_Last_Statement_Balance").
std::string detailIdentifier(const std::string& caption);

struct AccountPage {
  std::string id;
  std::string name;
  std::string nickname;
  std::string number;
  AccountCategory category = AccountCategory::deposit;
  std::string currency;
  // The transactions page's balance header, in display order; the details page repeats it.
  std::vector<CaptionedValue> balances;
  std::vector<TransactionLine> transactions;
  // The details page's rows after the name and number: the balances, then (credit cards) the
  // statement fields the backend gave.
  std::vector<CaptionedValue> details;

  // The transactions page's title: the name, " (", the number and ")".
  std::string title() const { return name + " (" + number + ")"; }
};

// The page of a details document; empty when the document lacks its identity ("id", "name",
// "number", a known "category") or a readable balance. Transactions or statement fields that
// cannot be read are left out. `faults` are the app's switched-on faults (model/Faults.h).
std::optional<AccountPage> accountPageFromDetails(const nlohmann::json& details, const Faults& faults = {});

// The navigation stack over the overview: nothing, an account's transactions page, or its details
// page above that. Each page scrolls on its own; going back to the transactions page finds it
// where it was left.
class AccountPages {
 public:
  enum class Page { none, transactions, details };

  // Layout of the transactions page's table, from the top of its content.
  static constexpr double kTableTop = Overview::kTableTop;
  static constexpr double kTableBottom = Overview::kTableBottom;
  static constexpr double kBalanceLineHeight = 64;
  static constexpr double kManageAccountHeight = 50;
  static constexpr double kSubHeadingHeight = 40;
  static constexpr double kTransactionHeight = 64;
  static constexpr double kFooterHeight = 80;
  static constexpr double kDetailsHeaderHeight = 80;
  static constexpr double kDetailRowHeight = 52;

  Page page() const { return page_; }
  // The open account; null when no page is shown.
  const AccountPage* account() const { return page_ == Page::none ? nullptr : &account_; }

  // Shows the transactions page of `account`, scrolled to the top.
  void open(AccountPage account);
  // From the transactions page to the details page.
  void showDetails();
  // One page back: details to transactions, transactions to the overview.
  void back();
  // Back to the overview.
  void close();

  // Transactions page layout: the balance header, "Manage account", the "Transactions" heading,
  // then one row per transaction (or the no-transactions footer).
  double balancesTop() const { return 0; }
  double manageAccountTop() const { return account_.balances.size() * kBalanceLineHeight; }
  double subHeadingTop() const { return manageAccountTop() + kManageAccountHeight; }
  double transactionTop(std::size_t index) const { return subHeadingTop() + kSubHeadingHeight + index * kTransactionHeight; }
  // Details page layout: the title header, then rows of caption and value (name, nickname when
  // there is one, number, then the page's details).
  std::size_t detailRows() const { return (account_.nickname.empty() ? 2 : 3) + account_.details.size(); }
  double detailRowTop(std::size_t index) const { return kDetailsHeaderHeight + index * kDetailRowHeight; }
  // The height of the shown page's content.
  double contentHeight() const;

  // The shown page's scroll position.
  double scrollOffset() const { return page_ == Page::details ? detailsOffset_ : offset_; }
  void scrollBy(double delta);
  // The on-screen top of the shown page's content at `top`.
  double screenTop(double top) const { return kTableTop + top - scrollOffset(); }
  // Whether a tap reaches a row at `top` of `height`: its middle lies within the visible part.
  bool isHittable(double top, double height) const;
  // As on the overview, the table keeps only rows within one table height of its visible part.
  static constexpr double kLoadedMargin = kTableBottom - kTableTop;
  bool isLoaded(double top, double height) const;
  // Scrolls the least distance that shows the whole row (as far as the content allows).
  void scrollToShow(double top, double height);

 private:
  Page page_ = Page::none;
  AccountPage account_;
  double offset_ = 0;         // transactions page
  double detailsOffset_ = 0;  // details page
};

}  // namespace vesmora
