// The embedding example's loopback collector, which also runs the example app:
//
//   embed_collector <app executable> <app bundle folder>
//
// It serves on 127.0.0.1, at a port the system picks, what a collector must answer:
//   GET  /config/app/<OMBRIX_APP_ID>?...  404: the app keeps its default configuration;
//   POST /a                               the encoded MeasurementBatch; 200 means delivered.
// It starts the app with VESMORA_MAIN_BUNDLE set to the bundle folder, a fresh data folder
// (VESMORA_SANDBOX_ROOT, VESMORA_DEVICE_ROOT) and -CDVAnalyticsDebugEnabled, decodes every batch
// with the SDK's message classes, and passes when one carries the app's event with its parameters
// and the user property, filed under the bundle's CFBundleIdentifier and OMBRIX_APP_ID. Then it
// closes the app's standard input and expects the app to end cleanly.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BatchReader.h"
#include "foundation/PropertyList.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Debug mode uploads about a second after the first event, and the app's end waits at most 5 s:
// the bounds, far longer, only tell a lost batch or a hung app from a busy machine.
constexpr auto kBatchWait = 60s;
constexpr auto kExitWait = 30s;

struct Expected {
  std::string bundleID;
  std::string appID;
};

std::optional<Expected> readExpected(const std::string& bundle) {
  auto info = platform::plist::readResource(bundle + "/Info.plist");
  auto service = platform::plist::readResource(bundle + "/OmbrixService-Info.plist");
  if (!info || !service) return std::nullopt;
  auto bundleID = (*info)["CFBundleIdentifier"].stringValue();
  auto appID = (*service)["OMBRIX_APP_ID"].stringValue();
  if (!bundleID || !appID) return std::nullopt;
  return Expected{*bundleID, *appID};
}

// What the batches received so far prove; empty when all is there.
std::vector<std::string> missingFrom(const std::vector<collector::Bundle>& bundles, const Expected& expected) {
  std::vector<std::string> missing;
  const collector::Bundle* carrier = collector::bundleWithEvent(bundles, "offer_viewed");
  if (carrier == nullptr) return {"the event offer_viewed"};
  const collector::Event* event = collector::findEvent(bundles, "offer_viewed");
  auto parameter = [&](const std::string& name) -> const collector::Value* {
    auto it = event->parameters.find(name);
    return it == event->parameters.end() ? nullptr : &it->second;
  };
  if (const auto* item = parameter("item"); item == nullptr || item->text != "card") missing.push_back("item=card");
  if (const auto* count = parameter("count"); count == nullptr || count->integer != 2) missing.push_back("count=2");
  auto tier = carrier->userProperties.find("tier");
  if (tier == carrier->userProperties.end() || tier->second.text != "gold") missing.push_back("user property tier=gold");
  if (carrier->bundleID != expected.bundleID) missing.push_back("bundle id " + expected.bundleID);
  if (carrier->measurementAppID != expected.appID) missing.push_back("app id " + expected.appID);
  return missing;
}

class Collector {
 public:
  explicit Collector(Expected expected) : expected_(std::move(expected)) {
    server_.Get(R"(/config/app/.*)", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++configRequests_;
      response.status = 404;
    });
    server_.Post("/a", [this](const httplib::Request& request, httplib::Response& response) {
      auto bundles = collector::readBatch(request.body);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!bundles) {
        std::cout << "collector: a body that is not a measurement batch (" << request.body.size() << " bytes)\n";
        response.status = 400;
        return;
      }
      ++batches_;
      for (auto& bundle : *bundles) {
        std::cout << "collector: bundle of " << bundle.bundleID << " (" << bundle.measurementAppID << "):";
        for (const auto& event : bundle.events) std::cout << ' ' << event.name;
        std::cout << "; user properties:";
        for (const auto& [name, value] : bundle.userProperties) std::cout << ' ' << name;
        std::cout << '\n';
        received_.push_back(std::move(bundle));
      }
      response.status = 200;
      changed_.notify_all();
    });
  }
  ~Collector() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  // The collector's address, or empty when it could not start.
  std::string start() {
    const int port = server_.bind_to_any_port("127.0.0.1");
    if (port <= 0) return {};
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      listenEnded_ = true;
    });
    while (!server_.is_running() && !listenEnded_) std::this_thread::yield();
    if (!server_.is_running()) return {};
    return "http://127.0.0.1:" + std::to_string(port);
  }

  // Waits (bounded) until the batches hold everything expected, or the app has ended.
  std::vector<std::string> waitForBatch(const bool& appEnded) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<std::string> missing = missingFrom(received_, expected_);
    changed_.wait_for(lock, kBatchWait, [&] {
      missing = missingFrom(received_, expected_);
      return missing.empty() || appEnded;
    });
    std::cout << "collector: " << configRequests_ << " configuration request(s), " << batches_ << " batch(es)\n";
    return missing;
  }

  std::mutex& mutex() { return mutex_; }
  std::condition_variable& changed() { return changed_; }

 private:
  Expected expected_;
  httplib::Server server_;
  std::thread thread_;
  std::atomic<bool> listenEnded_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<collector::Bundle> received_;
  int configRequests_ = 0;
  int batches_ = 0;
};

// The app as a child process whose standard input is a pipe; a thread waits for its end.
class App {
 public:
  explicit App(Collector& collector) : collector_(collector) {}
  ~App() {
    {
      std::lock_guard<std::mutex> lock(collector_.mutex());
      if (pid_ > 0 && !ended_) ::kill(pid_, SIGKILL);
    }
    if (waiter_.joinable()) waiter_.join();
    if (input_ >= 0) ::close(input_);
  }

  bool launch(const std::string& executable, const std::vector<std::string>& arguments,
              const std::vector<std::string>& extraEnvironment) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addclose(&actions, fds[0]);

    std::vector<std::string> strings{executable};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment(extraEnvironment);
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& s : environment) envp.push_back(s.data());
    envp.push_back(nullptr);

    const int failed = ::posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (failed != 0) {
      ::close(fds[1]);
      pid_ = -1;
      return false;
    }
    input_ = fds[1];
    waiter_ = std::thread([this] {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      std::lock_guard<std::mutex> lock(collector_.mutex());
      status_ = status;
      ended_ = true;
      collector_.changed().notify_all();
    });
    return true;
  }

  const bool& ended() const { return ended_; }

  // Closes the app's standard input and waits (bounded) for its end; true when it exited with 0.
  bool quit() {
    ::close(input_);
    input_ = -1;
    std::unique_lock<std::mutex> lock(collector_.mutex());
    if (!collector_.changed().wait_for(lock, kExitWait, [&] { return ended_; })) {
      std::cout << "collector: the app did not end after its input closed\n";
      return false;
    }
    if (WIFEXITED(status_) && WEXITSTATUS(status_) == 0) return true;
    std::cout << "collector: the app ended with status " << status_ << '\n';
    return false;
  }

 private:
  Collector& collector_;
  pid_t pid_ = -1;
  int input_ = -1;
  std::thread waiter_;
  bool ended_ = false;  // guarded by the collector's mutex
  int status_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: embed_collector <app executable> <app bundle folder>\n";
    return 2;
  }
  const std::string bundle = std::filesystem::absolute(argv[2]).string();
  auto expected = readExpected(bundle);
  if (!expected) {
    std::cerr << "collector: " << bundle << " lacks Info.plist with CFBundleIdentifier or "
              << "OmbrixService-Info.plist with OMBRIX_APP_ID\n";
    return 2;
  }
  std::string data = (std::filesystem::temp_directory_path() / "embed-example-XXXXXX").string();
  if (::mkdtemp(data.data()) == nullptr) {
    std::cerr << "collector: no temporary data folder\n";
    return 2;
  }

  bool passed = false;
  {
    Collector collector(*expected);
    const std::string url = collector.start();
    App app(collector);
    if (url.empty()) {
      std::cerr << "collector: cannot listen on 127.0.0.1\n";
    } else if (!app.launch(argv[1], {url, "-CDVAnalyticsDebugEnabled"},
                           {"VESMORA_MAIN_BUNDLE=" + bundle, "VESMORA_SANDBOX_ROOT=" + data + "/app",
                            "VESMORA_DEVICE_ROOT=" + data + "/device"})) {
      std::cerr << "collector: cannot start " << argv[1] << '\n';
    } else {
      const auto missing = collector.waitForBatch(app.ended());
      for (const auto& what : missing) std::cout << "collector: missing " << what << '\n';
      const bool ended = app.quit();
      passed = missing.empty() && ended;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(data, ignored);
  std::cout << (passed ? "collector: PASS\n" : "collector: FAIL\n");
  return passed ? 0 : 1;
}
