// An app that ends while its upload waits for the collector's answer, in a process of its own (the
// log_then_end host, LogThenEndHost.cpp), launched again and again on the same data: a loopback
// collector that answers each launch's batch only once that launch says it is ending receives no
// bundle twice (a bundle is told by its app instance and its index), and every event of every
// launch.
// Nothing is timed: each step waits (bounded) for the one before it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Bounds.h"
#include "LoopbackServer.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

extern char** environ;

namespace {

constexpr int kEventsPerLaunch = 5;
constexpr int kLaunches = 4;

// Answers each batch at once, or, while holding, once released.
class HoldingCollector {
 public:
  HoldingCollector() {
    server_.Get(R"(/config/app/.*)", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
    server_.Post("/a", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock<std::mutex> lock(mutex_);
      using Slot = TLMPBMeasurementBundleSlot;
      if (auto batch = TLMPBMeasurementBatch::initWithBuffer(platform::Bytes(request.body.begin(), request.body.end()))) {
        for (const auto& bundle : NANOGetArray<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles)
                                      .value_or(std::vector<std::shared_ptr<TLMPBMeasurementBundle>>{})) {
          const BundleKey key{NANOGetString(*bundle, Slot::app_instance_id).value_or(""),
                              NANOGetInt32(*bundle, Slot::bundle_index)};
          if (++timesReceived_[key] > 1) continue;
          for (const auto& event : NANOGetArray<TLMPBEvent>(*bundle, Slot::events)
                                       .value_or(std::vector<std::shared_ptr<TLMPBEvent>>{})) {
            loggedEvents_ += NANOGetString(*event, TLMPBEventSlot::name) == "before_end" ? 1 : 0;
          }
        }
      }
      ++posts_;
      changed_.notify_all();
      changed_.wait_for(lock, testsupport::kEventWait, [this] { return !holding_; });
      response.status = 204;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ > 0 && !testsupport::startListening(server_, thread_)) port_ = 0;
  }
  ~HoldingCollector() {
    release();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
    changed_.notify_all();
  }
  int posts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }
  bool waitForPosts(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, testsupport::kEventWait, [&] { return posts_ >= count; });
  }
  // The bundles received more than once, and the events "before_end" of those received.
  std::pair<int, int> repeatedBundlesAndEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    int repeated = 0;
    for (const auto& [key, times] : timesReceived_) repeated += times > 1 ? 1 : 0;
    return {repeated, loggedEvents_};
  }

 private:
  using BundleKey = std::pair<std::string, std::int32_t>;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  int posts_ = 0;
  int loggedEvents_ = 0;
  std::map<BundleKey, int> timesReceived_;
};

// One launch of the host on the app's data under `folder`: it is told to end once a batch reached
// the collector, and the collector's hold, if any, is released once the host says it is ending.
// Its exit status (-1: it did not exit by itself) and what it printed.
std::pair<int, std::string> launchHost(HoldingCollector& collector, const std::string& folder) {
  ::setenv("VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE, 1);
  ::setenv("VESMORA_SANDBOX_ROOT", (folder + "/app").c_str(), 1);
  ::setenv("VESMORA_DEVICE_ROOT", (folder + "/device").c_str(), 1);
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return {-1, "no pipe"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  std::string host = LOG_THEN_END_HOST, mode = "post-then-end", count = std::to_string(kEventsPerLaunch),
              base = collector.base();
  char* argv[] = {host.data(), mode.data(), count.data(), base.data(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, host.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (spawned != 0) {
    ::close(input[1]);
    ::close(output[0]);
    return {-1, "not started"};
  }
  const int before = collector.posts();
  std::string printed;
  if (!collector.waitForPosts(before + 1)) printed += "(no batch came)\n";
  [[maybe_unused]] const ssize_t told = ::write(input[1], "end\n", 4);
  ::close(input[1]);
  FILE* lines = ::fdopen(output[0], "r");
  char line[256];
  while (lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr) {
    printed += line;
    if (std::string(line) == "ending\n") collector.release();
  }
  if (lines != nullptr) std::fclose(lines);
  collector.release();
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, printed};
}

TEST(AppEndUploadTest, ABatchAnsweredWhileTheAppEndsIsNotSentAgainAtTheNextLaunch) {
  HoldingCollector collector;
  ASSERT_GT(collector.port(), 0);
  std::string folder = std::filesystem::temp_directory_path().string() + "/app-end-upload-XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  // Each launch sends what the one before it left.
  std::vector<std::pair<int, std::string>> launches;
  for (int i = 0; i < kLaunches; ++i) {
    collector.hold();
    launches.push_back(launchHost(collector, folder));
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  for (const auto& [status, printed] : launches) {
    EXPECT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("answer true"), std::string::npos) << printed;
  }
  const auto [repeated, events] = collector.repeatedBundlesAndEvents();
  EXPECT_EQ(repeated, 0);
  EXPECT_EQ(events, kLaunches * kEventsPerLaunch);
}

}  // namespace
