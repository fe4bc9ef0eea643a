// The SDK as an app uses it: an app bundle with its service information file, CDVApp::configure(),
// events and a user property through the facade, and a loopback collector (port 0) that receives
// the uploads. Real queues and HTTP; the clock is a manual one, moved to fire the upload alarm.
// Waits are bounded waits for real work on other threads.
#include <gtest/gtest.h>
#include <pthread.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "Bounds.h"
#include "FreeSpace.h"
#include "BatchReader.h"
#include "Core/Public/CDVApp.h"
#include "LoopbackServer.h"
#include "dispatch/Testing.h"
#include "foundation/Bundle.h"
#include "foundation/Files.h"
#include "foundation/NotificationCenter.h"
#include "foundation/UserActivity.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/store/TLMDatabase.h"
#include "obx/OBXLogger.h"

using namespace std::chrono_literals;
using testsupport::eventually;

namespace {

constexpr const char* kAppID = "1:123456789:ios:abc123";
constexpr const char* kBundleID = "com.vesmora.banking";

class Collector {
 public:
  Collector() {
    server.Get(R"(/config/app/.*)", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
    server.Post("/a", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex);
      bodies.push_back(request.body);
      response.status = 200;
      received.notify_all();
    });
    port = server.bind_to_any_port("127.0.0.1");
    if (port > 0 && !testsupport::startListening(server, thread)) port = 0;
    base = "http://127.0.0.1:" + std::to_string(port);
  }
  ~Collector() {
    server.stop();
    if (thread.joinable()) thread.join();
  }
  // The bundles of the n-th post (from 1), waiting (bounded) for it.
  std::vector<collector::Bundle> waitForPost(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!received.wait_for(lock, testsupport::kEventWait, [&] { return bodies.size() >= n; })) {
      ADD_FAILURE() << "post " << n << " never arrived";
      return {};
    }
    auto bundles = collector::readBatch(bodies[n - 1]);
    EXPECT_TRUE(bundles) << "post " << n << " is not a batch";
    return bundles.value_or(std::vector<collector::Bundle>{});
  }
  // The bundles of the first post that carries the event `name`, looking at no more than the
  // first `most` posts and waiting (bounded) for each.
  std::vector<collector::Bundle> waitForPostWith(const std::string& name, std::size_t most) {
    for (std::size_t n = 1; n <= most; ++n) {
      auto bundles = waitForPost(n);
      if (bundles.empty()) return {};
      if (collector::findEvent(bundles, name)) return bundles;
    }
    ADD_FAILURE() << "none of the first " << most << " posts carries " << name;
    return {};
  }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::string base;
  std::mutex mutex;
  std::condition_variable received;
  std::vector<std::string> bodies;
};

class CDVAnalyticsEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UserDefaults::resetForTesting();
    ASSERT_GT(collector.port, 0);
    OBXLoggerSetSink([this](const OBXLogLine& line) {
      std::lock_guard<std::mutex> lock(linesMutex);
      lines.push_back(line.messageCode);
      lineLogged.notify_all();
    });
  }

  // The app: its bundle with the service information file and, unless left out, an Info.plist;
  // then a fresh SDK configured against the collector, as at a launch.
  void launchApp(bool withInfoPlist = true) {
    const std::string bundle = platform::files::join(sandbox.root(), "Vesmora.app");
    platform::Error error;
    ASSERT_TRUE(platform::files::createDirectories(bundle, &error))
        << error.description << testsupport::freeSpace(sandbox.root());
    ASSERT_TRUE(platform::plist::writeFile(
        platform::files::join(bundle, "OmbrixService-Info.plist"),
        platform::Value(platform::Dictionary{{"OMBRIX_APP_ID", kAppID}, {"BUNDLE_ID", kBundleID},
                                             {"API_KEY", "key-1"}, {"WRQ_SENDER_ID", "123456789"}}),
        platform::plist::Format::XML, &error))
        << error.description << testsupport::freeSpace(sandbox.root());
    platform::Value info;
    if (withInfoPlist) {
      info = platform::Value(platform::Dictionary{{"CFBundleIdentifier", kBundleID},
                                                  {"CFBundleShortVersionString", "1.0"},
                                                  {"CFBundleVersion", "1"}});
    }
    platform::Bundle::setMain(std::make_shared<platform::Bundle>(bundle, info));

    resetSDK();
    if (!diagnostics) diagnostics = CDVApp::setDiagnosticsLoader(nullptr);
    CDVAnalyticsConnector::load();
    TLMMeasurementEngine::setCollectionServerURL(collector.base);
    CDVApp::configure();
  }

  static void resetSDK() {
    if (auto engine = TLMMeasurementEngine::sharedInstance()) engine->scheduler()->workerQueue()->sync([] {});
    TLMMeasurementEngine::resetSharedInstanceForTesting();
    TLMIdentity::resetSharedInstanceForTesting();
    TLMAnalytics::resetForTesting();
    CDVApp::resetForTesting();
  }

  bool waitForLogLine(const std::string& code) {
    std::unique_lock<std::mutex> lock(linesMutex);
    return lineLogged.wait_for(lock, testsupport::kEventWait,
                               [&] { return std::find(lines.begin(), lines.end(), code) != lines.end(); });
  }

  void TearDown() override {
    resetSDK();
    OBXLoggerSetSink(nullptr);
    TLMMeasurementEngine::setCollectionServerURL("");
    if (diagnostics) CDVApp::setDiagnosticsLoader(std::move(diagnostics));
    platform::Bundle::resetForTesting();
    platform::UserDefaults::resetForTesting();
  }

  // Waits (bounded) until everything asked of the facade so far has been handled on the engine's
  // worker queue, then lets the upload alarm come due.
  void uploadDue() {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    CDVAnalytics::queueOperationWithBlock([done] { done->set_value(); });
    ASSERT_EQ(future.wait_for(testsupport::kEventWait), std::future_status::ready);
    auto engine = TLMMeasurementEngine::sharedInstance();
    ASSERT_TRUE(engine);
    engine->scheduler()->workerQueue()->sync([] {});
    clock->advance(24 * 3600);
  }

  // Whether the store holds an event `name` not yet uploaded, waiting (bounded) for one. Read on
  // the worker queue of the engine in force, whose store is the one file every engine of the app
  // writes.
  static bool waitForStoredEvent(const std::string& name) {
    return eventually([&] {
      auto engine = TLMMeasurementEngine::sharedInstance();
      bool stored = false;
      if (engine) {
        engine->scheduler()->workerQueue()->sync([&] {
          TLMDatabase* database = engine->database();
          if (database == nullptr || database->sqliteStore() == nullptr) return;
          auto rows = database->sqliteStore()->recordsForQuery("SELECT name FROM raw_events WHERE name = ?",
                                                               platform::Array{platform::Value(name)}, nullptr);
          stored = rows && !rows->empty();
        });
      }
      return stored;
    });
  }

  static void logOffer(const std::string& name) {
    TLMObjectDictionary parameters;
    parameters.set("item", TLMObject("card"));
    parameters.set("count", TLMObject(std::int64_t{2}));
    CDVAnalytics::logEventWithName(name, parameters);
  }

  platform::sandbox::ScopedTemporarySandbox sandbox;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(1750000000.0);
  platform::ScopedClock scopedClock{clock};
  std::function<void()> diagnostics;
  Collector collector;
  std::mutex linesMutex;
  std::condition_variable lineLogged;
  std::vector<std::string> lines;
};

TEST_F(CDVAnalyticsEndToEndTest, ConfiguredAppUploadsFirstOpenAndLoggedEvent) {
  ASSERT_NO_FATAL_FAILURE(launchApp());
  CDVAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  logOffer("offer_viewed");
  uploadDue();

  const auto bundles = collector.waitForPost(1);
  ASSERT_FALSE(bundles.empty());
  for (const auto& bundle : bundles) {
    EXPECT_EQ(bundle.measurementAppID, kAppID);
    EXPECT_EQ(bundle.bundleID, kBundleID);
  }
  EXPECT_TRUE(collector::findEvent(bundles, "_f"));
  EXPECT_TRUE(collector::findEvent(bundles, "_e"));
  const auto* offer = collector::findEvent(bundles, "offer_viewed");
  ASSERT_TRUE(offer);
  EXPECT_EQ(offer->parameters.at("item").text, "card");
  EXPECT_EQ(offer->parameters.at("count").integer, 2);
  EXPECT_EQ(offer->parameters.at("_o").text, "app");
  const auto* carrier = collector::bundleWithEvent(bundles, "offer_viewed");
  EXPECT_TRUE(carrier->userProperties.count("_fot"));
  ASSERT_TRUE(carrier->userProperties.count("tier"));
  EXPECT_EQ(carrier->userProperties.at("tier").text, "gold");
}

// The events are made on the interface's queue, whose thread is its own: every one on that one
// thread (named after the queue), whichever threads log them and however often the queue falls
// idle between them, so that the memory they hold while they wait comes from one arena.
TEST_F(CDVAnalyticsEndToEndTest, EveryEventIsMadeOnTheInterfaceQueuesOwnThread) {
  ASSERT_NO_FATAL_FAILURE(launchApp());
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::set<std::string> names;
  int made = 0;
  const auto token = TLMAnalytics::addLogEventListener([&](const TLMEventPtr& event) {
    if (event->name() != "offer_viewed") return;
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard<std::mutex> lock(mutex);
    threads.insert(std::this_thread::get_id());
    names.insert(name);
    ++made;
  });
  for (int round = 0; round < 10; ++round) {
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t) hosts.emplace_back([] { logOffer("offer_viewed"); });
    for (auto& host : hosts) host.join();
    auto handled = std::make_shared<std::promise<void>>();
    auto future = handled->get_future();
    CDVAnalytics::queueOperationWithBlock([handled] { handled->set_value(); });
    ASSERT_EQ(future.wait_for(testsupport::kEventWait), std::future_status::ready);
  }
  TLMAnalytics::removeLogEventListener(token);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(made, 30);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(names, std::set<std::string>{std::string(kTLMAnalyticsQueueLabel).substr(0, 15)});
}

// A user property travels with the events logged after it is set: the bundles of events stored
// before it keep the properties of their own time, and the next event logged carries it.
TEST_F(CDVAnalyticsEndToEndTest, UserPropertySetAfterEventsReachesCollectorWithNextEvent) {
  ASSERT_NO_FATAL_FAILURE(launchApp());
  logOffer("offer_viewed");
  CDVAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  uploadDue();
  const auto first = collector.waitForPost(1);
  const auto* earlier = collector::bundleWithEvent(first, "offer_viewed");
  ASSERT_TRUE(earlier);
  EXPECT_FALSE(earlier->userProperties.count("tier"));

  logOffer("offer_opened");
  uploadDue();
  const auto second = collector.waitForPost(2);
  const auto* later = collector::bundleWithEvent(second, "offer_opened");
  ASSERT_TRUE(later);
  ASSERT_TRUE(later->userProperties.count("tier"));
  EXPECT_EQ(later->userProperties.at("tier").text, "gold");
}

// A host that posts its launch as the README says, after configuring: the activity in a
// dictionary under the user-activity dictionary key. The activity's link reaches the collector as
// the campaign, at this launch's start or, when that already ran, at the next launch's. Which
// engine stores it, and when, depends on how far the first launch's start had come: a start still
// running when the app is launched again stores it on its own queue, after what the second launch
// was asked has been handled. So the upload is asked for once the campaign is stored. The two
// launches' events may leave in more than one post and the campaign's need not be the first:
// the posts are looked at in turn, up to three.
TEST_F(CDVAnalyticsEndToEndTest, TheLinkOfTheLaunchActivityTheHostPostsBecomesTheCampaign) {
  ASSERT_NO_FATAL_FAILURE(launchApp());
  auto activity = std::make_shared<platform::UserActivity>(platform::UserActivity{
      platform::kUserActivityTypeBrowsingWeb, "https://vesmora.example/offer?utm_source=web&utm_campaign=spring"});
  platform::NotificationCenter::defaultCenter().post(
      "UIApplicationDidFinishLaunchingNotification", platform::Value(),
      platform::Value::dictionary(
          {{"UIApplicationLaunchOptionsUserActivityDictionaryKey",
            platform::Value::dictionary({{"UIApplicationLaunchOptionsUserActivityKey", platform::Value::object(activity)}})}}));
  ASSERT_NO_FATAL_FAILURE(launchApp());
  ASSERT_TRUE(waitForStoredEvent("_cmp")) << "the campaign was never stored";
  uploadDue();
  const auto bundles = collector.waitForPostWith("_cmp", 3);
  const auto* campaign = collector::findEvent(bundles, "_cmp");
  ASSERT_TRUE(campaign);
  EXPECT_EQ(campaign->parameters.at("source").text, "web");
  EXPECT_EQ(campaign->parameters.at("campaign").text, "spring");
}

// Without an Info.plist the app has no bundle identifier: configuration says so, every bundle is
// refused and nothing is posted, but the events stay in the store and go out with the identifier
// once the app is launched with its Info.plist.
TEST_F(CDVAnalyticsEndToEndTest, AppWithoutBundleIdentifierKeepsItsEventsUntilItHasOne) {
  ASSERT_NO_FATAL_FAILURE(launchApp(/*withInfoPlist=*/false));
  EXPECT_TRUE(waitForLogLine("I-COR000023"));
  logOffer("offer_viewed");
  uploadDue();
  ASSERT_TRUE(waitForLogLine("I-ACS023115"));  // "Unable to insert bundle"
  TLMMeasurementEngine::sharedInstance()->scheduler()->workerQueue()->sync([] {});
  {
    std::lock_guard<std::mutex> lock(collector.mutex);
    EXPECT_TRUE(collector.bodies.empty());
  }

  ASSERT_NO_FATAL_FAILURE(launchApp());
  uploadDue();
  const auto bundles = collector.waitForPost(1);
  const auto* carrier = collector::bundleWithEvent(bundles, "offer_viewed");
  ASSERT_TRUE(carrier);
  EXPECT_EQ(carrier->bundleID, kBundleID);
  EXPECT_EQ(carrier->measurementAppID, kAppID);
}

}  // namespace
