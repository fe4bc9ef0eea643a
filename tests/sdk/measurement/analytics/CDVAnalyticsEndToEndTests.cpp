// The SDK as an app uses it: an app bundle with its service information file, CDVApp::configure(),
// an event and a user property through the facade, and a loopback collector (port 0) that
// receives the upload. Real queues and HTTP; the clock is a manual one, moved to fire the upload
// alarm. Waits are bounded waits for real work on other threads.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <thread>

#include "Core/Public/CDVApp.h"
#include "dispatch/Testing.h"
#include "foundation/Bundle.h"
#include "foundation/Files.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMScheduler.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

using namespace std::chrono_literals;

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
    thread = std::thread([this] { server.listen_after_bind(); });
    base = "http://127.0.0.1:" + std::to_string(port);
  }
  ~Collector() {
    server.stop();
    thread.join();
  }
  std::optional<std::string> waitForPost() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!received.wait_for(lock, 30s, [&] { return !bodies.empty(); })) return std::nullopt;
    return bodies.front();
  }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::string base;
  std::mutex mutex;
  std::condition_variable received;
  std::vector<std::string> bodies;
};

// Waits (bounded) until everything queued on the interface so far has reached the serial queue.
bool flushInterface() {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  CDVAnalytics::queueOperationWithBlock([done] { done->set_value(); });
  return future.wait_for(30s) == std::future_status::ready;
}

struct Param {
  std::optional<std::string> text;
  std::optional<std::int64_t> integer;
};

TEST(CDVAnalyticsEndToEndTest, ConfiguredAppUploadsFirstOpenAndLoggedEvent) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  platform::UserDefaults::resetForTesting();
  auto clock = std::make_shared<platform::ManualClock>(1750000000.0);
  platform::ScopedClock scopedClock(clock);

  // The app: its bundle with the service information file.
  const std::string bundle = platform::files::join(sandbox.root(), "Vesmora.app");
  ASSERT_TRUE(platform::files::createDirectories(bundle));
  ASSERT_TRUE(platform::plist::writeFile(
      platform::files::join(bundle, "OmbrixService-Info.plist"),
      platform::Value(platform::Dictionary{{"OMBRIX_APP_ID", kAppID}, {"BUNDLE_ID", kBundleID},
                                           {"API_KEY", "key-1"}, {"WRQ_SENDER_ID", "123456789"}}),
      platform::plist::Format::XML));
  platform::Bundle::setMain(std::make_shared<platform::Bundle>(
      bundle, platform::Value(platform::Dictionary{{"CFBundleIdentifier", kBundleID},
                                                   {"CFBundleShortVersionString", "1.0"},
                                                   {"CFBundleVersion", "1"}})));

  CDVApp::resetForTesting();
  auto diagnostics = CDVApp::setDiagnosticsLoader(nullptr);
  TLMMeasurementEngine::resetSharedInstanceForTesting();
  TLMAnalytics::resetForTesting();
  CDVAnalyticsConnector::load();

  Collector collector;
  ASSERT_GT(collector.port, 0);
  TLMMeasurementEngine::setCollectionServerURL(collector.base);

  CDVApp::configure();
  CDVAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  TLMObjectDictionary parameters;
  parameters.set("item", TLMObject("card"));
  parameters.set("count", TLMObject(std::int64_t{2}));
  CDVAnalytics::logEventWithName("offer_viewed", parameters);

  ASSERT_TRUE(flushInterface());
  auto engine = TLMMeasurementEngine::sharedInstance();
  ASSERT_TRUE(engine);
  engine->scheduler()->workerQueue()->sync([] {});
  // The upload alarm comes due.
  clock->advance(24 * 3600);
  const auto body = collector.waitForPost();
  ASSERT_TRUE(body);

  platform::Bytes bytes(body->begin(), body->end());
  auto batch = TLMPBMeasurementBatch::initWithBuffer(bytes);
  ASSERT_TRUE(batch);
  std::vector<std::string> names;
  std::map<std::string, Param> logged;
  std::vector<std::string> properties;
  for (const auto& b : NANOGetArray<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles).value_or(
           std::vector<std::shared_ptr<TLMPBMeasurementBundle>>{})) {
    EXPECT_EQ(NANOGetString(*b, TLMPBMeasurementBundleSlot::measurement_app_id), kAppID);
    for (const auto& e : NANOGetArray<TLMPBEvent>(*b, TLMPBMeasurementBundleSlot::events).value_or(
             std::vector<std::shared_ptr<TLMPBEvent>>{})) {
      const std::string name = NANOGetString(*e, TLMPBEventSlot::name).value_or("");
      names.push_back(name);
      if (name != "offer_viewed") continue;
      for (const auto& p : NANOGetArray<TLMPBEventParam>(*e, TLMPBEventSlot::params).value_or(
               std::vector<std::shared_ptr<TLMPBEventParam>>{})) {
        Param param;
        if (NANOHasField(*p, TLMPBEventParamSlot::string_value)) param.text = NANOGetString(*p, TLMPBEventParamSlot::string_value);
        if (NANOHasField(*p, TLMPBEventParamSlot::int_value)) param.integer = NANOGetInt64(*p, TLMPBEventParamSlot::int_value);
        logged[NANOGetString(*p, TLMPBEventParamSlot::name).value_or("")] = param;
      }
    }
    for (const auto& a : NANOGetArray<TLMPBUserAttribute>(*b, TLMPBMeasurementBundleSlot::user_attributes).value_or(
             std::vector<std::shared_ptr<TLMPBUserAttribute>>{})) {
      properties.push_back(NANOGetString(*a, TLMPBUserAttributeSlot::name).value_or(""));
    }
  }
  auto has = [](const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
  };
  EXPECT_TRUE(has(names, "_f")) << ::testing::PrintToString(names);
  EXPECT_TRUE(has(names, "_e")) << ::testing::PrintToString(names);
  ASSERT_TRUE(has(names, "offer_viewed")) << ::testing::PrintToString(names);
  EXPECT_EQ(logged["item"].text, "card");
  EXPECT_EQ(logged["count"].integer, 2);
  EXPECT_EQ(logged["_o"].text, "app");
  EXPECT_TRUE(has(properties, "_fot"));
  EXPECT_TRUE(has(properties, "tier"));

  engine->scheduler()->workerQueue()->sync([] {});
  engine.reset();
  TLMMeasurementEngine::setCollectionServerURL("");
  TLMMeasurementEngine::resetSharedInstanceForTesting();
  TLMAnalytics::resetForTesting();
  CDVApp::resetForTesting();
  CDVApp::setDiagnosticsLoader(std::move(diagnostics));
  platform::Bundle::resetForTesting();
  platform::UserDefaults::resetForTesting();
}

}  // namespace
