// Campaign links and the analytics connector: the campaign-parameter mapping, the stored launch
// link handled once, the connector's lists, "_cmp" from other libraries, and listener routing.
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <thread>

#include "AnalyticsTestSupport.h"
#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVConfiguration.h"
#include "Core/Public/CDVOptions.h"
#include "foundation/Exception.h"
#include "foundation/Sandbox.h"
#include "measurement/engine/TLMUserDefaults.h"

namespace {

using platform::Value;

std::optional<std::string> text(const TLMEventPtr& e, const std::string& key) {
  const TLMValue* v = e->parameters().find(key);
  return v ? v->stringValue() : std::nullopt;
}

// MARK: - Campaign links

TEST_F(AnalyticsTest, CampaignQueryMapsToEventParametersAndNeedsARequiredOne) {
  h.start();
  const double now = h.clock->now();
  h.engine->handleOpenURLOnWorkerQueue("vesmora://open?utm_source=a&foo=b&utm_medium=&cp1=z&utm_term=t#frag",
                                       std::int64_t{1234}, now);
  h.engine->handleOpenURLOnWorkerQueue("vesmora://open?utm_term=x", std::nullopt, now);       // term only
  h.engine->handleOpenURLOnWorkerQueue("vesmora://open?utm_source=&utm_campaign=", std::nullopt, now);  // empty
  h.engine->handleOpenURLOnWorkerQueue("vesmora://open", std::nullopt, now);                  // no query
  h.drain();
  auto campaigns = stored("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  const auto& e = campaigns[0].event;
  EXPECT_EQ(text(e, "source"), "a");
  EXPECT_EQ(text(e, "cp1"), "z");
  EXPECT_EQ(text(e, "term"), "t");
  EXPECT_FALSE(e->parameters().contains("medium"));
  EXPECT_FALSE(e->parameters().contains("foo"));
  const TLMValue* click = e->parameters().find("click_timestamp");
  ASSERT_NE(click, nullptr) << "the campaign has no click_timestamp";
  EXPECT_EQ(click->int64Value(), 1234);
  EXPECT_EQ(e->origin(), "auto");
  EXPECT_EQ(h.monitor->count(23001), 2u);
  EXPECT_EQ(h.monitor->count(23000), 1u);
}

TEST_F(AnalyticsTest, CampaignIsNeverDatedBeforeTheFirstOpen) {
  h.start();
  const double firstOpen = static_cast<double>(h.persisted->firstOpenTimestampMilliseconds()) / 1000.0;
  ASSERT_GT(firstOpen, 0);
  h.engine->handleOpenURLOnWorkerQueue("x://y?utm_campaign=early", std::nullopt, firstOpen - 60);
  h.engine->handleOpenURLOnWorkerQueue("x://y?utm_campaign=late", std::nullopt, firstOpen + 60);
  h.drain();
  auto campaigns = stored("_cmp");
  ASSERT_EQ(campaigns.size(), 2u);
  EXPECT_EQ(campaigns[0].event->timestamp(), firstOpen);
  EXPECT_EQ(campaigns[1].event->timestamp(), firstOpen + 60);
}

TEST_F(AnalyticsTest, StoredLaunchLinkIsHandledOnce) {
  auto defaults = TLMUserDefaults::standardUserDefaults();
  defaults->setObject(Value("vesmora://promo?utm_source=mail"), kTLMDeepLinkKey);
  defaults->setObject(Value(h.clock->now() + 10), kTLMDeepLinkTimestampKey);
  h.start();  // the first open hands the stored link over
  h.engine->reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  h.drain();
  auto campaigns = stored("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(text(campaigns[0].event, "source"), "mail");
  // The click is dated just before the first open only where the first open was stored (on a full
  // disk it is not, and the link goes out undated): the failure says so, with the errors logged.
  const std::int64_t firstOpenMs = h.persisted->firstOpenTimestampMilliseconds();
  ASSERT_NE(firstOpenMs, 0) << "the first open was not stored";
  const TLMValue* click = campaigns[0].event->parameters().find("click_timestamp");
  ASSERT_NE(click, nullptr) << "the campaign has no click_timestamp";
  EXPECT_EQ(click->int64Value(), firstOpenMs - 1);
  EXPECT_TRUE(defaults->objectForKey(kTLMDeepLinkKey).isNull());
  EXPECT_TRUE(defaults->objectForKey(kTLMDeepLinkTimestampKey).isNull());

  // A stored link without campaign parameters is consumed too.
  defaults->setObject(Value("vesmora://plain"), kTLMDeepLinkKey);
  h.engine->reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  h.drain();
  EXPECT_TRUE(defaults->objectForKey(kTLMDeepLinkKey).isNull());
  EXPECT_EQ(stored("_cmp").size(), 1u);
}

// A link opened among events the worker has not yet stored becomes its campaign in their group,
// in its place.
TEST_F(AnalyticsTest, ALinkOpenedAmongQueuedEventsIsStoredInTheirGroupInItsPlace) {
  h.start();
  int commits = 0;
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  sqlite3_commit_hook(db, [](void* count) { return ++*static_cast<int*>(count), 0; }, &commits);
  const auto event = [this](const std::string& name) {
    h.engine->logEvent(TLMEvent::initWithOrigin("app", true, name, h.clock->now(), 0, {}));
  };
  event("before");
  h.engine->handleNonFirstOpenEventURL("vesmora://open?utm_source=mail", h.clock->now());
  event("after");
  h.drain();
  sqlite3_commit_hook(db, nullptr, nullptr);
  EXPECT_EQ(commits, 1);
  std::vector<std::string> names;
  for (const auto& e : h.rawEvents()) {
    if (e.name == "before" || e.name == "_cmp" || e.name == "after") names.push_back(e.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"before", "_cmp", "after"}));
}

// The app launched to continue a web activity (a launch URL beside it): the activity's link is
// kept at launch and becomes the campaign of the next start.
TEST_F(AnalyticsTest, TheLinkOfALaunchActivityBecomesTheCampaignAtTheNextStart) {
  auto activity = std::make_shared<platform::UserActivity>(platform::UserActivity{
      platform::kUserActivityTypeBrowsingWeb, "https://vesmora.example/offer?utm_source=web&utm_campaign=spring"});
  Value userInfo = Value::dictionary(
      {{kTLMLaunchOptionsUserActivityDictionaryKey,
        Value::dictionary({{kTLMLaunchOptionsUserActivityKey, Value::object(activity)}})},
       {kTLMLaunchOptionsURLKey, Value("vesmora://open?utm_source=url")}});
  TLMMeasurementEngine::handleAppDidFinishLaunching({kTLMAppDidFinishLaunchingNotification, {}, userInfo});
  h.start();
  h.drain();
  auto campaigns = stored("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(text(campaigns[0].event, "source"), "web");
  EXPECT_EQ(text(campaigns[0].event, "campaign"), "spring");
  EXPECT_TRUE(TLMUserDefaults::standardUserDefaults()->objectForKey(kTLMDeepLinkKey).isNull());
}

TEST_F(AnalyticsTest, OpenedLinksAndUserActivitiesReachTheEngine) {
  start();
  drain();
  std::vector<std::string> opened;
  TLMAnalytics::setOpenURLListener([&](const std::string& url) { opened.push_back(url); });
  TLMAnalytics::handleOpenURL("vesmora://a?utm_campaign=spring");
  TLMAnalytics::handleUserActivity(platform::UserActivity{platform::kUserActivityTypeBrowsingWeb,
                                                          "https://vesmora.example/b?utm_source=web"});
  TLMAnalytics::handleUserActivity(platform::UserActivity{"com.example.search", "https://x/y?utm_source=no"});
  TLMAnalytics::handleUserActivity(std::nullopt);
  drain();
  auto campaigns = stored("_cmp");
  ASSERT_EQ(campaigns.size(), 2u);
  EXPECT_EQ(text(campaigns[0].event, "campaign"), "spring");
  EXPECT_EQ(text(campaigns[1].event, "source"), "web");
  EXPECT_EQ(opened, (std::vector<std::string>{"vesmora://a?utm_campaign=spring"}));
  EXPECT_TRUE(h.monitor->has(23006));
  EXPECT_TRUE(h.monitor->has(23003));

  // On the worker queue itself the call is refused; a namesake queue is not the worker queue.
  h.engine->scheduler()->workerQueue()->async([&] { h.engine->handleNonFirstOpenEventURL("x://y?utm_source=w", h.clock->now()); });
  auto namesake = platform::ManualQueue::create(kTLMSchedulerWorkerQueueLabel);
  namesake->async([&] { h.engine->handleNonFirstOpenEventURL("x://y?utm_source=n", h.clock->now()); });
  namesake->drain();
  drain();
  EXPECT_EQ(h.monitor->count(23163), 1u);
  ASSERT_EQ(stored("_cmp").size(), 3u);
  EXPECT_EQ(text(stored("_cmp")[2].event, "source"), "n");
}

// MARK: - Connector

TEST(CDVConnectorUtilsTest, ListsFenceEventsAndUserProperties) {
  TLMObjectDictionary debug;
  debug.set("_dbg", TLMObject(std::int64_t{1}));
  EXPECT_FALSE(CDVConnectorUtils::shouldLogEventWithName("promo", debug));
  EXPECT_TRUE(CDVConnectorUtils::shouldLogEventWithName("promo", {}));
  EXPECT_FALSE(CDVConnectorUtils::shouldLogEventWithName("_f", {}));
  EXPECT_FALSE(CDVConnectorUtils::shouldLogEventWithName("", {}));
  EXPECT_FALSE(CDVConnectorUtils::isOriginAllowed("app"));
  EXPECT_TRUE(CDVConnectorUtils::isOriginAllowed("ciam"));

  EXPECT_TRUE(CDVConnectorUtils::isUserPropertyAllowed("_ln", "jxq"));
  EXPECT_TRUE(CDVConnectorUtils::isUserPropertyAllowed("_ln", "ciam"));
  EXPECT_FALSE(CDVConnectorUtils::isUserPropertyAllowed("_ln", "crash"));
  EXPECT_FALSE(CDVConnectorUtils::isUserPropertyAllowed("_ltv_USD", "ciam"));
  EXPECT_TRUE(CDVConnectorUtils::isUserPropertyAllowed("_ltv_USDX", "ciam"));
  EXPECT_FALSE(CDVConnectorUtils::isUserPropertyAllowed("_cc1", "ciam"));
  EXPECT_FALSE(CDVConnectorUtils::isUserPropertyAllowed("_cc5", "ciam"));
  EXPECT_TRUE(CDVConnectorUtils::isUserPropertyAllowed("_cc6", "ciam"));
  for (const char* allowed : {"_ltv_usd", "_ltv_US", "x_ltv_USD", "_cc0", "_cc15", "_cc"})
    EXPECT_TRUE(CDVConnectorUtils::isUserPropertyAllowed(allowed, "ciam")) << allowed;
  EXPECT_FALSE(CDVConnectorUtils::isUserPropertyAllowed("_id", "ciam"));
  EXPECT_EQ(CDVAnalyticsConnector().maxUserProperties("ciam"), -1);
}

TEST_F(AnalyticsTest, ConnectorCampaignEventsCarryTheirIntegration) {
  start();
  drain();
  auto connector = std::make_shared<CDVAnalyticsConnector>();
  connector->logEventWithOrigin("ciam", "_cmp", {});
  connector->logEventWithOrigin("cdl", "_cmp", {});
  connector->logEventWithOrigin("jxq", "_cmp", {});
  connector->logEventWithOrigin("app", "_cmp", {});  // a blocked origin
  connector->setUserPropertyWithOrigin("ciam", "_ln", TLMObject("n"));
  connector->setUserPropertyWithOrigin("crash", "_fot", TLMObject(std::int64_t{1}));
  drain();
  std::vector<std::optional<std::string>> integrations;
  for (const auto& e : stored("_cmp")) integrations.push_back(text(e.event, "_cis"));
  EXPECT_EQ(integrations, (std::vector<std::optional<std::string>>{"ciam_integration", "cdl_integration", "jxq_integration"}));
  ASSERT_TRUE(h.property("_ln"));
  EXPECT_EQ(h.property("_ln")->origin(), "ciam");
}

class RecordingListener : public CDVAnalyticsInteropListener {
 public:
  void messageTriggered(const std::string& name, const platform::Dictionary& parameters) override {
    names.push_back(name);
    parameters_[name] = parameters;
  }
  std::vector<std::string> names;
  std::map<std::string, platform::Dictionary> parameters_;
};

TEST_F(AnalyticsTest, ConnectorListenersAreRoutedByOrigin) {
  start();
  drain();
  auto listenerQueue = platform::ManualQueue::create("listeners");
  auto connector = std::make_shared<CDVAnalyticsConnector>(listenerQueue);
  auto crash = std::make_shared<RecordingListener>();
  auto ciam = std::make_shared<RecordingListener>();
  connector->registerAnalyticsListener(crash, "crash");
  connector->registerAnalyticsListener(ciam, "ciam");
  connector->registerAnalyticsListener(std::make_shared<RecordingListener>(), "jxq");  // not a listener origin
  auto flush = [&] {
    drain();
    listenerQueue->drain();
    main->drain();
  };
  flush();
  TLMObjectDictionary p;
  p.set("level", TLMObject(std::int64_t{3}));
  connector->logEventWithOrigin("crash", "fatal", p);
  TLMAnalytics::logInternalEventWithOrigin("auto", "_vs", {});  // origin "auto": nobody's
  TLMAnalytics::logEventWithName("app_event", {});            // "app": everybody
  TLMAnalytics::logInternalEventWithOrigin("crash", "campaign_details", {});  // hidden
  flush();
  EXPECT_EQ(crash->names, (std::vector<std::string>{"fatal", "app_event"}));
  EXPECT_EQ(ciam->names, (std::vector<std::string>{"app_event"}));
  const platform::Value* level = crash->parameters_["fatal"].find("level");
  ASSERT_NE(level, nullptr);
  EXPECT_EQ(level->int64Value(), 3);

  // Unregistering what was never registered does nothing and logs nothing.
  connector->unregisterAnalyticsListenerWithOrigin("jxq");
  flush();
  auto removalMessages = [&] { return h.monitor->count(25013) + h.monitor->count(25014) + h.monitor->count(25015); };
  EXPECT_EQ(removalMessages(), 0u);
  // The last one gone removes the interface listener; registering again adds a new one.
  connector->unregisterAnalyticsListenerWithOrigin("crash");
  connector->unregisterAnalyticsListenerWithOrigin("ciam");
  TLMAnalytics::logEventWithName("unheard", {});
  flush();
  EXPECT_EQ(ciam->names.back(), "app_event");
  EXPECT_EQ(removalMessages(), 0u);
  connector->registerAnalyticsListener(ciam, "ciam");
  TLMAnalytics::logEventWithName("heard", {});
  flush();
  EXPECT_EQ(ciam->names.back(), "heard");
}

TEST_F(AnalyticsTest, ConnectorRegistrationRacesWithLoggedEvents) {
  start();
  drain();
  auto listenerQueue = platform::ManualQueue::create("listeners");
  auto connector = std::make_shared<CDVAnalyticsConnector>(listenerQueue);
  auto listener = std::make_shared<RecordingListener>();
  connector->registerAnalyticsListener(listener, "crash");
  drain();
  auto event = TLMEvent::initWithOrigin("app", true, "tick", h.clock->now(), 0, {});
  std::atomic<bool> done{false};
  std::thread notifier([&] {
    for (int i = 0; i < 3000 && (i < 200 || !done.load()); ++i) TLMAnalytics::notifyEventListenersOnSerialQueue(event);
  });
  for (int i = 0; i < 300; ++i) {
    connector->registerAnalyticsListener(std::make_shared<RecordingListener>(), "ciam");
    connector->unregisterAnalyticsListenerWithOrigin("ciam");
  }
  done.store(true);
  notifier.join();
  drain();
  listenerQueue->drain();
  main->drain();
  EXPECT_FALSE(listener->names.empty());
}

TEST_F(AnalyticsTest, CoreConfigurationSwitchReachesTheInterface) {
  auto configuration = std::make_shared<CDVAnalyticsConfiguration>();
  auto other = std::make_shared<CDVAnalyticsConfiguration>();
  platform::Dictionary options;
  options.set(kTLMStartOptionLogTag, Value("[Test]"));
  options.set(kTLMStartOptionConfiguration, Value::object(configuration));
  start(options);
  drain();
  ASSERT_TRUE(TLMAnalytics::isEnabled());
  other->setAnalyticsCollectionEnabled(false, false);  // another object: not observed
  drain();
  EXPECT_TRUE(TLMAnalytics::isEnabled());
  configuration->setAnalyticsCollectionEnabled(false, false);
  drain();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  configuration->postNotificationName(kTLMAnalyticsConfigurationSetEnabledNotification, Value("yes"));
  drain();
  EXPECT_TRUE(h.monitor->has(25000));
  EXPECT_FALSE(TLMAnalytics::isEnabled());
}

TEST(CDVAnalyticsFacadeTest, StartOptionsAndVersionCheck) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  CDVOptions options(std::string("1:1:ios:1"), std::string("sender"));
  auto configuration = CDVAnalyticsConfiguration::sharedInstance();
  platform::Dictionary start = CDVAnalytics::startOptions(configuration, options);
  EXPECT_EQ(start.find(kTLMStartOptionLogTag)->stringValue(), "[Cindervale/Analytics]");
  EXPECT_TRUE(start.find(kTLMStartOptionConfiguration)->isObject());
  EXPECT_TRUE(start.find(kTLMStartOptionCollectionEnabled)->isBool());
  EXPECT_NO_THROW(CDVAnalytics::checkLibraryVersion("60003000"));
  try {
    CDVAnalytics::checkLibraryVersion("60004000");
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "CDVAnalyticsVersionMismatch");
  }
  EXPECT_TRUE(platform::ClassRegistry::hasClassNamed(kCDVAnalyticsClassName));

  // Before the default app is configured the facade refuses events and user properties.
  TLMScopedRecordingMonitor monitor;
  ASSERT_FALSE(CDVApp::isDefaultAppConfigured());
  CDVAnalytics::logEventWithName("early", {});
  CDVAnalytics::setUserPropertyString(TLMObject("v"), "early");
  EXPECT_EQ(monitor->codes(), (std::vector<std::int64_t>{25018, 25019}));
}

}  // namespace
