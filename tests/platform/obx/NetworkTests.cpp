#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <new>
#include <set>

#include "dispatch/Testing.h"
#include "obx/OBXNetwork.h"
#include "obx/OBXNetworkTesting.h"

using platform::Bytes;

namespace {

struct Delivery {
  int calls = 0;
  long status = -1;
  Bytes data;
  std::optional<platform::Error> error;
  bool uploadInProgressDuringHandler = true;
  std::string queueLabel;
};

class RecordingReachability : public OBXNetworkReachabilityDelegate {
 public:
  void reachabilityDidChange() override { ++changes; }
  int changes = 0;
};

class RecordingLogger : public OBXNetworkLoggerDelegate {
 public:
  void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode code, const std::string&) override {
    entries.emplace_back(level, code);
  }
  void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode code, const std::string&,
                               const platform::Value&) override {
    entries.emplace_back(level, code);
  }
  void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode code, const std::string&,
                               const std::vector<platform::Value>&) override {
    entries.emplace_back(level, code);
  }
  std::vector<std::pair<int, int>> entries;
};

class NetworkTest : public ::testing::Test {
 protected:
  std::shared_ptr<OBXFakeNetworkTransport> transport = std::make_shared<OBXFakeNetworkTransport>();
  OBXScopedNetworkTransport installTransport{transport};
  std::shared_ptr<platform::ManualQueue> queue = platform::ManualQueue::create("test.network");
  OBXNetwork network{"upload.example.com"};

  OBXNetworkCompletionHandler recordInto(Delivery& delivery) {
    return [this, &delivery](std::shared_ptr<const OBXHTTPResponse> response, Bytes data,
                             std::optional<platform::Error> error) {
      ++delivery.calls;
      delivery.status = response ? response->statusCode : 0;
      delivery.data = std::move(data);
      delivery.error = std::move(error);
      delivery.uploadInProgressDuringHandler = network.hasUploadInProgress();
      delivery.queueLabel = platform::Queue::currentLabel();
    };
  }
};

}  // namespace

TEST_F(NetworkTest, PostHandsTheRequestToTheTransportAndCompletesOnceOnTheGivenQueue) {
  network.setTimeoutInterval(12.5);
  Delivery delivery;
  std::string session = network.postURL("https://upload.example.com/a", Bytes{1, 2, 3}, queue, true, recordInto(delivery));
  EXPECT_FALSE(session.empty());
  EXPECT_TRUE(network.hasUploadInProgress());
  ASSERT_EQ(transport->requests().size(), 1u);
  OBXNetworkRequest request = transport->requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "https://upload.example.com/a");
  EXPECT_EQ(request.body, (Bytes{1, 2, 3}));
  EXPECT_EQ(request.timeoutInterval, 12.5);
  EXPECT_TRUE(request.usingBackgroundSession);
  EXPECT_EQ(request.sessionID, session);

  ASSERT_TRUE(transport->respond(kOBXNetworkHTTPStatusNoContent, Bytes{9}, {{"Last-Modified", "yesterday"}}));
  // Answered, but in progress until its handler's turn on the queue, which ends it first: work
  // on the queue never sees the upload gone while its handler has yet to run.
  EXPECT_TRUE(network.hasUploadInProgress());
  EXPECT_EQ(delivery.calls, 0);  // not before the queue runs it
  // A transport that answers twice is not passed on twice.
  queue->drain();
  EXPECT_EQ(delivery.calls, 1);
  EXPECT_EQ(delivery.status, kOBXNetworkHTTPStatusNoContent);
  EXPECT_EQ(delivery.data, Bytes{9});
  EXPECT_FALSE(delivery.error.has_value());
  EXPECT_FALSE(delivery.uploadInProgressDuringHandler);
  EXPECT_EQ(delivery.queueLabel, "test.network");
}

// The handler's queue is gone before its turn: the upload ends all the same, or no upload would
// ever start again.
TEST_F(NetworkTest, AnUploadWhoseHandlersTurnNeverRunsStillEnds) {
  auto gone = platform::ManualQueue::create("test.gone");
  Delivery delivery;
  network.postURL("https://upload.example.com/a", Bytes{1}, gone, false, recordInto(delivery));
  ASSERT_TRUE(transport->respond(200));
  EXPECT_TRUE(network.hasUploadInProgress());
  gone.reset();
  EXPECT_FALSE(network.hasUploadInProgress());
  EXPECT_EQ(delivery.calls, 0);
  // Without a handler there is no turn to wait for.
  network.postURL("https://upload.example.com/a", Bytes{1}, queue, false, nullptr);
  ASSERT_TRUE(transport->respond(200));
  EXPECT_FALSE(network.hasUploadInProgress());
}

TEST_F(NetworkTest, TransportAnsweringTwiceStillCompletesOnce) {
  class DoubleTransport : public OBXNetworkTransport {
   public:
    void perform(const OBXNetworkRequest&, std::function<void(OBXNetworkResult)> done) override {
      auto response = std::make_shared<OBXHTTPResponse>();
      response->statusCode = 200;
      done(OBXNetworkResult{response, {}, std::nullopt});
      done(OBXNetworkResult{nullptr, {}, platform::Error("x", 1, "late")});
    }
  };
  auto logger = std::make_shared<RecordingLogger>();
  OBXNetwork own("", std::make_shared<DoubleTransport>());
  own.setLoggerDelegate(logger);
  Delivery delivery;
  own.postURL("http://127.0.0.1/a", {}, queue, false, recordInto(delivery));
  queue->drain();
  EXPECT_EQ(delivery.calls, 1);
  EXPECT_EQ(delivery.status, 200);
  EXPECT_FALSE(own.hasUploadInProgress());
  ASSERT_FALSE(logger->entries.empty());
  EXPECT_EQ(logger->entries.back().second, kOBXNetworkMessageCodeDuplicateCompletion);
  EXPECT_TRUE(transport->requests().empty());  // its own transport, not the process-wide one
}

TEST_F(NetworkTest, TransportThatThrowsInsteadOfAnsweringStillCompletesTheRequestOnce) {
  class ThrowingTransport : public OBXNetworkTransport {
   public:
    void perform(const OBXNetworkRequest&, std::function<void(OBXNetworkResult)>) override { throw std::bad_alloc(); }
  };
  OBXNetwork own("", std::make_shared<ThrowingTransport>());
  Delivery delivery;
  EXPECT_FALSE(own.postURL("http://127.0.0.1/a", Bytes{1}, queue, false, recordInto(delivery)).empty());
  queue->drain();
  EXPECT_FALSE(own.hasUploadInProgress());  // else no upload would ever start again
  EXPECT_EQ(delivery.calls, 1);
  ASSERT_TRUE(delivery.error.has_value());
  EXPECT_EQ(delivery.error->code, kOBXNetworkErrorCodeTransportFailure);
}

// The same when the caller's thread is cancelled inside the transport (held in a read, a
// cancellation point): the request is answered once, and the thread ends as cancelled.
TEST_F(NetworkTest, ARequestWhoseThreadIsCancelledInTheTransportStillCompletesOnce) {
  struct HeldTransport : public OBXNetworkTransport {
    int arrived[2] = {-1, -1};
    int release[2] = {-1, -1};
    void perform(const OBXNetworkRequest&, std::function<void(OBXNetworkResult)>) override {
      char byte = 1;
      if (::write(arrived[1], &byte, 1) == 1) (void)::read(release[0], &byte, 1);
    }
  };
  auto transport = std::make_shared<HeldTransport>();
  ASSERT_EQ(::pipe(transport->arrived), 0);
  ASSERT_EQ(::pipe(transport->release), 0);
  Delivery delivery;
  struct Call {
    OBXNetwork own;
    std::shared_ptr<platform::Queue> queue;
    OBXNetworkCompletionHandler handler;
  } call{OBXNetwork("", transport), queue, recordInto(delivery)};
  pthread_t thread;
  ASSERT_EQ(::pthread_create(
                &thread, nullptr,
                [](void* data) -> void* {
                  auto& c = *static_cast<Call*>(data);
                  c.own.postURL("http://127.0.0.1/a", Bytes{1}, c.queue, false, c.handler);
                  return nullptr;
                },
                &call),
            0);
  char byte = 0;
  ASSERT_EQ(::read(transport->arrived[0], &byte, 1), 1);
  ASSERT_EQ(::pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(::pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  queue->drain();
  EXPECT_FALSE(call.own.hasUploadInProgress());
  EXPECT_EQ(delivery.calls, 1);
  ASSERT_TRUE(delivery.error.has_value());
  EXPECT_EQ(delivery.error->code, kOBXNetworkErrorCodeTransportFailure);
  for (int fd : {transport->arrived[0], transport->arrived[1], transport->release[0], transport->release[1]}) {
    ::close(fd);
  }
}

TEST_F(NetworkTest, ReplyBodyLimitGoesWithEveryRequestAndCanBeRaised) {
  EXPECT_EQ(network.maxResponseBodySize(), kOBXNetworkDefaultMaxResponseBodySize);
  network.getURL("https://config.example.com/a", {}, queue, false, nullptr);
  network.setMaxResponseBodySize(64u << 20);
  network.setMaxResponseBodySize(0);  // ignored
  network.postURL("https://upload.example.com/a", Bytes{1}, queue, false, nullptr);
  auto requests = transport->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].maxResponseBodySize, kOBXNetworkDefaultMaxResponseBodySize);
  EXPECT_EQ(requests[1].maxResponseBodySize, 64u << 20);
}

TEST_F(NetworkTest, RefusedRequestsReturnNoSessionButStillCompleteOnceWithAnError) {
  Delivery delivery;
  for (std::string url : {"", "ftp://example.com/x", "https://", "http:///path", "https://exa mple.com/"}) {
    delivery = Delivery();
    EXPECT_EQ(network.postURL(url, Bytes{1}, queue, false, recordInto(delivery)), "") << url;
    EXPECT_FALSE(network.hasUploadInProgress());
    queue->drain();
    EXPECT_EQ(delivery.calls, 1) << url;
    ASSERT_TRUE(delivery.error.has_value());
    EXPECT_EQ(delivery.error->domain, kOBXNetworkErrorDomain);
    EXPECT_EQ(delivery.error->code, kOBXNetworkErrorCodeInvalidURL);
    EXPECT_EQ(delivery.status, 0);
  }
  EXPECT_TRUE(transport->requests().empty());
  // No handler is fine too.
  EXPECT_EQ(network.getURL("nonsense", {}, queue, false, nullptr), "");
  EXPECT_EQ(queue->drain(), 0u);
}

TEST_F(NetworkTest, GetPassesHeadersDoesNotCountAsUploadAndReportsTransportErrors) {
  Delivery delivery;
  std::string first = network.getURL("https://config.example.com/config/app/1?", {{"If-Modified-Since", "then"}},
                                     queue, false, recordInto(delivery));
  std::string second = network.getURL("https://config.example.com/other", {}, queue, false, nullptr);
  EXPECT_NE(first, second);
  EXPECT_FALSE(network.hasUploadInProgress());
  auto requests = transport->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].headers, (std::vector<std::pair<std::string, std::string>>{{"If-Modified-Since", "then"}}));
  EXPECT_EQ(requests[0].timeoutInterval, 60);
  ASSERT_TRUE(transport->fail(platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeTimedOut, "timed out")));
  ASSERT_TRUE(transport->respond(200));
  EXPECT_FALSE(transport->respond(200));
  queue->drain();
  EXPECT_EQ(delivery.calls, 1);
  ASSERT_TRUE(delivery.error.has_value());
  EXPECT_EQ(delivery.error->code, kOBXNetworkErrorCodeTimedOut);
}

TEST_F(NetworkTest, TimeoutIgnoresValuesThatAreNotPositive) {
  network.setTimeoutInterval(5);
  network.setTimeoutInterval(0);
  network.setTimeoutInterval(-1);
  network.setTimeoutInterval(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(network.timeoutInterval(), 5);
}

TEST_F(NetworkTest, ReachabilityChangesReachTheDelegateWhileItIsSet) {
  auto delegate = std::make_shared<RecordingReachability>();
  network.setReachabilityDelegate(delegate);
  EXPECT_TRUE(network.isNetworkConnected());
  OBXNetwork::setNetworkReachable(false);
  EXPECT_FALSE(network.isNetworkConnected());
  OBXNetwork::setNetworkReachable(false);  // no change, no call
  EXPECT_EQ(delegate->changes, 1);
  network.setReachabilityDelegate(nullptr);
  OBXNetwork::setNetworkReachable(true);
  EXPECT_EQ(delegate->changes, 1);
  EXPECT_TRUE(network.isNetworkConnected());

  // A delegate that goes away is simply no longer called.
  network.setReachabilityDelegate(delegate);
  delegate.reset();
  OBXNetwork::setNetworkReachable(false);
  OBXNetwork::setNetworkReachable(true);
}

TEST_F(NetworkTest, LoggerDelegateGetsDebugMessagesOnlyInDebugMode) {
  auto logger = std::make_shared<RecordingLogger>();
  network.setLoggerDelegate(logger);
  network.getURL("https://example.com/", {}, queue, false, nullptr);
  transport->respond(200);
  EXPECT_TRUE(logger->entries.empty());
  network.setIsDebugModeEnabled(true);
  network.getURL("https://example.com/", {}, queue, false, nullptr);
  transport->fail(platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeCannotConnect, "refused"));
  EXPECT_EQ(logger->entries, (std::vector<std::pair<int, int>>{
                                 {kOBXNetworkLogLevelDebug, kOBXNetworkMessageCodeRequestStarted},
                                 {kOBXNetworkLogLevelWarning, kOBXNetworkMessageCodeRequestFailed}}));
}

TEST_F(NetworkTest, CompletionStillArrivesWhenTheClientIsGoneAndBackgroundEventsFinishAtOnce) {
  Delivery delivery;
  {
    OBXNetwork shortLived;
    shortLived.postURL("http://127.0.0.1:1/a", Bytes{}, queue, false, [&](auto, auto, auto) { ++delivery.calls; });
  }
  transport->respond(200);
  queue->drain();
  EXPECT_EQ(delivery.calls, 1);

  auto main = platform::ManualQueue::create("test.main");
  platform::ScopedMainQueue installMain(main);
  bool handled = false;
  OBXNetwork::handleEventsForBackgroundURLSessionID("session", [&] { handled = true; });
  main->drain();
  EXPECT_TRUE(handled);
}

TEST(HTTPResponse, HeaderLookupIgnoresCaseAndContentLengthMustBeANumber) {
  OBXHTTPResponse response;
  response.headers = {{"content-length", "42"}, {"X-Thing", "a"}};
  EXPECT_EQ(response.headerValue("Content-Length"), "42");
  EXPECT_EQ(response.headerValue("x-thing"), "a");
  EXPECT_FALSE(response.headerValue("Missing").has_value());
  EXPECT_EQ(response.expectedContentLength(), 42);
  response.headers = {{"Content-Length", "4x"}};
  EXPECT_EQ(response.expectedContentLength(), -1);
}
