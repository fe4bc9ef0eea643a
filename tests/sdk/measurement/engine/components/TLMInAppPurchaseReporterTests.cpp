// Purchase reporting over the store stand-in: classification from synthetic receipts, the price
// adjustments, amounts that do not fit, the product cache and its reset, and de-duplication
// through the engine's purchase filter.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "Bounds.h"
#include "../MeasurementEngineTestSupport.h"
#include "measurement/engine/components/TLMInAppPurchaseReporter.h"
#include "receipt/ReceiptBytes.h"

using namespace receipt_bytes;

namespace {

// Answers every request at once from its catalogue, or fails when told to.
class FakeStore : public SKStore {
 public:
  void handleRequest(const std::shared_ptr<SKProductsRequest>& request) override {
    ++requests;
    if (failing) {
      request->fail(platform::Error("SKErrorDomain", 2, "offline"));
      return;
    }
    SKProductsResponse response;
    for (const auto& id : request->productIdentifiers()) {
      auto it = catalogue.find(id);
      if (it == catalogue.end()) {
        response.invalidProductIdentifiers.push_back(id);
      } else {
        response.products.push_back(it->second);
      }
    }
    request->respond(response);
  }
  std::map<std::string, std::shared_ptr<const SKProduct>> catalogue;
  bool failing = false;
  int requests = 0;
};

std::shared_ptr<const SKProduct> product(const std::string& id, const char* price,
                                         std::optional<SKProductDiscount> intro = std::nullopt) {
  auto p = std::make_shared<SKProduct>();
  p->productIdentifier = id;
  p->price = platform::Decimal::parse(price);
  p->currencyCode = "USD";
  p->localizedTitle = "Title " + id;
  p->introductoryPrice = intro;
  return p;
}

std::shared_ptr<const SKPaymentTransaction> purchase(const std::string& product, const std::string& t,
                                                     const std::string& o = "", std::int64_t quantity = 1,
                                                     double date = 1700000000) {
  auto tx = std::make_shared<SKPaymentTransaction>();
  tx->transactionState = SKPaymentTransactionStatePurchased;
  tx->transactionIdentifier = t;
  if (!o.empty()) {
    auto original = std::make_shared<SKPaymentTransaction>();
    original->transactionIdentifier = o;
    tx->originalTransaction = original;
  }
  tx->transactionDate = date;
  tx->payment.productIdentifier = product;
  tx->payment.quantity = quantity;
  return tx;
}

std::string fingerprint(const TLMPaymentTransaction& t) {
  return TLMInAppPurchaseTransactionReporter::transactionFingerprint(&t).value_or("");
}

struct Reported {
  std::string name;
  TLMObjectDictionary parameters;
  std::optional<std::int64_t> number(const char* key) const {
    const TLMObject* o = parameters.find(key);
    return o ? o->contextValue().int64Value() : std::nullopt;
  }
};

struct IapHarness {
  IapHarness() {
    platform::UserDefaults::resetForTesting();
    SKStore::install(store);
    TLMInAppPurchaseServices services;
    services.productCache = cache;
    services.reportingQueue = reporting;
    services.readReceipt = [this] { return receipt; };
    services.isSandboxReceipt = [this] { return sandboxReceipt; };
    services.subscriptionReportEnabled = [] { return true; };
    services.introductoryOfferEnabled = [this] { return introEnabled; };
    services.supportsFreeTrialPaymentMode = [] { return true; };
    services.purchaseDates = TLMUserDefaults::initWithSuiteName(kTLMPurchaseDatesSuiteName, reporting);
    services.logEvent = [this](const std::string& origin, const std::string& name, const TLMObjectDictionary& p) {
      EXPECT_EQ(origin, "auto");
      reported.push_back({name, p});
    };
    reporter = std::make_shared<TLMInAppPurchaseTransactionReporter>(std::move(services));
  }
  ~IapHarness() {
    SKStore::install(nullptr);
    platform::UserDefaults::resetForTesting();
  }
  void report(std::vector<std::shared_ptr<const SKPaymentTransaction>> transactions) {
    reporter->paymentQueueUpdatedFilteredTransactions(transactions);
    while (lock->runNext() || reporting->runNext()) {
    }
  }
  Reported last() { return reported.empty() ? Reported{} : reported.back(); }

  platform::sandbox::ScopedTemporarySandbox sandbox;
  TLMScopedRecordingMonitor monitor;
  std::shared_ptr<FakeStore> store = std::make_shared<FakeStore>();
  std::shared_ptr<platform::ManualQueue> lock = platform::ManualQueue::create("iap-cache");
  std::shared_ptr<platform::ManualQueue> reporting = platform::ManualQueue::create("reporting");
  std::shared_ptr<TLMInAppPurchaseProductCache> cache = std::make_shared<TLMInAppPurchaseProductCache>(lock);
  std::optional<platform::Bytes> receipt;
  bool sandboxReceipt = false;
  bool introEnabled = true;
  std::vector<Reported> reported;
  std::shared_ptr<TLMInAppPurchaseTransactionReporter> reporter;
};

}  // namespace

TEST(TLMInAppPurchaseReporterTests, WithoutReceiptPurchasesAreConsumablesAndQuantityZeroIsNotReported) {
  IapHarness h;
  h.store->catalogue["coins"] = product("coins", "0.99");
  h.report({purchase("coins", "t1", "", 3)});
  ASSERT_EQ(h.reported.size(), 1u);
  EXPECT_EQ(h.last().name, "_iap");
  EXPECT_EQ(h.last().number("price"), 990000);
  EXPECT_EQ(h.last().number("value"), 2970000);
  EXPECT_EQ(h.last().number("quantity"), 3);
  EXPECT_EQ(h.last().parameters.find("currency")->contextValue().stringValue(), "USD");
  EXPECT_EQ(h.last().parameters.find("product_name")->contextValue().stringValue(), "Title coins");
  EXPECT_FALSE(h.last().parameters.contains("subscription"));

  h.report({purchase("coins", "t2", "", 0)});
  EXPECT_EQ(h.reported.size(), 1u);

  // Not purchased, no product identifier, unknown to the store: nothing.
  auto restored = std::make_shared<SKPaymentTransaction>(*purchase("coins", "t3"));
  restored->transactionState = SKPaymentTransactionStateRestored;
  h.report({restored, purchase("", "t4"), purchase("ghost", "t5")});
  EXPECT_EQ(h.reported.size(), 1u);
  EXPECT_TRUE(h.cache->isInvalidProductIdentifier("ghost"));

  // A price whose micros leave the 64-bit range counts as missing.
  h.store->catalogue["gold"] = product("gold", "100000000000000000000");
  h.report({purchase("gold", "t6")});
  EXPECT_EQ(h.reported.size(), 1u);
  EXPECT_EQ(TLMValueInMicrosFromPriceAndQuantity(*platform::Decimal::parse("9223372036854.775807"), 2), std::nullopt);
  EXPECT_EQ(TLMValueInMicrosFromPriceAndQuantity(*platform::Decimal::parse("-1.5"), 3), -4500000);
}

TEST(TLMInAppPurchaseReporterTests, SubscriptionsFromTheReceiptAndTheirRepeatedReportAsRepurchase) {
  IapHarness h;
  h.store->catalogue["sub"] = product("sub", "4.99");
  platform::Bytes receipt = {0x31, 0x7F};
  append(receipt, entry({utf8(1702, "sub"), utf8(1703, "s1"), utf8(1705, "s1"), ia5(1708, "2027-01-01"),
                         integer(1713, 0), integer(1719, 0)}));
  receipt.push_back(0);
  h.receipt = receipt;
  h.report({purchase("sub", "s1", "s1", 1, 1700000000)});
  ASSERT_EQ(h.reported.size(), 1u);
  EXPECT_EQ(h.last().name, "_iap");
  EXPECT_EQ(h.last().number("subscription"), 1);

  // The same transaction date again: a repurchase, reported as "_iapx" without "invalid".
  h.sandboxReceipt = true;
  h.report({purchase("sub", "s1", "s1", 1, 1700000000)});
  ASSERT_EQ(h.reported.size(), 2u);
  EXPECT_EQ(h.last().name, "_iapx");
  EXPECT_FALSE(h.last().parameters.contains("invalid"));
  EXPECT_EQ(h.last().number("sandbox"), 1);

  // A later renewal is a subscription again.
  h.report({purchase("sub", "s2", "s1", 1, 1700086400)});
  EXPECT_EQ(h.last().name, "_iap");
  EXPECT_EQ(h.last().number("subscription"), 1);
}

TEST(TLMInAppPurchaseReporterTests, FreeTrialsIntroductoryOffersAndRestoredNonConsumables) {
  IapHarness h;
  SKProductDiscount intro{*platform::Decimal::parse("0.49"), SKProductDiscountPaymentModePayAsYouGo};
  h.store->catalogue["trial"] = product("trial", "9.99");
  h.store->catalogue["offer"] = product("offer", "2.99", intro);
  h.store->catalogue["pro"] = product("pro", "19.99");
  h.store->catalogue["plan"] = product("plan", "1.00");
  platform::Bytes receipt = {0x31, 0x7F};
  append(receipt, entry({utf8(1702, "trial"), utf8(1703, "a1"), ia5(1708, "2027"), integer(1713, 1)}));
  append(receipt, entry({utf8(1702, "offer"), utf8(1703, "b1"), ia5(1708, "2027"), integer(1719, 1)}));
  append(receipt, entry({utf8(1702, "pro"), utf8(1703, "c1"), utf8(1705, "c0")}));
  append(receipt, entry({utf8(1702, "plan"), utf8(1703, "d1"), utf8(1705, "d1"), integer(1707, 2)}));
  receipt.push_back(0);
  h.receipt = receipt;

  h.report({purchase("trial", "a1", "a1")});
  EXPECT_EQ(h.last().number("price"), 0);
  EXPECT_EQ(h.last().number("value"), 0);
  EXPECT_EQ(h.last().number("original_price"), 9990000);
  EXPECT_EQ(h.last().number("price_is_discounted"), 1);
  EXPECT_EQ(h.last().number("free_trial"), 1);
  EXPECT_EQ(h.last().number("subscription"), 1);

  h.report({purchase("offer", "b1", "b1", 2)});
  EXPECT_EQ(h.last().number("price"), 490000);
  EXPECT_EQ(h.last().number("value"), 980000);
  EXPECT_EQ(h.last().number("original_price"), 2990000);
  EXPECT_TRUE(h.monitor->has(40018));

  h.report({purchase("pro", "c2", "c0")});
  EXPECT_EQ(h.last().name, "_iapx");
  EXPECT_TRUE(h.monitor->has(40005));

  h.report({purchase("plan", "d1", "")});
  EXPECT_EQ(h.last().name, "_iap");
  EXPECT_EQ(h.last().number("subscription"), 1);
  EXPECT_TRUE(h.monitor->has(40006));
}

TEST(TLMInAppPurchaseReporterTests, ProductCacheResetsAtItsLimitAndAFailedRequestReportsNothing) {
  IapHarness h;
  std::set<std::string> first;
  for (int i = 0; i < 100; ++i) first.insert("p" + std::to_string(i));
  for (const auto& id : first) h.store->catalogue[id] = product(id, "1");
  auto ignore = [](auto, auto, auto) {};
  h.cache->requestProductsWithProductIdentifiers(first, h.reporting, ignore);
  h.lock->drain();
  EXPECT_TRUE(h.cache->cachedProductForProductIdentifier("p0"));
  h.cache->requestProductsWithProductIdentifiers({"x1"}, h.reporting, ignore);  // 101 entries
  h.lock->drain();
  EXPECT_FALSE(h.cache->cachedProductForProductIdentifier("p0"));
  EXPECT_TRUE(h.cache->isInvalidProductIdentifier("x1"));

  h.store->failing = true;
  h.report({purchase("p5", "t1")});
  EXPECT_TRUE(h.reported.empty());
  EXPECT_TRUE(h.monitor->has(21027));
}

TEST(TLMInAppPurchaseReporterTests, EngineFilterDropsAPurchaseAlreadyReported) {
  EngineHarness h;
  h.components.purchaseFingerprint = fingerprint;
  h.start();
  auto filter = [&](std::vector<TLMPaymentTransaction> transactions) {
    std::promise<std::vector<TLMPaymentTransaction>> passed;
    h.engine->filterPurchaseTransactions(std::move(transactions),
                                         [&](std::vector<TLMPaymentTransaction> p) { passed.set_value(std::move(p)); });
    h.drain();
    return passed.get_future().get();
  };
  TLMPaymentTransaction t{"coins", "T-1", 1, 0, nullptr};
  TLMPaymentTransaction zeros{"coins", "000-000", 1, 0, nullptr};
  EXPECT_EQ(filter({t, zeros}).size(), 2u);
  const auto again = filter({t, zeros});
  ASSERT_EQ(again.size(), 1u);  // the fingerprint-less one is never held back
  EXPECT_EQ(again[0].transactionIdentifier, "000-000");
  EXPECT_TRUE(h.monitor->has(23141));
  EXPECT_TRUE(h.monitor->has(23139));
}

namespace {
// What the public interface does as the payment queue's observer.
class ForwardingObserver : public SKPaymentTransactionObserver {
 public:
  explicit ForwardingObserver(std::shared_ptr<TLMMeasurementEngine> engine) : engine_(std::move(engine)) {}
  void paymentQueueUpdatedTransactions(SKPaymentQueue&,
                                       const std::vector<std::shared_ptr<const SKPaymentTransaction>>& t) override {
    TLMReportPaymentQueueTransactions(engine_, t);
  }

 private:
  std::shared_ptr<TLMMeasurementEngine> engine_;
};
}  // namespace

TEST(TLMInAppPurchaseReporterTests, PaymentQueueTransactionsReachTheSharedReporterOnceThroughTheFilter) {
  EngineHarness h;
  h.components.purchaseFingerprint = fingerprint;
  h.start();
  auto store = std::make_shared<FakeStore>();
  store->catalogue["gems"] = product("gems", "1.25");
  SKStore::install(store);
  auto observer = std::make_shared<ForwardingObserver>(h.engine);
  SKPaymentQueue::defaultQueue().addTransactionObserver(observer);
  auto purchases = [&] {
    std::size_t n = 0;
    for (const auto& e : h.monitor.internalEvents()) n += e.name == "_iap" ? 1 : 0;
    return n;
  };
  // Waits on other threads' work (the filter's callback and the reporting queue), never on time.
  auto waitFor = [&](const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + testsupport::kEventWait;
    while (!done() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    return done();
  };

  SKPaymentQueue::defaultQueue().updateTransactions({purchase("gems", "G-1", "", 2)});
  h.drain();
  ASSERT_TRUE(waitFor([&] { return purchases() == 1; }));
  EXPECT_EQ(store->requests, 1);

  SKPaymentQueue::defaultQueue().updateTransactions({purchase("gems", "G-1", "", 2)});
  h.drain();
  EXPECT_TRUE(h.monitor->has(23141));
  SKPaymentQueue::defaultQueue().removeTransactionObserver(observer.get());
  SKPaymentQueue::defaultQueue().updateTransactions({purchase("gems", "G-2")});
  h.drain();
  EXPECT_EQ(purchases(), 1u);
  SKStore::install(nullptr);
}
