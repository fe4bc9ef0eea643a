// The engine against a real HTTP collector on the loopback interface (port 0): the configuration
// fetch, POST /a decoded with the project's messages, collector faults, and a child process
// killed at random moments while it logs and uploads. Waits here are bounded waits for real I/O.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <algorithm>
#include <random>
#include <set>
#include <thread>

#include "Bounds.h"
#include "UploadTestSupport.h"
#include "measurement/engine/audiences/TLMAudience.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

using Slot = TLMPBMeasurementBundleSlot;

// The libcurl transport with a timeout of the test's choosing, telling the test when a request has
// completed.
class SignallingTransport : public OBXNetworkTransport {
 public:
  // Far longer than an answer takes; a test shortens it for a collector that never answers.
  std::atomic<double> timeout{static_cast<double>(testsupport::kEventWait.count())};
  void perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) override {
    OBXNetworkRequest shortened = request;
    shortened.timeoutInterval = timeout.load();
    OBXCurlNetworkTransport()->perform(shortened, [this, done = std::move(done)](OBXNetworkResult result) {
      done(std::move(result));
      std::lock_guard<std::mutex> lock(mutex_);
      ++completed_;
      changed_.notify_all();
    });
  }
  // Waits (bounded) until `count` requests have completed in all.
  bool waitForCompleted(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 2 * testsupport::kEventWait, [&] { return completed_ >= count; });
  }
  int completed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int completed_ = 0;
};

std::vector<std::int64_t> eventIDs(const TLMPBMeasurementBundle& bundle) {
  std::vector<std::int64_t> ids;
  for (const auto& event :
       NANOGetArray<TLMPBEvent>(bundle, Slot::events).value_or(std::vector<std::shared_ptr<TLMPBEvent>>{})) {
    for (const auto& p : NANOGetArray<TLMPBEventParam>(*event, TLMPBEventSlot::params)
                             .value_or(std::vector<std::shared_ptr<TLMPBEventParam>>{})) {
      if (NANOGetString(*p, TLMPBEventParamSlot::name) == "id")
        ids.push_back(NANOGetInt64(*p, TLMPBEventParamSlot::int_value));
    }
  }
  return ids;
}

// What a collector can tell a bundle by: the app instance and the bundle's index, which a repeated
// upload of the same bundle keeps.
using BundleKey = std::pair<std::string, std::int32_t>;

struct Post {
  std::string run;
  std::vector<std::int64_t> ids;
  std::vector<std::pair<BundleKey, std::vector<std::int64_t>>> bundles;
  std::string body;
  bool gzip = false;
};

// The collector: configuration requests get the configuration the test set (none: 404),
// uploads what the test asks for.
class Collector {
 public:
  enum class Mode { Ok, Status, Stall, Drop };

  Collector() {
    server.Get(R"(/config/app/.*)", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex);
      if (configuration.empty()) {
        response.status = 404;
        return;
      }
      response.status = 200;
      response.set_content(configuration, "application/x-protobuf");
    });
    server.Post("/a", [this](const httplib::Request& request, httplib::Response& response) {
      Post post;
      post.run = request.get_param_value("run");
      post.body = request.body;
      post.gzip = request.has_header("Content-Encoding");
      platform::Bytes bytes(request.body.begin(), request.body.end());
      if (auto batch = TLMPBMeasurementBatch::initWithBuffer(bytes)) {
        for (const auto& bundle :
             NANOGetArray<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles)
                 .value_or(std::vector<std::shared_ptr<TLMPBMeasurementBundle>>{})) {
          auto ids = eventIDs(*bundle);
          post.ids.insert(post.ids.end(), ids.begin(), ids.end());
          post.bundles.emplace_back(BundleKey{NANOGetString(*bundle, Slot::app_instance_id).value_or(""),
                                              NANOGetInt32(*bundle, Slot::bundle_index)},
                                    ids);
        }
      }
      Mode mode;
      int status;
      {
        std::lock_guard<std::mutex> lock(mutex);
        posts.push_back(post);
        mode = this->mode;
        status = this->status;
      }
      if (mode == Mode::Stall) {
        release.wait_for(2 * testsupport::kEventWait);
        response.status = 200;
      } else if (mode == Mode::Drop) {
        response.set_content_provider(1000, "text/plain",
                                      [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
      } else {
        response.status = mode == Mode::Ok ? 200 : status;
      }
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    base = "http://127.0.0.1:" + std::to_string(port);
  }
  ~Collector() {
    releasePromise.set_value();
    server.stop();
    thread.join();
  }
  void answer(Mode m, int s = 200) {
    std::lock_guard<std::mutex> lock(mutex);
    mode = m;
    status = s;
  }
  std::vector<Post> received() {
    std::lock_guard<std::mutex> lock(mutex);
    return posts;
  }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::string base;
  std::promise<void> releasePromise;
  std::shared_future<void> release = releasePromise.get_future().share();
  std::mutex mutex;
  Mode mode = Mode::Ok;
  int status = 200;
  std::string configuration;
  std::vector<Post> posts;
};

struct ScopedCollectionServer {
  explicit ScopedCollectionServer(const std::string& url) {
    TLMRemoteConfig::setCollectionServerURLForTesting(url);
  }
  ~ScopedCollectionServer() { TLMRemoteConfig::setCollectionServerURLForTesting(""); }
};

}  // namespace

TEST(TLMUploadLoopbackTest, BundlesReachTheCollectorOnceAfterEveryKindOfFault) {
  Collector collector;
  ASSERT_GT(collector.port, 0);
  ScopedCollectionServer server(collector.base);
  auto transport = std::make_shared<SignallingTransport>();
  UploadHarness h;
  h.network = std::make_shared<OBXNetwork>("127.0.0.1", transport);
  h.uploadURL = collector.base + "/a?run=1";
  h.start();
  // Two clock hours: two bundles besides the first open's.
  for (std::int64_t id = 1; id <= 4; ++id) {
    if (id == 3) h.clock->setNow(h.clock->now() + 3600);
    TLMObjectDictionary parameters;
    parameters.set("id", TLMValue(id));
    h.log("item", parameters);
  }
  int completed = 0;
  auto settle = [&] {
    ASSERT_TRUE(transport->waitForCompleted(++completed));
    h.drain();
  };
  // The configuration fetch comes first; its 404 leads straight to the upload.
  collector.answer(Collector::Mode::Status, 500);
  h.engine->uploadData();
  settle();
  settle();
  ASSERT_EQ(collector.received().size(), 1u);
  const auto bundlesAfterFirst = h.queued();
  ASSERT_GE(bundlesAfterFirst.size(), 2u);

  struct Fault {
    Collector::Mode mode;
    int status;
  };
  int retries = 1;
  for (const Fault& fault : {Fault{Collector::Mode::Status, 503}, Fault{Collector::Mode::Status, 429},
                             Fault{Collector::Mode::Stall, 0}, Fault{Collector::Mode::Drop, 0}}) {
    collector.answer(fault.mode, fault.status);
    transport->timeout = fault.mode == Collector::Mode::Stall ? 1.0 : testsupport::kEventWait.count();
    h.engine->uploadData();
    settle();
    ++retries;
    auto queued = h.queued();
    ASSERT_EQ(queued.size(), bundlesAfterFirst.size());
    for (const auto& [bundle, row] : queued) EXPECT_EQ(NANOGetInt32(*bundle, Slot::retry_count), retries);
    EXPECT_EQ(h.persisted->lastFailedUploadTimestamp(), h.clock->now());
  }
  collector.answer(Collector::Mode::Ok);
  h.engine->uploadData();
  settle();
  EXPECT_TRUE(h.queued().empty());
  EXPECT_TRUE(h.rawEvents().empty());

  const auto posts = collector.received();
  ASSERT_EQ(posts.size(), 6u);
  const Post& delivered = posts.back();
  EXPECT_FALSE(delivered.gzip);
  EXPECT_EQ(delivered.ids, (std::vector<std::int64_t>{1, 2, 3, 4}));
  // Every post carried the same bundles; the delivered one is decoded in full.
  platform::Bytes bytes(delivered.body.begin(), delivered.body.end());
  auto batch = TLMPBMeasurementBatch::initWithBuffer(bytes);
  ASSERT_TRUE(batch);
  auto bundles = NANOGetArray<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles).value();
  ASSERT_EQ(bundles.size(), bundlesAfterFirst.size());
  for (const auto& bundle : bundles) {
    EXPECT_EQ(NANOGetInt32(*bundle, Slot::retry_count), retries);
    EXPECT_EQ(NANOGetInt64(*bundle, Slot::upload_timestamp_millis),
              static_cast<std::int64_t>(h.clock->now() * 1000));
    EXPECT_EQ(NANOGetInt64(*bundle, Slot::upload_library_version), TLMIdentity::tallymarkLibraryVersion());
    EXPECT_EQ(NANOGetString(*bundle, Slot::app_id), kTestBundleID);
    EXPECT_EQ(NANOGetString(*bundle, Slot::measurement_app_id), kTestAppID);
    EXPECT_FALSE(NANOGetArray<TLMPBUserAttribute>(*bundle, Slot::user_attributes)
                     .value_or(std::vector<std::shared_ptr<TLMPBUserAttribute>>{})
                     .empty());
  }
  EXPECT_EQ(UploadHarness::eventNames(*bundles[0]),
            (std::vector<std::string>{"_s", "_f", "_e", "item", "item"}));
  EXPECT_EQ(UploadHarness::eventNames(*bundles[1]), (std::vector<std::string>{"item", "item"}));
}

TEST(TLMUploadLoopbackTest, AnAudienceFromTheCollectorsConfigurationTravelsInTheNextBundle) {
  Collector collector;
  ASSERT_GT(collector.port, 0);
  ScopedCollectionServer server(collector.base);
  {
    // Audience 5: anyone who bought something.
    auto filter = TLMPBEventFilter::initWithMessageInfo(nullptr);
    NANOSetInt32(*filter, TLMPBEventFilterSlot::filter_id, 0);
    NANOSetString(*filter, TLMPBEventFilterSlot::event_name, "buy");
    auto audience = TLMPBAudience::initWithMessageInfo(nullptr);
    NANOSetInt32(*audience, TLMPBAudienceSlot::audience_id, 5);
    NANOSetArray(*audience, TLMPBAudienceSlot::event_filters,
                 std::vector<std::shared_ptr<TLMPBEventFilter>>{filter});
    auto config = TLMTestMeasurementConfig(kTestAppID, {}, 9);
    NANOSetArray(*config, TLMPBMeasurementConfigSlot::audiences,
                 std::vector<std::shared_ptr<TLMPBAudience>>{audience});
    const auto bytes = config->protoBuffer().value();
    collector.configuration.assign(bytes.begin(), bytes.end());
  }
  auto transport = std::make_shared<SignallingTransport>();
  UploadHarness h;
  h.components.makeAudience = [](TLMDatabase& database, std::shared_ptr<TLMRemoteConfig> config) {
    return std::make_shared<TLMAudience>(database,
                                         std::make_shared<TLMAudienceRemoteConfigSettings>(std::move(config)));
  };
  h.network = std::make_shared<OBXNetwork>("127.0.0.1", transport);
  h.uploadURL = collector.base + "/a";
  h.start();
  h.log("buy");
  // The configuration fetch, then the upload it leads to.
  h.engine->uploadData();
  for (int completed = 1; completed <= 2; ++completed) {
    ASSERT_TRUE(transport->waitForCompleted(completed));
    h.drain();
  }
  EXPECT_EQ(h.engine->remoteConfig()->version(), 9);
  EXPECT_TRUE(h.queued().empty());

  const auto posts = collector.received();
  ASSERT_EQ(posts.size(), 1u);
  platform::Bytes body(posts[0].body.begin(), posts[0].body.end());
  auto batch = TLMPBMeasurementBatch::initWithBuffer(body);
  ASSERT_TRUE(batch);
  auto bundles = NANOGetArray<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles).value();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(NANOGetInt64(*bundles[0], Slot::config_version), 9);
  auto results = NANOGetArray<TLMPBAudienceLeafFilterResult>(*bundles[0], Slot::audience_evaluation_results)
                     .value_or(std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>{});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(NANOGetInt32(*results[0], TLMPBAudienceLeafFilterResultSlot::audience_id), 5);
  EXPECT_TRUE(NANOGetBool(*results[0], TLMPBAudienceLeafFilterResultSlot::new_audience));
  auto current = NANOGetMessage<TLMPBResultData>(*results[0], TLMPBAudienceLeafFilterResultSlot::current_data);
  ASSERT_TRUE(current);
  auto words = [&](std::int32_t slot) {
    std::vector<std::uint64_t> out;
    for (const auto& word : NANOGetArray(*current, slot).value_or(platform::Array{}))
      out.push_back(word.uint64Value().value_or(0));
    return out;
  };
  // Filter 0 evaluated, and true.
  EXPECT_EQ(words(TLMPBResultDataSlot::status), std::vector<std::uint64_t>{1});
  EXPECT_EQ(words(TLMPBResultDataSlot::results), std::vector<std::uint64_t>{1});
}

// MARK: - Killed at random moments

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;
  std::string buffer;

  // The next line of output; empty at end of output or after the bounded wait.
  std::optional<std::string> line() {
    for (;;) {
      auto newline = buffer.find('\n');
      if (newline != std::string::npos) {
        std::string text = buffer.substr(0, newline);
        buffer.erase(0, newline + 1);
        return text;
      }
      pollfd fd{out, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(testsupport::kEventWait).count())) <= 0) {
        return std::nullopt;
      }
      char chunk[512];
      const ssize_t n = read(out, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }
  int finish(bool kill) {
    if (kill) ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    return status;
  }
};

// `environment` replaces this process's environment when given.
Child spawnChild(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
  int pipes[2];
  EXPECT_EQ(pipe(pipes), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipes[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipes[0]);
  std::vector<char*> argv;
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  Child child;
  char** childEnvironment = environment.empty() ? environ : envp.data();
  EXPECT_EQ(posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), childEnvironment), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipes[1]);
  child.out = pipes[0];
  return child;
}

// A folder on a memory file system, removed with its content; empty when there is none.
struct MemoryFolder {
  std::string path;
  MemoryFolder() {
    char pattern[] = "/dev/shm/vesmora-crash-XXXXXX";
    if (std::filesystem::is_directory("/dev/shm") && mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~MemoryFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  MemoryFolder(const MemoryFolder&) = delete;
  MemoryFolder& operator=(const MemoryFolder&) = delete;
};

}  // namespace

TEST(TLMUploadCrashTest, NoAcknowledgedEventIsLostAndNoneIsDeliveredTwiceAfterItsReplyWasProcessed) {
  Collector collector;
  ASSERT_GT(collector.port, 0);
  platform::sandbox::ScopedTemporarySandbox sandbox;
  // The child commits every event; on a memory file system the commits cost no disk flushes.
  MemoryFolder memory;
  const std::string root = memory.path.empty() ? platform::sandbox::root() : memory.path + "/app";
  const std::string deviceRoot = memory.path.empty() ? platform::sandbox::deviceRoot() : memory.path + "/device";
  std::mt19937 dice(20261207);
  std::set<std::int64_t> acknowledged;
  constexpr int kKills = 60;
  for (int run = 0; run <= kKills; ++run) {
    const bool last = run == kKills;
    const std::int64_t first = run * 1000;
    const int events = last ? 3 : 8;
    Child child = spawnChild({VESMORA_UPLOAD_CHILD, root, deviceRoot, collector.base, std::to_string(run),
                              std::to_string(first), std::to_string(events)});
    // Killed after a random number of acknowledgements (0: while it starts up).
    const int killAfter = last ? -1 : static_cast<int>(dice() % (events + 2));
    int acks = 0;
    bool empty = false;

    while (killAfter < 0 || acks < killAfter) {
      auto text = child.line();
      if (!text) break;
      if (text->rfind("ack ", 0) == 0) {
        acknowledged.insert(std::atoll(text->c_str() + 4));
        ++acks;
      } else if (*text == "empty") {
        empty = true;
        break;
      }
    }
    const int status = child.finish(!last);
    if (last) {
      ASSERT_TRUE(empty);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }

  // Which posts carried each event, and the last post of every run.
  std::map<std::int64_t, std::vector<std::size_t>> carriedBy;
  std::map<std::string, std::size_t> lastPostOfRun;
  const auto posts = collector.received();
  for (std::size_t i = 0; i < posts.size(); ++i) {
    lastPostOfRun[posts[i].run] = i;
    for (auto id : posts[i].ids) carriedBy[id].push_back(i);
  }
  for (auto id : acknowledged) EXPECT_TRUE(carriedBy.count(id)) << "acknowledged event lost: " << id;
  std::size_t resent = 0;
  for (const auto& [id, carriers] : carriedBy) {
    // A post answered with success and processed is never followed by another with the same
    // event: only a post whose run ended before it could process the reply is repeated.
    for (std::size_t k = 0; k + 1 < carriers.size(); ++k) {
      EXPECT_EQ(lastPostOfRun[posts[carriers[k]].run], carriers[k]) << "event " << id << " delivered twice";
      ++resent;
    }
  }
  EXPECT_GE(acknowledged.size(), 100u);
  // A repeat is recognisable: a bundle sent again carries the app instance and bundle index it
  // carried the first time, and no two different bundles share them.
  std::map<BundleKey, std::vector<std::int64_t>> eventsOfBundle;
  std::map<std::int64_t, BundleKey> bundleOfEvent;
  for (const auto& post : posts) {
    for (const auto& [key, ids] : post.bundles) {
      EXPECT_FALSE(key.first.empty());
      const auto known = eventsOfBundle.emplace(key, ids).first;
      EXPECT_EQ(known->second, ids) << "bundle " << key.first << " #" << key.second << " changed";
      for (auto id : ids) {
        const auto previous = bundleOfEvent.emplace(id, key).first;
        EXPECT_EQ(previous->second, key) << "event " << id << " sent in two different bundles";
      }
    }
  }
  std::printf("runs %d, acknowledged %zu, posts %zu, events resent after a kill %zu, bundles %zu\n",
              kKills + 1, acknowledged.size(), posts.size(), resent, eventsOfBundle.size());
}

// Events queued at once, which the worker writes in groups, killed at random moments: every event
// reported stored (after its group's commit) is in the store, and of each run the store holds the
// events logged first, without a gap (a group stays whole or goes whole), each once.
TEST(TLMUploadCrashTest, EventsReportedStoredInAGroupOutliveAKill) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  std::mt19937 dice(20261208);
  std::set<std::int64_t> acknowledged;
  constexpr int kRuns = 12;
  constexpr int kEvents = 400;
  int endedMidway = 0;
  for (int run = 0; run < kRuns; ++run) {
    const std::int64_t first = run * 1000;
    Child child = spawnChild({VESMORA_UPLOAD_CHILD, sandbox.root(), sandbox.deviceRoot(), "-",
                              "grouped-" + std::to_string(run), std::to_string(first), std::to_string(kEvents)});
    const int killAfter = 1 + static_cast<int>(dice() % kEvents);
    int acks = 0;
    while (acks < killAfter) {
      auto text = child.line();
      if (!text || *text == "kept") break;
      if (text->rfind("ack ", 0) == 0) {
        acknowledged.insert(std::atoll(text->c_str() + 4));
        ++acks;
      }
    }
    child.finish(true);
    endedMidway += acks < kEvents ? 1 : 0;

    auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
    ASSERT_TRUE(database);
    auto rows = database->sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events WHERE name = 'item'",
                                                         platform::Array{}, nullptr);
    ASSERT_TRUE(rows);
    std::set<std::int64_t> stored;
    for (const auto& row : *rows) {
      auto data = database->rawEventDataFromDictionary(row, nullptr);
      ASSERT_TRUE(data);
      const TLMValue* id = data->rawEvent()->parameters().find("id");
      ASSERT_NE(id, nullptr);
      stored.insert(id->int64Value());
    }
    EXPECT_EQ(stored.size(), rows->size()) << "an event stored twice";
    for (auto id : acknowledged) EXPECT_TRUE(stored.count(id)) << "acknowledged event lost: " << id;
    const auto ofRun = std::count_if(stored.begin(), stored.end(),
                                     [&](std::int64_t id) { return id >= first && id < first + kEvents; });
    for (std::int64_t id = first; id < first + ofRun; ++id) EXPECT_TRUE(stored.count(id)) << "gap at " << id;
    EXPECT_GE(ofRun, acks);
  }
  EXPECT_GT(endedMidway, kRuns / 2);
  std::printf("runs %d, acknowledged %zu\n", kRuns, acknowledged.size());
}

// First launches killed at random moments (between two of the engine's steps), then launched
// again: the first-open time is stored with the first-open event or not at all, and after the
// next launch every app holds exactly one first-open event.
TEST(TLMUploadCrashTest, AFirstLaunchKilledAnywhereReportsTheFirstOpenExactlyOnce) {
  std::mt19937 dice(20261209);
  // A launch that runs to its end, for how many messages a first launch gives.
  auto launch = [](const std::string& root, const std::string& run) {
    std::filesystem::create_directories(root + "/app");
    std::filesystem::create_directories(root + "/device");
    Child child = spawnChild({VESMORA_UPLOAD_CHILD, root + "/app", root + "/device", "-", run, "0", "0"});
    std::int64_t messages = 0;
    while (auto text = child.line()) {
      if (text->rfind("messages ", 0) == 0) messages = std::atoll(text->c_str() + 9);
      if (*text == "kept") break;
    }
    child.finish(false);
    return messages;
  };
  struct Stored {
    std::int64_t firstOpens = 0;
    bool firstOpenTime = false;
  };
  auto stored = [](const std::string& root) {
    platform::sandbox::setRoot(root + "/app");
    auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
    Stored result;
    if (!database) return result;
    auto count = database->sqliteStore()->numberForQuery("SELECT COUNT(*) FROM raw_events WHERE name = '_f'",
                                                         platform::Array{}, nullptr);
    result.firstOpens = count ? count->int64Value().value_or(0) : 0;
    result.firstOpenTime = database->containsUserAttributeWithName("_fot", nullptr).value_or(false);
    return result;
  };

  platform::sandbox::ScopedTemporarySandbox sandbox;
  // Each launch commits a few times; on a memory file system the commits cost no disk flushes.
  MemoryFolder memory;
  const std::string folder = memory.path.empty() ? sandbox.root() : memory.path;
  const std::string calibration = folder + "/calibration";
  const std::int64_t messages = launch(calibration, "whole");
  ASSERT_GT(messages, 10);
  ASSERT_EQ(stored(calibration).firstOpens, 1);

  constexpr int kApps = 20;
  int withoutFirstOpen = 0, withTwo = 0, timeWithoutEvent = 0, storedBeforeTheKill = 0;
  for (int app = 0; app < kApps; ++app) {
    const std::string root = folder + "/app-" + std::to_string(app);
    const auto killAt = 1 + static_cast<std::int64_t>(dice() % messages);
    launch(root, "killed-at-" + std::to_string(killAt));
    const Stored killed = stored(root);
    if (killed.firstOpenTime != (killed.firstOpens > 0)) {
      ++timeWithoutEvent;
      ADD_FAILURE() << "killed at message " << killAt << ": first-open time " << killed.firstOpenTime
                    << ", first-open events " << killed.firstOpens;
    }
    storedBeforeTheKill += killed.firstOpens > 0 ? 1 : 0;
    launch(root, "again");
    const Stored after = stored(root);
    withoutFirstOpen += after.firstOpens == 0 ? 1 : 0;
    withTwo += after.firstOpens > 1 ? 1 : 0;
  }
  EXPECT_EQ(withoutFirstOpen, 0);
  EXPECT_EQ(withTwo, 0);
  // The kills fell on both sides of the commit.
  EXPECT_GT(storedBeforeTheKill, 0);
  EXPECT_LT(storedBeforeTheKill, kApps);
  std::printf("apps %d, messages per first launch %lld, first open stored before the kill %d, "
              "first-open time without the event %d, apps without a first open %d, with two %d\n",
              kApps, static_cast<long long>(messages), storedBeforeTheKill, timeWithoutEvent, withoutFirstOpen,
              withTwo);
}

// Two apps of one user, each with its own bundle identifier and app id, take turns on the default
// data folders: the first turn of each leaves its events stored, the second uploads. Neither
// start resets the other's data, and each delivers every event it logged.
TEST(TLMUploadLoopbackTest, TwoAppsOnTheDefaultFoldersEachDeliverAllTheirOwnEvents) {
  Collector collector;
  ASSERT_GT(collector.port, 0);
  std::string data = std::filesystem::temp_directory_path().string() + "/vesmora-two-apps-XXXXXX";
  ASSERT_NE(mkdtemp(data.data()), nullptr);
  std::vector<std::string> environment{"XDG_DATA_HOME=" + data};
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    if (entry.rfind("XDG_DATA_HOME=", 0) != 0 && entry.rfind("VESMORA_", 0) != 0) environment.push_back(entry);
  }
  struct App {
    std::string bundleID;
    std::string appID;
    std::int64_t firstID;
    std::set<std::int64_t> acknowledged;
  };
  std::map<std::string, App> apps{{"alpha", {"com.vesmora.alpha", "1:1111:ios:aaaa", 100, {}}},
                                  {"beta", {"com.vesmora.beta", "1:2222:ios:bbbb", 200, {}}}};
  std::vector<std::string> resets;
  for (int turn = 0; turn < 2; ++turn) {
    for (auto& [run, app] : apps) {
      const bool upload = turn == 1;
      Child child = spawnChild({VESMORA_UPLOAD_CHILD, "-", "-", upload ? collector.base : "-", run,
                                std::to_string(app.firstID + turn * 10), "3", app.bundleID, app.appID},
                               environment);
      bool ended = false;
      while (auto text = child.line()) {
        if (text->rfind("ack ", 0) == 0) app.acknowledged.insert(std::atoll(text->c_str() + 4));
        if (text->rfind("log 23171 ", 0) == 0) resets.push_back(run + " turn " + std::to_string(turn));
        if (*text == (upload ? "empty" : "kept")) {
          ended = true;
          break;
        }
      }
      const int status = child.finish(false);
      ASSERT_TRUE(ended) << run << " turn " << turn;
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }
  std::map<std::string, std::set<std::int64_t>> delivered;
  for (const auto& post : collector.received()) delivered[post.run].insert(post.ids.begin(), post.ids.end());
  for (const auto& [run, app] : apps) {
    EXPECT_EQ(app.acknowledged.size(), 6u) << run;
    EXPECT_EQ(delivered[run], app.acknowledged) << run;
  }
  EXPECT_TRUE(resets.empty()) << "data reset at the start of " << resets.front();
  std::filesystem::remove_all(data);
}

// Processes of one app on one folder whose uploads fall due together (each asks for one after
// every event it logs, and all upload until nothing is left): no reply is lost, so every event
// reaches the collector once, whichever process sends it.
TEST(TLMUploadLoopbackTest, ProcessesUploadingAtOnceSendEachEventOnce) {
  Collector collector;
  ASSERT_GT(collector.port, 0);
  platform::sandbox::ScopedTemporarySandbox sandbox;
  constexpr int kProcesses = 4;
  constexpr int kEvents = 25;
  std::vector<Child> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(spawnChild({VESMORA_UPLOAD_CHILD, sandbox.root(), sandbox.deviceRoot(), collector.base,
                                   "p" + std::to_string(p), std::to_string(p * 1000), std::to_string(kEvents)}));
  }
  std::set<std::int64_t> acknowledged;
  for (auto& child : children) {
    bool empty = false;
    while (auto text = child.line()) {
      if (text->rfind("ack ", 0) == 0) acknowledged.insert(std::atoll(text->c_str() + 4));
      if (*text == "empty") {
        empty = true;
        break;
      }
    }
    const int status = child.finish(false);
    EXPECT_TRUE(empty);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::map<std::int64_t, int> received;
  std::size_t posts = 0;
  for (const auto& post : collector.received()) {
    posts += post.ids.empty() ? 0 : 1;
    for (auto id : post.ids) ++received[id];
  }
  EXPECT_EQ(acknowledged.size(), static_cast<std::size_t>(kProcesses * kEvents));
  int twice = 0;
  for (auto id : acknowledged) {
    EXPECT_EQ(received[id], 1) << "event " << id;
    twice += received[id] > 1 ? 1 : 0;
  }
  std::printf("events %zu, posts with events %zu, events sent more than once %d\n", acknowledged.size(), posts,
              twice);
}
