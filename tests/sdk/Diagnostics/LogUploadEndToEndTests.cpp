// From configuring an app to a loopback log server that decodes what it receives. The waits
// here are bounded waits for real network I/O; the platform clock is a manual one, so no timed
// send pass interferes.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "Bounds.h"
#include "CoreTestSupport.h"
#include "Diagnostics/CDVDiagnostics.h"
#include "DiagnosticsTestSupport.h"
#include "LoopbackServer.h"

namespace diagtest {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;

class LogUploadEndToEndTest : public coretest::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    CDVDiagnostics::resetForTesting();
    CDVLumtraceLogger::resetSharedInstanceForTesting();
    clock_ = std::make_shared<platform::ManualClock>(1699992000.0, 5000.0);
    scopedClock_ = std::make_unique<platform::ScopedClock>(clock_);
    server_.Post("/log", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      bodies_.emplace_back(request.body.begin(), request.body.end());
      changed_.notify_all();
      if (slow_) changed_.wait_for(lock, testsupport::kEventWait, [this] { return released_; });
      response.status = status_;
      if (!location_.empty()) response.set_header("Location", location_);
      if (replySize_ > 0) response.set_content(std::string(replySize_, 'x'), "text/plain");
    });
    server_.Get("/page", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("a page", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    ASSERT_TRUE(testsupport::startListening(server_, thread_));
    CDVLumtraceLogger::setLogUploadEndpoint("http://127.0.0.1:" + std::to_string(port_) + "/log");
    CDVDiagnostics::load();
    installBundle(platform::Dictionary{{"CFBundleIdentifier", coretest::kBundleID}});
  }

  void TearDown() override {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
      changed_.notify_all();
    }
    server_.stop();
    if (thread_.joinable()) thread_.join();
    if (refusingSocket_ >= 0) ::close(refusingSocket_);
    CDVDiagnostics::resetForTesting();
    CDVLumtraceLogger::resetSharedInstanceForTesting();
    CDVLumtraceLogger::setLogUploadEndpoint(std::nullopt);
    scopedClock_.reset();
    CoreTest::TearDown();
  }

  size_t received() {
    std::lock_guard lock(mutex_);
    return bodies_.size();
  }

  // A URL whose port refuses connections: bound but not listening.
  std::string refusingURL() {
    refusingSocket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(refusingSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(refusingSocket_, reinterpret_cast<sockaddr*>(&address), &length);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/log";
  }

  static std::string eventDirectory() {
    return platform::sandbox::cachesDirectory() + "/CDVLumtraceLogger/tolvamere/137";
  }

  std::shared_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::ScopedClock> scopedClock_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> bodies_;
  int status_ = 200;
  std::string location_;
  std::size_t replySize_ = 0;
  bool slow_ = false;
  bool released_ = false;
  int refusingSocket_ = -1;
};

TEST_F(LogUploadEndToEndTest, ConfiguringAnAppUploadsItsReportAndDeletesTheFile) {
  CDVApp::configureWithOptions(optionsWithAppID());
  const std::string eventFile = eventDirectory() + "/1699992000000";

  ASSERT_TRUE(eventually([&] { return received() == 1; }));
  ASSERT_TRUE(eventually([&] { return !platform::files::exists(eventFile); }));
  std::vector<uint8_t> body;
  {
    std::lock_guard lock(mutex_);
    body = bodies_[0];
  }
  auto request = LMTPBLogRequest::initWithBuffer(body);
  ASSERT_TRUE(request);
  EXPECT_EQ(NANOGetInt32(*request, LMTPBLogRequestSlot::log_source), 137);
  EXPECT_EQ(NANOGetInt64(*request, LMTPBLogRequestSlot::request_time_ms), 1699992000000);
  auto clientInfo = NANOGetMessage<LMTPBClientInfo>(*request, LMTPBLogRequestSlot::client_info);
  ASSERT_TRUE(clientInfo);
  EXPECT_EQ(NANOGetInt32(*clientInfo, LMTPBClientInfoSlot::client_type), 3);
  auto files = *NANOGetArray(*request, LMTPBLogRequestSlot::serialized_log_events);
  ASSERT_EQ(files.size(), 1u);
  auto records = CDVLumtraceRecords(*files[0].dataValue());
  ASSERT_EQ(records.size(), 1u);
  auto event = LMTPBLogEvent::initWithBuffer(records[0]);
  EXPECT_EQ(NANOGetInt64(*event, LMTPBLogEventSlot::event_time_ms), 1699992000000);
  auto report = CDVPBICoreConfiguration::initWithBuffer(*NANOGetBytes(*event, LMTPBLogEventSlot::payload));
  ASSERT_TRUE(report);
  EXPECT_EQ(NANOGetInt32(*report, CDVPBICoreConfigurationSlot::configuration_type), 1);
  EXPECT_EQ(NANOGetString(*report, CDVPBICoreConfigurationSlot::app_id), coretest::kValidAppID);

  // The pass logged the day's heartbeat behind itself; it waits in a file of its own.
  ASSERT_TRUE(eventually([&] { return filesBelow(eventDirectory()).size() == 1; }));
  EXPECT_EQ(CDVLumtraceLogger::sharedInstance()->uploadRetriesRemaining(), 6);
}

TEST_F(LogUploadEndToEndTest, ConfiguringLoadsTheReporterWithoutAnyCallFromTheHost) {
  CDVDiagnostics::resetForTesting();  // as in a process where nothing called load()
  CDVApp::configureWithOptions(optionsWithAppID());
  EXPECT_TRUE(eventually([&] { return received() == 1; }));
}

TEST_F(LogUploadEndToEndTest, AFailingServerKeepsTheFilesUntilTheRetriesAreUsedUp) {
  status_ = 500;
  CDVApp::configureWithOptions(optionsWithAppID());
  auto logger = CDVLumtraceLogger::sharedInstance();
  ASSERT_TRUE(eventually([&] { return logger->uploadRetriesRemaining() == 5; }));
  ASSERT_TRUE(eventually([&] { return filesBelow(eventDirectory()).size() == 2; }));  // report and heartbeat

  logger->flushWithCompletionHandler(nullptr);  // 500 again
  ASSERT_TRUE(eventually([&] { return logger->uploadRetriesRemaining() == 4; }));
  logger->setServerURL(refusingURL());
  logger->flushWithCompletionHandler(nullptr);  // connection refused
  ASSERT_TRUE(eventually([&] { return logger->uploadRetriesRemaining() == 3; }));
  {
    std::lock_guard lock(mutex_);
    slow_ = true;
  }
  logger->setServerURL(CDVLumtraceLogger::logUploadEndpoint());
  logger->network()->setTimeoutInterval(0.3);
  logger->flushWithCompletionHandler(nullptr);  // no answer in time
  ASSERT_TRUE(eventually([&] { return logger->uploadRetriesRemaining() == 2; }));
  {
    std::lock_guard lock(mutex_);
    slow_ = false;
    released_ = true;
    changed_.notify_all();
  }
  logger->network()->setTimeoutInterval(testsupport::kEventWait.count());
  {
    std::lock_guard lock(mutex_);
    status_ = 302;  // a page fetched by a GET is no delivery of the file
    location_ = "/page";
  }
  logger->flushWithCompletionHandler(nullptr);
  ASSERT_TRUE(eventually([&] { return logger->uploadRetriesRemaining() == 1; }));
  {
    std::lock_guard lock(mutex_);
    status_ = 200;  // with a reply larger than any client takes
    location_.clear();
    replySize_ = kOBXNetworkDefaultMaxResponseBodySize + 1;
  }
  logger->flushWithCompletionHandler(nullptr);
  ASSERT_TRUE(eventually([&] { return logger->uploadRetriesRemaining() == 0; }));
  EXPECT_EQ(received(), 5u);  // the refused attempt never arrived
  EXPECT_EQ(filesBelow(eventDirectory()).size(), 2u);

  // Uploads have stopped for this process; the events stay on disk.
  {
    std::lock_guard lock(mutex_);
    replySize_ = 0;
  }
  logger->flushWithCompletionHandler(nullptr);
  logger->queue()->sync([] {});
  EXPECT_EQ(received(), 5u);
  EXPECT_EQ(filesBelow(eventDirectory()).size(), 2u);
  EXPECT_FALSE(linesWithCode("I-COR000020").empty());
}

}  // namespace
}  // namespace diagtest
