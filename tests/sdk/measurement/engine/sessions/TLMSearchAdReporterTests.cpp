#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "measurement/engine/sessions/TLMAppDelegateInterceptor.h"
#include "measurement/engine/sessions/TLMSearchAdReporter.h"

namespace {

// An attribution client that answers the details question from a script; replies are kept
// until the test releases them, as the platform answers on a queue of its choosing.
struct FakeAttributionClient {
  std::shared_ptr<TLMAttributionClient> client = std::make_shared<TLMAttributionClient>();
  std::vector<TLMAttributionClient::DetailsReply> pending;
  int requests = 0;

  FakeAttributionClient() {
    client->requestAttributionDetails = [this](TLMAttributionClient::DetailsReply reply) {
      ++requests;
      pending.push_back(std::move(reply));
    };
  }
  void reply(std::optional<platform::Dictionary> details, std::optional<platform::Error> error = std::nullopt) {
    ASSERT_FALSE(pending.empty());
    auto next = std::move(pending.front());
    pending.erase(pending.begin());
    next(std::move(details), std::move(error));
  }
  static platform::Dictionary details(const std::string& attribution, const std::string& campaignID,
                                      const std::string& campaignName, const std::string& keyword = "") {
    platform::Dictionary inner{{"iad-attribution", platform::Value(attribution)},
                               {"iad-campaign-id", platform::Value(campaignID)},
                               {"iad-campaign-name", platform::Value(campaignName)}};
    if (!keyword.empty()) inner.set("iad-keyword", platform::Value(keyword));
    return platform::Dictionary{{"Version3.1", platform::Value(inner)}};
  }
};

class SearchAdReporterTest : public ::testing::Test {
 protected:
  // Queued firings hold the queue through their alarms: run them out.
  void TearDown() override { env.queue->drain(); }

  EngineTestEnvironment env;
  std::shared_ptr<TLMPersistedConfig> persisted = makeTestPersistedConfig(env);
  FakeAttributionClient fake;
  RecordedEvents events;

  std::shared_ptr<TLMSearchAdReporter> make(std::shared_ptr<TLMAttributionClient> client) {
    TLMSearchAdServices services;
    services.client = [client] { return client; };
    services.clock = env.clock;
    services.logInternalEvent = events.logger();
    auto reporter = TLMSearchAdReporter::create(env.queue, persisted, services);
    if (reporter) reporter->setSearchAdReporterEnabled(true);
    return reporter;
  }
  std::shared_ptr<TLMSearchAdReporter> make() { return make(fake.client); }
};

TEST_F(SearchAdReporterTest, ALookUpThreeHoursAgoIsRepeatedTwentyOneHoursLater) {
  persisted->setLastSearchAdLookUpTimestamp(env.clock->now() - 3 * 3600);
  auto reporter = make();
  reporter->start();
  EXPECT_TRUE(env.monitor->has(32006));
  ASSERT_TRUE(reporter->scheduledTimestamp());
  EXPECT_DOUBLE_EQ(*reporter->scheduledTimestamp(), env.clock->now() + 21 * 3600);
  reporter->start();
  EXPECT_TRUE(env.monitor->has(32005));

  env.advance(21 * 3600 - 1);
  EXPECT_EQ(fake.requests, 0);
  env.advance(1);
  EXPECT_EQ(fake.requests, 1);
  EXPECT_EQ(persisted->searchAdRetryCount(), 1);
  EXPECT_DOUBLE_EQ(persisted->lastSearchAdLookUpTimestamp(), env.clock->now());
  // The next attempt is already scheduled a day after this look-up; a failed reply keeps it.
  EXPECT_DOUBLE_EQ(*reporter->scheduledTimestamp(), env.clock->now() + 86400);
  fake.reply(std::nullopt, platform::Error{"ADClientErrorDomain", 1, "network", {}});
  EXPECT_TRUE(env.monitor->has(32010));
  EXPECT_DOUBLE_EQ(*reporter->scheduledTimestamp(), env.clock->now() + 86400);
}

TEST_F(SearchAdReporterTest, TheTenthFailedLookUpEndsSchedulingForGood) {
  persisted->setSearchAdRetryCount(9);
  auto reporter = make();
  ASSERT_TRUE(reporter);
  reporter->start();
  env.advance(86400);
  ASSERT_EQ(fake.requests, 1);
  EXPECT_EQ(persisted->searchAdRetryCount(), 10);
  EXPECT_TRUE(env.monitor->has(32007));
  EXPECT_FALSE(reporter->scheduledTimestamp());
  fake.reply(platform::Dictionary{});
  EXPECT_TRUE(env.monitor->has(32011));
  EXPECT_TRUE(env.monitor->has(32013));
  env.advance(10 * 86400);
  EXPECT_EQ(fake.requests, 1);
  // A later process makes no reporter at all.
  EXPECT_EQ(make(), nullptr);
}

TEST_F(SearchAdReporterTest, TheClickTimestampNeedsAFirstOpenOfAtLeastTwoMilliseconds) {
  struct Case {
    std::int64_t firstOpenMillis;
    std::optional<std::int64_t> clickTimestamp;
  };
  for (const Case& c : {Case{0, std::nullopt}, Case{1, std::nullopt}, Case{2, 1},
                        Case{1700000000123, 1700000000122}}) {
    persisted->setSearchAdCampaignValue(std::nullopt);
    persisted->setFirstOpenTimestampMilliseconds(c.firstOpenMillis);
    events.clear();
    env.monitor->clear();
    auto reporter = make();
    reporter->logCampaignEventWithSearchAdCampaign(true, "Spring", "");
    auto campaigns = events.named("_cmp");
    ASSERT_EQ(campaigns.size(), 1u);
    EXPECT_EQ(campaigns[0].origin, "auto");
    EXPECT_EQ(int64Parameter(campaigns[0], "click_timestamp"), c.clickTimestamp) << c.firstOpenMillis;
    EXPECT_EQ(env.monitor->has(32009), !c.clickTimestamp.has_value());
    EXPECT_EQ(stringParameter(campaigns[0], "source"), "Apple");
    EXPECT_EQ(stringParameter(campaigns[0], "medium"), "search");
    EXPECT_EQ(stringParameter(campaigns[0], "campaign"), "Spring");
    EXPECT_FALSE(campaigns[0].parameters.contains("term"));
    // The decision is final.
    reporter->logCampaignEventWithSearchAdCampaign(true, "Again", "x");
    EXPECT_EQ(events.named("_cmp").size(), 1u);
    EXPECT_TRUE(env.monitor->has(32008));
  }
}

TEST_F(SearchAdReporterTest, TestDataIsRetriedAndAttributionIsPersistedOnce) {
  persisted->setFirstOpenTimestampMilliseconds(5000);
  auto reporter = make();
  reporter->start();
  env.advance(86400);
  fake.reply(FakeAttributionClient::details("true", "1234567890", "CampaignName"));
  EXPECT_TRUE(env.monitor->has(32012));
  EXPECT_TRUE(events.events.empty());
  EXPECT_TRUE(reporter->scheduledTimestamp());

  env.advance(86400);
  // The test campaign id with a real campaign name is logged.
  fake.reply(FakeAttributionClient::details("true", "1234567890", "Winter", "savings"));
  auto campaigns = events.named("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(stringParameter(campaigns[0], "term"), "savings");
  EXPECT_EQ(persisted->searchAdCampaignValue(), true);
  EXPECT_FALSE(reporter->scheduledTimestamp());
  EXPECT_EQ(make(), nullptr);
  EXPECT_TRUE(env.monitor->has(32002));
}

TEST_F(SearchAdReporterTest, NoAttributionIsPersistedWithoutAnEvent) {
  auto reporter = make();
  reporter->start();
  env.advance(86400);
  fake.reply(FakeAttributionClient::details("false", "42", "Spring"));
  EXPECT_TRUE(events.events.empty());
  EXPECT_EQ(persisted->searchAdCampaignValue(), false);
  env.advance(5 * 86400);
  EXPECT_EQ(fake.requests, 1);
}

TEST_F(SearchAdReporterTest, OlderClientFormsAndAMissingClient) {
  auto conversion = std::make_shared<TLMAttributionClient>();
  conversion->lookupAdConversionDetails = [](TLMAttributionClient::ConversionReply reply) {
    reply(1700000000.0, 1699990000.0);
  };
  auto reporter = make(conversion);
  reporter->lookUpAdConversionDetails();
  ASSERT_EQ(events.named("_cmp").size(), 1u);
  EXPECT_FALSE(events.named("_cmp")[0].parameters.contains("campaign"));

  persisted->setSearchAdCampaignValue(std::nullopt);
  events.clear();
  auto installation = std::make_shared<TLMAttributionClient>();
  installation->determineAppInstallationAttribution = [](TLMAttributionClient::InstallationReply reply) {
    reply(false);
  };
  make(installation)->lookUpAdConversionDetails();
  EXPECT_TRUE(events.events.empty());
  EXPECT_EQ(persisted->searchAdCampaignValue(), false);

  persisted->setSearchAdCampaignValue(std::nullopt);
  auto absent = make(nullptr);
  absent->start();
  EXPECT_TRUE(env.monitor->has(32003));
  EXPECT_FALSE(absent->scheduledTimestamp());
  EXPECT_EQ(TLMSearchAdReporter::create(nullptr, persisted), nullptr);
  EXPECT_TRUE(env.monitor->has(32000));
  EXPECT_EQ(TLMSearchAdReporter::create(env.queue, nullptr), nullptr);
  EXPECT_TRUE(env.monitor->has(32001));
}

TEST_F(SearchAdReporterTest, RepliesAfterTheReporterIsGoneAreDropped) {
  auto reporter = make();
  reporter->start();
  env.advance(86400);
  reporter.reset();
  fake.reply(FakeAttributionClient::details("true", "42", "Spring"));
  EXPECT_TRUE(events.events.empty());
  EXPECT_FALSE(persisted->searchAdCampaignValue());
}

TEST(TLMAppDelegateInterceptorTest, CallbacksReachTheInterfaceThroughTheProxyAndAnswerNo) {
  OBXAppDelegateSwizzler::resetForTesting();
  auto interceptor = std::make_shared<TLMAppDelegateInterceptor>();
  std::vector<std::string> opened;
  interceptor->setHandlers({[&](const std::string& url) { opened.push_back(url); }, nullptr});
  OBXAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  OBXAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);

  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationOpenURL("vesmora://offer?utm_campaign=a"));
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationOpenURL("vesmora://b", std::string("com.example"), {}));
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationContinueUserActivity(
      {platform::kUserActivityTypeBrowsingWeb, "https://vesmora.example/c"}));
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationContinueUserActivity({"handoff", "https://x.example/d"}));
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationContinueUserActivity({platform::kUserActivityTypeBrowsingWeb, ""}));
  EXPECT_EQ(opened, (std::vector<std::string>{"vesmora://offer?utm_campaign=a", "vesmora://b",
                                              "https://vesmora.example/c"}));

  // The host's background-session handler is called once, after the network client's.
  auto main = platform::ManualQueue::create("main");
  platform::ScopedMainQueue scopedMain(main);
  int done = 0;
  OBXAppDelegateSwizzler::applicationHandleEventsForBackgroundURLSession("session", [&] { ++done; });
  main->drain();
  EXPECT_EQ(done, 1);

  interceptor.reset();
  EXPECT_FALSE(OBXAppDelegateSwizzler::applicationOpenURL("vesmora://gone"));
  EXPECT_EQ(opened.size(), 3u);
  OBXAppDelegateSwizzler::applicationHandleEventsForBackgroundURLSession("session", [&] { ++done; });
  EXPECT_EQ(done, 2);
}

}  // namespace
