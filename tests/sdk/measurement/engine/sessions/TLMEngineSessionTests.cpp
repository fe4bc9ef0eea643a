// The session and search-ad reporters inside an engine: what they log reaches the store.
#include <gtest/gtest.h>

#include "../MeasurementEngineTestSupport.h"
#include "measurement/engine/sessions/TLMSearchAdReporter.h"
#include "measurement/engine/sessions/TLMSessionReporter.h"

namespace {

// The engine with the real session reporter; its timers run on the worker queue and what it
// logs goes through the engine.
struct SessionEngine {
  EngineHarness h;
  std::shared_ptr<TLMSessionReporter> reporter;

  SessionEngine() {
    h.screen->appActive.store(true);
    h.components.makeSessionReporter = [this](std::shared_ptr<TLMPersistedConfig> persisted,
                                              std::shared_ptr<TLMRemoteConfig> remote) {
      TLMSessionReporterServices services;
      services.timerQueue = h.worker;
      services.clock = h.clock;
      services.settings = [remote] { return TLMSessionSettings::fromRemoteConfig(*remote); };
      services.isAppActive = [this] { return h.screen->isAppActive(); };
      services.logInternalEvent = [this](const std::string& origin, const std::string& name,
                                         const TLMObjectDictionary& parameters) {
        h.engine->logInternalEvent(origin, name, parameters);
      };
      services.setInternalUserProperty = [this](const std::optional<TLMValue>& value, const std::string& name,
                                                const std::string& origin) {
        auto attribute = TLMUserAttribute::initWithOrigin(origin, name, value.value_or(TLMValue(std::int64_t{0})),
                                                          h.clock->now());
        if (value) {
          h.engine->setUserAttribute(attribute);
        } else {
          h.engine->removeUserAttribute(attribute);
        }
      };
      reporter = TLMSessionReporter::create(std::move(persisted), std::move(services));
      return reporter;
    };
  }
  std::size_t count(const std::string& name) {
    std::size_t n = 0;
    for (const auto& e : h.rawEventNames()) n += e == name ? 1 : 0;
    return n;
  }
};

TEST(TLMEngineSessionTest, AFreshInstallStoresSessionOneOnceAndLaterSessionsCountOn) {
  SessionEngine s;
  s.h.start();
  ASSERT_TRUE(s.reporter);
  EXPECT_EQ(s.h.engine->sessionReporter(), s.reporter);
  ASSERT_EQ(s.count("_s"), 1u);
  EXPECT_EQ(s.h.property("_sno")->value().int64Value(), 1);
  // The start left no countdown behind that could start a second session.
  s.h.clock->advance(10);
  s.h.drain();
  EXPECT_EQ(s.count("_s"), 1u);

  // Away for longer than the timeout: the next foreground starts session 2 through the engine.
  s.h.clock->advance(5);
  s.reporter->handleAppWillResignActiveWithScreen(nullptr);
  s.h.drain();
  s.h.screen->appActive.store(false);
  s.h.clock->advance(1801);
  s.h.screen->appActive.store(true);
  s.reporter->handleAppDidBecomeActive();
  s.h.drain();
  ASSERT_EQ(s.count("_s"), 2u);
  EXPECT_EQ(s.h.property("_sno")->value().int64Value(), 2);
  TLMEventPtr engagement;
  for (const auto& e : s.h.rawEvents()) {
    if (e.name == "_e") engagement = e.event;
  }
  EXPECT_EQ(intParameter(engagement, "_et"), 15000);
}

// The engine with a search-ad reporter whose client keeps its reply for the test to give.
struct SearchAdEngine {
  EngineHarness h;
  std::shared_ptr<TLMAttributionClient> client = std::make_shared<TLMAttributionClient>();
  TLMAttributionClient::DetailsReply pending;
  std::shared_ptr<TLMSearchAdReporter> searchAd;

  SearchAdEngine() {
    client->requestAttributionDetails = [this](TLMAttributionClient::DetailsReply reply) {
      pending = std::move(reply);
    };
    h.components.makeSearchAdReporter = [this](std::shared_ptr<platform::Queue> queue,
                                               std::shared_ptr<TLMPersistedConfig> persisted,
                                               TLMInternalEventLogger logCampaign) {
      TLMSearchAdServices services;
      services.client = [this] { return client; };
      services.clock = h.clock;
      services.logInternalEvent = std::move(logCampaign);
      searchAd = TLMSearchAdReporter::create(std::move(queue), std::move(persisted), services);
      return searchAd;
    };
  }
  // The day's look-up, answered with an attributed campaign.
  void answerCampaign() {
    h.clock->advance(86400);
    h.drain();
    ASSERT_TRUE(pending);
    platform::Dictionary inner{{"iad-attribution", platform::Value("true")},
                               {"iad-campaign-name", platform::Value("Spring")}};
    pending(platform::Dictionary{{"Version3.1", platform::Value(inner)}}, std::nullopt);
    h.drain();
  }
  std::vector<TLMEventPtr> campaigns() {
    std::vector<TLMEventPtr> found;
    for (const auto& e : h.rawEvents()) {
      if (e.name == "_cmp") found.push_back(e.event);
    }
    return found;
  }
  std::optional<bool> markStored() {
    return h.database()->containsReportMark(kTLMSearchAdCampaignReportedColumn, nullptr);
  }
};

TEST(TLMEngineSessionTest, SearchAdAttributionIsLoggedAsACampaignWithTheClickTime) {
  SearchAdEngine s;
  s.h.start();
  ASSERT_TRUE(s.searchAd);
  EXPECT_TRUE(s.searchAd->isSearchAdReporterEnabled());
  EXPECT_EQ(s.markStored(), std::optional<bool>(false));
  s.answerCampaign();
  const auto campaigns = s.campaigns();
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(intParameter(campaigns.front(), "click_timestamp"), s.h.persisted->firstOpenTimestampMilliseconds() - 1);
  EXPECT_GT(s.h.persisted->firstOpenTimestampMilliseconds(), 2);
  // Stored with the store's mark (which other processes of the app ask) and the settings' flag
  // (which this process and older builds ask).
  EXPECT_EQ(s.markStored(), std::optional<bool>(true));
  EXPECT_EQ(s.h.persisted->searchAdCampaignValue(), std::optional<bool>(true));
}

TEST(TLMEngineSessionTest, SearchAdCampaignAnotherProcessStoredIsNotStoredAgain) {
  // Another process of the app, started with this one on the same data, stored the campaign
  // after this one read its settings: the store's mark says so, and this one's answer stores
  // nothing more; its settings learn that the campaign was reported (no further look-ups).
  SearchAdEngine s;
  s.h.start();
  ASSERT_TRUE(s.searchAd);
  ASSERT_TRUE(s.h.database()->setReportMark(kTLMSearchAdCampaignReportedColumn, nullptr));
  s.answerCampaign();
  EXPECT_TRUE(s.campaigns().empty());
  EXPECT_EQ(s.h.persisted->searchAdCampaignValue(), std::optional<bool>(true));
  EXPECT_FALSE(s.searchAd->scheduledTimestamp());
  // The engine goes on storing what is logged.
  s.h.engine->logInternalEvent("auto", "_after", TLMObjectDictionary());
  s.h.drain();
  const std::vector<std::string> names = s.h.rawEventNames();
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "_after");
}

}  // namespace
