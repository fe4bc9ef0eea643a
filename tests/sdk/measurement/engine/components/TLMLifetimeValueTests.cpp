// Lifetime value through the engine's pipeline: totals per currency, the currency limit, the
// rounding of app-logged values, and amounts that do not fit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../MeasurementEngineTestSupport.h"
#include "measurement/engine/components/TLMLifetimeValueRecorder.h"

namespace {

struct LtvHarness : EngineHarness {
  LtvHarness() {
    components.lifetimeValue = std::make_shared<TLMLifetimeValueRecorder>(
        [this] { return maxCurrencies; }, [this] { return clock->now(); });
    start();
  }
  void purchase(const std::string& currency, TLMValue value, const std::string& name = "ecommerce_purchase") {
    log(name, TLMObjectDictionary{{"currency", TLMObject(TLMValue(currency))}, {"value", TLMObject(value)}}, false,
        name == "_iap" ? "auto" : "app");
    clock->advance(1);
  }
  std::optional<std::int64_t> total(const std::string& code) {
    auto p = property("_ltv_" + code);
    if (!p) return std::nullopt;
    return p->value().int64Value();
  }
  std::int64_t maxCurrencies = 4;
};

}  // namespace

TEST(TLMLifetimeValueTests, TotalsPerUpperCaseCurrencyWithHalvesAwayFromZero) {
  LtvHarness h;
  h.purchase("usd", TLMValue(1.5));
  h.purchase("USD", TLMValue(std::int64_t{2}));
  EXPECT_EQ(h.total("USD"), 3500000);
  h.purchase("EUR", TLMValue(0.0000025));
  EXPECT_EQ(h.total("EUR"), 3);
  h.purchase("EUR", TLMValue(-0.0000025));
  EXPECT_EQ(h.total("EUR"), 0);
  // "_iap" values are micros already: added unchanged, truncated.
  h.purchase("GBP", TLMValue(std::int64_t{1234567}), "_iap");
  h.purchase("GBP", TLMValue(10.9), "_iap");
  EXPECT_EQ(h.total("GBP"), 1234577);

  // Bad currency or value: nothing recorded, the event is still stored.
  const auto count = h.rawEventNames().size();
  h.purchase("USDT", TLMValue(1.0));
  h.purchase("USD", TLMValue("1"));
  EXPECT_EQ(h.rawEventNames().size(), count + 2);
  EXPECT_TRUE(h.monitor->has(22000));
  EXPECT_TRUE(h.monitor->has(22001));
  EXPECT_EQ(h.total("USD"), 3500000);
}

TEST(TLMLifetimeValueTests, AFifthCurrencyReplacesTheLeastRecentlySetOne) {
  LtvHarness h;
  for (const char* code : {"AAA", "BBB", "CCC", "DDD"}) h.purchase(code, TLMValue(1.0));
  h.purchase("AAA", TLMValue(1.0));  // AAA is now the most recent; BBB the oldest
  EXPECT_EQ(h.total("AAA"), 2000000);
  h.purchase("EEE", TLMValue(1.0));
  EXPECT_FALSE(h.total("BBB"));
  for (const char* code : {"AAA", "CCC", "DDD", "EEE"}) EXPECT_TRUE(h.total(code)) << code;

  // A smaller limit still deletes one property per new currency.
  h.maxCurrencies = 1;
  h.purchase("FFF", TLMValue(1.0));
  EXPECT_FALSE(h.total("CCC"));
  EXPECT_TRUE(h.total("FFF"));
  EXPECT_TRUE(h.total("AAA"));
}

TEST(TLMLifetimeValueTests, AmountsOutsideTheRangeFailTheEventAndAnOverflowingTotalKeepsTheStoredOne) {
  LtvHarness h;
  const auto count = h.rawEventNames().size();
  h.purchase("USD", TLMValue(1e13));  // 1e19 micros
  h.purchase("USD", TLMValue(std::nan("")));
  h.purchase("USD", TLMValue(-std::numeric_limits<double>::infinity()));
  h.purchase("USD", TLMValue(1e300), "_iap");
  EXPECT_EQ(h.monitor->count(22002), 4u);
  EXPECT_EQ(h.rawEventNames().size(), count);
  EXPECT_FALSE(h.total("USD"));

  const std::int64_t top = std::numeric_limits<std::int64_t>::max() - 5;
  h.purchase("JPY", TLMValue(top), "_iap");
  h.purchase("JPY", TLMValue(std::int64_t{6}), "_iap");  // would overflow: total kept, event stored
  EXPECT_EQ(h.total("JPY"), top);
  EXPECT_EQ(h.monitor->count(22002), 5u);
  EXPECT_EQ(h.rawEventNames().size(), count + 2);
  h.purchase("JPY", TLMValue(std::int64_t{-10}), "_iap");
  EXPECT_EQ(h.total("JPY"), top - 10);
}
