#include "app/OverviewViews.h"

#include "app/TransferViews.h"

namespace vesmora::views {

const Fault kPayABillMissing("payABillMissing", "the Move money menu leaves out \"Pay a bill\"");
const Fault kGreetingInUTC("greetingInUTC", "the greeting follows the time of day in UTC, not in the device's zone");
const Fault kRoundsHalfUp("roundsHalfUp", "card amounts are rounded half up instead of half even");
const Fault kMinusSignDropped("minusSignDropped", "a negative amount is shown without its minus sign");
const Fault kCentsBlankWhenWhole("centsBlankWhenWhole", "the cents label is empty for amounts in whole dollars");
const Fault kUsdLabelOnEveryCard("usdLabelOnEveryCard", "every card names its currency, Canadian dollars included");
const Fault kLongTitleCut("longTitleCut", "card titles longer than 40 characters are cut with an ellipsis");
const Fault kLoanCaptionWrong("loanCaptionWrong", "loan cards are captioned \"Current balance\"");
const Fault kZeroTotalShown("zeroTotalShown", "a totals cell shows a zero Canadian-dollar total");
const Fault kTotalsMixCurrencies("totalsMixCurrencies", "the Canadian-dollar total adds the US-dollar cards too");
const Fault kRecipientFullName("recipientFullName", "the overview greets the customer by the full name");
const Fault kNoScrolling("noScrolling", "the overview's table does not scroll");
const Fault kDateInUTC("dateInUTC", "the overview's date is today's date in UTC, not in the device's zone");

void setHittable(sim::Node& node, bool hittable) {
  node.hittable = hittable;
  for (auto& child : node.children) setHittable(child, hittable);
}

namespace {

using xcui::CGRect;
using T = XCUIElementType;

using parts::text;

sim::Node row(const Overview& overview, const OverviewRow& r, const std::string& identifier) {
  sim::Node cell(T::cell, identifier);
  cell.withFrame(CGRect{0, overview.screenTop(r), Overview::kScreenWidth, r.height});
  return cell;
}

sim::Node headerRow(const VesmoraModel& model, const OverviewRow& r, double now) {
  const Overview& overview = model.overview();
  platform::TimeZone zone = platform::TimeZone::current();
  const Faults& faults = model.settings().faults;
  sim::Node cell = row(overview, r, "OverviewHeader");
  cell.add(text("OverviewDateLabel", longDateText(now, faults.has(kDateInUTC) ? platform::TimeZone::utc() : zone)));
  cell.add(text("OverviewGreetingLabel",
                greetingText(now, faults.has(kGreetingInUTC) ? platform::TimeZone::utc() : zone, faults)));
  cell.add(text("OverviewRecipientLabel", faults.has(kRecipientFullName) ? overview.customerName()
                                                                         : firstNameOf(overview.customerName())));
  return cell;
}

sim::Node cardRow(const Overview& overview, const OverviewRow& r, const Faults& faults) {
  const AccountCard& card = overview.cards()[r.card];
  sim::Node cell = row(overview, r, card.id);
  cell.add(text("categoryLabel", categoryHeading(card.category)));
  std::string title = card.title;
  if (faults.has(kLongTitleCut) && sim::characterCount(title) > 40) {
    std::size_t bytes = 0;
    for (std::size_t kept = 0; kept < 39; ++bytes)
      if ((static_cast<unsigned char>(title[bytes]) & 0xC0) != 0x80) ++kept;
    while (bytes < title.size() && (static_cast<unsigned char>(title[bytes]) & 0xC0) == 0x80) ++bytes;
    title = title.substr(0, bytes) + "\u2026";
  }
  cell.add(text("accountNameLabel", title));
  std::string caption = balanceCaption(card.category);
  if (card.category == AccountCategory::loan && faults.has(kLoanCaptionWrong)) caption = "Current balance";
  cell.add(text("balanceTypeLabel", caption));
  platform::Decimal shown = card.amount;
  if (faults.has(kRoundsHalfUp)) shown = shown.rounded(2, platform::Decimal::Rounding::Plain);
  if (faults.has(kMinusSignDropped) && shown < platform::Decimal()) shown = -shown;
  AmountLabels amount = amountLabels(shown);
  if (faults.has(kCentsBlankWhenWhole) && amount.cents == ".00") amount.cents.clear();
  cell.add(text("dollarSignLabel", amount.dollarSign));
  cell.add(text("wholeDollarsLabel", amount.wholeDollars));
  cell.add(text("centsLabel", amount.cents));
  // Only US-dollar cards name their currency; Canadian dollars are the app's own.
  if (card.currency == "USD" || faults.has(kUsdLabelOnEveryCard)) {
    cell.add(text("currencyTypeLabel", card.currency == "USD" ? "USD" : card.currency));
  }
  return cell;
}

sim::Node totalsRow(const Overview& overview, const OverviewRow& r, const Faults& faults) {
  std::string heading = categoryHeading(r.category);
  sim::Node cell = row(overview, r, heading + "Totals");
  cell.add(text("totalsHeadingLabel", heading));
  CategoryTotals totals = overview.totals(r.category).value_or(CategoryTotals{});
  if (faults.has(kTotalsMixCurrencies)) totals.cad = totals.cad + totals.usd;
  if (!totals.cad.isZero() || faults.has(kZeroTotalShown)) cell.add(text("totalCADLabel", platform::formatCurrency(totals.cad, "en_US", "USD")));
  if (!totals.usd.isZero()) {
    cell.add(text("totalUSDLabel", platform::formatCurrency(totals.usd, "en_US", "USD")));
    cell.add(text("totalUSDCurrencyLabel", "USD"));
  }
  return cell;
}

}  // namespace

sim::Node overviewTable(VesmoraModel& model, double now) {
  const Overview& overview = model.overview();
  sim::Node table(T::table, "OverviewTable");
  table.withFrame(CGRect{0, Overview::kTableTop, Overview::kScreenWidth, Overview::kTableBottom - Overview::kTableTop});
  for (std::size_t index = 0; index < overview.rows().size(); ++index) {
    const OverviewRow& r = overview.rows()[index];
    if (!overview.isLoaded(r)) continue;
    sim::Node cell;
    switch (r.kind) {
      case OverviewRow::Kind::header:
        cell = headerRow(model, r, now);
        break;
      case OverviewRow::Kind::card:
        cell = cardRow(overview, r, model.settings().faults);
        break;
      case OverviewRow::Kind::totals:
        cell = totalsRow(overview, r, model.settings().faults);
        break;
    }
    setHittable(cell, overview.isHittable(r));
    // A tap on a row out of view first scrolls it in; a tap on a card opens the account; swipes
    // scroll the table.
    std::string cardId = r.kind == OverviewRow::Kind::card ? overview.cards()[r.card].id : "";
    cell.on([&model, index, cardId](const sim::Action& action) {
      if (action.kind == sim::Action::Kind::scrollToVisible) {
        if (model.settings().faults.has(kNoScrolling)) return;
        if (index < model.overview().rows().size()) model.overview().scrollToShow(model.overview().rows()[index]);
        return;
      }
      if (action.kind == sim::Action::Kind::tap && !cardId.empty()) {
        model.openAccount(cardId);
        return;
      }
      scrollOverview(model, action);
    });
    table.add(std::move(cell));
  }
  table.on([&model](const sim::Action& action) { scrollOverview(model, action); });
  return table;
}

const std::vector<std::string>& moveMoneyEntries() {
  static const std::vector<std::string> entries = {"Send Interac e-Transfer",   "Pay a bill",
                                                   "Transfer between accounts", "Deposit a cheque",
                                                   "Request Interac e-Transfer", "Send a global transfer"};
  return entries;
}

sim::Node moveMoneyMenu(VesmoraModel& model) {
  sim::Node table(T::table, "MoveMoneyTable");
  table.withFrame(CGRect{0, Overview::kTableTop, Overview::kScreenWidth, Overview::kTableBottom - Overview::kTableTop});
  double top = Overview::kTableTop;
  for (const auto& entry : moveMoneyEntries()) {
    if (entry == "Pay a bill" && model.settings().faults.has(kPayABillMissing)) continue;
    sim::Node cell(T::cell, entry);
    cell.withFrame(CGRect{0, top, Overview::kScreenWidth, 60});
    cell.add(text("", entry));
    if (entry == "Transfer between accounts") cell.onTap([&model] { model.openTransfer(); });
    if (entry == "Pay a bill") cell.onTap([&model] { model.openPayABill(); });
    if (entry == "Send Interac e-Transfer") cell.onTap([&model] { model.openETransfer(); });
    table.add(std::move(cell));
    top += 60;
  }
  return table;
}

bool scrollOverview(VesmoraModel& model, const sim::Action& action) {
  if (model.screen() != Screen::landing || model.tab() != Tab::overview || model.alert() ||
      model.accountPages().page() != AccountPages::Page::none) {
    return false;
  }
  if (model.settings().faults.has(kNoScrolling)) return false;
  switch (action.kind) {
    case sim::Action::Kind::swipeUp:
      model.overview().swipeUp();
      return true;
    case sim::Action::Kind::swipeDown:
      model.overview().swipeDown();
      return true;
    default:
      return false;
  }
}

}  // namespace vesmora::views
