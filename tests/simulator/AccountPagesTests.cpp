// The account pages' model: what the transactions and details pages show of a details document,
// the test backend's details, and the navigation and scrolling of the pages.
#include <gtest/gtest.h>

#include <stdexcept>

#include "model/AccountPages.h"
#include "model/TestBackend.h"
#include "model/VesmoraModel.h"

using namespace vesmora;

namespace {

nlohmann::json card(const std::string& balance, const std::string& limit) {
  return {{"id", "cc"},          {"name", "Card"},       {"number", "520473******0001"},
          {"category", "creditcard"}, {"currency", "USD"}, {"balance", balance},
          {"creditLimit", limit}};
}

std::vector<std::string> captions(const std::vector<CaptionedValue>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(l.caption + "=" + l.value);
  return out;
}

}  // namespace

TEST(AccountPages, CalendarDaysAreCheckedAndShownWithoutATimeZone) {
  EXPECT_EQ(calendarDayText("2026-12-04"), "Dec 4, 2026");
  EXPECT_EQ(calendarDayText("2026-01-31"), "Jan 31, 2026");
  EXPECT_EQ(calendarDayText("2028-02-29"), "Feb 29, 2028");
  EXPECT_EQ(calendarDayText("2000-02-29"), "Feb 29, 2000");
  EXPECT_FALSE(calendarDayText("2026-02-29"));
  EXPECT_FALSE(calendarDayText("1900-02-29"));
  EXPECT_FALSE(calendarDayText("2026-04-31"));
  EXPECT_FALSE(calendarDayText("2026-13-01"));
  EXPECT_FALSE(calendarDayText("2026-00-10"));
  EXPECT_FALSE(calendarDayText("2026-1-05"));
  EXPECT_FALSE(calendarDayText("2026/12/04"));
}

TEST(AccountPages, DetailIdentifiersCapitaliseEveryWord) {
  EXPECT_EQ(detailIdentifier("Last statement balance"), "Account_Details_Last_Statement_Balance");
  EXPECT_EQ(detailIdentifier("Value"), "Account_Details_Value");
  EXPECT_EQ(detailIdentifier("Minimum payment due date"), "Account_Details_Minimum_Payment_Due_Date");
}

TEST(AccountPages, BalanceLinesFollowTheAccountKind) {
  auto deposit = accountPageFromDetails({{"id", "d"}, {"name", "Chequing"}, {"number", "001-1"},
                                         {"category", "deposit"}, {"balance", "1234.5"}});
  ASSERT_TRUE(deposit);
  // Without holds everything is available; CAD amounts carry no currency.
  EXPECT_EQ(captions(deposit->balances),
            (std::vector<std::string>{"Available balance=$1,234.50", "Current balance=$1,234.50"}));
  EXPECT_EQ(deposit->title(), "Chequing (001-1)");

  // Over the limit, the available credit is negative; US dollars say so.
  auto over = accountPageFromDetails(card("5012.50", "5000"));
  ASSERT_TRUE(over);
  EXPECT_EQ(captions(over->balances),
            (std::vector<std::string>{"Current balance=$5,012.50 USD", "Available credit=-$12.50 USD"}));
  auto atLimit = accountPageFromDetails(card("5000", "5000"));
  EXPECT_EQ(atLimit->balances[1].value, "$0.00 USD");

  auto loan = accountPageFromDetails({{"id", "l"}, {"name", "Mortgage"}, {"number", "002-1"},
                                      {"category", "loan"}, {"balance", "-0.004"}});
  ASSERT_TRUE(loan);
  // Less than half a cent owed is no debt: no minus sign on a zero amount.
  EXPECT_EQ(captions(loan->balances), (std::vector<std::string>{"Principal balance=$0.00", "Available balance=$0.00"}));

  auto investment = accountPageFromDetails({{"id", "i"}, {"name", "TFSA"}, {"number", "003-1"},
                                            {"category", "investment"}, {"balance", "10.005"}});
  ASSERT_TRUE(investment);
  // Half-even, as everywhere in the app; the details page repeats the very same text.
  EXPECT_EQ(captions(investment->balances), (std::vector<std::string>{"Value=$10.00"}));
  EXPECT_EQ(captions(investment->details), captions(investment->balances));
}

TEST(AccountPages, UnreadablePartsAreLeftOutButAnUnknownAccountIsNoPage) {
  nlohmann::json details = card("100", "1000");
  details["transactions"] = nlohmann::json::array(
      {{{"date", "2026-12-04"}, {"description", "O'Malley's Hardware"}, {"amount", "-75"}},
       {{"date", "2026-02-30"}, {"description", "bad day"}, {"amount", "-1"}},
       {{"date", "2026-12-01"}, {"description", "bad amount"}, {"amount", "1,000"}},
       "not an object"});
  details["statement"] = {{"nextStatementDate", "2026-12-18"}, {"lastPaymentDate", "Dec 1"},
                          {"rewardsBalance", "0"}, {"minimumPaymentAmount", "ten"}};
  auto page = accountPageFromDetails(details);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->transactions.size(), 1u);
  EXPECT_EQ(page->transactions[0].description, "O'Malley's Hardware");
  EXPECT_EQ(page->transactions[0].amount, "-$75.00 USD");
  EXPECT_EQ(captions(page->details),
            (std::vector<std::string>{"Current balance=$100.00 USD", "Available credit=$900.00 USD",
                                      "Next statement date=Dec 18, 2026", "Rewards balance=0"}));
  EXPECT_EQ(page->details[2].identifier, "Account_Details_Next_Statement_Date");

  for (const char* key : {"id", "name", "number", "category", "balance"}) {
    nlohmann::json broken = card("1", "2");
    broken.erase(key);
    EXPECT_FALSE(accountPageFromDetails(broken)) << key;
  }
  nlohmann::json unknownKind = card("1", "2");
  unknownKind["category"] = "mortgage";
  EXPECT_FALSE(accountPageFromDetails(unknownKind));
}

TEST(AccountPages, NavigationGoesBackOnePageAtATime) {
  AccountPages pages;
  pages.showDetails();
  EXPECT_EQ(pages.page(), AccountPages::Page::none) << "no details without an account";
  pages.open(*accountPageFromDetails(card("1", "2")));
  pages.showDetails();
  EXPECT_EQ(pages.page(), AccountPages::Page::details);
  pages.back();
  EXPECT_EQ(pages.page(), AccountPages::Page::transactions);
  ASSERT_NE(pages.account(), nullptr);
  pages.back();
  EXPECT_EQ(pages.page(), AccountPages::Page::none);
  EXPECT_EQ(pages.account(), nullptr);
}

TEST(AccountPages, TheListScrollsWithinItsContentAndRowsAtTheEdgeAreOffScreen) {
  nlohmann::json details = card("1", "2");
  details["transactions"] = nlohmann::json::array();
  for (int i = 0; i < 20; ++i) details["transactions"].push_back({{"date", "2026-12-01"}, {"description", "x"}, {"amount", "1"}});
  AccountPages pages;
  pages.open(*accountPageFromDetails(details));
  double visible = AccountPages::kTableBottom - AccountPages::kTableTop;
  // Two balance lines, "Manage account", the sub-heading and twenty rows.
  EXPECT_DOUBLE_EQ(pages.contentHeight(), 2 * 64 + 50 + 40 + 20 * 64);
  pages.scrollBy(-100);
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), 0);
  pages.scrollBy(1e6);
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), pages.contentHeight() - visible);
  // A row is hittable while its middle shows: from its middle on the table's top edge to its
  // middle just above the bottom edge.
  double top = pages.scrollOffset();
  EXPECT_TRUE(pages.isHittable(top - 32, 64));
  EXPECT_FALSE(pages.isHittable(top - 33, 64));
  EXPECT_TRUE(pages.isHittable(top + visible - 33, 64));
  EXPECT_FALSE(pages.isHittable(top + visible - 32, 64));
  // Rows within one table height of the visible part are loaded, further ones are not.
  EXPECT_TRUE(pages.isLoaded(top + 2 * visible - 1, 64));
  EXPECT_FALSE(pages.isLoaded(top + 2 * visible, 64));
  EXPECT_FALSE(pages.isLoaded(top - visible - 64, 64));
  // A tap on a row above the view scrolls the least: the row's top to the table's top.
  pages.scrollToShow(top - 200, 64);
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), top - 200);

  // The details page scrolls on its own; back on the list, the list is where it was left.
  double listOffset = pages.scrollOffset();
  nlohmann::json longCard = card("1", "2");
  pages.showDetails();
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), 0);
  EXPECT_DOUBLE_EQ(pages.contentHeight(), 80 + 4 * 52) << "name, number and two balances";
  pages.back();
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), listOffset);

  longCard["nickname"] = "Travel";
  longCard["statement"] = nlohmann::json::object();
  for (const StatementField& field : statementFields()) {
    longCard["statement"][field.key] = field.kind == StatementField::Kind::date ? "2026-12-18" : "12";
  }
  pages.open(*accountPageFromDetails(longCard));
  pages.showDetails();
  // Twelve rows of 52 below an 80-point header overrun the 661 points shown by 43.
  pages.scrollBy(400);
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), 80 + 12 * 52 - visible);

  // A page shorter than the table does not scroll; opening another account starts at the top.
  pages.open(*accountPageFromDetails(card("1", "2")));
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), 0);
  pages.scrollBy(400);
  EXPECT_DOUBLE_EQ(pages.scrollOffset(), 0);
}

TEST(AccountPages, TheTestBackendAnswersOnlyTheUsersOwnAccounts) {
  TestBackend bank(TestBackend::defaultFixturePath());
  auto own = bank.accountDetails("cardholder01", "cc-mc-cardholder01");
  ASSERT_TRUE(own);
  auto page = accountPageFromDetails(*own);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->balances[1].value, "$5,568.13");
  EXPECT_EQ(page->details.size(), 2u + 7u) << "the two balances and all seven statement rows";
  EXPECT_FALSE(bank.accountDetails("cardholder01", "cc-mc-2038556")) << "someone else's card";
  EXPECT_FALSE(bank.accountDetails("nobody", "cc-mc-cardholder01"));
  EXPECT_FALSE(bank.accountDetails("cardholder01", "no-such-account"));
  // The overview's deposit card shows the available balance, as the transactions page does.
  auto summary = bank.accountSummary("2048887", "/deposits");
  EXPECT_DOUBLE_EQ((*summary)[0]["availableBalance"]["value"].get<double>(), 2875.60);
  EXPECT_DOUBLE_EQ((*summary)[0]["balance"]["value"].get<double>(), 3100.00);
}

TEST(AccountPages, FixtureSlipsInAccountDetailsAreFoundAtLoad) {
  auto fixture = [](nlohmann::json details) {
    return nlohmann::json{
        {"users", nlohmann::json::array()},
        {"accounts", {{{"id", "a"}, {"name", "A"}, {"number", "1"}, {"category", "deposit"}, {"currency", "CAD"}, {"balance", "1"}}}},
        {"accountDetails", {{"a", details}}}};
  };
  auto rejects = [&](nlohmann::json details, const std::string& words) {
    try {
      TestBackend bank(fixture(std::move(details)));
      ADD_FAILURE() << "accepted " << words;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  };
  rejects({{"transactions", {{{"date", "2026-02-29"}, {"description", "x"}, {"amount", "1"}}}}}, "date");
  rejects({{"transactions", {{{"date", "2026-02-28"}, {"description", "x"}, {"amount", "$1"}}}}}, "amount");
  rejects({{"statement", {{"nextStatmentDate", "2026-02-28"}}}}, "nextStatmentDate");
  rejects({{"availableBalance", "lots"}}, "availableBalance");
  nlohmann::json unknown = fixture(nlohmann::json::object());
  unknown["accountDetails"] = {{"b", nlohmann::json::object()}};
  EXPECT_THROW(TestBackend{unknown}, std::runtime_error);
  EXPECT_NO_THROW(TestBackend{fixture({{"transactions", nlohmann::json::array()}})});
}

TEST(AccountPages, ModelOpensCardsOfItsOwnBackendAndTheSelectedTabGoesBack) {
  TestBackend bank(TestBackend::defaultFixturePath());
  std::map<std::string, std::string> storage;
  VesmoraModel m(AppStore(storage), bank, LaunchSettings{}, Biometry::none);
  m.typeText(Field::userName, "borrower01");
  m.typeText(Field::password, "Hazel#2270");
  m.tapLogin();
  ASSERT_EQ(m.screen(), Screen::landing);

  m.openAccount("cc-mc-2038556");
  ASSERT_TRUE(m.alert()) << "a card the user does not hold cannot be opened";
  EXPECT_EQ(m.alert()->title, "Error");
  EXPECT_EQ(m.accountPages().page(), AccountPages::Page::none);
  m.tapAlertButton("OK");

  m.openAccount("loan-heloc-borrower01");
  m.tapManageAccount();
  EXPECT_EQ(m.accountPages().page(), AccountPages::Page::details);
  // Another tab keeps the overview's pages; the selected tab tapped again goes back to its start.
  m.selectTab(Tab::more);
  m.selectTab(Tab::overview);
  EXPECT_EQ(m.accountPages().page(), AccountPages::Page::details);
  m.selectTab(Tab::overview);
  EXPECT_EQ(m.accountPages().page(), AccountPages::Page::none);

  m.openAccount("loan-mtg-borrower01");
  m.logOut();
  EXPECT_EQ(m.accountPages().page(), AccountPages::Page::none);
}
