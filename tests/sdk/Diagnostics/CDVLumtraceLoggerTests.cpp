#include <sys/stat.h>

#include <condition_variable>
#include <thread>

#include "Bounds.h"
#include "Diagnostics/CDVLumtraceLogger.h"
#include "DiagnosticsTestSupport.h"
#include "foundation/NotificationCenter.h"
#include "obx/OBXNetworkTesting.h"

namespace diagtest {
namespace {

using Bytes = std::vector<uint8_t>;

class CDVLumtraceLoggerTest : public DiagnosticsTest {
 protected:
  void SetUp() override {
    DiagnosticsTest::SetUp();
    OBXNetwork::setNetworkReachable(true);
    transport_ = std::make_shared<OBXFakeNetworkTransport>();
    logDirectory_ = directory("Caches/CDVLumtraceLogger");
  }
  void TearDown() override {
    logger_.reset();
    OBXNetwork::setNetworkReachable(true);
    DiagnosticsTest::TearDown();
  }

  void makeLogger() {
    queue_ = platform::ManualQueue::create("lumtrace");
    replyQueue_ = platform::ManualQueue::create("replies");
    logger_ = CDVLumtraceLogger::initWithQueue(queue_, replyQueue_, std::make_shared<OBXNetwork>("", transport_),
                                               logDirectory_);
  }

  // Runs both queues until neither has work.
  void pump() {
    while (queue_->drain() + replyQueue_->drain() > 0) {
    }
  }

  // Answers every upload at once with the next status of `statuses` (0: connection refused).
  void answerWith(std::vector<long> statuses) {
    auto script = std::make_shared<std::vector<long>>(std::move(statuses));
    auto next = std::make_shared<size_t>(0);
    transport_->setResponder([script, next](const OBXNetworkRequest& request) {
      const long status = *next < script->size() ? (*script)[(*next)++] : 200;
      OBXNetworkResult result;
      if (status == 0) {
        result.error = platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeCannotConnect, "refused");
      } else {
        auto response = std::make_shared<OBXHTTPResponse>();
        response->url = request.url;
        response->statusCode = status;
        result.response = response;
      }
      return result;
    });
  }

  void log(const std::string& payload, int32_t logSource = 137, const std::string& account = "tolvamere") {
    logger_->logEvent(*makeEvent(payload), logSource, account);
  }

  // The payloads of the events carried by an upload body.
  static std::vector<std::string> payloadsOfUpload(const Bytes& body) {
    std::vector<std::string> payloads;
    auto request = LMTPBLogRequest::initWithBuffer(body);
    if (!request) return {"<undecodable>"};
    auto files = NANOGetArray(*request, LMTPBLogRequestSlot::serialized_log_events);
    if (!files) return payloads;
    for (const auto& file : *files) {
      for (const auto& record : CDVLumtraceRecords(*file.dataValue())) payloads.push_back(payloadOf(record));
    }
    return payloads;
  }

  std::vector<std::vector<std::string>> uploads() const {
    std::vector<std::vector<std::string>> result;
    for (const auto& request : transport_->requests()) result.push_back(payloadsOfUpload(request.body));
    return result;
  }

  // Writes an event file as an earlier run would have left it.
  std::string leaveFile(const std::string& name, const std::vector<std::string>& payloads, const Bytes& tail = {}) {
    const std::string dir = logDirectory_ + "/tolvamere/137";
    EXPECT_TRUE(platform::files::createDirectories(dir));
    Bytes contents;
    for (const auto& payload : payloads) {
      Bytes encoded = *makeEvent(payload, 1, 1)->protoBuffer();
      Bytes prefix = CDVLumtraceRecordPrefix(static_cast<uint32_t>(encoded.size()));
      contents.insert(contents.end(), prefix.begin(), prefix.end());
      contents.insert(contents.end(), encoded.begin(), encoded.end());
    }
    contents.insert(contents.end(), tail.begin(), tail.end());
    const std::string path = dir + "/" + name;
    platform::Error error;
    EXPECT_TRUE(platform::files::writeFileAtomically(path, contents, &error)) << path << ": " << error.description;
    return path;
  }

  std::shared_ptr<OBXFakeNetworkTransport> transport_;
  std::string logDirectory_;
  std::shared_ptr<platform::ManualQueue> queue_;
  std::shared_ptr<platform::ManualQueue> replyQueue_;
  std::shared_ptr<CDVLumtraceLogger> logger_;
};

TEST_F(CDVLumtraceLoggerTest, UploadsAStampedEventFileAsOneRequestAndDeletesIt) {
  makeLogger();
  answerWith({200});
  log("first");
  logger_->logEvent(*makeEvent("timed", 11, 22), 137, "tolvamere");
  pump();
  ASSERT_EQ(filesBelow(logDirectory_).size(), 1u);
  EXPECT_TRUE(transport_->requests().empty());  // nothing is sent when logged

  clock_->setNow(1700000100.5);
  int completions = 0;
  logger_->flushWithCompletionHandler([&] { ++completions; });
  pump();
  ASSERT_EQ(transport_->requests().size(), 1u);
  const OBXNetworkRequest sent = transport_->requests()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, kCDVLumtraceDefaultServerURL);
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(filesBelow(logDirectory_).empty());
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);

  auto request = LMTPBLogRequest::initWithBuffer(sent.body);
  ASSERT_TRUE(request);
  EXPECT_EQ(NANOGetInt32(*request, LMTPBLogRequestSlot::log_source), 137);
  EXPECT_EQ(NANOGetInt64(*request, LMTPBLogRequestSlot::request_time_ms), 1700000100500);
  EXPECT_EQ(NANOGetInt64(*request, LMTPBLogRequestSlot::request_uptime_ms), 5000000);
  EXPECT_FALSE(NANOHasField(*request, LMTPBLogRequestSlot::crellan_cookie));
  auto clientInfo = NANOGetMessage<LMTPBClientInfo>(*request, LMTPBLogRequestSlot::client_info);
  ASSERT_TRUE(clientInfo);
  EXPECT_EQ(NANOGetInt32(*clientInfo, LMTPBClientInfoSlot::client_type), 3);
  auto ios = NANOGetMessage<LMTPBIosClientInfo>(*clientInfo, LMTPBClientInfoSlot::ios_client_info);
  ASSERT_TRUE(ios);
  EXPECT_EQ(NANOGetString(*ios, LMTPBIosClientInfoSlot::os_version), "16.4");
  EXPECT_EQ(NANOGetString(*ios, LMTPBIosClientInfoSlot::application_build), "0");
  EXPECT_FALSE(NANOHasField(*ios, LMTPBIosClientInfoSlot::install_identifier));

  auto files = NANOGetArray(*request, LMTPBLogRequestSlot::serialized_log_events);
  ASSERT_EQ(files->size(), 1u);
  auto records = CDVLumtraceRecords(*(*files)[0].dataValue());
  ASSERT_EQ(records.size(), 2u);
  auto first = LMTPBLogEvent::initWithBuffer(records[0]);
  auto timed = LMTPBLogEvent::initWithBuffer(records[1]);
  EXPECT_EQ(NANOGetInt64(*first, LMTPBLogEventSlot::event_time_ms), 1700000000000);
  EXPECT_EQ(NANOGetInt64(*first, LMTPBLogEventSlot::event_uptime_ms), 5000000);
  EXPECT_EQ(NANOGetInt64(*timed, LMTPBLogEventSlot::event_time_ms), 11);
  EXPECT_EQ(NANOGetInt64(*timed, LMTPBLogEventSlot::event_uptime_ms), 22);
}

TEST_F(CDVLumtraceLoggerTest, RequestCarriesInstallIdentifierCookieAndBuildWhenSet) {
  makeLogger();
  logger_->setInstallIdentifier("INSTALL-1");
  logger_->setCrellanCookie("cookie");
  logger_->setApplicationBuild("42");
  const std::string path = leaveFile("1", {"x"});
  auto request = logger_->logRequestFromPath(path, -7);
  ASSERT_TRUE(request);
  EXPECT_EQ(NANOGetInt32(*request, LMTPBLogRequestSlot::log_source), -7);
  EXPECT_EQ(NANOGetString(*request, LMTPBLogRequestSlot::crellan_cookie), "cookie");
  auto clientInfo = NANOGetMessage<LMTPBClientInfo>(*request, LMTPBLogRequestSlot::client_info);
  auto ios = NANOGetMessage<LMTPBIosClientInfo>(*clientInfo, LMTPBClientInfoSlot::ios_client_info);
  EXPECT_EQ(NANOGetString(*ios, LMTPBIosClientInfoSlot::install_identifier), "INSTALL-1");
  EXPECT_EQ(NANOGetString(*ios, LMTPBIosClientInfoSlot::application_build), "42");
  EXPECT_FALSE(logger_->logRequestFromPath(logDirectory_ + "/missing", 1));
}

TEST_F(CDVLumtraceLoggerTest, AFileIsClosedOnceItPassesTheMaximumRequestSize) {
  makeLogger();
  logger_->setMaxRequestNumBytes(100);
  log(std::string(40, 'a'));
  log(std::string(40, 'b'));  // now past 100 bytes: the file is closed
  pump();
  clock_->advance(0.002);
  log(std::string(40, 'c'));
  pump();
  auto files = filesBelow(logDirectory_ + "/tolvamere/137");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], logDirectory_ + "/tolvamere/137/1700000000000");
  EXPECT_EQ(files[1], logDirectory_ + "/tolvamere/137/1700000000002");
  EXPECT_EQ(payloadsInFile(files[0]), (std::vector<std::string>{std::string(40, 'a'), std::string(40, 'b')}));
  EXPECT_EQ(payloadsInFile(files[1]), std::vector<std::string>{std::string(40, 'c')});
}

TEST_F(CDVLumtraceLoggerTest, AFileExactlyAtTheMaximumRequestSizeStaysOpen) {
  makeLogger();
  log("x", 1);
  pump();
  const uint64_t oneEvent = platform::files::readFile(filesBelow(logDirectory_ + "/tolvamere/1")[0])->size();
  logger_->setMaxRequestNumBytes(2 * oneEvent);
  log("a");
  log("b");  // exactly at the limit: not past it
  pump();
  clock_->advance(0.002);
  log("c");  // past it now: the file is closed after this one
  log("d");
  pump();
  auto files = filesBelow(logDirectory_ + "/tolvamere/137");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(payloadsInFile(files[0]), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(payloadsInFile(files[1]), std::vector<std::string>{"d"});
}

TEST_F(CDVLumtraceLoggerTest, AFailedUploadOfATimedPassSchedulesTheNextOne) {
  makeLogger();
  leaveFile("1", {"A"});
  answerWith({500});
  clock_->advance(900);  // the pass scheduled at creation: its upload fails
  pump();
  ASSERT_EQ(uploads().size(), 1u);
  EXPECT_TRUE(logger_->sendScheduled());
  clock_->advance(899);
  pump();
  EXPECT_EQ(uploads().size(), 1u);
  clock_->advance(1);
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"A"}, {"A"}}));
  EXPECT_TRUE(filesBelow(logDirectory_).empty());
}

TEST_F(CDVLumtraceLoggerTest, SendsTheLastListedFileFirstAndSkipsFilesAlreadySent) {
  makeLogger();
  leaveFile("1", {"A"});
  leaveFile("2", {"B"});
  leaveFile("3", {"C"});
  answerWith({500});
  int completions = 0;
  logger_->flushWithCompletionHandler([&] { ++completions; });
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"C"}}));
  EXPECT_EQ(completions, 0);  // a failed upload ends the pass without the handler
  EXPECT_EQ(logger_->pendingRequestCount(), 2u);
  EXPECT_EQ(filesBelow(logDirectory_).size(), 3u);
  ASSERT_EQ(linesWithCode("I-COR000020").size(), 1u);
  EXPECT_EQ(linesWithCode("I-COR000020")[0].message, "Error posting to Lumtrace: (null), with Status Code: 500");

  logger_->flushWithCompletionHandler([&] { ++completions; });
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"C"}, {"C"}, {"B"}, {"A"}}));
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(filesBelow(logDirectory_).empty());
  EXPECT_EQ(logger_->pendingRequestCount(), 0u);
}

TEST_F(CDVLumtraceLoggerTest, SixFailuresInARowStopUploadsAndASuccessRestoresTheBudget) {
  makeLogger();
  leaveFile("1", {"A"});
  // 204 is no success either, 408 asks for another try; 0 stands for a refused connection.
  answerWith({500, 204, 0, 408, 503, 200, 500, 500, 500, 500, 500, 500});
  for (int i = 0; i < 5; ++i) {
    logger_->flushWithCompletionHandler(nullptr);
    pump();
  }
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 1);
  EXPECT_EQ(filesBelow(logDirectory_).size(), 1u);
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);
  EXPECT_TRUE(filesBelow(logDirectory_).empty());

  leaveFile("2", {"B"});
  for (int i = 0; i < 6; ++i) {
    logger_->flushWithCompletionHandler(nullptr);
    pump();
  }
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 0);
  EXPECT_EQ(transport_->requests().size(), 12u);
  // From now on nothing is posted, but events are still written.
  log("late");
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  clock_->advance(3600);
  pump();
  EXPECT_EQ(transport_->requests().size(), 12u);
  EXPECT_EQ(filesBelow(logDirectory_).size(), 2u);
}

TEST_F(CDVLumtraceLoggerTest, TimedPassesWaitForTheNetworkAndTheSendDelay) {
  OBXNetwork::setNetworkReachable(false);
  makeLogger();
  answerWith({});
  EXPECT_FALSE(logger_->sendScheduled());
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
  log("queued");
  pump();

  OBXNetwork::setNetworkReachable(true);  // the reachability callback schedules a pass
  EXPECT_TRUE(logger_->sendScheduled());
  clock_->advance(899.9);
  pump();
  EXPECT_TRUE(transport_->requests().empty());
  clock_->advance(0.1);
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"queued"}}));
  // A pass that ends with nothing left schedules the next one.
  EXPECT_TRUE(logger_->sendScheduled());
  EXPECT_EQ(clock_->nextTimerDelay(), 900.0);
}

TEST_F(CDVLumtraceLoggerTest, EnteringTheBackgroundRunsAPass) {
  makeLogger();
  answerWith({});
  log("bg");
  platform::NotificationCenter::defaultCenter().post(kCDVApplicationDidEnterBackgroundNotification);
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"bg"}}));
}

TEST_F(CDVLumtraceLoggerTest, OnlyWholeRecordsOfAnEarlierRunAreSent) {
  makeLogger();
  answerWith({});
  leaveFile("1", {"kept-1", "kept-2"}, Bytes{0x30, 0x08, 0x01});  // cut off after 3 of 48 bytes
  const std::string empty = leaveFile("2", {}, Bytes{0x85});    // nothing whole at all
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"kept-1", "kept-2"}}));
  EXPECT_FALSE(platform::files::exists(empty));
  EXPECT_TRUE(filesBelow(logDirectory_).empty());
}

TEST_F(CDVLumtraceLoggerTest, AccountsStayInsideTheLogDirectory) {
  makeLogger();
  answerWith({});
  log("dots", 1, "..");
  log("slash", 2, "../../escape");
  log("blank", 3, "my account");
  log("none", 4, "");
  pump();
  auto files = filesBelow(logDirectory_);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0], logDirectory_ + "/%2E%2E/1/1700000000000");
  EXPECT_EQ(files[1], logDirectory_ + "/%2E%2E%2F%2E%2E%2Fescape/2/1700000000000");
  EXPECT_EQ(files[2], logDirectory_ + "/my%20account/3/1700000000000");
  auto refused = linesWithCode("I-COR000017");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].message, "Failure to write data for account , logSource 4. Discarding.");
}

TEST_F(CDVLumtraceLoggerTest, LogFoldersAreClosedAtEveryLevelAndAnotherUsersAreNotWrittenTo) {
  const auto modeOf = [](const std::string& folder) {
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFu;
  };
  const std::vector<std::string> own = {logDirectory_, logDirectory_ + "/tolvamere", logDirectory_ + "/tolvamere/137"};
  ASSERT_TRUE(platform::files::createMissingDirectories(own.back()));
  for (const std::string& folder : own) {
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);  // as an earlier version under umask 0 left them
  }
  makeLogger();
  answerWith({});
  log("mine");
  pump();
  for (const std::string& folder : own) EXPECT_EQ(modeOf(folder), 0700u) << folder;
  EXPECT_EQ(filesBelow(logDirectory_).size(), 1u);

  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a folder away";
  ASSERT_TRUE(platform::files::createMissingDirectories(logDirectory_ + "/other/5"));
  for (const std::string& folder : {logDirectory_ + "/other", logDirectory_ + "/other/5"}) {
    ASSERT_TRUE(::chown(folder.c_str(), 65534, 65534) == 0 && ::chmod(folder.c_str(), 0777) == 0);
  }
  log("lost", 5, "other");
  pump();
  EXPECT_TRUE(filesBelow(logDirectory_ + "/other").empty());
  EXPECT_EQ(linesWithCode("I-COR000017").size(), 1u);
}

TEST_F(CDVLumtraceLoggerTest, AFailedWriteDropsTheEventAndTheNextOneOpensANewFile) {
  makeLogger();
  ASSERT_TRUE(platform::files::createDirectories(logDirectory_ + "/tolvamere"));
  ASSERT_TRUE(platform::files::writeFileAtomically(logDirectory_ + "/tolvamere/137", std::string("not a dir")));
  log("lost");
  pump();
  EXPECT_EQ(linesWithCode("I-COR000017").size(), 1u);
  ASSERT_TRUE(platform::files::removeItem(logDirectory_ + "/tolvamere/137"));
  log("kept");
  pump();
  auto files = filesBelow(logDirectory_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(payloadsInFile(files[0]), std::vector<std::string>{"kept"});
}

// A reply has arrived (the upload no longer counts as in progress) but its handler has not run
// yet, so its file is still on disk: a pass in that moment lists the file again and must not
// post it a second time.
TEST_F(CDVLumtraceLoggerTest, APassRunningBeforeAReplyIsHandledDoesNotPostThatFileAgain) {
  makeLogger();
  leaveFile("1", {"A"});
  leaveFile("2", {"B"});
  leaveFile("3", {"C"});
  int chainCompletions = 0;
  logger_->flushWithCompletionHandler([&] { ++chainCompletions; });
  queue_->drain();
  ASSERT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"C"}}));

  ASSERT_TRUE(transport_->respond(200));  // the handler now waits on the reply queue
  int passCompletions = 0;
  logger_->flushWithCompletionHandler([&] { ++passCompletions; });
  queue_->drain();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"C"}}));

  answerWith({});
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"C"}, {"B"}, {"A"}}));
  EXPECT_TRUE(filesBelow(logDirectory_).empty());
  EXPECT_EQ(logger_->pendingRequestCount(), 0u);
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 6);
  EXPECT_EQ(chainCompletions, 1);
  EXPECT_EQ(passCompletions, 0);  // it found an upload under way, as while a post is out
}

// A request still listed for a file already uploaded must never meet a new event file of the
// same name: that file would be read and deleted while its writer still appends to it.
TEST_F(CDVLumtraceLoggerTest, ANewEventFileNeverTakesTheNameOfAFileStillListed) {
  makeLogger();
  const std::string reused = leaveFile("1700000000000", {"X"});  // the name the clock gives now
  logger_->flushWithCompletionHandler(nullptr);
  queue_->drain();  // X is posted
  leaveFile("1700000000003", {"V"});
  logger_->flushWithCompletionHandler(nullptr);
  queue_->drain();  // lists X and V again; X is still out
  ASSERT_TRUE(transport_->respond(200));
  replyQueue_->drain();  // X deleted, V posted; a copy of X's request stays listed
  ASSERT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"X"}, {"V"}}));
  ASSERT_EQ(logger_->pendingRequestCount(), 1u);
  ASSERT_FALSE(platform::files::exists(reused));

  answerWith({});
  log("new");
  queue_->drain();
  EXPECT_FALSE(platform::files::exists(reused));
  EXPECT_EQ(payloadsInFile(logDirectory_ + "/tolvamere/137/1700000000001"), std::vector<std::string>{"new"});

  ASSERT_TRUE(transport_->respond(200));  // V done; the listed copy of X comes next
  replyQueue_->drain();
  log("after");
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"X"}, {"V"}, {"new", "after"}}));
  EXPECT_TRUE(filesBelow(logDirectory_).empty());
  EXPECT_TRUE(linesWithCode("I-COR000020").empty());
}

TEST_F(CDVLumtraceLoggerTest, FailedPassesListEachFileOnceAndARefusedFileIsDeleted) {
  makeLogger();
  leaveFile("1", {"A"});
  leaveFile("2", {"B"});
  leaveFile("3", {"C"});
  answerWith({500, 500, 500});
  for (int pass = 0; pass < 3; ++pass) {
    logger_->flushWithCompletionHandler(nullptr);
    pump();
    EXPECT_EQ(logger_->pendingRequestCount(), 2u) << pass;
  }

  // 400 means never: C goes with a line, and the chain goes on. 429 and 408 are worth another
  // try: B stays and costs a retry each time.
  answerWith({400, 429, 408, 200, 200});
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  EXPECT_EQ(logger_->uploadRetriesRemaining(), 1);
  EXPECT_EQ(filesBelow(logDirectory_).size(), 2u);
  ASSERT_EQ(linesWithCode("I-COR000022").size(), 1u);
  EXPECT_NE(linesWithCode("I-COR000022")[0].message.find("/3 with Status Code: 400"), std::string::npos);
  int completions = 0;
  logger_->flushWithCompletionHandler([&] { ++completions; });
  pump();
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(filesBelow(logDirectory_).empty());
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{
                           {"C"}, {"C"}, {"C"}, {"C"}, {"B"}, {"B"}, {"B"}, {"A"}}));
}

TEST_F(CDVLumtraceLoggerTest, AFileThatCannotBeSentAsItIsStaysAndADirectoryIsNeverRemoved) {
  makeLogger();
  const std::string kept = leaveFile("1", {"A"});
  // A directory where an event file is expected, with something inside.
  const std::string stray = logDirectory_ + "/tolvamere/137/2";
  ASSERT_TRUE(platform::files::createDirectories(stray));
  ASSERT_TRUE(platform::files::writeFileAtomically(stray + "/inner", Bytes{1}));
  answerWith({});
  logger_->setRequestEncoderForTesting([](const LMTPBLogRequest&) { return std::nullopt; });
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  EXPECT_TRUE(transport_->requests().empty());
  EXPECT_TRUE(platform::files::exists(kept));
  EXPECT_EQ(linesWithCode("I-COR000021").size(), 1u);
  EXPECT_TRUE(platform::files::exists(stray + "/inner"));

  logger_->setRequestEncoderForTesting(nullptr);
  logger_->flushWithCompletionHandler(nullptr);
  pump();
  EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"A"}}));
  EXPECT_FALSE(platform::files::exists(kept));
  EXPECT_TRUE(platform::files::exists(stray + "/inner"));
}

// Events logged from many threads at once all reach the file, on the real queues.
TEST_F(CDVLumtraceLoggerTest, EventsFromManyThreadsAreAllWritten) {
  logger_ = CDVLumtraceLogger::initWithQueue(platform::Queue::serial("lumtrace"),
                                             platform::Queue::global(platform::QueuePriority::Background),
                                             std::make_shared<OBXNetwork>("", transport_), logDirectory_);
  answerWith({});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 50; ++i) log("t" + std::to_string(t) + "-" + std::to_string(i));
      logger_->setApplicationBuild("b" + std::to_string(t));
    });
  }
  for (auto& thread : threads) thread.join();
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  logger_->flushWithCompletionHandler([&] {
    std::lock_guard lock(mutex);
    finished = true;
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, testsupport::kEventWait, [&] { return finished; }));
  auto sent = uploads();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), 200u);
}

}  // namespace
}  // namespace diagtest
