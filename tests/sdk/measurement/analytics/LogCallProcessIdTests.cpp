// The process identifier on a log call's way: read from memory, not asked of the system, and the
// child's own in every fork child handler, also one registered before the libraries' code loads.
//
// This program defines getpid() itself, counting each call on the calling thread; the C
// library's is then not used by anything linked here. The store's threads (SQLite asks for the
// identifier on its own) count apart from the thread that logs.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "ForkedChild.h"
#include "TemporaryContainer.h"
#include "foundation/ProcessInfo.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"

namespace {
thread_local int tProcessIdQueries = 0;
}  // namespace

extern "C" pid_t getpid() noexcept {
  ++tProcessIdQueries;
  return static_cast<pid_t>(::syscall(SYS_getpid));
}

namespace {

// A fork child handler registered as this program loads, before the libraries' own
// initialisers run (this file is linked before them), so it runs in a child before any of theirs
// except the one that keeps the identifier: whether it found the child's own identifier kept.
// 1: the child's, 0: another.
std::atomic<int> gChildHandlerFoundItsOwn{-1};
[[maybe_unused]] const bool gChildHandlerRegistered = pthread_atfork(nullptr, nullptr, [] {
  gChildHandlerFoundItsOwn = platform::ProcessInfo::processIdentifier() == ::syscall(SYS_getpid) ? 1 : 0;
}) == 0;

void configureIn(const TemporaryContainer& container) {
  ASSERT_FALSE(container.path().empty()) << "no container could be made";
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
  CDVApp::configure();
  ASSERT_TRUE(CDVApp::isDefaultAppConfigured());
}

}  // namespace

TEST(LogCallProcessId, ALogCallAsksTheSystemForNoProcessIdentifier) {
  tProcessIdQueries = 0;
  EXPECT_EQ(::getpid(), static_cast<pid_t>(::syscall(SYS_getpid)));
  ASSERT_EQ(tProcessIdQueries, 1) << "getpid() is not counted: the count below would prove nothing";

  const TemporaryContainer container("log-call-pid");
  configureIn(container);
  CDVAnalytics::logEventWithName("first", {});  // what a first call sets up is done
  TLMObjectDictionary parameters;
  parameters.set("value", TLMObject(std::int64_t{1}));
  tProcessIdQueries = 0;
  constexpr int kCalls = 100;
  for (int i = 0; i < kCalls; ++i) CDVAnalytics::logEventWithName("counted", parameters);
  EXPECT_EQ(tProcessIdQueries, 0) << "in " << kCalls << " log calls";
}

// The SDK's check reads the kept identifier: a child handler (the SDK's own, or a host's
// registered before the SDK's code loads) finds the child's there already.
TEST(LogCallProcessId, AChildHandlerRegisteredAsTheProgramLoadsFindsTheChildsIdentifier) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  ASSERT_TRUE(gChildHandlerRegistered);
  const testsupport::ChildEnd end = testsupport::runInChild(
      [] { ::_exit(gChildHandlerFoundItsOwn.load() == 1 ? 0 : 10 + gChildHandlerFoundItsOwn.load()); },
      testsupport::kChildLife);
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status << " in time " << end.inTime
                                 << " (exit 10: the parent's identifier, 9: the handler did not run)";
}
