#include "model/Overview.h"

#include <algorithm>

namespace vesmora {
namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const std::string* stringMember(const nlohmann::json& object, const char* key) {
  const nlohmann::json* value = member(object, key);
  return value && value->is_string() ? value->get_ptr<const std::string*>() : nullptr;
}

// A balance object {"currency": "CAD", "value": 12.5}: its currency and exact amount.
bool readBalance(const nlohmann::json* balance, std::string& currency, platform::Decimal& amount) {
  if (!balance || !balance->is_object()) return false;
  const std::string* code = stringMember(*balance, "currency");
  const nlohmann::json* value = member(*balance, "value");
  if (!code || !value || !value->is_number()) return false;
  std::optional<platform::Decimal> exact;
  if (value->is_number_float()) {
    exact = platform::Decimal::fromDouble(value->get<double>());
  } else {
    exact = platform::Decimal::parse(value->dump());
  }
  if (!exact) return false;
  currency = *code;
  amount = *exact;
  return true;
}

}  // namespace

const std::vector<AccountCategory>& overviewCategories() {
  static const std::vector<AccountCategory> order = {AccountCategory::deposit, AccountCategory::creditCard,
                                                     AccountCategory::loan, AccountCategory::investment};
  return order;
}

std::string summaryPath(AccountCategory category) {
  switch (category) {
    case AccountCategory::deposit:
      return "/deposits";
    case AccountCategory::creditCard:
      return "/creditcards";
    case AccountCategory::loan:
      return "/loans";
    case AccountCategory::investment:
      return "/investments";
  }
  return "";
}

std::string categoryHeading(AccountCategory category) {
  switch (category) {
    case AccountCategory::deposit:
      return "Banking";
    case AccountCategory::creditCard:
      return "Credit cards";
    case AccountCategory::loan:
      return "Loans & mortgages";
    case AccountCategory::investment:
      return "Investments";
  }
  return "";
}

std::string balanceCaption(AccountCategory category) {
  switch (category) {
    case AccountCategory::deposit:
      return "Available balance";
    case AccountCategory::creditCard:
      return "Current balance";
    case AccountCategory::loan:
      return "Principal balance";
    case AccountCategory::investment:
      return "Value";
  }
  return "";
}

AmountLabels amountLabels(const platform::Decimal& amount) {
  std::string text = platform::formatCurrency(amount, "en_US", "USD");  // "$1,234.56", "-$0.50"
  AmountLabels labels;
  std::size_t digits = text.find_first_of("0123456789");
  if (digits == std::string::npos) digits = text.size();
  labels.dollarSign = text.substr(0, digits);
  std::size_t point = text.find('.', digits);
  if (point == std::string::npos) point = text.size();
  labels.wholeDollars = text.substr(digits, point - digits);
  labels.cents = text.substr(point);
  return labels;
}

const Fault kNicknameIgnored("nicknameIgnored", "card titles use the account's name even when it has a nickname");
const Fault kEmptyNicknameUsed("emptyNicknameUsed", "an empty nickname is used as the card title");
const Fault kDepositShowsBalance("depositShowsBalance",
                                 "deposit cards show the balance instead of the available balance");

std::vector<AccountCard> cardsFromSummary(AccountCategory category, const nlohmann::json& document,
                                          const Faults& faults) {
  std::vector<AccountCard> cards;
  if (!document.is_array()) return cards;
  for (const auto& entry : document) {
    if (!entry.is_object()) continue;
    const std::string* id = stringMember(entry, "id");
    const std::string* name = stringMember(entry, "name");
    const std::string* number = stringMember(entry, "number");
    if (!id || !name || !number) continue;
    const std::string* nickname = stringMember(entry, "nickname");
    AccountCard card;
    card.id = *id;
    card.category = category;
    bool useNickname = nickname && (!nickname->empty() || faults.has(kEmptyNicknameUsed)) &&
                       !faults.has(kNicknameIgnored);
    card.title = (useNickname ? *nickname : *name) + " (" + *number + ")";
    const nlohmann::json* shown = category == AccountCategory::deposit && !faults.has(kDepositShowsBalance)
                                      ? member(entry, "availableBalance")
                                      : member(entry, "balance");
    if (!readBalance(shown, card.currency, card.amount) &&
        !readBalance(member(entry, "balance"), card.currency, card.amount)) {
      continue;
    }
    cards.push_back(std::move(card));
  }
  return cards;
}

const Fault kAfternoonAfterNoon("afternoonAfterNoon", "the greeting turns to \"Good afternoon,\" only after 12:00");

std::string greetingText(double date, const platform::TimeZone& zone, const Faults& faults) {
  platform::DateComponents c = platform::componentsOfDate(date, zone);
  int minutes = c.hour * 60 + c.minute;
  if (minutes >= 17 * 60 + 30) return "Good evening,";
  if (faults.has(kAfternoonAfterNoon) ? minutes > 12 * 60 : minutes >= 12 * 60) return "Good afternoon,";
  if (minutes >= 4 * 60 + 30) return "Good morning,";
  return "Hello,";
}

std::string longDateText(double date, const platform::TimeZone& zone) {
  platform::DateFormatter formatter("MMMM d, y");
  formatter.setTimeZone(zone);
  return formatter.stringFromDate(date);
}

std::string firstNameOf(const std::string& name) {
  std::size_t begin = name.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  std::size_t end = name.find(' ', begin);
  return name.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

Overview::Overview(const std::map<std::string, nlohmann::json>& summaries, std::string customerName,
                   const Faults& faults)
    : customerName_(std::move(customerName)) {
  double top = 0;
  rows_.push_back({OverviewRow::Kind::header, AccountCategory::deposit, 0, top, kHeaderHeight});
  top += kHeaderHeight;
  for (AccountCategory category : overviewCategories()) {
    auto summary = summaries.find(summaryPath(category));
    if (summary == summaries.end()) continue;
    auto cards = cardsFromSummary(category, summary->second, faults);
    if (cards.empty()) continue;
    for (auto& card : cards) {
      rows_.push_back({OverviewRow::Kind::card, category, cards_.size(), top, kCardHeight});
      top += kCardHeight;
      cards_.push_back(std::move(card));
    }
    rows_.push_back({OverviewRow::Kind::totals, category, 0, top, kTotalsHeight});
    top += kTotalsHeight;
  }
}

std::optional<CategoryTotals> Overview::totals(AccountCategory category) const {
  std::optional<CategoryTotals> totals;
  for (const auto& card : cards_) {
    if (card.category != category) continue;
    if (!totals) totals.emplace();
    if (card.currency == "CAD") totals->cad = totals->cad + card.amount;
    if (card.currency == "USD") totals->usd = totals->usd + card.amount;
  }
  return totals;
}

double Overview::contentHeight() const { return rows_.empty() ? 0 : rows_.back().top + rows_.back().height; }

void Overview::scrollBy(double delta) {
  double maxOffset = std::max(0.0, contentHeight() - (kTableBottom - kTableTop));
  offset_ = std::clamp(offset_ + delta, 0.0, maxOffset);
}

bool Overview::isOnScreen(const OverviewRow& row) const {
  double top = screenTop(row);
  return top < kTableBottom && top + row.height > kTableTop;
}

bool Overview::isHittable(const OverviewRow& row) const {
  double middle = screenTop(row) + row.height / 2;
  return middle >= kTableTop && middle < kTableBottom;
}

bool Overview::isLoaded(const OverviewRow& row) const {
  double top = screenTop(row);
  return top < kTableBottom + kLoadedMargin && top + row.height > kTableTop - kLoadedMargin;
}

void Overview::scrollToShow(const OverviewRow& row) {
  double top = screenTop(row);
  if (top < kTableTop) {
    scrollBy(top - kTableTop);
  } else if (top + row.height > kTableBottom) {
    scrollBy(top + row.height - kTableBottom);
  }
}

}  // namespace vesmora
