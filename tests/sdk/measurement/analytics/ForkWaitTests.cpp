// A fork that waits for a stretch of calls into OpenSSL (a key pair being made) does not hold up
// the SDK's other threads: their log calls complete while it waits.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "ForkedChild.h"
#include "TemporaryContainer.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "security/OpenSSLGate.h"
#include "uikit/UIKit.h"

using namespace std::chrono_literals;

namespace {

constexpr int kThreads = 2;
constexpr int kCallsPerThread = 200;

using testsupport::eventually;

void logOne(const char* name) { CDVAnalytics::logEventWithName(name, TLMObjectDictionary()); }

}  // namespace

TEST(ForkWaitingForOpenSSL, LogCallsCompleteWhileItWaits) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  // A configured app in a container of its own; nothing listens at the collector's address.
  const TemporaryContainer container("fork-wait");
  ASSERT_FALSE(container.path().empty()) << "no container could be made";
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");
  CDVApp::configure();
  logOne("before_fork");  // every fork handler of the SDK's is in place

  // A stretch in progress, as while a key pair is made, held until the test lets it end.
  std::promise<void> inside;
  std::promise<void> leave;
  std::thread keyMaker([&] {
    platform::security::OpenSSLCalls calls;
    inside.set_value();
    leave.get_future().wait();
  });
  inside.get_future().wait();
  std::promise<testsupport::ChildEnd> ended;
  std::thread forking([&] { ended.set_value(testsupport::runInChild([] { _exit(0); }, testsupport::kChildLife)); });
  // An assertion could not end the test here: the threads above must be joined.
  EXPECT_TRUE(eventually([] { return platform::security::OpenSSLCalls::aForkWaitsForTesting(); }));

  std::atomic<int> completed{0};
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([&] {
      for (int i = 0; i < kCallsPerThread; ++i) {
        logOne("while_fork_waits");
        ++completed;
      }
    });
  }
  const bool allCompleted = eventually([&] { return completed.load() == kThreads * kCallsPerThread; });
  const bool forkStillWaited = platform::security::OpenSSLCalls::aForkWaitsForTesting();
  EXPECT_TRUE(allCompleted) << completed.load() << " of " << kThreads * kCallsPerThread
                            << " log calls completed while the fork waited";
  EXPECT_TRUE(forkStillWaited);

  leave.set_value();
  keyMaker.join();
  for (auto& logger : loggers) logger.join();
  const testsupport::ChildEnd end = ended.get_future().get();
  forking.join();
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status;
  EXPECT_FALSE(platform::security::OpenSSLCalls::aForkWaitsForTesting());
}
