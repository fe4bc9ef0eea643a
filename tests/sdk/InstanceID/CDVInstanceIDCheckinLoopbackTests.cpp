// Check-in over real HTTP against a server on the loopback interface (an ephemeral port). The
// waits here are bounded waits for real network I/O; the retry delays run on the manual clock.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <future>
#include <thread>

#include "Bounds.h"
#include "CheckinTestSupport.h"
#include "LoopbackServer.h"
#include "obx/OBXNetwork.h"

using platform::Value;
using namespace std::chrono_literals;

namespace {

enum class Mode { Ok, ServerError, Garbage, Slow, TooLarge, Redirect };

class CheckinLoopbackTest : public iidtest::CheckinTest {
 protected:
  void SetUp() override {
    CheckinTest::SetUp();
    server.Post("/checkin", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(serverMutex);
        bodies.push_back(request.body);
        contentTypes.push_back(request.get_header_value("content-type"));
      }
      switch (mode.load()) {
        case Mode::Ok:
          response.set_content(R"({"android_id":9223372036854775809,"security_token":9007199254740995,)"
                               R"("time_msec":1700000000000,"digest":"fresh-digest","version_info":"vi-2",)"
                               R"("setting":[{"name":"gcm","value":"on"}]})",
                               "application/json");
          break;
        case Mode::ServerError:
          response.status = 500;
          response.set_content("internal error", "text/plain");
          break;
        case Mode::Garbage:
          response.set_content("{\"android_id\": 12,", "application/json");
          break;
        case Mode::Slow:
          release.wait_for(testsupport::kEventWait);  // held until the client has timed out
          response.set_content("{}", "application/json");
          break;
        case Mode::TooLarge:
          response.set_content(std::string(kOBXNetworkDefaultMaxResponseBodySize + 1, ' '), "application/json");
          break;
        case Mode::Redirect:  // would be fetched by a GET without the check-in
          response.status = 302;
          response.set_header("Location", "/checkin-page");
          break;
      }
    });
    port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    ASSERT_TRUE(testsupport::startListening(server, thread));
    // Nothing may reach the real endpoint: every check-in here goes to the loopback server. The
    // timeout is what a slow reply costs, and the bound of every other exchange on a busy machine.
    service = std::make_shared<CDVInstanceIDCheckinService>("http://127.0.0.1:" + std::to_string(port) + "/checkin",
                                                            mainQueue_, 10);
  }

  void TearDown() override {
    releasePromise.set_value();
    server.stop();
    if (thread.joinable()) thread.join();
    CheckinTest::TearDown();
  }

  std::size_t requestCount() {
    std::lock_guard lock(serverMutex);
    return bodies.size();
  }
  std::string lastBody() {
    std::lock_guard lock(serverMutex);
    return bodies.back();
  }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::atomic<Mode> mode{Mode::Ok};
  std::mutex serverMutex;
  std::vector<std::string> bodies;
  std::vector<std::string> contentTypes;
  std::promise<void> releasePromise;
  std::shared_future<void> release = releasePromise.get_future().share();
  std::shared_ptr<CDVInstanceIDCheckinService> service;
};

}  // namespace

TEST_F(CheckinLoopbackTest, CheckinStoresTheServersReply) {
  saveRecord("4611686018427387904", "9007199254740993", 8 * 24 * 3600);
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  std::vector<Answer> answers;
  auth->fetchCheckinInfoWithHandler(collect(answers));
  ASSERT_TRUE(pumpUntil([&] { return !answers.empty(); }));

  ASSERT_EQ(requestCount(), 1u);
  EXPECT_EQ(contentTypes[0], "application/json");
  const std::string raw = lastBody();
  EXPECT_NE(raw.find("\"id\":4611686018427387904"), std::string::npos) << raw;
  EXPECT_NE(raw.find("\"security_token\":9007199254740993"), std::string::npos) << raw;
  Value body = *platform::json::parse(raw);
  EXPECT_EQ(body["digest"], Value("old-digest"));
  EXPECT_EQ(body["locale"], Value("en-CA"));
  EXPECT_EQ(body["checkin"]["last_checkin_msec"], Value(std::int64_t{1700000000000 - 8 * 24 * 3600 * 1000LL}));

  ASSERT_FALSE(answers[0].error.has_value()) << answers[0].error->fullDescription();
  EXPECT_EQ(answers[0].preferences->deviceID(), "9223372036854775809");
  EXPECT_EQ(keychainText(), "9223372036854775809|9007199254740995");
  CDVInstanceIDCheckinPreferencesPtr stored = newStore()->cachedCheckinPreferences();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->secretToken(), "9007199254740995");
  EXPECT_EQ(stored->digest(), "fresh-digest");
  EXPECT_EQ(stored->versionInfo(), "vi-2");
  EXPECT_EQ(stored->lastCheckinTimestampMillis(), 1700000000000);
  EXPECT_EQ(stored->gServicesData().get("gcm"), Value("on"));
  EXPECT_TRUE(auth->hasValidCheckinInfo());
}

TEST_F(CheckinLoopbackTest, ServerFailuresKeepTheOldRecordAndRetry) {
  saveRecord("1001", "2002", 8 * 24 * 3600);
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  auto expectOldRecord = [&] {
    ASSERT_TRUE(auth->checkinPreferences());
    EXPECT_EQ(auth->checkinPreferences()->deviceID(), "1001");
    EXPECT_EQ(newStore()->cachedCheckinPreferences()->secretToken(), "2002");
    EXPECT_EQ(keychainText(), "1001|2002");
  };

  const double delays[] = {0, 2, 4, 8, 16};
  const Mode failures[] = {Mode::ServerError, Mode::Garbage, Mode::Slow, Mode::TooLarge, Mode::Redirect};
  for (int attempt = 0; attempt < 5; ++attempt) {
    mode = failures[attempt];
    if (attempt == 0) {
      auth->scheduleCheckin(true);
    } else {
      clock_->advance(delays[attempt] - 0.5);
      pump();
      EXPECT_EQ(requestCount(), static_cast<std::size_t>(attempt));  // not before the delay
      clock_->advance(0.5);
    }
    ASSERT_TRUE(pumpUntil([&] { return auth->checkinRetryCount() == attempt + 1; })) << "attempt " << attempt;
    EXPECT_EQ(requestCount(), static_cast<std::size_t>(attempt + 1));
    EXPECT_TRUE(auth->hasScheduledCheckin());
    expectOldRecord();
  }
  EXPECT_EQ(linesWithCode(5001).size(), 5u);
  EXPECT_EQ(linesWithCode(7001).size(), 1u);  // the garbage reply
  // Every retry still sent the old credentials.
  EXPECT_NE(lastBody().find("\"id\":1001"), std::string::npos);

  mode = Mode::Ok;
  clock_->advance(32);
  ASSERT_TRUE(pumpUntil([&] { return auth->checkinRetryCount() == 6; }));
  EXPECT_EQ(auth->checkinPreferences()->deviceID(), "9223372036854775809");
  EXPECT_FALSE(auth->hasScheduledCheckin());
  EXPECT_EQ(keychainText(), "9223372036854775809|9007199254740995");
}
