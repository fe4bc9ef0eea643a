// The road of one token over real HTTP: every request of the instance identity is redirected to
// a server on the loopback interface (an ephemeral port). The waits are bounded waits for real
// network I/O.
#include <httplib.h>

#include <atomic>
#include <future>
#include <thread>

#include "TokenTestSupport.h"
#include "foundation/Json.h"
#include "obx/OBXNetwork.h"

using platform::Value;

namespace {

// Sends every request to the loopback server, keeping its path.
class LoopbackTransport : public OBXNetworkTransport {
 public:
  explicit LoopbackTransport(int port) : base_("http://127.0.0.1:" + std::to_string(port)) {}
  void perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) override {
    OBXNetworkRequest local = request;
    const std::size_t scheme = local.url.find("://");
    const std::size_t path = local.url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    local.url = base_ + (path == std::string::npos ? "/" : local.url.substr(path));
    OBXCurlNetworkTransport()->perform(local, std::move(done));
  }

 private:
  std::string base_;
};

class TokenLoopbackTest : public iidtest::CheckinTest {
 protected:
  void SetUp() override {
    CheckinTest::SetUp();
    server.Post("/checkin", [this](const httplib::Request&, httplib::Response& response) {
      ++checkins;
      response.set_content(R"({"android_id":9223372036854775809,"security_token":77,"time_msec":1700000000000,)"
                           R"("digest":"d","version_info":"vi-3"})",
                           "application/json");
    });
    server.Post("/register", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(serverMutex);
        registers.push_back({request.body, request.get_header_value("Authorization")});
      }
      response.set_content(request.body.find("delete=true") != std::string::npos ? "deleted=1" : "token=tok:APA91=x",
                           "text/plain");
    });
    port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    thread = std::thread([this] { server.listen_after_bind(); });
    transport = std::make_unique<OBXScopedNetworkTransport>(std::make_shared<LoopbackTransport>(port));
    // Keychain, key-pair and token work run on real queues here; only the main queue is pumped.
    fixtureKeychain = CDVInstanceIDKeychain::setSharedInstance(
        std::make_shared<CDVInstanceIDKeychain>(platform::Queue::serial(kCDVInstanceIDKeychainQueueLabel)));
  }
  void TearDown() override {
    server.stop();
    thread.join();
    facade.reset();
    pumpAll();
    CDVInstanceIDKeychain::setSharedInstance(fixtureKeychain);
    transport.reset();
    CheckinTest::TearDown();
  }

  void pumpAll() { mainQueue_->drain(); }
  std::shared_ptr<CDVInstanceID> launch() {
    auto instance = CDVInstanceID::initPrivately();
    instance->start();
    pumpAll();
    return instance;
  }
  std::optional<std::string> requestToken(const std::string& scope) {
    std::optional<std::string> token;
    bool answered = false;
    facade->tokenWithAuthorizedEntity("sender-9", scope, {}, [&](std::optional<std::string> value, auto error) {
      EXPECT_FALSE(error.has_value()) << error->fullDescription();
      token = value;
      answered = true;
    });
    EXPECT_TRUE(pumpUntil([&] { pumpAll(); return answered; }));
    return token;
  }
  struct Register {
    std::string body;
    std::string authorization;
  };
  std::vector<Register> registered() {
    std::lock_guard lock(serverMutex);
    return registers;
  }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::unique_ptr<OBXScopedNetworkTransport> transport;
  std::atomic<int> checkins{0};
  std::mutex serverMutex;
  std::vector<Register> registers;
  std::shared_ptr<CDVInstanceIDKeychain> fixtureKeychain;
  std::shared_ptr<CDVInstanceID> facade;
};

TEST_F(TokenLoopbackTest, OneTokenFromCheckinToCacheAndInvalidatedByAReinstall) {
  facade = launch();
  const std::string scope = "role=admin&x";
  EXPECT_EQ(requestToken(scope), "tok:APA91");
  EXPECT_EQ(checkins.load(), 1);
  ASSERT_EQ(registered().size(), 1u);
  const Register first = registered()[0];
  EXPECT_EQ(first.authorization, "AidLogin 9223372036854775809:77");
  const iidtest::Form form = iidtest::decodeForm(first.body);
  EXPECT_EQ(form["X-scope"], scope);
  EXPECT_EQ(form["sender"], "sender-9");
  EXPECT_EQ(form["X-subtype"], "sender-9");
  EXPECT_EQ(form["device"], "9223372036854775809");
  EXPECT_EQ(form["plat"], "2");
  const std::optional<std::string> identifier = facade->appInstanceID();
  ASSERT_TRUE(identifier.has_value());
  EXPECT_EQ(form["appid"], *identifier);
  CDVInstanceIDTokenInfoPtr cached = facade->tokenManager()->cachedTokenInfoWithAuthorizedEntity("sender-9", scope);
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->token(), "tok:APA91");
  EXPECT_EQ(cached->appVersion(), "7.1");

  // Answered from the cache: no request at all.
  EXPECT_EQ(requestToken(scope), "tok:APA91");
  EXPECT_EQ(registered().size(), 1u);
  EXPECT_EQ(checkins.load(), 1);

  // A reinstall: the app's files are gone, the keychain is not.
  facade.reset();
  pumpAll();
  ASSERT_TRUE(platform::files::removeItem(
      platform::files::join(platform::sandbox::applicationSupportDirectory(), kCDVInstanceIDSubDirectoryName)));
  facade = launch();
  ASSERT_TRUE(pumpUntil([&] { pumpAll(); return registered().size() == 2; }));
  const iidtest::Form unregister = iidtest::decodeForm(registered()[1].body);
  EXPECT_EQ(unregister["delete"], "true");
  EXPECT_EQ(registered()[1].authorization, "AidLogin 9223372036854775809:77");
  EXPECT_FALSE(facade->tokenManager()->cachedTokenInfoWithAuthorizedEntity("sender-9", scope));

  EXPECT_EQ(requestToken(scope), "tok:APA91");
  EXPECT_EQ(checkins.load(), 2);
  ASSERT_EQ(registered().size(), 3u);
  EXPECT_NE(iidtest::decodeForm(registered()[2].body)["appid"], *identifier) << "a new key pair after the reinstall";
  // Nothing may still run on another thread when the fixture goes.
  EXPECT_TRUE(pumpUntil([&] { return facade->tokenManager()->tokenOperations()->operationCount() == 0; }));
}

// The loopback tests wait for what the server's thread records, which no block on the main queue
// announces: the wait sees it long before its bound, also once the main queue has gone idle.
using PumpUntilTest = iidtest::InstanceIDTest;

TEST_F(PumpUntilTest, SeesAConditionSetOnAnotherThreadAfterTheMainQueueWentIdle) {
  std::atomic<bool> recorded{false};
  std::promise<void> idle;
  std::promise<void> seen;
  bool seenInTime = false;
  // The server records once the wait has looked and found the queue drained, then waits for the
  // wait to see it: a wait that looks again only when its bound runs out is not back by half of it.
  std::thread server([&recorded, &seenInTime, looked = idle.get_future(), seenIt = seen.get_future()] {
    looked.wait();
    recorded = true;
    seenInTime = seenIt.wait_for(testsupport::kEventWait / 2) == std::future_status::ready;
  });
  int looks = 0;
  const bool met = pumpUntil([&] {
    const bool done = recorded.load();
    if (++looks == 1) idle.set_value();  // nothing more will come to the main queue
    if (done) seen.set_value();
    return done;
  });
  server.join();
  EXPECT_TRUE(met);
  EXPECT_TRUE(seenInTime) << "the wait looked again only when its bound ran out";
}

}  // namespace
