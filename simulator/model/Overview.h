// The overview tab's model: the account cards of the signed-in customer grouped by category, the
// totals of each category, the greeting header, and the scroll position of the overview's table.
//
// The cards come from the account-summary documents the app fetched after signing in (one per
// category path, the same wire format from both backends):
//   [ {"id": "...", "name": "...", "nickname": "...", "number": "...",
//      "balance": {"currency": "CAD", "value": 1234.56},
//      "availableBalance": {"currency": "CAD", "value": 1200.00}}, ... ]
// A deposit card shows the available balance, every other card its balance.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Date.h"
#include "foundation/Decimal.h"
#include "model/Faults.h"

namespace vesmora {

enum class AccountCategory { deposit, creditCard, loan, investment };

// The order of the overview's sections: Banking, Credit cards, Loans & mortgages, Investments.
const std::vector<AccountCategory>& overviewCategories();
// "/deposits", "/creditcards", "/loans", "/investments".
std::string summaryPath(AccountCategory category);
// "Banking", "Credit cards", "Loans & mortgages", "Investments".
std::string categoryHeading(AccountCategory category);
// "Available balance", "Current balance", "Principal balance", "Value".
std::string balanceCaption(AccountCategory category);

// The three parts of an amount's en_US currency text as the cards show them:
// "$" | "1,234" | ".56" ("-$" for a negative amount).
struct AmountLabels {
  std::string dollarSign;
  std::string wholeDollars;
  std::string cents;
  std::string joined() const { return dollarSign + wholeDollars + cents; }
};
AmountLabels amountLabels(const platform::Decimal& amount);

struct AccountCard {
  std::string id;
  std::string title;  // nickname (or name when there is none) + " (" + number + ")"
  AccountCategory category = AccountCategory::deposit;
  std::string currency;  // "CAD", "USD", ...
  platform::Decimal amount;
};

// The cards of one summary document, in document order. Entries that are not objects or lack
// "id", "name", "number" or a usable balance are skipped (the app shows what it can); a
// document that is not an array gives no cards.
std::vector<AccountCard> cardsFromSummary(AccountCategory category, const nlohmann::json& document,
                                          const Faults& faults = {});

// The sums of a category's cards in CAD and in USD (cards in other currencies are not counted).
struct CategoryTotals {
  platform::Decimal cad;
  platform::Decimal usd;
};

// The greeting of the time of day at `date` in `zone`: "Hello," before 04:30, "Good morning,"
// from 04:30, "Good afternoon," from 12:00, "Good evening," from 17:30.
std::string greetingText(double date, const platform::TimeZone& zone, const Faults& faults = {});
// The date in the en_US long date style: "December 7, 2026".
std::string longDateText(double date, const platform::TimeZone& zone);
// The first word of a customer's name ("Avery" of "Avery Lindqvist").
std::string firstNameOf(const std::string& name);

// One row of the overview's table, laid out from the top of the table's content.
struct OverviewRow {
  enum class Kind { header, card, totals };
  Kind kind = Kind::header;
  AccountCategory category = AccountCategory::deposit;
  std::size_t card = 0;  // index into Overview::cards() for a card row
  double top = 0;        // from the top of the content
  double height = 0;
};

class Overview {
 public:
  // The table's frame on the device's screen: below the navigation bar, above the tab bar.
  static constexpr double kTableTop = 100;
  static constexpr double kTableBottom = 761;
  static constexpr double kScreenWidth = 390;
  static constexpr double kHeaderHeight = 150;
  static constexpr double kCardHeight = 100;
  static constexpr double kTotalsHeight = 80;
  // How far one swipe moves the content.
  static constexpr double kSwipeDistance = 400;

  Overview() = default;
  // Builds the cards from the fetched summaries (keyed by category path) and scrolls to the top.
  Overview(const std::map<std::string, nlohmann::json>& summaries, std::string customerName,
           const Faults& faults = {});

  const std::vector<AccountCard>& cards() const { return cards_; }
  const std::string& customerName() const { return customerName_; }
  // The totals of a category; empty when the category has no cards.
  std::optional<CategoryTotals> totals(AccountCategory category) const;

  // Rows in display order: the header, then per category with cards its cards and its totals.
  const std::vector<OverviewRow>& rows() const { return rows_; }
  double contentHeight() const;

  // Scrolling: the offset of the content's top above the table's top, 0 at the top and at most
  // contentHeight() minus the table's height.
  double scrollOffset() const { return offset_; }
  // A swipe up moves the content up (later rows come into view); a swipe down moves it back.
  void swipeUp() { scrollBy(kSwipeDistance); }
  void swipeDown() { scrollBy(-kSwipeDistance); }
  void scrollBy(double delta);
  // The on-screen top of a row at the current offset.
  double screenTop(const OverviewRow& row) const { return kTableTop + row.top - offset_; }
  // Whether a row shows within the table (at least partly) at the current offset.
  bool isOnScreen(const OverviewRow& row) const;
  // Whether a tap reaches the row: its middle lies within the table's visible part.
  bool isHittable(const OverviewRow& row) const;
  // The table keeps cells only for rows that lie (at least partly) within one table height above
  // or below its visible part; rows further away are not in the accessibility tree until a
  // scroll brings them near, as with reused cells on a device.
  static constexpr double kLoadedMargin = kTableBottom - kTableTop;
  bool isLoaded(const OverviewRow& row) const;
  // Scrolls the least distance that shows the whole row (as far as the content allows).
  void scrollToShow(const OverviewRow& row);

 private:
  std::vector<AccountCard> cards_;
  std::string customerName_;
  std::vector<OverviewRow> rows_;
  double offset_ = 0;
};

}  // namespace vesmora
