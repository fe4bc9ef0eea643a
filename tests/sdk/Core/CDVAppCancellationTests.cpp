// A host thread cancelled (pthread_cancel) while it configures: the C library unwinds it through
// the SDK, which lets the unwind go on, gives the process back and leaves the registry as it was;
// the process goes on, and another thread configures, logs and ends the app.
//
// The configuring thread is held at a chosen place by a read of a pipe, a cancellation point: the
// cancellation is asked once the thread is there, so it acts at that read, whatever the machine's
// speed. Each case runs in a process of its own (a fresh copy of the SDK, which no configure has
// claimed yet): on an unwind swallowed the C library ends that process.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Bounds.h"
#include "CoreTestSupport.h"
#include "uikit/UIKit.h"

namespace {

using coretest::FakeLibrary;

// Where the configuring thread is held.
enum class HeldAt {
  kFirstLine,  // logging its first line, the process claimed, before the registry
  kLibrary,    // in a library's configureWithApp, the app registered, under the registry lock
};

// A pipe the held thread reads, and one on which it says it is there.
class Hold {
 public:
  Hold() : made_(::pipe(arrived_) == 0 && ::pipe(release_) == 0) {}
  ~Hold() {
    for (int fd : {arrived_[0], arrived_[1], release_[0], release_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

  bool made() const { return made_; }
  // On the held thread: says so, then waits for a byte that never comes.
  void holdHere() {
    char byte = 1;
    if (::write(arrived_[1], &byte, 1) != 1) return;
    (void)::read(release_[0], &byte, 1);
  }
  // True once the thread is held (a bound only tells a hang).
  bool arrived() {
    pollfd ready{arrived_[0], POLLIN, 0};
    char byte = 0;
    return ::poll(&ready, 1, static_cast<int>(testsupport::kEventWait.count() * 1000)) == 1 &&
           ::read(arrived_[0], &byte, 1) == 1;
  }

 private:
  int arrived_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  bool made_;
};

Hold* gHold = nullptr;
thread_local bool tHeldHere = false;  // set on the thread to hold

class HoldingLibrary : public FakeLibrary {
 public:
  using FakeLibrary::FakeLibrary;
  void configureWithApp(const std::shared_ptr<CDVApp>& app) const override {
    if (tHeldHere) gHold->holdHere();
    FakeLibrary::configureWithApp(app);
  }
};

void* configureHeld(void*) {
  tHeldHere = true;
  CDVApp::configure();
  return nullptr;
}

class CDVAppCancellationTest : public coretest::CoreTest {
 protected:
  // Fails with the first check that did not hold; 0 when all did.
  int cancelConfigure(HeldAt where) {
    Hold hold;
    if (!hold.made()) return 10;
    gHold = &hold;
    auto library = std::make_shared<HoldingLibrary>("Holding", std::vector<std::shared_ptr<CDVComponent>>{}, true);
    CDVApp::registerInternalLibrary(library, "holding", "1.0");
    OBXLoggerSetSink([this, where](const OBXLogLine& line) {
      if (where == HeldAt::kFirstLine && tHeldHere && line.messageCode == "I-COR000001") gHold->holdHere();
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });

    pthread_t thread;
    if (::pthread_create(&thread, nullptr, &configureHeld, nullptr) != 0) return 11;
    if (!hold.arrived()) return 12;
    if (::pthread_cancel(thread) != 0) return 13;
    void* result = nullptr;
    if (::pthread_join(thread, &result) != 0 || result != PTHREAD_CANCELED) return 14;

    // Nothing of the cancelled configure stays: no app, no lock held, no report of it.
    if (CDVApp::isDefaultAppConfigured()) return 20;
    if (const std::optional<CDVApp::AppMap> apps = CDVApp::allApps(); apps && !apps->empty()) return 21;
    std::recursive_mutex& registry = CDVApp::registryLockForTesting();
    if (!registry.try_lock()) return 22;
    registry.unlock();
    if (!notificationsNamed("CDVAppDiagnosticsNotification").empty()) return 23;
    if (!library->configuredApps().empty()) return 24;

    // Another thread configures; the app logs and ends.
    bool configured = false;
    std::thread([&configured] {
      CDVApp::configure();
      configured = CDVApp::isDefaultAppConfigured();
    }).join();
    if (!configured) return 30;
    if (library->configuredApps() != std::vector<std::string>{kCDVDefaultAppName}) return 31;
    CDVLogError(kCDVLoggerCore, "I-COR000902", "After the cancelled configure.");
    if (linesWithCode("I-COR000902").size() != 1) return 32;
    if (notificationsNamed("CDVAppDiagnosticsNotification").size() != 1) return 33;
    if (!UIApplication().terminate()) return 34;
    OBXLoggerSetSink(nullptr);
    gHold = nullptr;
    return 0;
  }
};

// Exit statuses: 1x the held thread (not held, not cancelled), 2x what the cancelled configure left,
// 3x the configure after it; a process ended by the C library: the unwind was swallowed.
TEST_F(CDVAppCancellationTest, ACancelledConfigureUnwindsAndLeavesTheProcessToConfigureAgain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  installBundle({{"CFBundleIdentifier", coretest::kBundleID}}, platform::Value(serviceInfo()));
  for (HeldAt where : {HeldAt::kFirstLine, HeldAt::kLibrary}) {
    SCOPED_TRACE(where == HeldAt::kFirstLine ? "held at the first line" : "held in a library's configure");
    // The child's exit skips the fixture's tear-down: its folder goes first.
    EXPECT_EXIT(
        {
          const int status = cancelConfigure(where);
          sandbox_.reset();
          std::exit(status);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
