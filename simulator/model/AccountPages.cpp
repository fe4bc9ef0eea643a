#include "model/AccountPages.h"

#include <algorithm>
#include <cctype>

#include "model/CalendarDay.h"

namespace vesmora {

// Faults of the account pages' data (see model/Faults.h).
const Fault kDetailsBalanceOffByCent("detailsBalanceOffByCent",
                                     "the details page shows the current balance one cent lower than the transactions page");
const Fault kInvestmentShowsAvailableBalance("investmentShowsAvailableBalance",
                                             "an investment's details page shows an \"Available balance\" row in view");
const Fault kInvestmentShowsBookValue("investmentShowsBookValue",
                                      "an investment's transactions page shows its book value as a second amount");
const Fault kZeroBalanceLineHidden("zeroBalanceLineHidden",
                                   "a balance line whose amount is zero is left out of the account pages");
const Fault kRewardsBalanceBlank("rewardsBalanceBlank", "a credit card's rewards balance is shown empty");
const Fault kStatementDatesUnformatted("statementDatesUnformatted",
                                       "credit-card statement dates are shown as the backend sends them (2026-12-15)");

namespace {

const std::string* textMember(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

std::optional<platform::Decimal> amountMember(const nlohmann::json& object, const char* key) {
  const std::string* text = textMember(object, key);
  if (!text) return std::nullopt;
  return platform::Decimal::parse(*text);
}

std::optional<AccountCategory> categoryNamed(const std::string& name) {
  if (name == "deposit") return AccountCategory::deposit;
  if (name == "loan") return AccountCategory::loan;
  if (name == "investment") return AccountCategory::investment;
  if (name == "creditcard") return AccountCategory::creditCard;
  return std::nullopt;
}

}  // namespace

const std::vector<StatementField>& statementFields() {
  using K = StatementField::Kind;
  static const std::vector<StatementField> fields = {
      {"lastStatementBalance", "Last statement balance", K::amount},
      {"nextStatementDate", "Next statement date", K::date},
      {"minimumPaymentAmount", "Minimum payment amount", K::amount},
      {"minimumPaymentDueDate", "Minimum payment due date", K::date},
      {"lastPaymentAmount", "Last payment amount", K::amount},
      {"lastPaymentDate", "Last payment date", K::date},
      {"rewardsBalance", "Rewards balance", K::text},
  };
  return fields;
}

std::optional<std::string> calendarDayText(const std::string& isoDay) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (isoDay.size() != 10 || isoDay[4] != '-' || isoDay[7] != '-') return std::nullopt;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!std::isdigit(static_cast<unsigned char>(isoDay[i]))) return std::nullopt;
  }
  int year = std::stoi(isoDay.substr(0, 4));
  int month = std::stoi(isoDay.substr(5, 2));
  int day = std::stoi(isoDay.substr(8, 2));
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return std::nullopt;
  int days = kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
  if (day < 1 || day > days) return std::nullopt;
  return std::string(kMonths[month - 1]) + " " + std::to_string(day) + ", " + std::to_string(year);
}

std::string accountAmountText(const platform::Decimal& amount, const std::string& currency) {
  // Rounded first, so that an amount that rounds to zero shows no minus sign ("$0.00").
  std::string text =
      platform::formatCurrency(amount.rounded(2, platform::Decimal::Rounding::Bankers), "en_US", "USD");
  if (currency == "USD") text += " USD";
  return text;
}

std::string detailIdentifier(const std::string& caption) {
  std::string identifier = "Account_Details";
  std::size_t i = 0;
  while (i < caption.size()) {
    if (caption[i] == ' ') {
      ++i;
      continue;
    }
    std::size_t end = caption.find(' ', i);
    if (end == std::string::npos) end = caption.size();
    std::string word = caption.substr(i, end - i);
    word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    identifier += "_" + word;
    i = end;
  }
  return identifier;
}

std::optional<AccountPage> accountPageFromDetails(const nlohmann::json& details, const Faults& faults) {
  if (!details.is_object()) return std::nullopt;
  const std::string* id = textMember(details, "id");
  const std::string* name = textMember(details, "name");
  const std::string* number = textMember(details, "number");
  const std::string* categoryName = textMember(details, "category");
  auto balance = amountMember(details, "balance");
  if (!id || !name || !number || !categoryName || !balance) return std::nullopt;
  auto category = categoryNamed(*categoryName);
  if (!category) return std::nullopt;

  AccountPage page;
  page.id = *id;
  page.name = *name;
  page.number = *number;
  page.category = *category;
  if (const std::string* nickname = textMember(details, "nickname")) page.nickname = *nickname;
  const std::string* currency = textMember(details, "currency");
  page.currency = currency ? *currency : "CAD";

  auto line = [&](const std::string& caption, const platform::Decimal& amount) {
    if (amount.isZero() && faults.has(kZeroBalanceLineHidden)) return;
    page.balances.push_back({caption, accountAmountText(amount, page.currency), detailIdentifier(caption)});
  };
  auto available = amountMember(details, "availableBalance");
  switch (page.category) {
    case AccountCategory::deposit:
      // Without holds, everything in the account is available.
      line("Available balance", available.value_or(*balance));
      line("Current balance", *balance);
      break;
    case AccountCategory::loan:
      line("Principal balance", *balance);
      // What is left to draw; nothing for a loan without a credit line.
      line("Available balance", available.value_or(platform::Decimal()));
      break;
    case AccountCategory::creditCard:
      line("Current balance", *balance);
      if (auto limit = amountMember(details, "creditLimit")) line("Available credit", *limit - *balance);
      break;
    case AccountCategory::investment:
      line("Value", *balance);
      if (faults.has(kInvestmentShowsBookValue)) line("Book value", *balance - platform::Decimal(1000));
      break;
  }
  page.details = page.balances;
  if (faults.has(kDetailsBalanceOffByCent)) {
    for (CaptionedValue& detail : page.details) {
      if (detail.caption == "Current balance") {
        detail.value = accountAmountText(*balance - *platform::Decimal::parse("0.01"), page.currency);
      }
    }
  }
  if (page.category == AccountCategory::investment && faults.has(kInvestmentShowsAvailableBalance)) {
    page.details.push_back({"Available balance", accountAmountText(platform::Decimal(), page.currency),
                            detailIdentifier("Available balance")});
  }

  if (auto list = details.find("transactions"); list != details.end() && list->is_array()) {
    for (const auto& t : *list) {
      if (!t.is_object()) continue;
      const std::string* date = textMember(t, "date");
      const std::string* description = textMember(t, "description");
      auto amount = amountMember(t, "amount");
      auto day = date ? calendarDayText(*date) : std::nullopt;
      if (!day || !description || !amount) continue;
      page.transactions.push_back({*day, *description, accountAmountText(*amount, page.currency)});
    }
  }

  if (page.category == AccountCategory::creditCard) {
    auto statement = details.find("statement");
    if (statement != details.end() && statement->is_object()) {
      for (const StatementField& field : statementFields()) {
        const std::string* raw = textMember(*statement, field.key);
        if (!raw) continue;
        std::optional<std::string> value;
        switch (field.kind) {
          case StatementField::Kind::amount:
            if (auto amount = platform::Decimal::parse(*raw)) value = accountAmountText(*amount, page.currency);
            break;
          case StatementField::Kind::date:
            value = calendarDayText(*raw);
            if (value && faults.has(kStatementDatesUnformatted)) value = *raw;
            break;
          case StatementField::Kind::text:
            value = faults.has(kRewardsBalanceBlank) ? "" : *raw;
            break;
        }
        if (value) page.details.push_back({field.caption, *value, detailIdentifier(field.caption)});
      }
    }
  }
  return page;
}

void AccountPages::open(AccountPage account) {
  account_ = std::move(account);
  page_ = Page::transactions;
  offset_ = 0;
}

void AccountPages::showDetails() {
  if (page_ != Page::transactions) return;
  page_ = Page::details;
  detailsOffset_ = 0;
}

void AccountPages::back() {
  if (page_ == Page::details) {
    page_ = Page::transactions;
  } else {
    close();
  }
}

void AccountPages::close() {
  page_ = Page::none;
  account_ = AccountPage();
  offset_ = 0;
}

double AccountPages::contentHeight() const {
  if (page_ == Page::details) return detailRowTop(detailRows());
  std::size_t rows = account_.transactions.size();
  return transactionTop(rows) + (rows == 0 ? kFooterHeight : 0);
}

void AccountPages::scrollBy(double delta) {
  double maxOffset = std::max(0.0, contentHeight() - (kTableBottom - kTableTop));
  double& offset = page_ == Page::details ? detailsOffset_ : offset_;
  offset = std::clamp(offset + delta, 0.0, maxOffset);
}

bool AccountPages::isHittable(double top, double height) const {
  double middle = screenTop(top) + height / 2;
  return middle >= kTableTop && middle < kTableBottom;
}

bool AccountPages::isLoaded(double top, double height) const {
  double y = screenTop(top);
  return y < kTableBottom + kLoadedMargin && y + height > kTableTop - kLoadedMargin;
}

void AccountPages::scrollToShow(double top, double height) {
  double y = screenTop(top);
  if (y < kTableTop) {
    scrollBy(y - kTableTop);
  } else if (y + height > kTableBottom) {
    scrollBy(y + height - kTableBottom);
  }
}

}  // namespace vesmora
