#include <gtest/gtest.h>

#include "FormSteps.h"
#include "model/Overview.h"
#include "model/TestBackend.h"

using namespace vesmora;
using testsupport::dec;

namespace {

std::map<std::string, nlohmann::json> summariesOf(TestBackend& bank, const std::string& user) {
  std::map<std::string, nlohmann::json> out;
  for (AccountCategory c : overviewCategories())
    if (auto s = bank.accountSummary(user, summaryPath(c))) out[summaryPath(c)] = *s;
  return out;
}

}  // namespace

TEST(Overview, AmountLabelsSplitTheCurrencyText) {
  auto l = amountLabels(dec("1234.5"));
  EXPECT_EQ(l.dollarSign, "$");
  EXPECT_EQ(l.wholeDollars, "1,234");
  EXPECT_EQ(l.cents, ".50");
  EXPECT_EQ(amountLabels(dec("1234567.891")).joined(), "$1,234,567.89");
  EXPECT_EQ(amountLabels(dec("0.125")).joined(), "$0.12") << "half-even, as the platform's formatter";
  auto negative = amountLabels(dec("-12.05"));
  EXPECT_EQ(negative.dollarSign, "-$");
  EXPECT_EQ(negative.joined(), "-$12.05");
}

TEST(Overview, CardsFollowTheSummaryDocument) {
  auto doc = nlohmann::json::parse(R"([
    {"id": "a", "name": "Chequing", "number": "1", "balance": {"currency": "CAD", "value": 10},
     "availableBalance": {"currency": "CAD", "value": 7.5}},
    {"id": "b", "name": "Savings", "nickname": "", "number": "2",
     "availableBalance": {"currency": "USD", "value": 1.25}},
    {"id": "c", "name": "Other", "nickname": "Trip", "number": "3", "balance": {"currency": "CAD", "value": 1}},
    "not an account",
    {"id": "d", "name": "No number", "balance": {"currency": "CAD", "value": 1}},
    {"id": "e", "name": "Bad value", "number": "5", "balance": {"currency": "CAD", "value": "1"}}
  ])");
  auto cards = cardsFromSummary(AccountCategory::deposit, doc);
  ASSERT_EQ(cards.size(), 3u);
  EXPECT_EQ(cards[0].title, "Chequing (1)");
  EXPECT_EQ(cards[0].amount, dec("7.5")) << "a deposit shows its available balance";
  EXPECT_EQ(cards[1].title, "Savings (2)") << "an empty nickname is no nickname";
  EXPECT_EQ(cards[1].currency, "USD");
  EXPECT_EQ(cards[2].title, "Trip (3)");
  EXPECT_EQ(cards[2].amount, dec("1")) << "without an available balance the balance is shown";

  auto loans = cardsFromSummary(AccountCategory::loan, doc);
  EXPECT_EQ(loans[0].amount, dec("10")) << "other cards show the balance";
  EXPECT_TRUE(cardsFromSummary(AccountCategory::loan, nlohmann::json::object()).empty());
}

TEST(Overview, GreetingBandsIncludeTheirLowerLimit) {
  auto zone = *platform::TimeZone::named("America/Denver");
  auto at = [&](int h, int m) {
    return greetingText(*platform::dateFromComponents({2026, 12, 7, h, m, 0}, zone), zone);
  };
  EXPECT_EQ(at(0, 0), "Hello,");
  EXPECT_EQ(at(4, 29), "Hello,");
  EXPECT_EQ(at(4, 30), "Good morning,");
  EXPECT_EQ(at(11, 59), "Good morning,");
  EXPECT_EQ(at(12, 0), "Good afternoon,");
  EXPECT_EQ(at(17, 29), "Good afternoon,");
  EXPECT_EQ(at(17, 30), "Good evening,");
  EXPECT_EQ(at(23, 59), "Good evening,");
  EXPECT_EQ(longDateText(*platform::dateFromComponents({2026, 3, 5, 23, 0, 0}, zone), zone), "March 5, 2026");
  EXPECT_EQ(firstNameOf("Avery Lindqvist"), "Avery");
  EXPECT_EQ(firstNameOf("Cher"), "Cher");
}

TEST(Overview, SectionsTotalsAndScrolling) {
  TestBackend bank(TestBackend::defaultFixturePath());
  Overview overview(summariesOf(bank, "2038556"), "Avery Lindqvist");

  // Header, then Banking, Credit cards, Loans & mortgages, Investments, each ending in its totals.
  std::vector<std::string> order;
  for (const auto& row : overview.rows()) {
    if (row.kind == OverviewRow::Kind::totals) order.push_back(categoryHeading(row.category));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"Banking", "Credit cards", "Loans & mortgages", "Investments"}));

  auto banking = overview.totals(AccountCategory::deposit);
  ASSERT_TRUE(banking);
  EXPECT_EQ(banking->cad, dec("17740.75"));
  EXPECT_EQ(banking->usd, dec("2150.40"));
  EXPECT_FALSE(Overview(summariesOf(bank, "2048887"), "").totals(AccountCategory::loan));

  // The last rows start below the fold; swipes bring them in and stop at the end of the content.
  const OverviewRow& last = overview.rows().back();
  EXPECT_FALSE(overview.isOnScreen(last));
  for (int i = 0; i < 10; ++i) overview.swipeUp();
  EXPECT_TRUE(overview.isOnScreen(last));
  EXPECT_DOUBLE_EQ(overview.screenTop(last) + last.height, Overview::kTableBottom);
  EXPECT_FALSE(overview.isOnScreen(overview.rows().front()));
  for (int i = 0; i < 10; ++i) overview.swipeDown();
  EXPECT_EQ(overview.scrollOffset(), 0);
}

TEST(Overview, OnlyRowsNearTheVisiblePartAreLoaded) {
  nlohmann::json deposits = nlohmann::json::array();
  for (int i = 0; i < 20; ++i)
    deposits.push_back({{"id", "d" + std::to_string(i)}, {"name", "Account"}, {"number", std::to_string(i)},
                        {"availableBalance", {{"currency", "CAD"}, {"value", 1}}}});
  Overview overview({{"/deposits", deposits}}, "");
  auto loadedIds = [&] {
    std::vector<std::size_t> loaded;
    for (std::size_t i = 0; i < overview.rows().size(); ++i)
      if (overview.isLoaded(overview.rows()[i])) loaded.push_back(i);
    return loaded;
  };
  // Content rows 0..150 (header), then cards of 100 points: the window reaches 661 points below
  // the visible 661, so rows starting before 1322 are loaded and the card at 1350 is not.
  auto loaded = loadedIds();
  ASSERT_FALSE(loaded.empty());
  EXPECT_EQ(loaded.front(), 0u);
  EXPECT_EQ(overview.rows()[loaded.back()].top, 1250);
  // A row that ends exactly at the window's upper edge is not loaded; the next one is.
  overview.scrollBy(150 + 661);
  loaded = loadedIds();
  EXPECT_EQ(overview.rows()[loaded.front()].top, 150);
  EXPECT_FALSE(overview.isLoaded(overview.rows()[0]));
  // Hittable: the middle of the row within the visible part (lower limit included).
  const OverviewRow& first = overview.rows()[loaded.front()];
  overview.scrollBy(first.top + first.height / 2 - overview.scrollOffset());
  EXPECT_TRUE(overview.isHittable(first));
  overview.scrollBy(1);
  EXPECT_FALSE(overview.isHittable(first));
}

TEST(Overview, JointAccountsShowForEveryHolder) {
  TestBackend bank(TestBackend::defaultFixturePath());
  for (const char* holder : {"jointuser01", "jointuser02"}) {
    Overview overview(summariesOf(bank, holder), "");
    int shared = 0;
    for (const auto& card : overview.cards()) {
      if (card.id == "dep-joint-01") {
        EXPECT_EQ(card.title, "Household (001-44100000002)");
      }
      if (card.id.find("joint-01") != std::string::npos) ++shared;
    }
    EXPECT_EQ(shared, 3) << holder;
  }
}
