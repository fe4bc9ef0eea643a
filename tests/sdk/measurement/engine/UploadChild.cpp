// A helper process for the loopback tests: an app that logs events through a real engine (real
// worker queue, system clock, libcurl) and uploads them to a loopback collector. It prints
// "ack <id>" once an event is committed to the store, asks for an upload after each, and, once
// it has logged its share, uploads until nothing is left and prints "empty". Warnings and errors
// of the engine are printed as "log <code> <message>".
//
//   measurement_upload_child <sandbox> <device root> <collector base URL> <run> <first id> <count>
//                            [<bundle id> <app id>]
//
// "-" for both roots keeps the default folders; "-" for the collector keeps the events stored
// (nothing is uploaded) and prints "kept". A run named "grouped..." queues all its events at
// once, which the worker writes in groups: it prints "ack <id>" for each as its group commits,
// then "kept". A run named "killed-at-<n>" kills itself (SIGKILL) at the
// engine's n-th message of any level, as a kill between two of its steps would.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "Bounds.h"
#include "foundation/Bundle.h"
#include "foundation/Sandbox.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMIdentifiers.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/model/TLMMonitor.h"

namespace {

class PrintingMonitor : public TLMMonitor {
 public:
  PrintingMonitor(bool ackStored, std::int64_t killAt) : ackStored_(ackStored), killAt_(killAt) {}
  void logWithContexts(int level, std::int64_t code, const std::string& message,
                       const std::vector<platform::Value>& contexts) override {
    if (++messages_ == killAt_) raise(SIGKILL);
    // "Event logged" follows the commit; its parameters read "{\n    id = <id>;\n ...}".
    if (ackStored_ && code == 23072 && contexts.size() == 2) {
      const std::string parameters = contexts[1].stringValue().value_or("");
      if (const auto at = parameters.find("    id = "); at != std::string::npos) {
        std::printf("ack %lld\n", std::atoll(parameters.c_str() + at + 9));
        std::fflush(stdout);
      }
    }
    if (level > 5) return;
    std::printf("log %lld %s\n", static_cast<long long>(code), message.c_str());
    std::fflush(stdout);
  }
  bool isDebugModeEnabled() const override { return false; }

  std::int64_t messages() const { return messages_.load(); }

 private:
  const bool ackStored_;
  const std::int64_t killAt_;
  std::atomic<std::int64_t> messages_{0};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 && argc != 9) return 2;
  const std::string base = argv[3];
  const std::string run = argv[4];
  const std::int64_t firstID = std::atoll(argv[5]);
  const std::int64_t count = std::atoll(argv[6]);
  const std::string bundleID = argc == 9 ? argv[7] : "com.example.vesmora";
  const std::string appID = argc == 9 ? argv[8] : "1:1234:ios:abcd";
  if (std::string(argv[1]) != "-") platform::sandbox::setRoot(argv[1]);
  if (std::string(argv[2]) != "-") platform::sandbox::setDeviceRoot(argv[2]);
  const bool grouped = run.rfind("grouped", 0) == 0;
  const std::string killedAt = "killed-at-";
  const std::int64_t killAt = run.rfind(killedAt, 0) == 0 ? std::atoll(run.c_str() + killedAt.size()) : 0;
  auto monitor = std::make_shared<PrintingMonitor>(grouped, killAt);
  TLMMeasurement::setMonitor(monitor);
  if (base != "-") TLMRemoteConfig::setCollectionServerURLForTesting(base);
  platform::Value info;
  info.set("CFBundleIdentifier", platform::Value(bundleID));
  info.set("CFBundleShortVersionString", platform::Value("1.0"));
  info.set("CFBundleVersion", platform::Value("1.0.0"));
  platform::Bundle::setMain(std::make_shared<platform::Bundle>("", info));

  auto persisted = TLMPersistedConfig::initWithUserDefaults(
      TLMUserDefaults::initWithSuiteName(kTLMPersistedConfigName, platform::Queue::serial("sync")));
  auto identity = TLMIdentity::initWithPersistedConfig(persisted, nullptr,
                                                       [] { return TLMRemoteConfig::defaultInstance(); });
  identity->setAppIDFromQPX(appID);
  TLMEngineCollaborators collaborators;
  collaborators.persistedConfig = persisted;
  collaborators.scheduler = std::make_shared<TLMScheduler>(kTLMSchedulerWorkerQueueLabel);
  collaborators.alarm =
      std::make_shared<TLMAlarm>(collaborators.scheduler->workerQueue(), kTLMMeasurementTimerName);
  collaborators.services.identity = [identity] { return identity; };
  collaborators.services.identifiers = std::make_shared<TLMIdentifiers>();
  collaborators.services.keychainAppID = bundleID;
  collaborators.network = std::make_shared<OBXNetwork>("127.0.0.1");
  collaborators.uploadURL = base + "/a?run=" + run;
  auto scheduler = collaborators.scheduler;
  auto engine = TLMMeasurementEngine::create(std::move(collaborators), appID, true, false, {});
  if (!engine) return 3;
  auto wait = [&] { scheduler->dispatchSyncOnWorkerQueueBlockID("child", [] {}); };
  auto upload = [&] { scheduler->scheduleOnWorkerQueueBlockID("child", [engine] { engine->uploadData(); }); };
  wait();  // started

  if (grouped) {
    for (std::int64_t id = firstID; id < firstID + count; ++id) {
      TLMObjectDictionary parameters;
      parameters.set("id", TLMValue(id));
      engine->logEvent(
          TLMEvent::initWithOrigin("app", true, "item", platform::Clock::current()->now(), 0, parameters));
    }
    wait();
    std::printf("kept\n");
    std::fflush(stdout);
    std::_Exit(0);
  }

  for (std::int64_t id = firstID; id < firstID + count; ++id) {
    TLMObjectDictionary parameters;
    parameters.set("id", TLMValue(id));
    engine->logEvent(
        TLMEvent::initWithOrigin("app", true, "item", platform::Clock::current()->now(), 0, parameters));
    wait();  // stored and committed
    std::printf("ack %lld\n", static_cast<long long>(id));
    std::fflush(stdout);
    if (base != "-") upload();
  }
  if (base == "-") {
    std::printf("messages %lld\nkept\n", static_cast<long long>(monitor->messages()));
    std::fflush(stdout);
    std::_Exit(0);
  }
  // Upload until nothing is left: the collector answers at once, so the bound is only there to
  // tell a hang from a busy machine.
  const auto deadline = std::chrono::steady_clock::now() + testsupport::kEventWait;
  while (std::chrono::steady_clock::now() < deadline) {
    bool done = false;
    scheduler->dispatchSyncOnWorkerQueueBlockID("child", [&] {
      done = !engine->hasDataToUpload() && !engine->isNetworkRequestPending();
      if (!done && !engine->isNetworkRequestPending()) engine->uploadData();
    });
    if (done) {
      std::printf("empty\n");
      std::fflush(stdout);
      std::_Exit(0);  // the worker threads are still alive: no static teardown under them
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::_Exit(4);
}
