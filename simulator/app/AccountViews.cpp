#include "app/AccountViews.h"

#include "app/OverviewViews.h"
#include "app/TransferViews.h"

namespace vesmora::views {

// Faults of the account pages' drawing (see model/Faults.h).
const Fault kCardNumberGrouped("cardNumberGrouped",
                               "the details page writes a card number in groups of four (5204 73** **** 8830)");
const Fault kNewestTransactionDropped("newestTransactionDropped",
                                      "the transactions page leaves out the newest transaction");
const Fault kNoTransactionsTextMissing("noTransactionsTextMissing",
                                       "an account without transactions shows an empty list without its text");
const Fault kBackButtonTitledBack("backButtonTitledBack",
                                  "the transactions page's back button reads \"Back\" instead of \"Overview\"");
const Fault kTitleUsesNickname("titleUsesNickname",
                               "the transactions page is titled with the nickname, as the overview card is");

namespace {

using xcui::CGRect;
using T = XCUIElementType;

constexpr double kNavigationBarTop = 47;
constexpr double kNavigationBarHeight = 53;

const char* const kNoTransactions = "To review older transactions, visit Corvane Online to see your e-statements.";

using parts::text;

sim::Node navigationBar(const std::string& identifier, const std::string& backTitle, const std::string& title,
                        VesmoraModel& model) {
  sim::Node bar(T::navigationBar, identifier);
  bar.withFrame(CGRect{0, kNavigationBarTop, kWidth, kNavigationBarHeight});
  bar.add(sim::Node(T::button, backTitle, backTitle)
              .withFrame(CGRect{0, kNavigationBarTop, 120, kNavigationBarHeight})
              .onTap([&model] { model.tapAccountBack(); }));
  if (!title.empty()) bar.add(text("", title).withFrame(CGRect{120, kNavigationBarTop, kWidth - 140, kNavigationBarHeight}));
  return bar;
}

// A block of the transactions page at `top` of the content, scrolled with it.
sim::Node block(const AccountPages& pages, T type, const std::string& identifier, double top, double height) {
  sim::Node node(type, identifier);
  node.withFrame(CGRect{0, pages.screenTop(top), kWidth, height});
  return node;
}

// Adds a block to the table when it is near enough to be loaded; a tap on it while it is out of
// view scrolls it in first, swipes on it scroll the page.
void placeBlock(VesmoraModel& model, sim::Node& table, sim::Node node, double top, double height) {
  const AccountPages& pages = model.accountPages();
  if (!pages.isLoaded(top, height)) return;
  setHittable(node, pages.isHittable(top, height));
  auto tapped = node.onAction;
  node.on([&model, tapped, top, height](const sim::Action& action) {
    if (action.kind == sim::Action::Kind::scrollToVisible) {
      model.accountPages().scrollToShow(top, height);
    } else if (action.kind == sim::Action::Kind::tap && tapped) {
      tapped(action);
    } else {
      scrollAccountPage(model, action);
    }
  });
  table.add(std::move(node));
}

sim::Node transactionsPage(VesmoraModel& model) {
  const AccountPages& pages = model.accountPages();
  const AccountPage& account = *pages.account();
  const Faults& faults = model.settings().faults;
  sim::Node page(T::other, "accountTransactionsView");
  std::string title = account.title();
  if (faults.has(kTitleUsesNickname) && !account.nickname.empty()) title = account.nickname + " (" + account.number + ")";
  page.add(navigationBar(title, faults.has(kBackButtonTitledBack) ? "Back" : "Overview", title, model));

  sim::Node table(T::table, "AccountTransactionsTable");
  table.withFrame(CGRect{0, AccountPages::kTableTop, kWidth, AccountPages::kTableBottom - AccountPages::kTableTop});
  table.on([&model](const sim::Action& action) { scrollAccountPage(model, action); });

  // The balance header: one caption and amount per line.
  double height = AccountPages::kBalanceLineHeight * account.balances.size();
  sim::Node header = block(pages, T::other, "accountBalancesHeader", pages.balancesTop(), height);
  for (const CaptionedValue& line : account.balances) {
    header.add(text("accountBalanceCaptionLabel", line.caption));
    header.add(text("accountBalanceAmountLabel", line.value));
  }
  placeBlock(model, table, std::move(header), pages.balancesTop(), height);

  sim::Node manage =
      block(pages, T::other, "manageAccountRow", pages.manageAccountTop(), AccountPages::kManageAccountHeight);
  manage.add(text("manageAccountLabel", "Manage account"));
  manage.onTap([&model] { model.tapManageAccount(); });
  placeBlock(model, table, std::move(manage), pages.manageAccountTop(), AccountPages::kManageAccountHeight);

  sim::Node subHeading =
      block(pages, T::other, "transactionsSectionHeader", pages.subHeadingTop(), AccountPages::kSubHeadingHeight);
  subHeading.add(text("transactionsSectionLabel", "Transactions"));
  placeBlock(model, table, std::move(subHeading), pages.subHeadingTop(), AccountPages::kSubHeadingHeight);

  // Transaction cells hold their texts directly: the balance header's "$" texts are the only ones
  // under other elements of the table.
  for (std::size_t i = faults.has(kNewestTransactionDropped) ? 1 : 0; i < account.transactions.size(); ++i) {
    const TransactionLine& t = account.transactions[i];
    double top = pages.transactionTop(i);
    sim::Node cell = block(pages, T::cell, "transactionCell", top, AccountPages::kTransactionHeight);
    cell.add(text("transactionDateLabel", t.date));
    cell.add(text("transactionDescriptionLabel", t.description));
    cell.add(text("transactionAmountLabel", t.amount));
    placeBlock(model, table, std::move(cell), top, AccountPages::kTransactionHeight);
  }
  if (account.transactions.empty() && !faults.has(kNoTransactionsTextMissing)) {
    double top = pages.transactionTop(0);
    sim::Node footer = block(pages, T::other, "noTransactionsFooter", top, AccountPages::kFooterHeight);
    footer.add(text("noTransactionsLabel", kNoTransactions));
    placeBlock(model, table, std::move(footer), top, AccountPages::kFooterHeight);
  }
  page.add(std::move(table));
  return page;
}

sim::Node detailsPage(VesmoraModel& model) {
  const AccountPage& account = *model.accountPages().account();
  sim::Node page(T::other, "manageAccountView");
  // The bar has no title of its own: it is known by its view's name.
  page.add(navigationBar("Vesmora.ManageAccountView", "Account", "", model));

  const AccountPages& pages = model.accountPages();
  sim::Node table(T::table, "ManageAccountTable");
  table.withFrame(CGRect{0, AccountPages::kTableTop, kWidth, AccountPages::kTableBottom - AccountPages::kTableTop});
  table.on([&model](const sim::Action& action) { scrollAccountPage(model, action); });
  sim::Node header = block(pages, T::other, "manageAccountHeader", 0, AccountPages::kDetailsHeaderHeight);
  header.add(text("manageAccountTitleLabel", "Manage Account"));
  header.add(text("accountCategoryLabel", categoryHeading(account.category)));
  placeBlock(model, table, std::move(header), 0, AccountPages::kDetailsHeaderHeight);

  std::size_t row = 0;
  auto add = [&](const std::string& caption, const std::string& identifier, const std::string& value) {
    double top = pages.detailRowTop(row++);
    sim::Node cell = block(pages, T::cell, identifier + "_Row", top, AccountPages::kDetailRowHeight);
    cell.add(text("", caption));
    cell.add(text(identifier, value));
    placeBlock(model, table, std::move(cell), top, AccountPages::kDetailRowHeight);
  };
  add("Account name", detailIdentifier("Account name"), account.name);
  if (!account.nickname.empty()) add("Nickname", detailIdentifier("Nickname"), account.nickname);
  std::string number = account.number;
  if (model.settings().faults.has(kCardNumberGrouped) && account.category == AccountCategory::creditCard) {
    number.clear();
    for (std::size_t i = 0; i < account.number.size(); ++i) number += (i > 0 && i % 4 == 0 ? " " : "") + account.number.substr(i, 1);
  }
  add(account.category == AccountCategory::creditCard ? "Card number" : "Account number", "Details_Account_Number",
      number);
  for (const CaptionedValue& line : account.details) add(line.caption, line.identifier, line.value);
  page.add(std::move(table));
  return page;
}

}  // namespace

sim::Node accountPage(VesmoraModel& model) {
  switch (model.accountPages().page()) {
    case AccountPages::Page::transactions:
      return transactionsPage(model);
    case AccountPages::Page::details:
      return detailsPage(model);
    case AccountPages::Page::none:
      break;
  }
  return sim::Node(T::other);
}

bool scrollAccountPage(VesmoraModel& model, const sim::Action& action) {
  if (model.screen() != Screen::landing || model.tab() != Tab::overview || model.alert() ||
      model.accountPages().page() == AccountPages::Page::none) {
    return false;
  }
  switch (action.kind) {
    case sim::Action::Kind::swipeUp:
      model.accountPages().scrollBy(Overview::kSwipeDistance);
      return true;
    case sim::Action::Kind::swipeDown:
      model.accountPages().scrollBy(-Overview::kSwipeDistance);
      return true;
    default:
      return false;
  }
}

}  // namespace vesmora::views
