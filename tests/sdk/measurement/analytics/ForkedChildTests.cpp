// A child made by fork() from the process that used the SDK: every public call returns at once,
// also when a thread of the parent's held one of the SDK's locks at the fork, and a query answers
// its handler once, also without a queue.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Bounds.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVApp.h"
#include "ForkedChild.h"
#include "InstanceID/CDVInstanceID.h"
#include "dispatch/Queue.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMAEU.h"
#include "obx/OBXLogger.h"
#include "uikit/UIKit.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kChildLimit = testsupport::kChildLife;
// A hung child ends by its alarm, and says where: after any wait of its own, before its limit.
constexpr unsigned kChildAlarmSeconds =
    static_cast<unsigned>((testsupport::kEventWait.count() + testsupport::kChildLife.count()) / 2);

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "the thread sanitizer does not support threads in a child of a threaded process"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

using EntryPoint = std::pair<const char*, std::function<void()>>;

// What a host or another SDK library may call.
std::vector<EntryPoint> entryPoints() {
  auto queue = platform::Queue::serial("fork.answers");
  TLMObjectDictionary parameters;
  parameters.set("value", TLMObject(std::int64_t{1}));
  return {
      {"CDVApp::configure", [] { CDVApp::configure(); }},
      {"CDVApp::defaultApp", [] { (void)CDVApp::defaultApp(); }},
      {"CDVApp::isDefaultAppConfigured", [] { (void)CDVApp::isDefaultAppConfigured(); }},
      {"CDVApp::appNamed", [] { (void)CDVApp::appNamed("other"); }},
      {"CDVApp::allApps", [] { (void)CDVApp::allApps(); }},
      {"CDVAnalytics::logEventWithName", [=] { CDVAnalytics::logEventWithName("in_child", parameters); }},
      {"CDVAnalytics::logEventWithOrigin", [=] { CDVAnalytics::logEventWithOrigin("app", "in_child", parameters); }},
      {"CDVAnalytics::logInternalEventWithOrigin",
       [=] { CDVAnalytics::logInternalEventWithOrigin("vx", "in_child", parameters); }},
      {"CDVAnalytics::setUserPropertyString", [] { CDVAnalytics::setUserPropertyString(TLMObject("v"), "prop"); }},
      {"CDVAnalytics::setInternalUserProperty", [] { CDVAnalytics::setInternalUserProperty(TLMObject("v"), "_p"); }},
      {"CDVAnalytics::setUserID", [] { CDVAnalytics::setUserID(TLMObject("user")); }},
      {"CDVAnalytics::setScreenName", [] { CDVAnalytics::setScreenName("screen", "Class"); }},
      {"CDVAnalytics::appInstanceID", [] { (void)CDVAnalytics::appInstanceID(); }},
      {"CDVAnalytics::resetAnalyticsData", [] { CDVAnalytics::resetAnalyticsData(); }},
      {"CDVAnalytics::setAnalyticsCollectionEnabled", [] { CDVAnalytics::setAnalyticsCollectionEnabled(false); }},
      {"CDVAnalytics::setSessionTimeoutInterval", [] { CDVAnalytics::setSessionTimeoutInterval(60); }},
      {"CDVAnalytics::setLogEventInterceptor", [] { CDVAnalytics::setLogEventInterceptor(nullptr); }},
      {"CDVAnalytics::addLogEventListener",
       [] { (void)CDVAnalytics::addLogEventListener([](const TLMEventPtr&) {}); }},
      {"CDVAnalytics::removeLogEventListener", [] { CDVAnalytics::removeLogEventListener(1); }},
      {"CDVAnalytics::notifyEventListeners", [] { CDVAnalytics::notifyEventListeners(nullptr); }},
      {"CDVAnalytics::setOpenURLListener", [] { CDVAnalytics::setOpenURLListener(nullptr); }},
      {"CDVAnalytics::handleOpenURL", [] { CDVAnalytics::handleOpenURL("https://example.com/?gclid=1"); }},
      {"CDVAnalytics::handleUserActivity", [] { CDVAnalytics::handleUserActivity(std::nullopt); }},
      {"CDVAnalytics::handleEventsForBackgroundURLSession",
       [] { CDVAnalytics::handleEventsForBackgroundURLSession("session", [] {}); }},
      {"CDVAnalytics::dispatchAsyncOnSerialQueue", [] { CDVAnalytics::dispatchAsyncOnSerialQueue([] {}); }},
      {"CDVAnalytics::queueOperationWithBlock", [] { CDVAnalytics::queueOperationWithBlock([] {}); }},
      {"CDVAnalytics::unsuspendOperationQueue", [] { CDVAnalytics::unsuspendOperationQueue(); }},
      {"CDVAnalytics::loadTimestamp", [] { (void)CDVAnalytics::loadTimestamp(); }},
      {"CDVAnalytics::userPropertiesIncludingInternal",
       [=] { CDVAnalytics::userPropertiesIncludingInternal(true, queue, [](platform::Dictionary) {}); }},
      {"CDVAnalytics::maxUserPropertiesForOrigin",
       [=] { CDVAnalytics::maxUserPropertiesForOrigin("app", queue, [](int) {}); }},
      {"TLMAnalytics::isEnabled", [] { (void)TLMAnalytics::isEnabled(); }},
      {"TLMAnalytics::isCurrentQueueSerialQueue", [] { (void)TLMAnalytics::isCurrentQueueSerialQueue(); }},
      {"TLMAnalytics::removeUserAttributeForName", [] { TLMAnalytics::removeUserAttributeForName("prop"); }},
      {"CDVInstanceID::instanceID", [] {
         // In the child, an instance that answers as before a start.
         auto instance = CDVInstanceID::instanceID();
         if (!instance) return;
         (void)instance->token();
         instance->getIDWithHandler([](std::optional<std::string>, std::optional<platform::Error>) {});
         instance->tokenWithAuthorizedEntity("123", "*", {}, [](std::optional<std::string>, std::optional<platform::Error>) {});
       }},
      {"UIApplication::terminate", [] { (void)UIApplication().terminate(); }},
  };
}

// One int the parent and its children share: the entry point a child last began.
int* sharedMark() {
  void* page = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return page == MAP_FAILED ? nullptr : static_cast<int*>(page);
}

}  // namespace

// Nothing done when the program loads makes a process the SDK's: a daemon that forks away before
// its first call is an SDK process of its own. (First in this file: ctest runs each test in a
// process of its own, and the other tests use the SDK.)
TEST(ForkedChild, IsTheSDKsProcessWhenItsParentMadeNoCall) {
  SKIP_UNDER_TSAN();
  const testsupport::ChildEnd end = testsupport::runInChild(
      [] {
        alarm(kChildAlarmSeconds);
        _exit(CDVForkedChild::refuses("daemon") ? 1 : 0);
      },
      kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
}

// A thread of the parent's holds the SDK's locks at the fork (here a thread of the child's, which
// leaves the same trace in them): no call of the child waits for them. (The default app's lock
// is never held at a fork: see the next test.)
TEST(ForkedChild, EveryCallReturnsWhileTheSDKsLocksAreHeld) {
  SKIP_UNDER_TSAN();
  ASSERT_FALSE(CDVForkedChild::refuses("test"));  // this process is the SDK's
  int* reached = sharedMark();
  ASSERT_NE(reached, nullptr);
  *reached = -1;
  const std::vector<EntryPoint> calls = entryPoints();

  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        alarm(kChildAlarmSeconds);
        std::atomic<bool> holding{false};
        std::thread([&] {
          std::lock_guard registry(CDVApp::registryLockForTesting());
          std::lock_guard analytics(TLMAnalytics::stateLockForTesting());
          std::lock_guard environment(TLMAEU::lockForTesting());
          holding = true;
          for (;;) pause();
        }).detach();
        while (!holding) std::this_thread::yield();
        for (std::size_t i = 0; i < calls.size(); ++i) {
          *reached = static_cast<int>(i);
          calls[i].second();
        }
        *reached = static_cast<int>(calls.size());
        _exit(0);
      },
      kChildLimit);

  const int last = *reached;
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime << "; stopped in "
                                 << (last >= 0 && last < static_cast<int>(calls.size()) ? calls[last].first : "none");
  EXPECT_EQ(last, static_cast<int>(calls.size()));
  munmap(reached, sizeof(int));
}

// A fork waits while another thread holds the default app's lock, and the child reads the
// default app.
TEST(ForkedChild, ReadsTheDefaultAppAlsoWhenItsLockWasHeldAsTheForkBegan) {
  SKIP_UNDER_TSAN();
  static std::atomic<bool> forkBegun{false};
  static const bool registered = pthread_atfork([] { forkBegun = true; }, nullptr, nullptr) == 0;
  ASSERT_TRUE(registered);  // after the SDK's handlers: its prepare handler runs before theirs
  ASSERT_FALSE(CDVForkedChild::refuses("test"));
  std::unique_lock held(CDVApp::defaultAppLockForTesting());
  std::atomic<pid_t> forker{0};
  std::promise<testsupport::ChildEnd> ended;
  std::thread forking([&] {
    forker = gettid();
    ended.set_value(testsupport::runInChild(
        [] {
          alarm(kChildAlarmSeconds);
          _exit(CDVApp::isDefaultAppConfigured() || CDVApp::defaultApp() != nullptr ? 1 : 0);
        },
        kChildLimit));
  });
  // The fork has begun, and sleeps (waiting for the lock) or goes on without it.
  const auto watchdog = std::chrono::steady_clock::now() + testsupport::kEventWait;
  while ((!forkBegun || testsupport::threadState(forker) != 'S') && std::chrono::steady_clock::now() < watchdog) {
    std::this_thread::yield();
  }
  held.unlock();
  const testsupport::ChildEnd end = ended.get_future().get();
  forking.join();
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
}

// The warning a child writes names the call the host made (not the SDK's own call it leads to:
// logEventWithName goes through logEventWithOrigin) and says what to do, for every call a host
// or another SDK library may make, each the first call of a child of its own (but the query
// whether the default app is configured, which answers from memory and is never refused).
TEST(ForkedChild, TheWarningNamesTheCallMadeAndWhatToDo) {
  SKIP_UNDER_TSAN();
  ASSERT_FALSE(CDVForkedChild::refuses("test"));
  for (const auto& [label, call] : entryPoints()) {
    const std::string named(label);
    if (named == "CDVApp::isDefaultAppConfigured") continue;
    const std::string method = named.substr(named.rfind("::") == std::string::npos ? 0 : named.rfind("::") + 2);
    const testsupport::ChildEnd end = testsupport::runInChild(
        [&] {
          alarm(kChildAlarmSeconds);
          std::string warning;
          OBXLoggerSetSink([&](const OBXLogLine& line) {
            if (line.messageCode == kCDVForkedChildMessageCode) warning += line.message;
          });
          call();
          const bool names = warning.find("Refused: " + method + ".") != std::string::npos ||
                             warning.find("Refused: " + named + ".") != std::string::npos;
          const bool advises = warning.find("configure it in the worker, after the fork") != std::string::npos;
          if (!names || !advises) std::fprintf(stderr, "%s warned: \"%s\"\n", label, warning.c_str());
          _exit(names && advises ? 0 : 1);
        },
        kChildLimit);
    EXPECT_TRUE(end.exitedWith(0)) << label << ": status " << end.status << " in time " << end.inTime;
  }
}

// The queries answer their handler once with the empty answer, on the main queue when given no
// queue.
TEST(ForkedChild, AQueryWithoutAQueueAnswersOnce) {
  SKIP_UNDER_TSAN();
  ASSERT_FALSE(CDVForkedChild::refuses("test"));

  const testsupport::ChildEnd end = testsupport::runInChild(
      [] {
        alarm(kChildAlarmSeconds);
        std::atomic<int> properties{0};
        std::atomic<int> maximum{0};
        std::atomic<bool> onMain{true};
        CDVAnalytics::userPropertiesIncludingInternal(false, nullptr, [&](platform::Dictionary answer) {
          if (!platform::Queue::isMainQueue() || !answer.empty()) onMain = false;
          ++properties;
        });
        CDVAnalytics::maxUserPropertiesForOrigin("app", nullptr, [&](int answer) {
          if (!platform::Queue::isMainQueue() || answer != 0) onMain = false;
          ++maximum;
        });
        // Both answers are queued on the main queue before this block, which runs after them.
        std::promise<void> behind;
        platform::Queue::main()->async([&] { behind.set_value(); });
        if (behind.get_future().wait_for(testsupport::kEventWait) != std::future_status::ready) _exit(10);
        if (properties != 1) _exit(20 + properties);
        if (maximum != 1) _exit(30 + maximum);
        _exit(onMain ? 0 : 40);
      },
      kChildLimit);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime;
}
