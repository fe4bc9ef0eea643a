// Upload scheduling, the upload and its replies, the configuration fetch and the life-cycle
// handlers, on a manual clock, a manual worker queue and the fake transport.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <map>
#include <set>
#include <string_view>

#include "UploadTestSupport.h"
#include "obx/OBXAppEnvironmentUtil.h"

namespace {

using Slot = TLMPBMeasurementBundleSlot;

platform::Bytes configBody(const std::string& appID, std::int64_t version) {
  auto config = TLMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetString(*config, TLMPBMeasurementConfigSlot::measurement_app_id, appID);
  NANOSetInt64(*config, TLMPBMeasurementConfigSlot::version, version);
  return config->protoBuffer().value_or(platform::Bytes{});
}

std::optional<std::string> header(const OBXNetworkRequest& request, const std::string& name) {
  for (const auto& [key, value] : request.headers) {
    if (key == name) return value;
  }
  return std::nullopt;
}

class RecordingBackgroundTasks : public TLMBackgroundTaskService {
 public:
  std::uint64_t beginBackgroundTask(const std::string& name, std::function<void()> expiration) override {
    names.push_back(name);
    expirations.push_back(std::move(expiration));
    return ++next;
  }
  void endBackgroundTask(std::uint64_t taskID) override { ended.push_back(taskID); }
  std::uint64_t next = 100;
  std::vector<std::string> names;
  std::vector<std::function<void()>> expirations;
  std::vector<std::uint64_t> ended;
};

}  // namespace

// MARK: - The road from the first open to the collector

TEST(TLMUploadTest, FirstOpenTravelsAfterTheConfigurationFetchAndSurvivesAnUnavailableCollector) {
  UploadHarness h;
  h.start();
  const double t0 = h.clock->now();
  ASSERT_EQ(h.engine->alarm()->scheduledTimestamp(), t0 + 15);  // the initial upload delay

  ASSERT_TRUE(h.fireAlarm());
  // No configuration yet: it is fetched first, unconditionally.
  ASSERT_EQ(h.transport->requests().size(), 1u);
  EXPECT_EQ(h.lastRequest().method, "GET");
  EXPECT_NE(h.lastRequest().url.find("/config/app/1:1234:ios:abcd?"), std::string::npos);
  EXPECT_FALSE(header(h.lastRequest(), "If-Modified-Since"));

  h.respond(404);
  ASSERT_EQ(h.transport->requests().size(), 2u);
  const auto post = h.lastRequest();
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.url, "https://collector.invalid/a");
  auto bundles = UploadHarness::bundlesOf(post);
  ASSERT_EQ(bundles.size(), 1u);
  const auto& bundle = *bundles[0];
  EXPECT_EQ(UploadHarness::eventNames(bundle), (std::vector<std::string>{"_s", "_f", "_e"}));
  const double sent = h.clock->now();
  EXPECT_EQ(NANOGetInt64(bundle, Slot::upload_timestamp_millis), static_cast<std::int64_t>(sent * 1000));
  EXPECT_EQ(NANOGetInt64(bundle, Slot::upload_library_version), TLMIdentity::tallymarkLibraryVersion());
  EXPECT_FALSE(NANOHasField(bundle, Slot::checksum));
  EXPECT_EQ(NANOGetString(bundle, Slot::app_id), kTestBundleID);
  EXPECT_EQ(NANOGetInt32(bundle, Slot::bundle_index), 1);
  EXPECT_EQ(NANOGetInt64(bundle, Slot::start_timestamp_millis), static_cast<std::int64_t>(t0 * 1000));
  EXPECT_TRUE(h.engine->isNetworkRequestPending());
  // Counted as failed until a reply says otherwise.
  EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), sent);

  h.clock->advance(1);
  h.respond(503);
  const double failed = h.clock->now();
  auto queued = h.queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(NANOGetInt32(*queued[0].first, Slot::retry_count), 1);
  EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), failed);
  EXPECT_EQ(h.persisted->lastBackoffTimestamp(), failed);
  EXPECT_FALSE(h.engine->isNetworkRequestPending());
  EXPECT_FALSE(h.engine->uploadingBundleIDs());
  ASSERT_TRUE(h.engine->alarm()->scheduledTimestamp());
  EXPECT_GE(*h.engine->alarm()->scheduledTimestamp(), failed + 43200);

  ASSERT_TRUE(h.fireAlarm());
  ASSERT_EQ(h.transport->requests().size(), 3u);
  bundles = UploadHarness::bundlesOf(h.lastRequest());
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(NANOGetInt32(*bundles[0], Slot::retry_count), 1);  // the retry travels in the bundle
  h.respond(200);
  EXPECT_TRUE(h.queued().empty());
  EXPECT_EQ(h.persisted->lastSuccessfulUploadTimestamp(), h.clock->now());
  EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(h.persisted->lastBackoffTimestamp(), 0);
  // Nothing left to send, and the configuration is half a day old: it is fetched again.
  EXPECT_EQ(h.lastRequest().method, "GET");
}

// The upload falls due while events wait on the worker: it runs behind the events queued before
// it and ahead of those queued after it (they go with the next), however the worker groups them.
TEST(TLMUploadTest, ADueUploadRunsAheadOfTheEventsQueuedAfterIt) {
  UploadHarness h;
  h.start();
  h.applySettings({});  // a configuration in force: the upload posts its batch at once
  const auto due = h.engine->alarm()->scheduledTimestamp();
  ASSERT_TRUE(due);
  auto queue = [&](const char* name) {
    h.engine->logEvent(TLMEvent::initWithOrigin("app", true, name, h.clock->now(), 0, {}));
  };
  queue("before1");
  queue("before2");
  h.clock->advance(*due - h.clock->now());
  queue("after1");
  queue("after2");
  h.drain();
  ASSERT_EQ(h.transport->requests().size(), 1u);
  std::vector<std::string> sent;
  for (const auto& bundle : UploadHarness::bundlesOf(h.lastRequest())) {
    for (const auto& name : UploadHarness::eventNames(*bundle)) sent.push_back(name);
  }
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "before1") + std::count(sent.begin(), sent.end(), "before2"), 2);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "after1") + std::count(sent.begin(), sent.end(), "after2"), 0);
  EXPECT_EQ(h.rawEventNames(), (std::vector<std::string>{"after1", "after2"}));
}

// The collector answers while the worker still has an upload request of its own queued ahead of
// the answer's completion: the request finds the upload still in progress (its completion has yet
// to run), and logs no error.
TEST(TLMUploadTest, AnAnswerWaitingForTheWorkerIsStillAnUploadInProgress) {
  UploadHarness h;
  h.start();
  h.applySettings({});
  h.engine->uploadData();
  ASSERT_EQ(h.lastRequest().method, "POST");
  ASSERT_TRUE(h.engine->isNetworkRequestPending());
  h.worker->async([&h] { h.engine->uploadData(); });
  ASSERT_TRUE(h.transport->respond(200));
  h.drain();
  EXPECT_EQ(h.monitor->count(23041), 0u) << h.errorsLogged();
  EXPECT_EQ(h.monitor->count(23034), 1u);  // the request said the upload was still under way
  EXPECT_FALSE(h.engine->isNetworkRequestPending());
  EXPECT_FALSE(h.network->hasUploadInProgress());
  EXPECT_TRUE(h.queued().empty());
  EXPECT_EQ(h.transport->requests().size(), 1u);
}

// Queued bundles another process of the app holds for its own upload are left to it: sent here
// only once that process no longer runs, its hold ran out, or the hold ends further ahead than any
// could (a clock set back). A failed upload lets go of what it held.
TEST(TLMUploadTest, BundlesAnotherProcessHoldsAreLeftToIt) {
  UploadHarness h;
  h.start();
  h.applySettings({});
  ASSERT_TRUE(h.engine->bundleRawEvents());
  std::vector<std::int64_t> rows;
  for (const auto& [bundle, row] : h.queued()) rows.push_back(row);
  ASSERT_FALSE(rows.empty());
  auto uploadHeldBy = [&](std::int64_t process, double until) {
    EXPECT_TRUE(h.database()->claimBundlesWithRowIDs(rows, process, until, nullptr));
    const std::size_t before = h.transport->requests().size();
    h.engine->uploadData();
    return h.transport->requests().size() > before;
  };
  // Process 1 runs as long as the system does.
  EXPECT_FALSE(uploadHeldBy(1, h.clock->now() + 60));
  EXPECT_EQ(h.monitor->count(23037), 1u);  // nothing of its own to send
  h.clock->advance(60);
  ASSERT_TRUE(uploadHeldBy(1, h.clock->now()));  // the hold ran out
  EXPECT_EQ(h.holders(), (std::set<std::int64_t>{::getpid()}));
  h.respond(503);
  EXPECT_EQ(h.holders(), (std::set<std::int64_t>{0}));
  EXPECT_EQ(NANOGetInt32(*h.queued()[0].first, Slot::retry_count), 1);

  // Held by a process until later than the request's timeout and its margin: a clock set back.
  const double longest = h.engine->remoteConfig()->networkTimeout() + 600;
  EXPECT_FALSE(uploadHeldBy(1, h.clock->now() + longest));
  ASSERT_TRUE(uploadHeldBy(1, h.clock->now() + longest + 1));
  h.respond(500);

  // A process that ended holds nothing.
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  ASSERT_TRUE(uploadHeldBy(ended, h.clock->now() + 60));
  h.respond(200);
  EXPECT_TRUE(h.queued().empty());
}

// An upload takes its bundles in the transaction of its last bundling pass: with events to
// bundle, one commit a bundle made and none more; with none, the one pass that finds none. With
// no pass (the configuration is fetched first) and an empty queue, it writes nothing at all. The
// hold is one statement, however many bundles it takes, and so is its release.
TEST(TLMUploadTest, AnUploadsClaimTakesNoTransactionOfItsOwn) {
  UploadHarness h;
  h.start();
  ASSERT_FALSE(h.rawEventNames().empty());
  sqlite3* handle = h.database()->sqliteStore()->sqliteHandle();
  int commits = 0;
  sqlite3_commit_hook(
      handle, [](void* count) { return ++*static_cast<int*>(count), 0; }, &commits);
  int queueUpdates = 0;
  sqlite3_trace_v2(
      handle, SQLITE_TRACE_STMT,
      [](unsigned, void* count, void*, void* sql) {
        if (std::string_view(static_cast<const char*>(sql)).rfind("UPDATE queue SET claimed_by", 0) == 0) {
          ++*static_cast<int*>(count);
        }
        return 0;
      },
      &queueUpdates);
  auto commitsOfAnUpload = [&] {
    commits = 0;
    queueUpdates = 0;
    const std::size_t before = h.transport->requests().size();
    h.engine->uploadData();
    EXPECT_EQ(h.transport->requests().size(), before + 1);
    return commits;
  };
  EXPECT_EQ(commitsOfAnUpload(), 0);
  EXPECT_EQ(h.lastRequest().method, "GET");
  h.respond(404);  // the configuration's answer starts the upload of what was logged
  ASSERT_EQ(h.lastRequest().method, "POST");
  h.respond(500);
  ASSERT_EQ(h.queued().size(), 1u);
  EXPECT_EQ(h.holders(), (std::set<std::int64_t>{0}));
  EXPECT_EQ(commitsOfAnUpload(), 1);  // nothing to bundle: the pass that finds none takes them
  EXPECT_EQ(h.holders(), (std::set<std::int64_t>{::getpid()}));
  h.respond(500);
  h.log("later");
  h.drain();
  EXPECT_EQ(commitsOfAnUpload(), 1);  // the bundle made takes them with it
  EXPECT_EQ(h.queued().size(), 2u);
  EXPECT_EQ(h.holders(), (std::set<std::int64_t>{::getpid()}));
  EXPECT_EQ(queueUpdates, 1);  // both bundles
  queueUpdates = 0;
  h.respond(500);
  EXPECT_EQ(h.holders(), (std::set<std::int64_t>{0}));
  EXPECT_EQ(queueUpdates, 1);
  EXPECT_EQ(commitsOfAnUpload(), 1);
  EXPECT_EQ(queueUpdates, 1);
  sqlite3_trace_v2(handle, 0, nullptr, nullptr);
  sqlite3_commit_hook(handle, nullptr, nullptr);
  h.respond(200);
  EXPECT_TRUE(h.queued().empty());
}

TEST(TLMUploadTest, OnlyUnavailableAndCannotAcceptTrafficStartTheBackOff) {
  for (long status : {500L, 429L, 503L, 400L}) {
    SCOPED_TRACE(status);
    UploadHarness h;
    h.start();
    h.applySettings({});
    h.engine->uploadData();
    ASSERT_EQ(h.lastRequest().method, "POST");
    h.respond(status);
    EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), h.clock->now());
    const bool backoff = status == 503 || status == 429;
    EXPECT_EQ(h.persisted->lastBackoffTimestamp(), backoff ? h.clock->now() : 0);
    ASSERT_EQ(h.queued().size(), 1u);
    EXPECT_EQ(NANOGetInt32(*h.queued()[0].first, Slot::retry_count), 1);
  }
}

TEST(TLMUploadTest, ChecksumAndLeadingRunOfOneAppID) {
  UploadHarness h;
  h.start();
  h.applySettings({{"measurement.quality.checksum", "1"}});
  ASSERT_TRUE(h.engine->bundleRawEvents());
  // A second bundle of another app, queued after the first.
  auto other = h.engine->createRawEventMetadataWithUserAttributes({});
  NANOSetString(*other, Slot::app_id, "com.example.other");
  NANOSetInt64(*other, Slot::end_timestamp_millis, static_cast<std::int64_t>(h.clock->now() * 1000) + 5000);
  ASSERT_TRUE(h.database()->insertBundle(*other, false, nullptr));
  h.engine->uploadData();
  auto bundles = UploadHarness::bundlesOf(h.lastRequest());
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(NANOGetString(*bundles[0], Slot::app_id), kTestBundleID);
  // The checksum covers the bundle as it was before the checksum was set.
  const std::int64_t checksum = NANOGetInt64(*bundles[0], Slot::checksum);
  NANOClearField(*bundles[0], Slot::checksum);
  EXPECT_EQ(checksum, tlm_64LSBMD5(*bundles[0]->protoBuffer()));
  h.respond(200);
  // The other app's bundle is next, alone.
  ASSERT_EQ(h.lastRequest().method, "POST");
  bundles = UploadHarness::bundlesOf(h.lastRequest());
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(NANOGetString(*bundles[0], Slot::app_id), "com.example.other");
}

TEST(TLMUploadTest, TheDeviceFilterRefusesBothKeysAndCutsAtTheFirstOtherDevice) {
  TLMScopedRecordingMonitor monitor;
  auto make = [](const std::string& app, const std::string& idfa, std::int64_t row) {
    auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
    NANOSetString(*bundle, Slot::app_id, app);
    if (!idfa.empty()) NANOSetString(*bundle, Slot::resettable_device_id, idfa);
    return TLMUploadBundle{bundle, row};
  };
  std::vector<TLMUploadBundle> bundles{make("a", "", 1), make("a", "X", 2), make("a", "", 3),
                                       make("a", "Y", 4), make("a", "X", 5)};
  EXPECT_TRUE(TLMMeasurementEngine::filteredBundlesWithCompatibleAppID("a", "X", "V", bundles).empty());
  EXPECT_TRUE(monitor->has(23042));
  auto kept = TLMMeasurementEngine::filteredBundlesWithCompatibleAppID("a", "X", "", bundles);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.back().second, 3);
}

// MARK: - When the next upload is due

class TLMNextUploadTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.start();
    h.applySettings({{"measurement.upload.retry_count", "2"}, {"measurement.upload.retry_time", "60000"}});
    t0 = h.clock->now();  // the newest raw event
  }
  UploadHarness h;
  double t0 = 0;
};

TEST_F(TLMNextUploadTimeTest, TheRetryLadderTakesTheFirstStepAfterTheFailure) {
  const double regular = t0 + 15;
  h.persisted->setLastFailedUploadTimestamp(t0 + 100);
  EXPECT_EQ(h.engine->nextUploadingTime(), regular + 60 + 120);
  h.persisted->setLastFailedUploadTimestamp(t0 + 50);
  EXPECT_EQ(h.engine->nextUploadingTime(), regular + 60);
  // A failure at the very time of the newest data still counts as after it.
  h.persisted->setLastFailedUploadTimestamp(t0);
  EXPECT_EQ(h.engine->nextUploadingTime(), regular + 60);
  // Both steps spent: nothing is due until new data arrives.
  h.persisted->setLastFailedUploadTimestamp(t0 + 300);
  EXPECT_EQ(h.engine->nextUploadingTime(), 0);
  // A failure older than the data is no reason to wait.
  h.persisted->setLastFailedUploadTimestamp(t0 - 1);
  EXPECT_EQ(h.engine->nextUploadingTime(), regular);
}

TEST_F(TLMNextUploadTimeTest, NoRecordedFailureMeansNoLadderEvenWithDataStampedFarInTheFuture) {
  // An event stamped while the clock was far ahead, then the clock was set back: the newest data
  // counts as lying as far in the past, before 1970, yet no failure was ever recorded.
  const double late = 2 * t0 + 1e6;
  h.clock->setNow(late);
  h.log("late");
  h.clock->setNow(t0);
  EXPECT_EQ(h.engine->nextUploadingTime(), t0 - (late - t0) + 15);
  h.engine->alarm()->cancel();
  h.engine->updateSchedule();
  EXPECT_TRUE(h.engine->alarm()->scheduledTimestamp());  // due at once, not never
}

TEST_F(TLMNextUploadTimeTest, ARecentSuccessWaitsForTheIntervalAndTheRealTimeDataShortensIt) {
  // The first open is real-time data: the real-time interval (10 s) applies, from the success
  // while less than an interval has passed, else from the data.
  h.persisted->setLastSuccessfulUploadTimestamp(t0 - 10);
  EXPECT_EQ(h.engine->nextUploadingTime(), t0 + 15);
  h.persisted->setLastSuccessfulUploadTimestamp(t0 - 5);
  EXPECT_EQ(h.engine->nextUploadingTime(), t0 + 5);
  ASSERT_TRUE(
      h.database()->sqliteStore()->executeSQL("UPDATE raw_events SET is_realtime = 0", nullptr));
  EXPECT_EQ(h.engine->nextUploadingTime(), t0 - 5 + 3600);
}

TEST_F(TLMNextUploadTimeTest, BackOffFloorAndTheAlarmKeptOrReplaced) {
  auto alarm = h.engine->alarm();
  // A pending alarm due earlier than the computed time stays.
  alarm->runAfterDelay(5, [] {});
  h.engine->updateSchedule();
  EXPECT_EQ(alarm->scheduledTimestamp(), t0 + 5);
  // One due later is replaced.
  alarm->runAfterDelay(100, [] {});
  h.engine->updateSchedule();
  EXPECT_EQ(alarm->scheduledTimestamp(), t0 + 15);
  // The back-off holds the next upload until it has passed.
  alarm->cancel();
  h.persisted->setLastBackoffTimestamp(t0 - 10);
  h.engine->updateSchedule();
  EXPECT_EQ(alarm->scheduledTimestamp(), t0 - 10 + 43200);
  // An upload due right now gets the minimum delay.
  alarm->cancel();
  h.persisted->setLastBackoffTimestamp(0);
  h.clock->setNow(t0 + 15);
  h.engine->updateSchedule();
  EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), t0 + 15 + 0.001);
}

TEST_F(TLMNextUploadTimeTest, WithoutNetworkTheAlarmWaitsForReachability) {
  OBXNetwork::setNetworkReachable(false);
  h.engine->updateSchedule();
  EXPECT_FALSE(h.engine->alarm()->scheduledTimestamp());
  EXPECT_TRUE(h.monitor->has(23026));
  OBXNetwork::setNetworkReachable(true);  // tells the engine, which reschedules on the worker
  h.drain();
  EXPECT_EQ(h.engine->alarm()->scheduledTimestamp(), t0 + 15);
}

// MARK: - Guards

TEST(TLMUploadGuardTest, CancellingAnUploadPostsNothingAndKeepsTheBatchInFlight) {
  UploadHarness h;
  h.start();
  h.applySettings({});
  EXPECT_FALSE(h.engine->setUploadInProgressWithBundleIDs({}));
  EXPECT_TRUE(h.monitor->has(23046));
  ASSERT_TRUE(h.engine->setUploadInProgressWithBundleIDs({42}));
  h.engine->uploadData();
  EXPECT_TRUE(h.monitor->has(23047));
  EXPECT_TRUE(h.transport->requests().empty());
  EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(h.engine->uploadingBundleIDs(), std::vector<std::int64_t>{42});
  EXPECT_FALSE(h.engine->isNetworkRequestPending());
}

TEST(TLMUploadGuardTest, ARefusedRequestClearsThePendingStateAtOnceAndItsLateAnswerIsIgnored) {
  UploadHarness h;
  h.uploadURL = "not a url";
  h.start();
  h.applySettings({});
  h.engine->uploadData();
  EXPECT_TRUE(h.monitor->has(23040));
  EXPECT_FALSE(h.engine->isNetworkRequestPending());
  EXPECT_FALSE(h.engine->uploadingBundleIDs());
  EXPECT_TRUE(h.engine->alarm()->scheduledTimestamp());  // rescheduled
  h.drain();                                             // the network's error answer to the refused request
  ASSERT_EQ(h.queued().size(), 1u);
  EXPECT_EQ(NANOGetInt32(*h.queued()[0].first, Slot::retry_count), 0);
  EXPECT_FALSE(h.monitor->has(23043));
}

TEST(TLMUploadGuardTest, SentBundlesThatCannotBeDeletedSuspendUploadsForAnHourOfUptime) {
  UploadHarness h;
  h.start();
  h.applySettings({});
  h.engine->uploadData();
  ASSERT_TRUE(h.database()->sqliteStore()->executeSQL(
      "CREATE TRIGGER keep BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'kept'); END", nullptr));
  h.respond(200);
  EXPECT_TRUE(h.monitor->has(23045));
  EXPECT_EQ(h.engine->suspendedUploadTimestamp(), h.clock->uptime());
  EXPECT_FALSE(h.engine->alarm()->scheduledTimestamp());
  // Setting the wall clock forward changes nothing: the suspension runs on uptime.
  h.clock->setNow(h.clock->now() + 7200);
  h.engine->updateSchedule();
  EXPECT_TRUE(h.monitor->has(23023));
  EXPECT_FALSE(h.engine->alarm()->scheduledTimestamp());
  const std::size_t posts = h.transport->requests().size();
  h.engine->uploadData();
  EXPECT_EQ(h.transport->requests().size(), posts);
  // Said when the suspension began, not again for each event logged while it lasts.
  for (const char* name : {"s1", "s2", "s3"}) h.log(name);
  EXPECT_EQ(h.monitor->count(23023), 1u);
  h.clock->advance(3600);
  h.engine->updateSchedule();
  EXPECT_EQ(h.engine->suspendedUploadTimestamp(), 0);
  EXPECT_TRUE(h.engine->alarm()->scheduledTimestamp());
}

// Another connection (a tool's `BEGIN IMMEDIATE`) holds the store's write lock, past the busy
// timeout, while the collector's answer to an upload is handled: the delete of the sent bundles
// waits for it, however long, instead of failing and suspending uploads for an hour; once the
// other lets go every event reaches the collector once, and no warning is said per event.
TEST(TLMUploadGuardTest, AWriteLockHeldAcrossTheDeleteOfSentBundlesIsWaitedForAndNothingIsSentTwice) {
  UploadHarness h;
  h.startWaitingForLocks(50);
  h.applySettings({});
  for (const char* name : {"a1", "a2"}) h.log(name);
  h.engine->uploadData();
  ASSERT_EQ(h.lastRequest().method, "POST");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(h.database()->databasePath().c_str(), &other), SQLITE_OK);
  // Its commit waits for the store's waiting connection, which takes a read lock for a moment at
  // each look, as a tool with `.timeout` does.
  sqlite3_busy_timeout(other, 60'000);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_TRUE(h.transport->respond(200));  // its completion waits on the worker
  BackgroundDrain worker(h);
  EXPECT_TRUE(worker.stillWaitsAfterSaying(34026));  // else the delete gave up instead of waiting
  EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  worker.join();
  sqlite3_close(other);
  EXPECT_FALSE(h.monitor->has(23045));
  EXPECT_EQ(h.engine->suspendedUploadTimestamp(), 0);
  EXPECT_TRUE(h.queued().empty());

  for (const char* name : {"b1", "b2", "b3"}) h.log(name);
  EXPECT_FALSE(h.monitor->has(23023));
  h.engine->uploadData();
  h.respond(200);
  EXPECT_TRUE(h.queued().empty());
  std::map<std::string, int> sent;
  for (const auto& request : h.transport->requests()) {
    if (request.method != "POST") continue;
    for (const auto& bundle : UploadHarness::bundlesOf(request)) {
      for (const auto& name : UploadHarness::eventNames(*bundle)) ++sent[name];
    }
  }
  for (const char* name : {"a1", "a2", "b1", "b2", "b3"}) EXPECT_EQ(sent[name], 1) << name;
  EXPECT_FALSE(h.monitor->has(34008));
  EXPECT_FALSE(h.monitor->has(23036));
}

// Without any wait allowed, an upload whose transaction cannot begin says SQLite's reason.
// The app's end begins while an upload takes its bundles: the batch does not leave, its bundles
// are let go at once and nothing is waited for; becoming active again sends them.
TEST(TLMUploadGuardTest, AnEndBegunWhileTheBatchIsMadeKeepsItFromLeaving) {
  UploadHarness h;
  h.start();
  h.applySettings({});
  struct End {
    TLMMeasurementEngine* engine;
    int calls = 0;
    int waited = 0;
  } end{h.engine.get()};
  auto endApp = [](sqlite3_context* context, int, sqlite3_value**) {
    auto* end = static_cast<End*>(sqlite3_user_data(context));
    ++end->calls;
    if (end->engine->holdUploadsForAppEnd([end](const TLMMeasurementEngine::UploadSettlement&) { ++end->waited; })) {
      ++end->waited;
    }
    sqlite3_result_null(context);
  };
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  ASSERT_EQ(sqlite3_create_function(db, "end_app", 0, SQLITE_UTF8, &end, endApp, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TEMP TRIGGER end_at_claim AFTER UPDATE OF claimed_by ON queue "
                         "WHEN NEW.claimed_by != 0 BEGIN SELECT end_app(); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  h.engine->uploadData();
  h.drain();
  EXPECT_GE(end.calls, 1);
  EXPECT_EQ(end.waited, 0);
  EXPECT_TRUE(h.transport->requests().empty());
  EXPECT_TRUE(h.monitor->has(23201));
  EXPECT_EQ(h.holders(), (std::set<std::int64_t>{0}));
  EXPECT_FALSE(h.engine->uploadingBundleIDs());

  ASSERT_EQ(sqlite3_exec(db, "DROP TRIGGER end_at_claim", nullptr, nullptr, nullptr), SQLITE_OK);
  h.engine->handleAppDidBecomeActiveEvent({});
  h.drain();
  ASSERT_TRUE(h.fireAlarm());
  ASSERT_EQ(h.transport->requests().size(), 1u);
  h.respond(204);
  EXPECT_TRUE(h.queued().empty());
}

TEST(TLMUploadGuardTest, AnUploadThatCannotTakeItsBundlesSaysWhy) {
  UploadHarness h;
  h.startWaitingForLocks(0);
  h.applySettings({});
  h.log("a1");
  // Bundled first: the queue holds a bundle, so the upload needs its claim's own transaction.
  while (h.engine->bundleRawEvents()) {
  }
  ASSERT_EQ(h.queued().size(), 1u);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(h.database()->databasePath().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  h.engine->uploadData();
  EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  std::string said = "<not said>";
  for (const TLMMonitorEntry& entry : h.monitor->entries()) {
    if (entry.code == 23036) said = entry.contexts.empty() ? "" : entry.contexts[0].description();
  }
  EXPECT_NE(said.find("database is locked"), std::string::npos) << said;
}

// MARK: - Configuration fetch

TEST(TLMConfigFetchTest, EveryStatusPath) {
  struct Case {
    long status;
    bool success;
    bool backoff;
  };
  for (const Case& c : {Case{204, true, false}, Case{304, true, false}, Case{404, true, false},
                        Case{500, false, false}, Case{503, false, true}, Case{429, false, true}}) {
    SCOPED_TRACE(c.status);
    UploadHarness h;
    h.start();
    h.applySettings({});
    const std::int64_t version = h.engine->remoteConfig()->version();
    h.persisted->setLastFailedUploadTimestamp(1);
    h.persisted->setLastBackoffTimestamp(2);
    h.persisted->setConfigServerLastModifiedString("Mon, 01 Jan 2024 00:00:00 GMT");
    h.clock->setNow(h.clock->now() + 100);  // the upload alarm does not fire
    const double before = h.engine->remoteConfig()->lastRemoteConfigUpdateTimestamp();
    h.engine->fetchRemoteConfig();
    ASSERT_EQ(h.lastRequest().method, "GET");
    EXPECT_EQ(header(h.lastRequest(), "If-Modified-Since"), "Mon, 01 Jan 2024 00:00:00 GMT");
    h.respond(c.status, {}, {{"Last-Modified", "Tue, 02 Jan 2024 00:00:00 GMT"}});
    const double now = h.clock->now();
    EXPECT_EQ(h.engine->remoteConfig()->version(), version);
    // No reply here brings a configuration: the date of the one in force stays.
    EXPECT_EQ(h.persisted->configServerLastModifiedString(), "Mon, 01 Jan 2024 00:00:00 GMT");
    if (c.success) {
      EXPECT_EQ(h.engine->remoteConfig()->lastRemoteConfigUpdateTimestamp(), now);
      EXPECT_EQ(h.persisted->lastBackoffTimestamp(), 0);
      // The upload follows at once (and counts as failed until it is answered).
      EXPECT_EQ(h.lastRequest().method, "POST");
      EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), now);
    } else {
      EXPECT_EQ(h.engine->remoteConfig()->lastRemoteConfigUpdateTimestamp(), before);
      EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), now);
      EXPECT_EQ(h.persisted->lastBackoffTimestamp(), c.backoff ? now : 2);
    }
    if (!c.success) {
      EXPECT_FALSE(h.engine->isNetworkRequestPending());
    }
  }
}

TEST(TLMConfigFetchTest, A200IsRecordedAndAppliedAndItsLastModifiedComesBack) {
  UploadHarness h;
  h.start();
  h.engine->fetchRemoteConfig();
  h.respond(200, configBody(kTestAppID, 7), {{"Last-Modified", "Wed, 03 Jan 2024 00:00:00 GMT"}});
  EXPECT_EQ(h.engine->remoteConfig()->version(), 7);
  EXPECT_EQ(h.engine->remoteConfig()->lastRemoteConfigUpdateTimestamp(), h.clock->now());
  EXPECT_FALSE(h.engine->remoteConfig()->isExpired());
  EXPECT_EQ(h.persisted->configServerLastModifiedString(), "Wed, 03 Jan 2024 00:00:00 GMT");
  // The upload went out; once it is answered the next fetch is conditional.
  ASSERT_EQ(h.lastRequest().method, "POST");
  h.respond(200);
  h.clock->advance(4000);
  h.engine->fetchRemoteConfig();
  EXPECT_EQ(header(h.lastRequest(), "If-Modified-Since"), "Wed, 03 Jan 2024 00:00:00 GMT");
}

TEST(TLMConfigFetchTest, A200ThatCannotBeAppliedLeavesTheConfigurationInForceAndUploadsGoOn) {
  // A reply the server stands by makes the configuration fresh even when its body is unusable:
  // the one in force stays and the queued events travel, with no fetch in between.
  auto applied = TLMTestMeasurementConfig(kTestAppID, {{"measurement.upload.retry_count", "3"}}, 7);
  const platform::Bytes valid = applied->protoBuffer().value_or(platform::Bytes{});
  struct Case {
    const char* name;
    platform::Bytes body;
    std::int64_t code;
  };
  const Case cases[] = {
      {"garbage", {'<', 'h', 't', 'm', 'l', '>', 0xff, 0x01}, 23135},
      {"truncated", platform::Bytes(valid.begin(), valid.end() - 3), 23135},
      // Field 4 claiming 4 GB of settings.
      {"huge length prefix", {0x22, 0xff, 0xff, 0xff, 0xff, 0x0f, 'a'}, 23135},
      {"another app", configBody("1:9999:ios:other", 8), 23136},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UploadHarness h;
    h.start();
    ASSERT_TRUE(h.fireAlarm());
    h.respond(200, valid);
    ASSERT_EQ(h.lastRequest().method, "POST");
    h.respond(200);
    ASSERT_TRUE(h.queued().empty());

    h.log("level_up");
    h.clock->advance(4000);  // past the configuration's cache time, and the upload is due
    h.drain();
    ASSERT_EQ(h.transport->requests().size(), 3u);
    ASSERT_EQ(h.lastRequest().method, "GET");
    h.respond(200, c.body, {{"Last-Modified", "Wed, 03 Jan 2024 00:00:00 GMT"}});
    EXPECT_TRUE(h.monitor->has(c.code));
    EXPECT_EQ(h.engine->remoteConfig()->version(), 7);
    EXPECT_EQ(h.engine->remoteConfig()->uploadingRetryCount(), 3);
    EXPECT_EQ(h.engine->remoteConfig()->lastRemoteConfigUpdateTimestamp(), h.clock->now());
    EXPECT_FALSE(h.engine->remoteConfig()->isExpired());
    // The date belongs to the copy that was not applied: it is not kept.
    EXPECT_EQ(h.persisted->configServerLastModifiedString(), std::nullopt);

    ASSERT_EQ(h.transport->requests().size(), 4u);
    ASSERT_EQ(h.lastRequest().method, "POST");
    auto bundles = UploadHarness::bundlesOf(h.lastRequest());
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(UploadHarness::eventNames(*bundles[0]).front(), "level_up");
    h.respond(200);
    EXPECT_TRUE(h.queued().empty());
    EXPECT_TRUE(h.rawEvents().empty());
    EXPECT_EQ(h.transport->requests().size(), 4u);
  }
}

// A configuration that was not stored, whatever stopped it, is asked for in full until it is: the
// collector answers a request conditional on the date of its copy with 304, so a date kept without
// the configuration would keep the app on its defaults for as long as the collector's copy stays.
TEST(TLMConfigFetchTest, AConfigurationThatWasNotStoredIsAskedForInFullUntilItIs) {
  const std::string date = "Wed, 03 Jan 2024 00:00:00 GMT";
  const platform::Bytes copy = TLMTestMeasurementConfig(kTestAppID, {{"measurement.upload.retry_count", "3"}}, 7)
                                   ->protoBuffer()
                                   .value_or(platform::Bytes{});
  // The collector's side: 304 to a request conditional on its copy's date, else the copy.
  auto fetch = [&](UploadHarness& h, const platform::Bytes& body) {
    h.engine->fetchRemoteConfig();
    const auto request = h.lastRequest();
    EXPECT_EQ(request.method, "GET");
    const auto since = header(request, "If-Modified-Since");
    h.respond(since == date ? 304 : 200, since == date ? platform::Bytes{} : body, {{"Last-Modified", date}});
    if (h.lastRequest().method == "POST") h.respond(200);
    return since;
  };
  auto applied = [](UploadHarness& h) {
    return h.engine->remoteConfig()->version() == 7 && h.engine->remoteConfig()->uploadingRetryCount() == 3;
  };
  {
    SCOPED_TRACE("a damaged copy, then the same content again");
    UploadHarness h;
    h.start();
    EXPECT_EQ(fetch(h, platform::Bytes(copy.begin(), copy.end() - 3)), std::nullopt);
    EXPECT_TRUE(h.monitor->has(23135));
    EXPECT_FALSE(applied(h));
    EXPECT_EQ(fetch(h, copy), std::nullopt);
    EXPECT_TRUE(applied(h));
    // Stored now: later fetches are conditional and the copy is not sent again.
    EXPECT_EQ(fetch(h, copy), date);
    EXPECT_TRUE(applied(h));
  }
  {
    SCOPED_TRACE("the store refuses the copy, then the app starts again");
    UploadHarness h;
    h.start();
    ASSERT_TRUE(h.database()->sqliteStore()->executeSQL(
        "CREATE TRIGGER busy BEFORE UPDATE OF remote_config_data ON app_metadata "
        "BEGIN SELECT RAISE(ABORT, 'database is locked'); END",
        nullptr));
    EXPECT_EQ(fetch(h, copy), std::nullopt);
    EXPECT_TRUE(h.monitor->has(23138));
    EXPECT_FALSE(applied(h));
    ASSERT_TRUE(h.database()->sqliteStore()->executeSQL("DROP TRIGGER busy", nullptr));
    h.engine.reset();
    h.drain();
    h.start();
    EXPECT_FALSE(applied(h));
    EXPECT_EQ(fetch(h, copy), std::nullopt);
    EXPECT_TRUE(applied(h));
  }
  {
    SCOPED_TRACE("a date kept without its configuration");
    UploadHarness h;
    h.persisted->setConfigServerLastModifiedString(date);
    h.start();
    EXPECT_EQ(fetch(h, copy), std::nullopt);
    EXPECT_TRUE(applied(h));
    EXPECT_EQ(h.persisted->configServerLastModifiedString(), date);
  }
}

// MARK: - Life cycle

TEST(TLMLifecycleTest, ResigningActiveUploadsInABackgroundTaskEndedExactlyOnce) {
  UploadHarness h;
  auto tasks = std::make_shared<RecordingBackgroundTasks>();
  h.backgroundTasks = tasks;
  h.start();
  h.applySettings({});
  h.engine->handleAppWillResignActiveEvent({});
  EXPECT_EQ(h.engine->backgroundUpdateTask(), 101u);
  EXPECT_EQ(tasks->names, std::vector<std::string>{"TLMAnalyticsMeasurementBackgroundTask"});
  h.engine->handleAppWillResignActiveEvent({});  // the first task is ended when the second begins
  EXPECT_EQ(tasks->ended, std::vector<std::uint64_t>{101});
  h.drain();
  EXPECT_EQ(h.lastRequest().method, "POST");
  h.respond(200);  // nothing left: the upload ends the task
  EXPECT_EQ(tasks->ended, (std::vector<std::uint64_t>{101, 102}));
  tasks->expirations.back()();  // expiring afterwards ends nothing twice
  h.engine->handleAppWillEnterForegroundNotification({});
  EXPECT_EQ(tasks->ended.size(), 2u);
  EXPECT_EQ(h.engine->backgroundUpdateTask(), kTLMBackgroundTaskInvalid);
}

TEST(TLMLifecycleTest, SwitchesGateTheBackgroundUploadAndTheRefreshOnActivation) {
  UploadHarness h;
  auto tasks = std::make_shared<RecordingBackgroundTasks>();
  h.backgroundTasks = tasks;
  h.start();
  h.applySettings({{"measurement.upload.upload_when_app_in_background_enabled", "0"}});
  h.engine->handleAppWillResignActiveEvent({});
  h.engine->handleAppDidBecomeActiveEvent({});
  h.drain();
  EXPECT_TRUE(tasks->names.empty());
  EXPECT_TRUE(h.transport->requests().empty());
  // With the internal blacklist on, a week-old configuration is fetched on activation.
  h.applySettings({{"measurement.upload.blacklist_internal", "1"}});
  h.clock->advance(604800);
  h.engine->handleAppDidBecomeActiveEvent({});
  h.drain();
  ASSERT_EQ(h.transport->requests().size(), 1u);
  EXPECT_EQ(h.lastRequest().method, "GET");
  // While it is pending, a second activation does not fetch again.
  h.engine->handleAppDidBecomeActiveEvent({});
  h.drain();
  EXPECT_EQ(h.transport->requests().size(), 1u);
  EXPECT_TRUE(h.monitor->has(23143));
}

TEST(TLMLifecycleTest, TheLaunchURLIsKeptAsTheDeepLink) {
  UploadHarness h;
  platform::Value userInfo;
  userInfo.set("UIApplicationLaunchOptionsURLKey", platform::Value("vesmora://offers/7"));
  TLMMeasurementEngine::handleAppDidFinishLaunching({kTLMAppDidFinishLaunchingNotification, {}, userInfo});
  auto defaults = TLMUserDefaults::standardUserDefaults();
  EXPECT_EQ(defaults->stringForKey(kTLMDeepLinkKey), "vesmora://offers/7");
  EXPECT_EQ(defaults->doubleForKey(kTLMDeepLinkTimestampKey), h.clock->now());
}

// A launch to continue a user activity: its web link outranks the launch URL; an activity
// without one leaves the URL to be kept.
TEST(TLMLifecycleTest, AWebActivityOfTheLaunchOutranksTheLaunchURL) {
  UploadHarness h;
  auto launch = [](std::optional<platform::UserActivity> activity, std::optional<std::string> url) {
    platform::Value userInfo = platform::Value(platform::Dictionary{});
    if (activity) {
      userInfo.set(kTLMLaunchOptionsUserActivityDictionaryKey,
                   platform::Value::dictionary({{kTLMLaunchOptionsUserActivityKey,
                                                 platform::Value::object(std::make_shared<platform::UserActivity>(*activity))}}));
    }
    if (url) userInfo.set(kTLMLaunchOptionsURLKey, platform::Value(*url));
    auto defaults = TLMUserDefaults::standardUserDefaults();
    defaults->removeObjectForKey(kTLMDeepLinkKey);
    TLMMeasurementEngine::handleAppDidFinishLaunching({kTLMAppDidFinishLaunchingNotification, {}, userInfo});
    return defaults->stringForKey(kTLMDeepLinkKey);
  };
  const platform::UserActivity web{platform::kUserActivityTypeBrowsingWeb, "https://vesmora.example/offer"};
  EXPECT_EQ(launch(web, "vesmora://offers/7"), "https://vesmora.example/offer");
  EXPECT_EQ(launch(web, std::nullopt), "https://vesmora.example/offer");
  EXPECT_EQ(launch(platform::UserActivity{"com.vesmora.search", "https://vesmora.example/s"}, "vesmora://offers/8"),
            "vesmora://offers/8");
  EXPECT_TRUE(h.monitor->has(23006));
  EXPECT_EQ(launch(platform::UserActivity{platform::kUserActivityTypeBrowsingWeb, ""}, std::nullopt), std::nullopt);
  // Systems before 9 have no links in user activities.
  OBXAppEnvironmentUtil::Environment old;
  old.systemVersion = "8.4";
  OBXScopedAppEnvironment scoped(old);
  EXPECT_EQ(launch(web, "vesmora://offers/9"), "vesmora://offers/9");
}
