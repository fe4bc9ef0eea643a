// The measurement interface: the hold until start, the interceptor and listener rules, listener
// tokens, user properties and their error events, and the queue checks.
#include <chrono>
#include <thread>

#include "Bounds.h"
#include "AnalyticsTestSupport.h"
#include "measurement/analytics/CDVAMeasurement.h"
#include "obx/OBXAppDelegateSwizzler.h"
#include "storekit/StoreKit.h"

namespace {

using platform::Value;

TLMObjectDictionary params(std::initializer_list<std::pair<std::string, TLMObject>> entries) {
  TLMObjectDictionary d;
  for (const auto& [k, v] : entries) d.set(k, v);
  return d;
}

TEST_F(AnalyticsTest, WorkBeforeStartWaitsAndKeepsCallOrderAndTimestamps) {
  const double t0 = h.clock->now();
  TLMAnalytics::logEventWithName("first", params({{"n", TLMObject(std::int64_t{1})}}));
  h.clock->setNow(t0 + 5);
  TLMAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  TLMAnalytics::logEventWithName("second", {});
  drain();
  EXPECT_EQ(initializations, 0);
  EXPECT_EQ(serial->pendingCount(), 0u);  // held on the operation queue, not on the serial queue

  // A clock set back between the calls and the start changes nothing.
  h.clock->setNow(t0 - 100);
  start();
  drain();
  ASSERT_EQ(initializations, 1);
  auto names = h.rawEventNames();
  auto first = std::find(names.begin(), names.end(), "first");
  auto second = std::find(names.begin(), names.end(), "second");
  ASSERT_NE(first, names.end());
  ASSERT_NE(second, names.end());
  EXPECT_LT(first, second);
  EXPECT_EQ(stored("first")[0].event->timestamp(), t0);
  EXPECT_EQ(stored("second")[0].event->timestamp(), t0 + 5);
  ASSERT_TRUE(h.property("tier"));
  EXPECT_EQ(h.property("tier")->value().stringValue(), "gold");
  EXPECT_EQ(h.property("tier")->lastSetTimestamp(), t0 + 5);

  // A second start never initialises the engine again.
  start();
  drain();
  EXPECT_EQ(initializations, 1);
}

TEST_F(AnalyticsTest, StartWithoutLogTagWarnsAndStillStarts) {
  platform::Dictionary options;
  options.set(kTLMStartOptionCollectionEnabled, Value(true));
  start(options);
  drain();
  EXPECT_TRUE(h.monitor->has(25030));
  EXPECT_EQ(initializations, 1);
  EXPECT_TRUE(TLMAnalytics::isEnabled());
}

namespace {
class FakeTagManager : public TLMTagManagerClass {
 public:
  explicit FakeTagManager(bool implemented) : implemented_(implemented) {}
  std::function<void()> initializeSharedInstance() const override {
    if (!implemented_) return {};
    return [this] { ++starts; };
  }
  mutable int starts = 0;

 private:
  bool implemented_;
};
}  // namespace

TEST_F(AnalyticsTest, StartRunsTheTagManagerOnlyWhenItsClassImplementsTheStart) {
  auto tagManager = std::make_shared<FakeTagManager>(true);
  platform::ClassRegistry::registerClass(tagManager);
  start();
  drain();
  EXPECT_EQ(tagManager->starts, 1);
  EXPECT_FALSE(h.monitor->has(25016));
  platform::ClassRegistry::unregisterClass(kTLMTagManagerClassName);
}

TEST_F(AnalyticsTest, ATagManagerClassWithoutItsStartIsReported) {
  platform::ClassRegistry::registerClass(std::make_shared<FakeTagManager>(false));
  start();
  drain();
  EXPECT_TRUE(h.monitor->has(25016));
  EXPECT_EQ(initializations, 1);
  platform::ClassRegistry::unregisterClass(kTLMTagManagerClassName);
}

TEST_F(AnalyticsTest, InterceptorAndListenerBypassRules) {
  start();
  drain();
  std::vector<std::string> intercepted, heard;
  TLMAnalytics::setLogEventInterceptor(
      [&](const std::string&, const std::string& name, const TLMObjectDictionary&, double) { intercepted.push_back(name); });
  TLMAnalytics::addLogEventListener([&](const TLMEventPtr& e) { heard.push_back(e->name()); });
  drain();

  TLMAnalytics::logEventWithName("shown", {});                                // public: interceptor only
  TLMAnalytics::logInternalEventWithOrigin("auto", "_vs", {});                // internal: listeners only
  TLMAnalytics::logEventWithOrigin("vx", false, "_ai", {});                  // ads origin: neither
  TLMAnalytics::logEventWithOrigin("auto", false, "_xa", {});                // exposure: neither
  drain();
  EXPECT_EQ(intercepted, (std::vector<std::string>{"shown"}));
  EXPECT_EQ(heard, (std::vector<std::string>{"_vs"}));
  EXPECT_TRUE(stored("shown").empty());
  ASSERT_EQ(stored("_ai").size(), 1u);
  EXPECT_EQ(stored("_xa").size(), 1u);

  // The interceptor lets an event through with the forwarded origin: stored and heard once.
  TLMAnalytics::logEventWithOrigin("app+zep", true, "shown", params({{"_sn", TLMObject("Home")}}), h.clock->now(),
                                   false, true);
  drain();
  EXPECT_EQ(intercepted.size(), 1u);
  EXPECT_EQ(heard.back(), "shown");
  ASSERT_EQ(stored("shown").size(), 1u);

  // Collection off: still handed to the engine, but neither interceptor nor listeners run.
  TLMAnalytics::setAnalyticsEnabled(false);
  drain();
  const std::size_t heardBefore = heard.size();
  TLMAnalytics::logEventWithName("later", {});
  TLMAnalytics::logInternalEventWithOrigin("auto", "_vs", {});
  drain();
  EXPECT_EQ(intercepted.size(), 1u);
  EXPECT_EQ(heard.size(), heardBefore);
}

TEST_F(AnalyticsTest, AdEventIDTextBecomesAnInteger) {
  start();
  drain();
  TLMAnalytics::logInternalEventWithOrigin("vx", "_ai", params({{"_aeid", TLMObject("-42")}}));
  TLMAnalytics::logInternalEventWithOrigin("vx", "_ai", params({{"_aeid", TLMObject("4x2")}}));
  drain();
  auto events = stored("_ai");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event->parameters().find("_aeid")->int64Value(), -42);
  EXPECT_EQ(events[1].event->parameters().find("_aeid")->stringValue(), "4x2");
  EXPECT_EQ(h.monitor->count(25023), 2u);
  EXPECT_EQ(h.monitor->count(25024), 1u);
}

TEST_F(AnalyticsTest, ListenerTokensAndRemoval) {
  EXPECT_FALSE(TLMAnalytics::addLogEventListener(nullptr));
  EXPECT_TRUE(h.monitor->has(25012));
  start();
  TLMAnalytics::removeLogEventListener(TLMLogEventListenerToken{7});  // nothing was ever added
  drain();
  EXPECT_EQ(h.monitor->count(25014), 1u);

  int a = 0, b = 0;
  auto tokenA = TLMAnalytics::addLogEventListener([&](const TLMEventPtr&) { ++a; });
  auto tokenB = TLMAnalytics::addLogEventListener([&](const TLMEventPtr&) { ++b; });
  ASSERT_TRUE(tokenA && tokenB);
  EXPECT_NE(*tokenA, *tokenB);
  TLMAnalytics::removeLogEventListener(*tokenB + 100);
  TLMAnalytics::removeLogEventListener(std::nullopt);
  drain();
  EXPECT_EQ(h.monitor->count(25015), 1u);
  EXPECT_EQ(h.monitor->count(25013), 1u);

  TLMAnalytics::logEventWithName("one", {});
  TLMAnalytics::removeLogEventListener(tokenA);
  TLMAnalytics::logEventWithName("two", {});
  drain();
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  // Removing it again is an unknown token now, not a missing table.
  TLMAnalytics::removeLogEventListener(tokenA);
  drain();
  EXPECT_EQ(h.monitor->count(25015), 2u);
  EXPECT_EQ(h.monitor->count(25014), 1u);
}

TEST_F(AnalyticsTest, UserPropertyOriginAndLengthLimits) {
  start();
  drain();
  const std::string origin32(32, 'o');
  TLMAnalytics::setInternalUserProperty(TLMObject("v"), "exact_origin", origin32);
  TLMAnalytics::setInternalUserProperty(TLMObject("v"), "long_origin", origin32 + "o");
  TLMAnalytics::setInternalUserProperty(TLMObject("v"), "no_origin", "");
  drain();
  EXPECT_TRUE(h.property("exact_origin"));
  EXPECT_FALSE(h.property("long_origin"));
  EXPECT_FALSE(h.property("no_origin"));
  EXPECT_EQ(h.monitor->count(25005), 2u);

  // An invalid name stops at its error event: no origin message as well.
  h.monitor->clear();
  TLMAnalytics::setInternalUserProperty(TLMObject("v"), std::string(25, 'n'), "");
  drain();
  EXPECT_FALSE(h.monitor->has(25005));
  EXPECT_EQ(errorCodes(), (std::vector<std::int64_t>{6}));

  // Public values: 36 characters are kept, 37 give error event 7.
  TLMAnalytics::setUserPropertyString(TLMObject(std::string(36, 'v')), "fits");
  TLMAnalytics::setUserPropertyString(TLMObject(std::string(37, 'v')), "too_long");
  TLMAnalytics::setUserPropertyString(TLMObject(Value(std::int64_t{3})), "number");
  drain();
  EXPECT_TRUE(h.property("fits"));
  EXPECT_FALSE(h.property("too_long"));
  EXPECT_FALSE(h.property("number"));
  EXPECT_TRUE(h.monitor->has(25003));
  ASSERT_EQ(errorCodes(), (std::vector<std::int64_t>{6, 7}));
  const auto tooLong = stored("_err")[1].event;
  EXPECT_EQ(tooLong->parameters().find("_ev")->stringValue(), "too_long");
  EXPECT_EQ(tooLong->parameters().find("_el")->int64Value(), 37);

  // A nil value removes.
  TLMAnalytics::setUserPropertyString(TLMObject(), "fits");
  drain();
  EXPECT_FALSE(h.property("fits"));
}

TEST_F(AnalyticsTest, ErrorEventsForNamesAndTheUserID) {
  start();
  drain();
  TLMAnalytics::logEventWithName("ombrix_event", {});           // reserved prefix: 13
  TLMAnalytics::logEventWithName(std::string(41, 'e'), {});     // too long: 2
  TLMAnalytics::logEventWithName(std::string(40, 'e'), {});     // fits
  TLMAnalytics::setUserPropertyString(TLMObject("x"), "ombrix_prop");        // reserved: 15
  TLMAnalytics::setUserPropertyString(TLMObject("x"), std::string(25, 'p'));  // too long: 6
  TLMAnalytics::setUserPropertyString(TLMObject("x"), std::string(24, 'p'));  // fits
  TLMAnalytics::setUserAttributeNumber(TLMObject(Value(2.5)), "ombrix_n");    // reserved: 15
  TLMAnalytics::setUserAttributeNumber(TLMObject(Value(2.5)), "score");
  drain();
  EXPECT_EQ(errorCodes(), (std::vector<std::int64_t>{13, 2, 15, 6, 15}));
  EXPECT_EQ(stored(std::string(40, 'e')).size(), 1u);
  EXPECT_TRUE(h.property(std::string(24, 'p')));
  ASSERT_TRUE(h.property("score"));
  EXPECT_EQ(h.property("score")->value().doubleValue(), 2.5);

  TLMAnalytics::setUserID(TLMObject("user-1"));
  drain();
  ASSERT_TRUE(h.property("_id"));
  EXPECT_EQ(h.property("_id")->origin(), "app");
  TLMAnalytics::setUserID(TLMObject(Value(std::int64_t{5})));
  drain();
  EXPECT_TRUE(h.monitor->has(25004));
  EXPECT_EQ(h.property("_id")->value().stringValue(), "user-1");
  TLMAnalytics::setUserID(TLMObject());
  drain();
  EXPECT_FALSE(h.property("_id"));
}

TEST_F(AnalyticsTest, QueriesAnswerOnTheNamedQueue) {
  auto answers = platform::ManualQueue::create("answers");
  TLMAnalytics::maxUserPropertiesForOrigin("", answers, [](int) {});
  TLMAnalytics::maxUserPropertiesForOrigin("app", nullptr, [](int) {});
  TLMAnalytics::maxUserPropertiesForOrigin("app", answers, nullptr);
  EXPECT_EQ(h.monitor->codes(), (std::vector<std::int64_t>{25009, 25010, 25011}));

  // Asked before start: answered after it, on the named queue.
  std::optional<platform::Dictionary> properties;
  TLMAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  TLMAnalytics::userPropertiesIncludingInternal(false, answers, [&](platform::Dictionary d) { properties = d; });
  start();
  drain();
  // The engine answers on the global queue; wait for it (bounded) and run the answer here.
  const auto deadline = std::chrono::steady_clock::now() + testsupport::kEventWait;
  while (answers->pendingCount() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  answers->drain();
  ASSERT_TRUE(properties);
  EXPECT_EQ(properties->find("tier") ? properties->find("tier")->stringValue() : std::nullopt, "gold");

  // Collection off: an empty answer and 25008.
  TLMAnalytics::setAnalyticsEnabled(false);
  drain();
  properties.reset();
  TLMAnalytics::userPropertiesIncludingInternal(false, answers, [&](platform::Dictionary d) { properties = d; });
  drain();
  answers->drain();
  ASSERT_TRUE(properties);
  EXPECT_TRUE(properties->empty());
  EXPECT_TRUE(h.monitor->has(25008));
}

TEST_F(AnalyticsTest, SerialQueueCheckComparesTheQueueNotItsLabel) {
  auto namesake = platform::ManualQueue::create(kTLMAnalyticsQueueLabel);
  std::optional<bool> onNamesake, onSerial;
  namesake->async([&] { onNamesake = TLMAnalytics::isCurrentQueueSerialQueue(); });
  TLMAnalytics::dispatchAsyncOnSerialQueue([&] { onSerial = TLMAnalytics::isCurrentQueueSerialQueue(); });
  namesake->drain();
  serial->drain();
  EXPECT_EQ(onNamesake, false);
  EXPECT_EQ(onSerial, true);
  EXPECT_FALSE(TLMAnalytics::isCurrentQueueSerialQueue());
}

TEST_F(AnalyticsTest, EnablementSwitchesPersistAndDeactivationIsFinal) {
  platform::Dictionary options;
  options.set(kTLMStartOptionLogTag, Value("[Test]"));
  options.set(kTLMStartOptionCollectionDeactivated, Value(true));
  start(options);
  drain();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  TLMAnalytics::setAnalyticsEnabled(true, true);
  drain();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  EXPECT_EQ(h.persisted->measurementEnabledState(), TLMMeasurementEnabledStateEnabled);
  TLMAnalytics::setAnalyticsEnabled(false, true);
  drain();
  EXPECT_EQ(h.persisted->measurementEnabledState(), TLMMeasurementEnabledStateDisabled);

  // A deactivated library does not listen to the app delegate.
  std::vector<std::string> opened;
  TLMAnalytics::setOpenURLListener([&](const std::string& url) { opened.push_back(url); });
  OBXAppDelegateSwizzler::applicationOpenURL("app://open");
  drain();
  EXPECT_TRUE(opened.empty());
}

// What the start connects: the app delegate's callbacks, the payment queue and the screen reporter.
class RecordingScreen : public TLMNullScreenReporter {
 public:
  void setScreenName(const std::optional<std::string>& name, const std::optional<std::string>& cls) override {
    names.emplace_back(name.value_or(""), cls.value_or(""));
  }
  std::vector<std::pair<std::string, std::string>> names;
};

TEST_F(AnalyticsTest, StartConnectsAppDelegatePaymentQueueAndScreens) {
  std::vector<std::string> fingerprinted;
  h.components.purchaseFingerprint = [&](const TLMPaymentTransaction& t) {
    fingerprinted.push_back(t.transactionIdentifier);
    return std::string();
  };
  auto screen = std::make_shared<RecordingScreen>();
  h.screen = screen;
  auto purchase = [](const std::string& id) {
    auto t = std::make_shared<SKPaymentTransaction>();
    t->transactionState = SKPaymentTransactionStatePurchased;
    t->transactionIdentifier = id;
    t->payment.productIdentifier = "coins";
    return std::vector<std::shared_ptr<const SKPaymentTransaction>>{t};
  };
  std::vector<std::string> opened;
  TLMAnalytics::setOpenURLListener([&](const std::string& url) { opened.push_back(url); });
  // Nobody observes the payment queue before start.
  SKPaymentQueue::defaultQueue().updateTransactions(purchase("T-early"));
  EXPECT_EQ(operation->pendingCount(), 0u);
  start();
  drain();
  SKPaymentQueue::defaultQueue().updateTransactions(purchase("T-0"));
  drain();
  EXPECT_EQ(fingerprinted, std::vector<std::string>{"T-0"});

  // URL callbacks and a browsing activity reach handleOpenURL; every callback answers NO.
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationOpenURL("app://one"));
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationOpenURL("app://two", std::string("src"), Value()));
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationContinueUserActivity(
      {platform::kUserActivityTypeBrowsingWeb, "https://example.test/x?utm_campaign=c"}));
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationContinueUserActivity({"other.type", "https://example.test/y"}));
  drain();
  EXPECT_EQ(opened, (std::vector<std::string>{"app://one", "app://two", "https://example.test/x?utm_campaign=c"}));
  EXPECT_FALSE(stored("_cmp").empty());

  // Purchases pass the engine's filter only while collection is on.
  TLMAnalytics::setAnalyticsEnabled(false);
  drain();
  SKPaymentQueue::defaultQueue().updateTransactions(purchase("T-1"));
  drain();
  TLMAnalytics::setAnalyticsEnabled(true);
  drain();
  SKPaymentQueue::defaultQueue().updateTransactions(purchase("T-2"));
  drain();
  EXPECT_EQ(fingerprinted, (std::vector<std::string>{"T-0", "T-2"}));

  // setScreenName reaches the engine's screen reporter from the main thread only.
  TLMAnalytics::setScreenName("Home", "HomeController");
  main->async([] { TLMAnalytics::setScreenName("Cart", std::nullopt); });
  drain();
  EXPECT_TRUE(h.monitor->has(25025));
  EXPECT_EQ(screen->names, (std::vector<std::pair<std::string, std::string>>{{"Cart", ""}}));

  // After a reset the payment queue and the app delegate no longer reach the interface.
  TLMAnalytics::resetForTesting({operation, serial, timestamp});
  SKPaymentQueue::defaultQueue().updateTransactions(purchase("T-3"));
  OBXAppDelegateSwizzler::applicationOpenURL("app://three");
  EXPECT_EQ(operation->pendingCount(), 0u);
  EXPECT_EQ(serial->pendingCount(), 0u);
}

// Code written against the older class names: the controller is the one shared controller, and
// a record of the older name is set, triggered and read back by a controller of the older name.
TEST_F(AnalyticsTest, OlderConditionalPropertyNamesWorkAsTheCurrentOnes) {
  EXPECT_EQ(CDVAConditionalUserPropertyController::sharedInstance(),
            TLMConditionalUserPropertyController::sharedInstance());
  auto controller = std::make_shared<CDVAConditionalUserPropertyController>();
  h.components.conditionalProperties = controller;
  h.start();
  CDVAConditionalUserProperty older;
  older.name = "tier";
  older.origin = "app";
  older.value = TLMValue(std::string("gold"));
  older.triggerEventName = "unlock";
  older.triggerTimeout = 100;
  older.timeToLive = 50;
  EXPECT_TRUE(TLMIsValidConditionalUserProperty(older));
  controller->setConditionalUserProperty(older, "tier");
  h.drain();
  EXPECT_FALSE(h.property("tier"));
  h.log("unlock");
  ASSERT_TRUE(h.property("tier"));
  EXPECT_EQ(*h.property("tier")->value().stringPtr(), "gold");
  std::optional<std::vector<TLMConditionalUserProperty>> rows;
  h.engine->scheduler()->workerQueue()->async([&] { rows = controller->conditionalUserProperties(std::nullopt, std::nullopt); });
  h.drain();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_TRUE(rows->front().isActive());
}

}  // namespace
