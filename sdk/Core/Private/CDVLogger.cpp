#include "Core/Public/CDVLogger.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>

#include "Core/Private/CDVCorePlatform.h"
#include "Core/Private/CDVForkedChild.h"
#include "dispatch/ForkPreparation.h"
#include "obx/OBXLogger.h"

namespace {

// One set-up at a time. A fork does not wait for it: a child finds it as the fork left it, and
// makes it anew (the set-up may have been waiting for a name service in a parent's thread).
std::mutex gInitMutex;
std::atomic<bool> gInitialized{false};
std::atomic<bool> gAnalyticsDebugMode{false};

// A fork made while a thread is inside the set-up, in a process the SDK belongs to neither by its
// own claim nor by a parent's, waits until the set-up has ended or waits for a name service (a
// wait that comes before the platform's fork handlers take their locks, some of which the set-up
// takes): the child, which runs the set-up of its own, never finds a lock of what the set-up reads
// (the defaults, the data root) held by a thread it does not have, and a slow name service holds
// no fork back. The set-up holds gForkGate for that, and lets it go while it waits for the name
// service (platform::SlowStretch), holding then only what the child makes anew (its own lock, the
// user listing's). Where the SDK belongs to this process or to one it was forked from, the child
// skips the set-up (CDVForkedChild::isForkedChild) and the fork does not wait.
std::mutex gForkGate;
thread_local bool tInSetUp = false;
thread_local bool tGateLetGo = false;
thread_local bool tSetUpHeldForFork = false;
std::atomic<bool> gSetUpForkWaitInstalled{false};
std::atomic<int> gForksWaitingForSetUp{0};

void waitForSetUpBeforeFork() {
  if (tSetUpHeldForFork || CDVForkedChild::hasOwner()) return;
  if (!gForkGate.try_lock()) {
    ++gForksWaitingForSetUp;
    gForkGate.lock();
    --gForksWaitingForSetUp;
  }
  tSetUpHeldForFork = true;
}

void letSetUpGoAfterForkInParent() {
  if (!tSetUpHeldForFork) return;
  tSetUpHeldForFork = false;
  gForkGate.unlock();
}

void letSetUpGoAfterForkInChild() {
  // A parent's thread may have been in the set-up, waiting for the name service.
  new (&gInitMutex) std::mutex();
  letSetUpGoAfterForkInParent();
}

void letForksThroughWhileSlow() {
  if (!tInSetUp || tGateLetGo) return;
  tGateLetGo = true;
  gForkGate.unlock();
}

void holdForksAfterSlowStretch() {
  if (!tGateLetGo) return;
  gForkGate.lock();
  tGateLetGo = false;
}

// Installed as the program loads, or at the set-up's first use when a host's static initialiser
// logs before this file's initialiser has run; its after-fork handlers before the wait.
bool installSetUpForkWait() {
  if (!gSetUpForkWaitInstalled.load(std::memory_order_relaxed) && !gSetUpForkWaitInstalled.exchange(true) &&
      pthread_atfork(&platform::waitBeforeForkLocks, &letSetUpGoAfterForkInParent, &letSetUpGoAfterForkInChild) ==
          0) {
    platform::setSlowStretchHandlers(&letForksThroughWhileSlow, &holdForksAfterSlowStretch);
    platform::setWaitBeforeForkLocks(&waitForSetUpBeforeFork);
  }
  return true;
}
[[maybe_unused]] const bool gSetUpForkWaitAtLoad = installSetUpForkWait();
// Every line carries the SDK's version from the first on: one written before the set-up (which
// reads the launch arguments and the defaults), or by a copy that never configures, too.
[[maybe_unused]] const bool gVersionAtLoad = (OBXLoggerRegisterVersion(CDVVersionString), true);

// The set-up's hold of gForkGate, let go during slow stretches.
class SetUpHold {
 public:
  SetUpHold() {
    gForkGate.lock();
    tInSetUp = true;
  }
  ~SetUpHold() {
    tInSetUp = false;
    if (!tGateLetGo) gForkGate.unlock();
    tGateLetGo = false;
  }
  SetUpHold(const SetUpHold&) = delete;
  SetUpHold& operator=(const SetUpHold&) = delete;
};

bool hasArgument(const std::vector<std::string>& arguments, const char* argument) {
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

}  // namespace

void CDVLoggerInitializeASL() {
  if (gInitialized.load(std::memory_order_acquire)) return;
  // A child forked from the SDK's process does no set-up: a parent's thread may have been inside
  // it at the fork, holding its lock, or a lock of what it reads (the defaults, the data root, the
  // user listing, the C library's name service). Its lines go out as the logger was at the fork.
  if (CDVForkedChild::isForkedChild()) {
    OBXLoggerRegisterVersion(CDVVersionString);
    return;
  }
  installSetUpForkWait();
  std::lock_guard lock(gInitMutex);
  if (gInitialized.load(std::memory_order_relaxed)) return;
  const SetUpHold hold;

  OBXLoggerRegisterVersion(CDVVersionString);
  const std::vector<std::string> arguments = cdv_platform::launchArguments();
  const bool forceSTDERR = hasArgument(arguments, kCDVLoggerForceSDTERRApplicationArgument);

  bool debugMode = false;
  if (hasArgument(arguments, kCDVDisableDebugModeApplicationArgument)) {
    cdv_platform::defaultsRemove(kCDVPersistedDebugModeKey);
  } else {
    const bool persisted = cdv_platform::defaultsBool(kCDVPersistedDebugModeKey);
    if (persisted || hasArgument(arguments, kCDVEnableDebugModeApplicationArgument)) {
      cdv_platform::defaultsSet(kCDVPersistedDebugModeKey, platform::Value(true));
      debugMode = true;
    }
  }

  OBXLoggerInitializeASL();
  if (forceSTDERR) OBXLoggerEnableSTDERR();
  if (debugMode) OBXLoggerForceDebug();
  gInitialized.store(true, std::memory_order_release);
}

void CDVSetLoggerLevel(int level) {
  CDVLoggerInitializeASL();
  OBXSetLoggerLevel(level);
}

bool CDVIsLoggableLevel(int level, bool analyticsComponent) {
  CDVLoggerInitializeASL();
  if (gAnalyticsDebugMode.load() && analyticsComponent) return true;
  return OBXIsLoggableLevel(level);
}

void CDVSetAnalyticsDebugMode(bool analyticsDebugMode) { gAnalyticsDebugMode.store(analyticsDebugMode); }

void CDVLogBasic(int level, std::string_view service, std::string_view messageCode,
                 std::string_view format, std::initializer_list<platform::FormatArg> args) {
  CDVLoggerInitializeASL();
  const bool force = gAnalyticsDebugMode.load() && service == kCDVLoggerAnalytics;
  OBXLogBasic(level, service, force, messageCode, platform::formatArgs(format, args));
}

void CDVLogWithoutSetup(int level, std::string_view service, std::string_view messageCode, std::string_view message) {
  if (!gInitialized.load(std::memory_order_acquire)) OBXLoggerRegisterVersion(CDVVersionString);
  const bool force = gAnalyticsDebugMode.load() && service == kCDVLoggerAnalytics;
  OBXLogBasic(level, service, force, messageCode, message);
}

void CDVLoggerWrapper::logWithLevel(int level, std::string_view service, std::string_view code,
                                    std::string_view message,
                                    std::initializer_list<platform::FormatArg> args) {
  CDVLogBasic(level, service, code, message, args);
}

void CDVLoggerResetForTesting() {
  std::lock_guard lock(gInitMutex);
  gInitialized.store(false);
  gAnalyticsDebugMode.store(false);
}

bool CDVLoggerForkWaitsForTesting() { return gForksWaitingForSetUp.load() > 0; }
