// The libcurl client against a real HTTP server on the loopback interface. The waits here are
// bounded waits for real network I/O.
#include <gtest/gtest.h>
#include <httplib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <new>
#include <thread>

#include "Bounds.h"
#include "ForkedChild.h"
#include "LoopbackServer.h"
#include "SilentPort.h"
#include "obx/OBXGzip.h"
#include "obx/OBXNetwork.h"
#include "obx/OBXNetworkTesting.h"
#include "security/OpenSSLGate.h"

using platform::Bytes;
using namespace std::chrono_literals;
using testsupport::kEventWait;

namespace {
constexpr int kEventWaitMs = static_cast<int>(std::chrono::milliseconds(kEventWait).count());
}  // namespace

namespace {

struct Outcome {
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> contentType;
  std::string body;
  std::optional<platform::Error> error;
  std::string queueLabel;
};

class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Get("/hello", [](const httplib::Request& request, httplib::Response& response) {
      response.status = 200;
      response.set_header("X-Echo", request.get_header_value("X-Token"));
      response.set_content("hello there", "text/plain");
    });
    server.Post("/upload", [](const httplib::Request& request, httplib::Response& response) {
      response.status = 201;
      response.set_header("X-Received-Type", request.has_header("Content-Type") ? request.get_header_value("Content-Type") : "none");
      response.set_content(std::to_string(request.body.size()) + ":" + request.body, "application/octet-stream");
    });
    server.Get("/unavailable", [](const httplib::Request&, httplib::Response& response) {
      response.status = 503;
      response.set_content("busy", "text/plain");
    });
    server.Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
      release.wait_for(kEventWait);  // held until the test has seen the client time out
      response.set_content("late", "text/plain");
    });
    server.Get("/late", [this](const httplib::Request&, httplib::Response& response) {
      release.wait_for(200ms);  // long after a timeout of a millisecond would have struck
      response.set_content("late", "text/plain");
    });
    // Bodies of the given size, plain or gzip-encoded.
    server.Get(R"(/plain/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(std::string(std::stoul(request.matches[1]), 'x'), "application/octet-stream");
    });
    server.Get(R"(/gzip/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
      const Bytes packed = obx_dataByGzippingData(Bytes(std::stoul(request.matches[1]), 0));
      response.set_header("Content-Encoding", "gzip");
      response.set_content(std::string(packed.begin(), packed.end()), "application/octet-stream");
    });
    // Redirects with the given status to /target, which tells how it was asked.
    server.Post(R"(/moved/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
      response.status = std::stoi(request.matches[1]);
      response.set_header("Location", "/target");
    });
    server.Get("/moved-get", [](const httplib::Request&, httplib::Response& response) {
      response.status = 302;
      response.set_header("Location", "/target");
    });
    server.Get("/target", [this](const httplib::Request&, httplib::Response& response) {
      ++targetGets;
      response.set_content("GET", "text/plain");
    });
    server.Post("/target", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content("POST " + request.body, "text/plain");
    });
    port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    ASSERT_TRUE(testsupport::startListening(server, thread));
    base = "http://127.0.0.1:" + std::to_string(port);
  }

  void TearDown() override {
    releasePromise.set_value();
    server.stop();
    if (thread.joinable()) thread.join();
  }

  // Runs one request and waits (bounded) for its completion; also checks that no second one follows.
  Outcome run(std::function<void(OBXNetworkCompletionHandler)> start) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto promise = std::make_shared<std::promise<Outcome>>();
    start([calls, promise](std::shared_ptr<const OBXHTTPResponse> response, Bytes data,
                           std::optional<platform::Error> error) {
      if (calls->fetch_add(1) != 0) return;
      Outcome outcome;
      if (response) {
        outcome.status = response->statusCode;
        outcome.headers = response->headers;
        outcome.contentType = response->headerValue("content-type");
      }
      outcome.body.assign(data.begin(), data.end());
      outcome.error = std::move(error);
      outcome.queueLabel = platform::Queue::currentLabel();
      promise->set_value(std::move(outcome));
    });
    auto future = promise->get_future();
    EXPECT_EQ(future.wait_for(kEventWait), std::future_status::ready);
    if (future.wait_for(0s) != std::future_status::ready) return Outcome();
    Outcome outcome = future.get();
    queue->sync([] {});  // anything queued after the completion has run by now
    EXPECT_EQ(calls->load(), 1);
    return outcome;
  }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::string base;
  std::promise<void> releasePromise;
  std::shared_future<void> release = releasePromise.get_future().share();
  // Runs a request through the libcurl transport itself, past the client's checks.
  Outcome perform(std::shared_ptr<OBXNetworkTransport> transport, OBXNetworkRequest request) {
    return run([&](OBXNetworkCompletionHandler handler) {
      transport->perform(request, [handler](OBXNetworkResult result) {
        handler(std::move(result.response), std::move(result.data), std::move(result.error));
      });
    });
  }

  std::shared_ptr<platform::Queue> queue = platform::Queue::serial("test.loopback");
  OBXNetwork network;
  std::atomic<int> targetGets{0};
};

}  // namespace

TEST_F(LoopbackTest, GetDeliversStatusHeadersAndBodyOnTheGivenQueue) {
  Outcome outcome = run([&](auto handler) {
    EXPECT_FALSE(network.getURL(base + "/hello", {{"X-Token", "abc"}}, queue, false, handler).empty());
  });
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.status, kOBXNetworkHTTPStatusOK);
  EXPECT_EQ(outcome.body, "hello there");
  EXPECT_EQ(outcome.contentType, "text/plain");
  bool echoed = false;
  for (const auto& [name, value] : outcome.headers) echoed = echoed || (name == "X-Echo" && value == "abc");
  EXPECT_TRUE(echoed);
  EXPECT_EQ(outcome.queueLabel, "test.loopback");
}

TEST_F(LoopbackTest, PostSendsTheBinaryPayloadAndReportsNonSuccessStatusesAsResponses) {
  Bytes payload = {0x00, 'a', 0xff, 'b'};
  Outcome outcome = run([&](auto handler) { network.postURL(base + "/upload", payload, queue, false, handler); });
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.status, 201);
  EXPECT_EQ(outcome.body, std::string("4:") + std::string("\0a\xff" "b", 4));
  EXPECT_FALSE(network.hasUploadInProgress());

  outcome = run([&](auto handler) { network.getURL(base + "/unavailable", {}, queue, false, handler); });
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.status, kOBXNetworkHTTPStatusCodeUnavailable);
  EXPECT_EQ(outcome.body, "busy");
}

TEST_F(LoopbackTest, SlowServerTimesOutWithAnError) {
  network.setTimeoutInterval(0.3);
  Outcome outcome = run([&](auto handler) { network.getURL(base + "/slow", {}, queue, false, handler); });
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->domain, kOBXNetworkErrorDomain);
  EXPECT_EQ(outcome.error->code, kOBXNetworkErrorCodeTimedOut);
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(LoopbackTest, RefusedConnectionCompletesWithAnError) {
  // A socket that is bound but never listens refuses connections; keeping it open for the
  // whole request stops a parallel test from taking the port in the meantime.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  int closedPort = ntohs(address.sin_port);
  network.setTimeoutInterval(kEventWait.count());
  Outcome outcome = run([&](auto handler) {
    network.postURL("http://127.0.0.1:" + std::to_string(closedPort) + "/upload", Bytes{1}, queue, false, handler);
  });
  close(fd);
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kOBXNetworkErrorCodeCannotConnect);
  EXPECT_FALSE(network.hasUploadInProgress());
}

TEST_F(LoopbackTest, HttpsIsSpokenTlsFailsAgainstAPlainServer) {
  // The client starts a TLS handshake (so https is supported) and reports its failure.
  network.setTimeoutInterval(kEventWait.count());
  std::string url = "https://127.0.0.1:" + std::to_string(port) + "/hello";
  Outcome outcome = run([&](auto handler) { network.getURL(url, {}, queue, false, handler); });
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kOBXNetworkErrorCodeTransportFailure) << outcome.error->description;
}

TEST(LoopbackServerStart, AServerStoppedRightAfterItsStartEnds) {
  // A test that ends at once stops its server before any request; the join must not hang.
  for (int round = 0; round < 20; ++round) {
    httplib::Server server;
    ASSERT_GT(server.bind_to_any_port("127.0.0.1"), 0);
    std::thread thread;
    ASSERT_TRUE(testsupport::startListening(server, thread));
    server.stop();
    thread.join();
  }
}

TEST_F(LoopbackTest, CompressedReplyBombFailsWithinTheBodyLimitAndTheNextRequestWorks) {
  // 64 MiB of zeros packed into about 64 KiB, against the default limit.
  Outcome outcome = run([&](auto handler) { network.getURL(base + "/gzip/67108864", {}, queue, false, handler); });
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->domain, kOBXNetworkErrorDomain);
  EXPECT_EQ(outcome.error->code, kOBXNetworkErrorCodeResponseTooLarge);
  EXPECT_EQ(outcome.status, 0);

  // The limit counts decoded bytes and takes a body of exactly its size, plain or packed.
  network.setMaxResponseBodySize(1000);
  for (const char* kind : {"plain", "gzip"}) {
    SCOPED_TRACE(kind);
    outcome = run([&](auto handler) { network.getURL(base + "/" + kind + "/1000", {}, queue, false, handler); });
    EXPECT_FALSE(outcome.error.has_value());
    EXPECT_EQ(outcome.body.size(), 1000u);
    outcome = run([&](auto handler) { network.getURL(base + "/" + kind + "/1001", {}, queue, false, handler); });
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, kOBXNetworkErrorCodeResponseTooLarge);
  }
  // A caller that expects more raises the limit.
  network.setMaxResponseBodySize(kOBXNetworkDefaultMaxResponseBodySize * 2);
  outcome = run([&](auto handler) { network.getURL(base + "/gzip/12582912", {}, queue, false, handler); });
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.body.size(), 12582912u);
}

TEST_F(LoopbackTest, AllocationFailureWhileStoringABodyFailsThatRequestOnceAndTheNextWorks) {
  OBXNetwork own("", OBXCurlNetworkTransportForTesting([](std::size_t capacity) {
    if (capacity > 4096) throw std::bad_alloc();
  }));
  Outcome outcome = run([&](auto handler) { own.postURL(base + "/target", Bytes(100000, 'b'), queue, false, handler); });
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kOBXNetworkErrorCodeTransportFailure);
  EXPECT_NE(outcome.error->description.find("out of memory"), std::string::npos) << outcome.error->description;
  EXPECT_FALSE(own.hasUploadInProgress());
  outcome = run([&](auto handler) { own.getURL(base + "/plain/100", {}, queue, false, handler); });
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.body.size(), 100u);
}

TEST_F(LoopbackTest, PostIsNotCarriedOverARedirectThatWouldDropItsBody) {
  for (int status : {301, 302, 303}) {
    SCOPED_TRACE(status);
    Outcome outcome = run([&](auto handler) {
      network.postURL(base + "/moved/" + std::to_string(status), Bytes{'b', 'a', 't', 'c', 'h'}, queue, false, handler);
    });
    EXPECT_FALSE(outcome.error.has_value());
    EXPECT_EQ(outcome.status, status);  // the redirect is the answer: not a success
    EXPECT_TRUE(outcome.body.empty());
    bool located = false;
    for (const auto& [name, value] : outcome.headers) located = located || (name == "Location" && value == "/target");
    EXPECT_TRUE(located);
  }
  EXPECT_EQ(targetGets.load(), 0);
  // Redirects that send the body on are followed: the success answers the POST that carried it.
  for (int status : {307, 308}) {
    Outcome outcome = run([&](auto handler) {
      network.postURL(base + "/moved/" + std::to_string(status), Bytes{'b', 'a', 't', 'c', 'h'}, queue, false, handler);
    });
    EXPECT_EQ(outcome.status, 200) << status;
    EXPECT_EQ(outcome.body, "POST batch") << status;
  }
  // A GET still follows any redirect.
  Outcome outcome = run([&](auto handler) { network.getURL(base + "/moved-get", {}, queue, false, handler); });
  EXPECT_EQ(outcome.status, 200);
  EXPECT_EQ(outcome.body, "GET");
}

TEST_F(LoopbackTest, TimeoutsOutsideTheUsualRangeAreClampedNotWrapped) {
  std::shared_ptr<OBXNetworkTransport> transport = OBXCurlNetworkTransport();
  OBXNetworkRequest request;
  request.method = "GET";
  // Far too large for a long, infinite, or not a number: a long wait, not one of a millisecond.
  for (double seconds : {1e300, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(seconds);
    request.url = base + "/late";
    request.timeoutInterval = seconds;
    Outcome outcome = perform(transport, request);
    EXPECT_FALSE(outcome.error.has_value()) << outcome.error->description;
    EXPECT_EQ(outcome.body, "late");
  }
  network.setTimeoutInterval(1e300);
  Outcome outcome = run([&](auto handler) { network.getURL(base + "/late", {}, queue, false, handler); });
  EXPECT_FALSE(outcome.error.has_value());
  // Negative or zero: the shortest timeout.
  for (double seconds : {-5.0, 0.0, -std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(seconds);
    request.url = base + "/slow";
    request.timeoutInterval = seconds;
    outcome = perform(transport, request);
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, kOBXNetworkErrorCodeTimedOut);
  }
}

namespace {

// A transfer in its TLS handshake when the process begins to end, then one asked for afterwards:
// 0 when the first stops at once and the second is refused, else the step that failed.
int transfersAtTheEnd() {
  int port = 0;
  const int fd = testsupport::listenWithoutAccepting(port);
  if (fd < 0) return 10;
  std::shared_ptr<OBXNetworkTransport> transport = OBXCurlNetworkTransportForTesting(nullptr);
  OBXNetworkRequest request;
  request.method = "GET";
  request.url = "https://127.0.0.1:" + std::to_string(port) + "/silent";
  request.timeoutInterval = 2 * kEventWait.count();  // a stop that waits for it takes that long
  std::promise<OBXNetworkResult> inFlight;
  transport->perform(request, [&inFlight](OBXNetworkResult result) { inFlight.set_value(std::move(result)); });
  pollfd pending{fd, POLLIN, 0};
  if (poll(&pending, 1, kEventWaitMs) != 1) return 11;

  const auto start = std::chrono::steady_clock::now();
  platform::security::OpenSSLGate::process().close();  // what the exit handler does
  if (std::chrono::steady_clock::now() - start > kEventWait) return 12;  // it waited for the timeout
  const std::string ending = "The transfer was stopped: the process is ending";
  OBXNetworkResult stopped = inFlight.get_future().get();
  if (!stopped.error || stopped.error->description != ending || stopped.response) return 13;

  std::promise<OBXNetworkResult> later;
  transport->perform(request, [&later](OBXNetworkResult result) { later.set_value(std::move(result)); });
  OBXNetworkResult refused = later.get_future().get();
  return refused.error && refused.error->description == ending ? 0 : 14;
}

}  // namespace

// Ends the process's use of OpenSSL, so it runs in a process of its own.
TEST(CurlTransportDeathTest, TransfersStopAndAreRefusedOnceTheProcessBeginsToEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(transfersAtTheEnd()), ::testing::ExitedWithCode(0), "");
}

namespace {

// A transfer through the libcurl transport, held open by a loopback port that takes its
// connection but does not answer until told to.
class OpenTransfer {
 public:
  OpenTransfer() {
    int port = 0;
    listener_ = testsupport::listenWithoutAccepting(port);
    if (listener_ < 0) return;
    OBXNetworkRequest request;
    request.method = "GET";
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/held";
    request.timeoutInterval = 60;
    OBXCurlNetworkTransport()->perform(request, [finished = finished_](OBXNetworkResult result) {
      finished->set_value(std::move(result));
    });
    pollfd pending{listener_, POLLIN, 0};
    open_ = poll(&pending, 1, kEventWaitMs) == 1;
  }
  ~OpenTransfer() {
    if (connection_ >= 0) close(connection_);
    if (listener_ >= 0) close(listener_);
  }

  // Whether the transfer is connected and waits for its reply.
  bool open() const { return open_; }

  // Answers with 200 "ok" once the request has come in; false when it did not.
  bool answer() {
    connection_ = accept(listener_, nullptr, nullptr);
    if (connection_ < 0) return false;
    std::string received;
    while (received.find("\r\n\r\n") == std::string::npos) {
      pollfd readable{connection_, POLLIN, 0};
      char chunk[512];
      const ssize_t got = poll(&readable, 1, kEventWaitMs) == 1 ? read(connection_, chunk, sizeof chunk) : -1;
      if (got <= 0) return false;
      received.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    return write(connection_, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size());
  }

  std::future<OBXNetworkResult> result() { return finished_->get_future(); }

 private:
  int listener_ = -1;
  int connection_ = -1;
  bool open_ = false;
  // Shared with the completion, which may come after a failed test has returned.
  std::shared_ptr<std::promise<OBXNetworkResult>> finished_ = std::make_shared<std::promise<OBXNetworkResult>>();
};

void expectAnsweredNormally(OpenTransfer& transfer) {
  std::future<OBXNetworkResult> result = transfer.result();
  ASSERT_TRUE(transfer.answer());
  ASSERT_EQ(result.wait_for(kEventWait), std::future_status::ready);
  OBXNetworkResult outcome = result.get();
  ASSERT_FALSE(outcome.error.has_value()) << outcome.error->description;
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.response->statusCode, 200);
  EXPECT_EQ(std::string(outcome.data.begin(), outcome.data.end()), "ok");
}

}  // namespace

TEST(CurlTransportFork, AChildForkedDuringATransferEndsAtOnceAndTheTransferCarriesOn) {
  OpenTransfer transfer;
  ASSERT_TRUE(transfer.open());
  for (int fork = 0; fork < 20; ++fork) {
    const testsupport::ChildEnd end = testsupport::runInChild([] { std::exit(0); }, testsupport::kChildLife);
    EXPECT_TRUE(end.exitedWith(0)) << "fork " << fork << ": status " << end.status << " after " << end.took.count() << " ms";
    if (!end.exitedWith(0)) break;  // another hang would cost the whole limit again
  }
  expectAnsweredNormally(transfer);
}

// The default style: the child is forked from this process, the transfer's thread left behind.
TEST(CurlTransportDeathTest, ExitingInADeathTestWhileATransferIsOpenEnds) {
  OpenTransfer transfer;
  ASSERT_TRUE(transfer.open());
  // A child that hangs in exit is ended by the alarm, and the expectation fails.
  EXPECT_EXIT(
      {
        testsupport::skipLeakCheck = true;
        alarm(static_cast<unsigned>(kEventWait.count()));
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "");
  expectAnsweredNormally(transfer);
}
