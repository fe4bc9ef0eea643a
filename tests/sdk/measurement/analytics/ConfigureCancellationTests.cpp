// A host thread cancelled (pthread_cancel) while it configures the real app, inside one of its
// settings writes (a slow disk), the first and each later one: the configure unwinds, nothing it
// was making stays half made, and another thread then configures, logs, reads the instance id and
// ends the app. Another thread that configures while the first is held waits for its outcome, and
// configures the app itself once the first is cancelled.
//
// This program defines write() itself: the configuring thread's chosen write to the temporary file
// of a settings write is held by a read of a pipe, a cancellation point, so the cancellation acts
// inside that write whatever the machine's speed. Every other write goes straight to the system.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "ForkedChild.h"
#include "TemporaryContainer.h"
#include "foundation/Exception.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"

namespace {

thread_local bool tConfiguring = false;
thread_local int tWrites = 0;  // the configuring thread's writes so far
int gHeldWrite = 0;            // the write held (from 1), 0: none
int gArrived[2] = {-1, -1};
int gRelease[2] = {-1, -1};

// Writes through the system, not through the hook.
ssize_t writeItself(int fd, const void* bytes, std::size_t size) { return ::syscall(SYS_write, fd, bytes, size); }

// The hook's frames are not instrumented: the cancellation unwinds them from inside the hold,
// which would leave the sanitizer's marks of their locals on the stack.
#define HOOK_FRAME __attribute__((no_sanitize("address", "undefined"), noinline))

// Whether `fd` is a temporary file of a settings write.
HOOK_FRAME bool writesATemporaryFile(int fd) {
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = ::readlink(link, path, sizeof path - 1);
  if (length <= 0) return false;
  path[length] = '\0';
  const char* name = std::strrchr(path, '/');
  return name != nullptr && std::strncmp(name + 1, ".tmp-", 5) == 0;
}

}  // namespace

extern "C" HOOK_FRAME ssize_t write(int fd, const void* bytes, std::size_t size) {
  if (tConfiguring && writesATemporaryFile(fd) && ++tWrites == gHeldWrite) {
    char byte = 1;
    if (writeItself(gArrived[1], &byte, 1) == 1) (void)::read(gRelease[0], &byte, 1);  // never let go
  }
  return writeItself(fd, bytes, size);
}

namespace {

// A whole configure makes fewer writes on its thread than this.
constexpr int kWritesMost = 8;
// The status of a case whose configure made fewer writes than the one to hold.
constexpr int kFewerWrites = 2;

void* configureHeld(void*) {
  tConfiguring = true;
  CDVApp::configure();
  char none = 0;  // not held: the configure ended before the write
  if (writeItself(gArrived[1], &none, 1) != 1) std::abort();
  return nullptr;
}

// 1 once the thread is held, 0 once its configure ended without the write, -1 after the bound.
int arrived() {
  pollfd ready{gArrived[0], POLLIN, 0};
  char byte = 0;
  if (::poll(&ready, 1, static_cast<int>(testsupport::kEventWait.count() * 1000)) != 1 ||
      ::read(gArrived[0], &byte, 1) != 1) {
    return -1;
  }
  return byte;
}

// A file a write left behind, named as its temporary files are.
bool temporaryFileUnder(const std::string& folder) {
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind(".tmp-", 0) == 0) return true;
  }
  return false;
}

// Starts a configure on a thread of its own, held in its settings write `write`: 0 once it is
// held, or the status of what went otherwise.
int startConfigureHeldInItsWrite(int write, pthread_t* thread) {
  gHeldWrite = write;
  if (::pipe(gArrived) != 0 || ::pipe(gRelease) != 0) return 11;
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");  // nothing listens there
  if (::pthread_create(thread, nullptr, &configureHeld, nullptr) != 0) return 12;
  switch (arrived()) {
    case 1: return 0;
    case 0: return ::pthread_join(*thread, nullptr) == 0 ? kFewerWrites : 16;
    default: return 13;
  }
}

// The app configured logs, gives its instance id and ends (`failed` + 1, + 2 when not), and the
// write cut off left no temporary file in `folder` (40).
int configuredAppWorks(const std::string& folder, int failed) {
  CDVAnalytics::logEventWithName("after_the_cancelled_configure", {});
  const std::optional<std::string> id = CDVAnalytics::appInstanceID();
  if (!id || id->empty()) return failed + 1;
  if (!UIApplication().terminate()) return failed + 2;
  if (temporaryFileUnder(folder)) return 40;
  return 0;
}

// Fails with the first check that did not hold; 0 when all did.
int cancelConfigureInItsWrite(int write) {
  const TemporaryContainer container("configure-cancelled");
  if (container.path().empty()) return 10;
  pthread_t thread;
  if (const int notHeld = startConfigureHeldInItsWrite(write, &thread)) return notHeld;
  if (::pthread_cancel(thread) != 0) return 14;
  void* result = nullptr;
  if (::pthread_join(thread, &result) != 0 || result != PTHREAD_CANCELED) return 15;
  if (CDVApp::isDefaultAppConfigured()) return 20;

  CDVApp::configure();
  if (!CDVApp::isDefaultAppConfigured()) return 30;
  return configuredAppWorks(container.path(), 30);
}

// Another thread's configure, run while the held one is under way: what it ended with.
enum Outcome : int { kUnderWay, kConfigured, kRefusedAsConfigured, kFailed };
std::atomic<int> gOtherOutcome{kUnderWay};

void* configureBeside(void*) {
  int outcome = kFailed;
  try {
    CDVApp::configure();
    outcome = kConfigured;
  } catch (const platform::Exception& refused) {
    if (std::string(refused.what()).find("already been configured") != std::string::npos) {
      outcome = kRefusedAsConfigured;
    }
  }
  gOtherOutcome.store(outcome);
  return nullptr;
}

// Whether a thread waits for the registry lock (glibc's lock word: 2 once one has waited).
bool registryWaitedFor() {
  return CDVApp::registryLockForTesting().native_handle()->__data.__lock == 2;
}

// The held configure is under way in its settings write `write` when another thread configures,
// and is cancelled once that one waits for it (or has ended); with `cancelOther`, the other is
// cancelled first, as it waits. Fails with the first check that did not hold; 0 when all did.
int configureMeetsOneUnderWay(int write, bool cancelOther) {
  const TemporaryContainer container("configure-met");
  if (container.path().empty()) return 10;
  pthread_t held;
  if (const int notHeld = startConfigureHeldInItsWrite(write, &held)) return notHeld;
  // A child forked now has no thread of that configure to wait for: its configure is refused
  // at once.
  const testsupport::ChildEnd child = testsupport::runInChild(
      [] {
        CDVApp::configure();
        ::_exit(0);
      },
      testsupport::kChildLife);
  if (!child.exitedWith(0)) return 17;
  pthread_t other;
  if (::pthread_create(&other, nullptr, &configureBeside, nullptr) != 0) return 12;
  // Bounded: should the other wait elsewhere, the cancellation comes all the same.
  const auto until = std::chrono::steady_clock::now() + testsupport::kEventWait;
  while (gOtherOutcome.load() == kUnderWay && !registryWaitedFor() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (gOtherOutcome.load() != kUnderWay) return 20 + gOtherOutcome.load();  // told before the outcome
  if (cancelOther && ::pthread_cancel(other) != 0) return 14;
  if (::pthread_cancel(held) != 0) return 14;
  void* result = nullptr;
  if (::pthread_join(held, &result) != 0 || result != PTHREAD_CANCELED) return 15;
  if (::pthread_join(other, &result) != 0) return 15;
  if (!cancelOther && gOtherOutcome.load() != kConfigured) return 30 + gOtherOutcome.load();
  // A waiter cancelled unwinds at its first cancellation point once it has the lock, or ends
  // configured when it meets none.
  if (cancelOther && result == PTHREAD_CANCELED) CDVApp::configure();
  if (!CDVApp::isDefaultAppConfigured()) return 34;
  return configuredAppWorks(container.path(), 34);
}

// Exit statuses: 2 the configure made fewer writes (from the second on), 1x the held thread (not
// held, not cancelled), 2x what the cancelled configure left, 3x the configure after it, 40 the
// temporary file of the write cut off is left; a crash: something it was making stayed half made.
TEST(ConfigureCancellation, AConfigureCancelledInASettingsWriteLeavesTheAppToConfigureAgain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int write = 1; write <= kWritesMost; ++write) {
    SCOPED_TRACE("cancelled in write " + std::to_string(write));
    EXPECT_EXIT(std::exit(cancelConfigureInItsWrite(write)),
                [write](int status) {
                  return WIFEXITED(status) &&
                         (WEXITSTATUS(status) == 0 || (write > 1 && WEXITSTATUS(status) == kFewerWrites));
                },
                "");
  }
}

}  // namespace

namespace {

// Exit statuses as above, 17 a child forked meanwhile did not end at once, refused, and 2x: the other configure ended while the first was under way (21
// configured, 22 refused as configured, 23 failed otherwise); 3x: it did not configure the app
// once the first was cancelled (32 refused, 33 failed), or the app was left unconfigured (34).
TEST(ConfigureCancellation, AConfigureThatMeetsOneUnderWayWaitsForItsOutcome) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto succeeded = [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; };
  for (int write : {1, 2, 3}) {
    SCOPED_TRACE("cancelled in write " + std::to_string(write));
    EXPECT_EXIT(std::exit(configureMeetsOneUnderWay(write, false)), succeeded, "");
  }
  SCOPED_TRACE("the waiting configure cancelled as it waits");
  EXPECT_EXIT(std::exit(configureMeetsOneUnderWay(2, true)), succeeded, "");
}

}  // namespace
