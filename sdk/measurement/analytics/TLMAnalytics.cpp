#include "measurement/analytics/TLMAnalytics.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>

#include "Core/Private/CDVCopies.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVLogger.h"
#include "dispatch/Clock.h"
#include "foundation/Cancellation.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Format.h"
#include "foundation/NotificationCenter.h"
#include "foundation/Sandbox.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMDiagnosticMonitor.h"
#include "measurement/engine/TLMIdentifiers.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMInfoPlistFileUtil.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/components/TLMInAppPurchaseReporter.h"
#include "measurement/engine/sessions/TLMAppDelegateInterceptor.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUserAttribute.h"
#include "measurement/model/TLMUtil.h"
#include "obx/OBXAppDelegateSwizzler.h"
#include "obx/OBXLogger.h"
#include "obx/OBXNetwork.h"
#include "storekit/StoreKit.h"
#include "uikit/UIKit.h"

namespace {

using platform::Value;

constexpr std::size_t kMaxOriginLength = 32;
constexpr std::uint32_t kMaxEventNameLength = 40;
constexpr std::uint32_t kMaxUserPropertyNameLength = 24;
// How often the app's end looks whether the rest of the work it waits for ended.
constexpr double kAppEndLookAgainSeconds = 0.002;

// A setter's call waiting on the interface's queues: its work, which the same setter's next call
// takes over while nothing was queued after it; taken when it runs, or when it is dropped unrun.
class WaitingSetting {
 public:
  explicit WaitingSetting(platform::Block work) : work_(std::move(work)) {}
  // False once taken.
  bool replace(platform::Block& work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (taken_) return false;
    work_ = std::move(work);
    return true;
  }
  platform::Block take() {
    std::lock_guard<std::mutex> lock(mutex_);
    taken_ = true;
    return std::move(work_);
  }

 private:
  std::mutex mutex_;
  platform::Block work_;
  bool taken_ = false;
};

// Process-wide state. The mutex guards every field; nothing is called out while it is held.
struct State {
  std::mutex mutex;
  TLMAnalyticsQueues queues;
  bool started = false;
  bool enabled = false;
  bool deactivated = false;
  double loadTimestamp = platform::Clock::current()->now();
  TLMLogEventInterceptor interceptor;
  // Made with the first listener; the map's order is the order of the tokens.
  std::optional<std::map<TLMLogEventListenerToken, TLMLogEventListener>> listeners;
  TLMLogEventListenerToken nextToken = 1;
  TLMOpenURLListener openURLListener;
  TLMAnalytics::EngineInitializer engineInitializer;
  char observerTag = 0;  // the address names the configuration observer
  char terminationObserverTag = 0;  // and this one the observer of the app's end
  bool appDelegateProxyCreated = false;
  // Blocks queued through the operation queue by the host's threads, and those of them that ran
  // on the serial queue or were dropped: they pass in the order queued, so the first `n` queued
  // are done once `n` are.
  std::atomic<std::int64_t> hostOperationsQueued{0};
  std::atomic<std::int64_t> hostOperationsDone{0};
  // Blocks the SDK's own queued work queued through the operation queue that have not yet run, by
  // the generation of that work (TLMScheduler::runningWorkGeneration); guarded by pendingMutex.
  std::mutex pendingMutex;
  std::map<std::uint64_t, std::int64_t> ownPendingOperations;
  // The last start found no folder for the app's data: held and later work is dropped.
  bool refused = false;
  // Calls dropped because measurement has not started (refused before the app was configured,
  // or after a start that was refused): what the app's end reports lost.
  std::atomic<std::int64_t> lostCalls{0};
  // The app's end is observed (from the first use of the interface on): read on every call.
  std::atomic<bool> observingAppEnd{false};
  // Tests' hook between a call's count and its generation (setCallCountedHookForTesting).
  std::atomic<void (*)()> callCountedHook{nullptr};
  // Calls other than log calls queue under callsMutex, one at a time. The newest of them, when it
  // is a setter's: its setting, its work, and the count of the host's operations queued
  // (hostOperationsQueued) with it, which stays as it is while no log call is queued after it
  // (-1: never taken over).
  std::mutex callsMutex;
  std::string lastSettingKey;
  std::shared_ptr<WaitingSetting> lastSetting;
  std::int64_t lastSettingMark = -1;
  // Calls dropped past the bound of what waits in memory: by the generation of the work that
  // made them (guarded by pendingMutex), in all, those an app's end reported lost, and those since
  // a call was last let in.
  std::map<std::uint64_t, std::int64_t> droppedCallsByGeneration;
  std::atomic<std::int64_t> droppedCalls{0};
  std::atomic<std::int64_t> reportedDroppedCalls{0};
  std::atomic<std::int64_t> droppedCallsInRun{0};
};

State& state() {
  static State& s = *new State();
  return s;
}

void countOwnPendingOperation(std::uint64_t generation, std::int64_t change) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.pendingMutex);
  if ((s.ownPendingOperations[generation] += change) == 0) s.ownPendingOperations.erase(generation);
}

// What a wait for queued work waits for: the host's first `hostOperations` blocks queued, and
// those the SDK's own work of `generation` or before queued.
struct WorkBefore {
  std::uint64_t generation = 0;
  std::int64_t hostOperations = 0;
};

// Marks the end of the work a wait waits for: what the host's threads queue from now on is not.
// The generation ends first and the count is read next, where a host's call counts itself first
// and reads its generation next (queueOperation): a call not counted here is of a later
// generation, so every event of the work waited for comes of a call counted here.
WorkBefore endWorkBefore() {
  const std::uint64_t generation = TLMScheduler::endWorkGeneration();
  return {generation, state().hostOperationsQueued.load()};
}

// The pending operations of the work before `before`.
std::int64_t pendingOperationsBefore(const WorkBefore& before) {
  State& s = state();
  std::int64_t count = std::max<std::int64_t>(0, before.hostOperations - s.hostOperationsDone.load());
  std::lock_guard<std::mutex> lock(s.pendingMutex);
  for (auto it = s.ownPendingOperations.begin(); it != s.ownPendingOperations.end() && it->first <= before.generation;
       ++it) {
    count += it->second;
  }
  return count;
}

// The queues, made when missing; state().mutex held.
const TLMAnalyticsQueues& queuesLocked() {
  State& s = state();
  if (!s.queues.operationQueue) {
    s.queues.operationQueue = platform::Queue::serial(kTLMAnalyticsOperationQueueLabel);
    s.queues.operationQueue->suspend();
  }
  if (!s.queues.serialQueue) s.queues.serialQueue = platform::Queue::serialOnOwnThread(kTLMAnalyticsQueueLabel);
  if (!s.queues.timestampQueue) s.queues.timestampQueue = platform::Queue::serial(kTLMAnalyticsTimestampQueueLabel);
  return s.queues;
}

TLMAnalyticsQueues queues() {
  TLMAnalytics::observeAppEnd();
  std::lock_guard<std::mutex> lock(state().mutex);
  return queuesLocked();
}

// queues().timestampQueue, without taking the others.
std::shared_ptr<platform::Queue> timestampQueue() {
  TLMAnalytics::observeAppEnd();
  std::lock_guard<std::mutex> lock(state().mutex);
  return queuesLocked().timestampQueue;
}

std::shared_ptr<TLMMeasurementEngine> engine() {
  return TLMAEU::isOSSupported() ? TLMMeasurementEngine::initializedSharedInstance() : nullptr;
}

double now() { return platform::Clock::current()->now(); }

// This process is not a child forked from the one that used the SDK (there every call is refused
// before it takes a lock: CDVForkedChild) and the system is supported.
bool usable(const char* call) { return !CDVForkedChild::refuses(call) && TLMAEU::isOSSupported(); }

bool startRefused() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().refused;
}

bool enabledFlag() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().enabled;
}

// A call other than a log call, as queueCall queues it.
struct Call {
  Call(std::string callName) : name(std::move(callName)) {}  // NOLINT: implicit, as {__func__}
  std::string name;            // what the line of a drop names: the call, and what it sets
  std::int64_t bytes = kTLMQueuedCallBytes;  // what its work holds while it waits, about
  bool kept = false;           // not to give way to events waiting (TLMMeasurementEngine::admitWaitingCall)
  bool toSerialQueue = false;  // straight onto the serial queue, else through the operation queue
  std::string setting;         // a setter's: what it sets (the same setter's next call may take it over)
};

// Queues `work` for `call` (a process found usable) once it counts among what waits in memory:
// false when it found no room, and was dropped, counted and said. A setter's call whose previous
// call, of the same setting, is the newest call queued and has not run, with no log call queued
// since, takes that call's place instead: the newest wins, and a flood of it waits as one call.
bool queueCall(const Call& call, platform::Block work);

// Straight onto the serial queue, as work of the caller's generation.
void dispatchOnSerialQueue(const TLMAnalyticsQueues& q, platform::Block block);

// Runs at once when already on the serial queue, else queued as `call` (false: dropped).
bool runOnSerialQueueOrQueue(const Call& call, platform::Block block) {
  if (!TLMAEU::isOSSupported()) return false;
  if (!TLMAnalytics::isCurrentQueueSerialQueue()) return queueCall(call, std::move(block));
  block();
  return true;
}

// The warnings of the app's end, written at once (the process may end right after), with the
// library's tag and the SDK's version like every other line, also in a copy that never started
// (refused, or never configured), whose monitor is not the library's and whose logger never set up.
void warnAtOnce(const std::string& message, std::int64_t code = 25036) {
  std::string tag = kTLMMonitorDefaultLogTag;
  if (auto diagnostic = std::dynamic_pointer_cast<TLMDiagnosticMonitor>(tlm_monitor())) tag = diagnostic->logTag();
  CDVLogWithoutSetup(CDVLoggerLevelWarning, tag, TLMMessageCodeString(code), message);
}

// The warning of a wait for queued work that ends with work not stored: the events that failed
// since the last such warning, the events and the calls of the work before the wait that are
// left (lost if the process ends now).
void warnOfWorkNotStored(std::int64_t failedEvents, std::int64_t events, std::int64_t calls, double secondsWaited) {
  warnAtOnce(platform::format("Data loss if the app ends now. Work queued before was not all stored. "
                              "Events failed, events not yet stored, calls not handled, seconds waited: "
                              "%@, %@, %@, %@",
                              Value(failedEvents), Value(events), Value(calls),
                              Value(std::round(secondsWaited * 1000) / 1000)));
}

// The warning of a refused copy's end: its calls were refused, never queued, and why.
void warnOfRefusedCalls(std::int64_t calls, const std::string& why) {
  warnAtOnce(platform::format("Calls refused, never queued nor stored: %@. %@", Value(calls), why));
}

// A wait for queued work, shared with the blocks and the timer, which may run after it gave up.
struct AppEndWait {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  bool expired = false;
  bool over = false;  // the waiting thread no longer waits
  // The marker reached the worker with work of the wait's left (calls still on the interface's
  // queues, writes the worker has not ended): the waiting thread looks for the rest to end.
  bool passed = false;
  // The work waited for: that queued before the wait began (endWorkBefore).
  WorkBefore before;
  // The engine whose events this wait counts.
  std::shared_ptr<TLMMeasurementEngine> engine;
  // Takes `e` as the wait's engine as soon as it exists (it may be made by the start's
  // initialisation only after the wait began).
  void countOn(const std::shared_ptr<TLMMeasurementEngine>& e) {
    std::lock_guard<std::mutex> lock(mutex);
    if (over || engine || !e) return;
    engine = e;
  }
  void settle(bool isDone) {
    std::lock_guard<std::mutex> lock(mutex);
    (isDone ? done : expired) = true;
    changed.notify_all();
  }
  bool settled() {
    std::lock_guard<std::mutex> lock(mutex);
    return done || expired;
  }
  void pass() {
    std::lock_guard<std::mutex> lock(mutex);
    passed = true;
    changed.notify_all();
  }
};

// Whether anything of the work before `before` is left: a call on the interface's queues, or a
// store write of that work that has not ended. Work queued later is not looked at.
bool workLeftBefore(const WorkBefore& before, const std::shared_ptr<TLMMeasurementEngine>& e) {
  return pendingOperationsBefore(before) > 0 || e->hasUnfinishedWritesUpToGeneration(before.generation);
}

void queueOperation(platform::Block block, bool counted);

// On the worker, where the marker comes once what was queued on each queue before it ran: ends
// the wait when nothing of the work it waits for is left; else the waiting thread watches the
// rest end (what that work queues behind the marker, such as error events and calls of the SDK's
// own). Nothing goes round again behind what other threads queued after the wait began.
void finishAppEndWaitOnWorker(const std::shared_ptr<AppEndWait>& wait, const std::shared_ptr<TLMMeasurementEngine>& e);

// The wait's marker takes the road of the calls before it: operation queue, serial queue, worker.
void sendAppEndMarker(const std::shared_ptr<AppEndWait>& wait) {
  queueOperation([wait] {
    auto e = engine();
    if (!e) return wait->settle(true);
    wait->countOn(e);
    e->scheduler()->scheduleOnWorkerQueueBlockID("TLMAnalytics:1", [wait, e] { finishAppEndWaitOnWorker(wait, e); });
  }, false);
}

void finishAppEndWaitOnWorker(const std::shared_ptr<AppEndWait>& wait, const std::shared_ptr<TLMMeasurementEngine>& e) {
  if (wait->settled()) return;
  if (workLeftBefore(wait->before, e)) return wait->pass();
  e->persistedConfig()->synchronizeToDisk();
  wait->settle(true);
}

// The app's end (UIApplicationWillTerminateNotification): true when all was done in its time.
bool endApp(double timeoutSeconds);

}  // namespace

void TLMAnalytics::observeAppEnd() {
  std::atomic<bool>& observing = state().observingAppEnd;
  if (observing.load() || observing.exchange(true)) return;
  platform::UndoneOnUnwind unobserved([&observing] { observing.store(false); });  // no memory for it
  // Marks the app's end incomplete when the wait for queued work answers false.
  platform::NotificationCenter::defaultCenter().addObserver(
      &state().terminationObserverTag, kTLMAppWillTerminateNotification, Value(),
      [](const platform::Notification& notification) {
        const bool ended = endApp(kTLMAppTerminationWaitSeconds);
        OBXLoggerWriteHeldLines();  // the lines held back, said before the process may end
        if (ended) return;
        if (auto report = UIApplicationTerminationReport::inNotification(notification.userInfo)) {
          report->markIncomplete();
        }
      });
  unobserved.done();
}

namespace {

std::shared_ptr<TLMPersistedConfig> persistedConfig() {
  if (auto e = engine()) return e->persistedConfig();
  return TLMPersistedConfig::sharedInstance();
}

// The text of a value for error events: a string as it is, else its description.
TLMObject errorValueText(const TLMObject& object) {
  if (object.isString()) return object;
  return TLMObject(object.description());
}

// A string's truth as the platform reads it: a leading "Y", "y", "T", "t" or non-zero digit.
bool boolOfString(const std::string& text) {
  std::size_t i = text.find_first_not_of(" \t\n");
  if (i == std::string::npos) return false;
  if (text[i] == '+' || text[i] == '-') ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  const char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// The interface's observer of the app's payment queue: purchases go, in call order with the
// other held work, through the engine's purchase filter to the purchase reporter.
class PaymentQueueObserver : public SKPaymentTransactionObserver {
 public:
  void paymentQueueUpdatedTransactions(
      SKPaymentQueue&, const std::vector<std::shared_ptr<const SKPaymentTransaction>>& transactions) override {
    if (!usable("paymentQueueUpdatedTransactions")) return;
    Call call{"paymentQueueUpdatedTransactions"};
    call.kept = true;
    queueCall(call, [transactions] {
      if (enabledFlag()) TLMReportPaymentQueueTransactions(engine(), transactions);
    });
  }
};

// The payment queue holds its observers weakly; this one lives as long as the process.
const std::shared_ptr<PaymentQueueObserver>& paymentQueueObserver() {
  static const auto& observer = *new auto(std::make_shared<PaymentQueueObserver>());
  return observer;
}

// Starts the tag manager when its library is linked and registered its class.
void maybeEnableTagManager() {
  auto tagManager = std::dynamic_pointer_cast<TLMTagManagerClass>(
      platform::ClassRegistry::classNamed(kTLMTagManagerClassName));
  if (!tagManager) return;
  auto initialize = tagManager->initializeSharedInstance();
  if (!initialize) {
    tlm_monitor()->logWithLevel(2, 25016, "ZEPManager class doesn't define initializeSharedInstance");
    return;
  }
  initialize();
}

// Main queue, once: the app delegate's URL and user-activity callbacks reach handleOpenURL.
void createAppDelegateProxy() {
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().appDelegateProxyCreated) return;
    state().appDelegateProxyCreated = true;
  }
  OBXAppDelegateSwizzler::proxyOriginalDelegate();
  TLMAppDelegateInterceptor::sharedInstance()->setHandlers(
      {&TLMAnalytics::handleOpenURL, [](const platform::UserActivity& activity) {
         return TLMMeasurementEngine::deepLinkFromUserActivity(activity);
       }});
  TLMAppDelegateInterceptor::registerWithAppDelegateProxy();
}

}  // namespace

// MARK: - Starting

bool TLMValidateSafelistedEvents(const Value& value) {
  if (!value.isArray()) {
    tlm_monitor()->logWithLevel(1, 25034, "Invalid safelisted event parameter. Type must be an array");
    return false;
  }
  for (const Value& element : *value.arrayPtr()) {
    if (!TLMDataTypeValidator::isValidInternalEventName(TLMObject(element))) {
      tlm_monitor()->logWithLevel(1, 25035, "Invalid event name for safelisting. Name", element);
      return false;
    }
  }
  return true;
}

void TLMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::Dictionary& options) {
  if (CDVForkedChild::refuses("startWithAppID")) return;
  if (!TLMAEU::isOSSupported()) {
    OBXLogError(kTLMMonitorDefaultLogTag, true, TLMMessageCodeString(25032),
                "Tally Mark only supports iOS 7 and above. Tally Mark is disabled.");
    return;
  }
  if (platform::ClassRegistry::hasClassNamed("CDVADatabase")) {
    tlm_monitor()->logWithLevel(1, 25029,
                                "Detected an older version of Ombrix Analytics for Cindervale framework. Data "
                                "collection will be disabled. Please upgrade to the latest version of Ombrix "
                                "Analytics for Cindervale");
    return;
  }
  if (platform::ClassRegistry::hasClassNamed("CDVAnalytics")) {
    if (origin != "xq") {
      tlm_monitor()->logWithLevel(4, 25026, "Deferring to Cindervale for event data collection");
      return;
    }
  } else if (!TLMInfoPlistFileUtil::ombrixServiceInfoPlistPath().value_or("").empty()) {
    tlm_monitor()->logWithLevel(1, 25027,
                                "Deferring to Ombrix Analytics for Cindervale for event data collection. "
                                "https://cindervale.ombrix.com/docs/analytics/ios/start");
    return;
  }
  if (platform::Error noFolder; !platform::sandbox::available(&noFolder)) {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      if (state().started) return;
      first = !state().refused;
      state().refused = true;
    }
    if (first) tlm_monitor()->logWithLevel(1, 25037, noFolder.description);
    unsuspendOperationQueue();  // what waited for the start is dropped
    return;
  }
  auto identity = TLMIdentity::sharedInstance();
  if (platform::ClassRegistry::hasClassNamed("VLXMobileAds") &&
      TLMInfoPlistFileUtil::dictionaryFromOmbrixServiceInfoPlist() &&
      identity && identity->appIDFromVeltrix().value_or("").empty()) {
    tlm_monitor()->logWithLevel(
        4, 25028,
        "Veltrix and Cindervale are in use in this app, but are not linked. For analytics data consistency "
        "and integrity, it is highly recommended that you link your Veltrix app to the corresponding "
        "Cindervale app and re-download the OmbrixServices-Info.plist file. See "
        "https://support.ombrix.com/veltrix/answer/link-cindervale for more information.");
  }
  if (!options.empty()) {
    const Value* tag = options.find(kTLMStartOptionLogTag);
    if (tag != nullptr && tag->isString() && !tag->stringValue()->empty()) {
      TLMMeasurementEngine::installLibraryMonitor();
      if (auto diagnostic = std::dynamic_pointer_cast<TLMDiagnosticMonitor>(tlm_monitor())) {
        diagnostic->setLogTag(*tag->stringValue());
      }
    } else {
      tlm_monitor()->logWithLevel(1, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }

  EngineInitializer initializer;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().started) return;
    state().started = true;
    state().refused = false;
    initializer = state().engineInitializer;
  }
  // A start cut off (its thread cancelled in a settings write, an exception) is not left started:
  // the next configure starts again, and what this one did is done again.
  platform::UndoneOnUnwind unstarted([] {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().started = false;
  });
  // Without an identity (none could be made, as logged) the engine's own says what it lacks.
  if (identity && origin == "xq" && identity->appIDFromQPX().value_or("") != appID) {
    const auto stored = identity->appIDFromQPX();
    identity->setAppIDFromQPX(appID);
    tlm_monitor()->logWithLevel(1, 25020,
                                "Analytics requires Ombrix App ID from OmbrixService-Info.plist. Your data may be "
                                "lost. Ombrix App ID has been changed. Original, new ID",
                                stored ? Value(*stored) : Value(), Value(appID));
  }
  if (identity && origin == "vx" && identity->appIDFromVeltrix().value_or("") != appID) {
    const auto stored = identity->appIDFromVeltrix();
    tlm_monitor()->logWithLevel(4, 25031, "Veltrix App ID changed. Original, new", stored ? Value(*stored) : Value(),
                                Value(appID));
    identity->setAppIDFromVeltrix(appID);
  }
  platform::NotificationCenter::defaultCenter().post(kTLMAnalyticsWillStartNotification);
  TLMIdentifiers::sharedInstance()->setOrigin(origin);

  auto flag = [&](const char* key, bool fallback) {
    const Value* value = options.find(key);
    return value != nullptr && value->isNumber() ? value->boolValue().value_or(fallback) : fallback;
  };
  const bool collectionEnabled = flag(kTLMStartOptionCollectionEnabled, true);
  const bool deactivated = flag(kTLMStartOptionCollectionDeactivated, false);
  const Value* configuration = options.find(kTLMStartOptionConfiguration);
  std::vector<std::string> safelisted;
  if (const Value* list = options.find(kTLMStartOptionSafelistedEvents); list != nullptr && TLMValidateSafelistedEvents(*list)) {
    for (const Value& name : *list->arrayPtr()) safelisted.push_back(name.stringValue().value_or(""));
  }
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().deactivated = deactivated;
  }
  // The engine's own events passed the bound of the events waiting: their notices never give way.
  TLMMeasurementEngine::setEventListenerNotifier([](const TLMEventPtr& event) {
    if (!usable("notifyEventListeners")) return;
    Call call{"notifyEventListeners"};
    call.kept = true;
    queueCall(call, [event] { notifyEventListenersOnSerialQueue(event); });
  });
  // Engine work that must follow what the app's calls queued here (the upload on resigning
  // active) goes the way those calls went.
  TLMMeasurementEngine::setInterfaceQueueDispatcher([](platform::Block block) {
    if (!usable("queueOperationWithBlock")) return;
    Call call{"queueOperationWithBlock"};
    call.kept = true;
    queueCall(call, std::move(block));
  });
  observeAppEnd();
  if (!initializer) initializer = &TLMMeasurementEngine::initializeSharedInstanceWithAppID;
  dispatchOnSerialQueue(queues(), [appID, collectionEnabled, deactivated, safelisted, initializer] {
    initializer(appID, collectionEnabled, deactivated, safelisted);
    if (OBXAppDelegateSwizzler::isAppDelegateProxyEnabled() && !deactivated) {
      platform::Queue::main()->async(createAppDelegateProxy);
    }
    auto e = engine();
    const bool wasEnabled = e && e->wasEnabledDuringInitialization();
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      state().enabled = wasEnabled;
    }
    maybeEnableTagManager();
  });
  if (configuration != nullptr && !configuration->isNull()) observeNotificationsForAnalyticsConfiguration(*configuration);
  SKPaymentQueue::defaultQueue().addTransactionObserver(paymentQueueObserver());
  unstarted.done();
  unsuspendOperationQueue();
}

void TLMAnalytics::resetAnalyticsData() {
  if (CDVForkedChild::refuses(__func__) || cdv_copies::refusesBesideWorkingCopy(__func__)) return;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().loadTimestamp = now();
  }
  if (!usable(__func__)) return;
  // A reset right after another, nothing between them, is that reset.
  Call call{__func__};
  call.kept = true;
  call.setting = "reset";
  queueCall(call, [] {
    if (auto e = engine()) e->resetAnalyticsData();
  });
}

void TLMAnalytics::handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                       std::function<void()> completionHandler) {
  if (CDVForkedChild::refuses(__func__)) {
    if (completionHandler) completionHandler();
    return;
  }
  OBXNetwork::handleEventsForBackgroundURLSessionID(sessionID, std::move(completionHandler));
}

double TLMAnalytics::loadTimestamp() {
  if (CDVForkedChild::refuses(__func__)) return 0;
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().loadTimestamp;
}

// MARK: - Queues

void TLMAnalytics::dispatchAsyncOnSerialQueue(platform::Block block) {
  if (CDVForkedChild::refuses(__func__)) return;
  Call call{__func__};
  call.toSerialQueue = true;
  queueCall(call, std::move(block));
}

namespace {

// queueOperationWithBlock, for callers that found this process usable; `counted`: among the
// pending operations the wait for queued work reports.
void queueOperation(platform::Block block, bool counted) {
  const TLMAnalyticsQueues q = queues();
  if (startRefused()) {
    if (counted) state().lostCalls.fetch_add(1);
    return;
  }
  if (!counted) {
    // The block runs on the serial queue as work of the caller's generation.
    const std::uint64_t generation = TLMScheduler::currentWorkGeneration();
    // Handed on, not copied: a burst of calls keeps one copy of each in memory.
    q.operationQueue->async([serial = q.serialQueue, block = std::move(block), generation]() mutable {
      if (startRefused()) return;
      serial->async([block = std::move(block), generation] {
        TLMScheduler::WorkGeneration running(generation);
        block();
      });
    });
    return;
  }
  // A host's call is counted in the order queued; the SDK's own work by its generation.
  struct Done {
    std::uint64_t ownGeneration;
    ~Done() {
      if (ownGeneration == 0) {
        state().hostOperationsDone.fetch_add(1);
      } else {
        countOwnPendingOperation(ownGeneration, -1);
      }
    }
  };
  const std::uint64_t ownGeneration = TLMScheduler::runningWorkGeneration();
  if (ownGeneration == 0) {
    state().hostOperationsQueued.fetch_add(1);
  } else {
    countOwnPendingOperation(ownGeneration, 1);
  }
  if (auto* hook = state().callCountedHook.load(std::memory_order_relaxed)) hook();
  // The block runs on the serial queue as work of the caller's generation, read once the call is
  // counted (endWorkBefore).
  const std::uint64_t generation = TLMScheduler::currentWorkGeneration();
  try {
    q.operationQueue->async([serial = q.serialQueue, block = std::move(block), generation, ownGeneration]() mutable {
      if (startRefused()) {
        Done dropped{ownGeneration};
        state().lostCalls.fetch_add(1);
        return;
      }
      try {
        serial->async([block = std::move(block), generation, ownGeneration] {
          Done done{ownGeneration};
          TLMScheduler::WorkGeneration running(generation);
          block();
        });
      } catch (...) {
        Done done{ownGeneration};
        throw;
      }
    });
  } catch (...) {
    Done done{ownGeneration};
    throw;
  }
}

void dispatchOnSerialQueue(const TLMAnalyticsQueues& q, platform::Block block) {
  q.serialQueue->async([generation = TLMScheduler::currentWorkGeneration(), block = std::move(block)] {
    TLMScheduler::WorkGeneration running(generation);
    block();
  });
}

// A call dropped past the bound of what waits in memory: counted for the app's end whose work it
// was, and said at the first of a run of drops and at every 1,000th.
void countDroppedCall(const std::string& name) {
  State& s = state();
  const std::uint64_t generation = TLMScheduler::currentWorkGeneration();
  std::int64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(s.pendingMutex);
    ++s.droppedCallsByGeneration[generation];
    dropped = s.droppedCalls.fetch_add(1) + 1;
  }
  const std::int64_t inRun = s.droppedCallsInRun.fetch_add(1) + 1;
  if (inRun == 1 || inRun % 1000 == 0) {
    tlm_monitor()->logWithLevel(1, 25040,
                                "Data loss. Too many calls wait in memory to be handled. Call dropped. "
                                "Call, calls dropped, bound in bytes",
                                Value(name), Value(dropped), Value(TLMMeasurementEngine::maxQueuedEventBytes()));
  }
}

// The calls dropped of the work of `generation` or before that no app's end reported: reported
// from now on (by the end that asks, which says so).
std::int64_t reportDroppedCalls(std::uint64_t generation) {
  State& s = state();
  std::int64_t upTo = 0;
  {
    std::lock_guard<std::mutex> lock(s.pendingMutex);
    std::int64_t later = 0;
    for (auto it = s.droppedCallsByGeneration.upper_bound(generation); it != s.droppedCallsByGeneration.end(); ++it) {
      later += it->second;
    }
    upTo = s.droppedCalls.load() - later;
  }
  std::int64_t reported = s.reportedDroppedCalls.load();
  while (reported < upTo && !s.reportedDroppedCalls.compare_exchange_weak(reported, upTo)) {
  }
  return std::max<std::int64_t>(0, upTo - reported);
}

// queueCall's share under the calls' lock.
bool queueCallInTurn(const Call& call, platform::Block& work, const TLMAnalyticsQueues& q) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.callsMutex);
  const std::int64_t hostOperations = s.hostOperationsQueued.load();
  if (!call.setting.empty() && s.lastSetting && s.lastSettingKey == call.setting && s.lastSettingMark == hostOperations &&
      s.lastSetting->replace(work)) {
    return true;
  }
  auto admitted = TLMMeasurementEngine::admitWaitingCall(call.bytes, call.kept);
  if (!admitted) {
    countDroppedCall(call.name);  // nothing queued: the newest call stays the newest
    return false;
  }
  if (s.droppedCallsInRun.load(std::memory_order_relaxed) != 0) s.droppedCallsInRun.store(0);
  platform::Block block;
  std::shared_ptr<WaitingSetting> setting;
  if (call.setting.empty()) {
    block = [work = std::move(work), waiting = std::move(*admitted)] { work(); };
  } else {
    // Taken when it runs, or when its block goes unrun (the start was refused): never taken over
    // then, so that no later call is lost with it uncounted.
    struct Taker {
      explicit Taker(std::shared_ptr<WaitingSetting> s) : setting(std::move(s)) {}
      Taker(const Taker&) = delete;
      Taker& operator=(const Taker&) = delete;
      ~Taker() { setting->take(); }
      const std::shared_ptr<WaitingSetting> setting;
    };
    setting = std::make_shared<WaitingSetting>(std::move(work));
    block = [taker = std::make_shared<Taker>(setting), waiting = std::move(*admitted)] {
      if (platform::Block run = taker->setting->take()) run();
    };
  }
  // What the SDK's own work queues is not among the host's operations: never taken over.
  const bool own = TLMScheduler::runningWorkGeneration() != 0;
  s.lastSettingKey = call.setting;
  s.lastSetting = setting;
  s.lastSettingMark = own || !setting ? -1 : hostOperations + (call.toSerialQueue ? 0 : 1);
  if (call.toSerialQueue) {
    dispatchOnSerialQueue(q, std::move(block));
  } else {
    queueOperation(std::move(block), true);
  }
  return true;
}

bool queueCall(const Call& call, platform::Block work) {
  const TLMAnalyticsQueues q = queues();
  if (call.setting.empty()) return queueCallInTurn(call, work, q);
  // A log call counts itself and queues its work on the timestamp queue: there, none is halfway
  // (counted, not yet queued) while a setter looks whether one came after its previous call.
  bool queued = false;
  q.timestampQueue->sync([&] { queued = queueCallInTurn(call, work, q); });
  return queued;
}

}  // namespace

void TLMAnalytics::queueOperationWithBlock(platform::Block block) {
  if (usable(__func__)) queueCall({__func__}, std::move(block));
}

void TLMAnalytics::unsuspendOperationQueue() {
  if (CDVForkedChild::refuses(__func__)) return;
  queues().operationQueue->resume();
}

bool TLMAnalytics::isCurrentQueueSerialQueue() {
  return !CDVForkedChild::refuses(__func__) && queues().serialQueue->isCurrent();
}

void TLMAnalytics::countCallRefusedBeforeStart() {
  observeAppEnd();  // which reports the call lost
  state().lostCalls.fetch_add(1);
}

namespace {

// Whether the calling thread runs a block of one of the queues the queued work goes through (it
// could not go on while this thread waits).
bool onAQueueOfTheWork() {
  const TLMAnalyticsQueues q = queues();
  if (q.operationQueue->isCurrent() || q.serialQueue->isCurrent() || q.timestampQueue->isCurrent()) return true;
  auto e = engine();
  return e && e->scheduler()->workerQueue()->isCurrent();
}

bool startedFlag() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().started;
}

}  // namespace

bool TLMAnalytics::waitForQueuedWork(double timeoutSeconds) {
  if (!usable(__func__)) return false;
  if (!(timeoutSeconds > 0)) timeoutSeconds = 0;  // NaN, -0 and below 0: no wait, shown as 0
  // The work queued before this call; other threads' calls from now on are not waited for.
  const WorkBefore before = endWorkBefore();
  if (!startedFlag()) {
    const std::int64_t calls =
        pendingOperationsBefore(before) + state().lostCalls.load() + reportDroppedCalls(before.generation);
    if (calls > 0) {
      // A copy refused (another works, or it is apart) queued none of them: its end says so, and why.
      if (const std::string why = cdv_copies::refusal(); !why.empty()) {
        warnOfRefusedCalls(calls, why);
      } else {
        warnOfWorkNotStored(0, 0, calls, 0);
      }
    }
    // Beside another copy of the SDK that works, this one never starts: what the app logged is
    // that copy's to store (the app's end waits for it there), and nothing of this one's is lost.
    return calls == 0 && cdv_copies::otherWorkingCopy() != nullptr;
  }
  if (onAQueueOfTheWork()) return false;
  auto wait = std::make_shared<AppEndWait>();
  wait->before = before;
  wait->countOn(engine());
  const auto clock = platform::Clock::current();
  const double begun = clock->now();
  const double deadline = clock->uptime() + timeoutSeconds;
  // The timer ends the wait of a clock that tests move; with no thread to fire it on (none can
  // be started) this thread keeps the deadline itself.
  const auto timer = clock->scheduleTimer(timeoutSeconds, [wait] { wait->settle(false); });
  sendAppEndMarker(wait);
  std::unique_lock<std::mutex> lock(wait->mutex);
  while (!wait->done && !wait->expired) {
    const double left = deadline - clock->uptime();
    if (!(left > 0)) {
      wait->expired = true;
      break;
    }
    if (wait->passed) {
      // The rest ends on the SDK's threads, which tell nobody: looked at now and then, without
      // this thread's lock (the marker's block takes it).
      std::shared_ptr<TLMMeasurementEngine> e = wait->engine;
      lock.unlock();
      const bool rest = !e || workLeftBefore(before, e);
      if (!rest) e->persistedConfig()->synchronizeToDisk();
      lock.lock();
      if (!rest) {
        wait->done = true;
        break;
      }
    }
    const double pause = wait->passed ? kAppEndLookAgainSeconds : 3600.0;
    wait->changed.wait_for(lock, std::chrono::duration<double>(std::min(deadline - clock->uptime(), pause)));
  }
  const bool done = wait->done;
  wait->over = true;
  std::shared_ptr<TLMMeasurementEngine> counted = wait->engine;
  lock.unlock();
  clock->cancelTimer(timer);
  // Every event that failed since the last end that reported its losses, before this wait too;
  // the events not yet stored of the work before it.
  if (!counted) counted = engine();
  const auto [failedTotal, unfinished] = counted ? counted->failedAndUnfinishedEventCounts(before.generation)
                                                 : std::pair<std::int64_t, std::int64_t>{0, 0};
  const std::int64_t failed =
      counted ? std::max<std::int64_t>(0, failedTotal - counted->reportedFailedEventCount()) : 0;
  const std::int64_t pending = pendingOperationsBefore(before);
  // Every call dropped since the last end that reported its losses, of the work before this one.
  const std::int64_t dropped = reportDroppedCalls(before.generation);
  // The time may run out while the marker goes round behind what other threads queue meanwhile,
  // after everything before the wait was stored: nothing is left, and the answer says so.
  const bool allStored = done || (counted && unfinished == 0 && pending == 0);
  if (!allStored || failed > 0 || dropped > 0) {
    warnOfWorkNotStored(failed, unfinished, pending + dropped,
                        done ? std::max(0.0, clock->now() - begun) : timeoutSeconds);
    if (counted) counted->markFailedEventsReported(failedTotal);
  }
  return allStored && failed == 0 && dropped == 0;
}

namespace {

// The app's end's wait for the upload in flight, shared with the engine's call and the timer,
// which may come after it gave up.
struct UploadWait {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<TLMMeasurementEngine::UploadSettlement> settlement;
  bool expired = false;
  void settle(const TLMMeasurementEngine::UploadSettlement& how) {
    std::lock_guard<std::mutex> lock(mutex);
    settlement = how;
    changed.notify_all();
  }
  void expire() {
    std::lock_guard<std::mutex> lock(mutex);
    expired = true;
    changed.notify_all();
  }
};

// The warning of an end after which bundles will be sent again (at a later launch): counted, and
// why.
void warnOfBundlesSentAgain(const TLMMeasurementEngine::UploadCounts& counts, const char* why, double secondsWaited) {
  warnAtOnce(platform::format("Events may be sent twice. %@ Bundles, events that go again at a later launch, "
                              "seconds waited: %@, %@, %@",
                              Value(why), Value(counts.bundles), Value(counts.events),
                              Value(std::round(secondsWaited * 1000) / 1000)),
             25038);
}

bool endApp(double timeoutSeconds) {
  if (!(timeoutSeconds > 0)) timeoutSeconds = 0;
  const auto clock = platform::Clock::current();
  const double begun = clock->now();
  const double deadline = clock->uptime() + timeoutSeconds;
  // From here on no upload starts (the app is ending: one would most likely be cut off, its
  // bundles sent again at the next launch); the one in flight is waited for below.
  auto upload = std::make_shared<UploadWait>();
  std::optional<TLMMeasurementEngine::UploadCounts> inFlight;
  if (usable("UIApplicationWillTerminateNotification") && startedFlag()) {
    if (auto e = engine()) {
      inFlight = e->holdUploadsForAppEnd([upload](const TLMMeasurementEngine::UploadSettlement& how) { upload->settle(how); });
    }
  }
  const bool stored = TLMAnalytics::waitForQueuedWork(timeoutSeconds);
  // On a queue of the work the reply could not be handled either (its answer is already false).
  if (!inFlight || onAQueueOfTheWork()) return stored;
  tlm_monitor()->logWithLevel(7, 25039, "The app's end waits for the upload in flight. Bundles, events",
                              Value(inFlight->bundles), Value(inFlight->events));
  // As the wait for queued work: a timer for a clock that tests move, the deadline kept here too.
  const auto timer = clock->scheduleTimer(std::max(0.0, deadline - clock->uptime()), [upload] { upload->expire(); });
  std::unique_lock<std::mutex> lock(upload->mutex);
  while (!upload->settlement && !upload->expired) {
    const double left = deadline - clock->uptime();
    if (!(left > 0)) break;
    upload->changed.wait_for(lock, std::chrono::duration<double>(std::min(left, 3600.0)));
  }
  const std::optional<TLMMeasurementEngine::UploadSettlement> settlement = upload->settlement;
  lock.unlock();
  clock->cancelTimer(timer);
  if (!settlement) {
    warnOfBundlesSentAgain(*inFlight, "The app's end ran out of time before the collector answered an upload.",
                           timeoutSeconds);
    return false;
  }
  if (settlement->acceptedNotDeleted) {
    warnOfBundlesSentAgain(settlement->counts, "The collector accepted an upload whose bundles could not be deleted.",
                           std::max(0.0, clock->now() - begun));
    return false;
  }
  return stored;
}

}  // namespace

// MARK: - Switches

void TLMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  if (persistSetting) {
    // Beside another copy of the SDK, the switch is written only by the copy that works (held
    // until this one configures while none does).
    const auto write = [enabled] {
      persistedConfig()->setMeasurementEnabledState(enabled ? TLMMeasurementEnabledStateEnabled
                                                            : TLMMeasurementEnabledStateDisabled);
    };
    switch (cdv_copies::writeOfTheApp("setAnalyticsCollectionEnabled", write)) {
      case cdv_copies::AppWrite::now:
        break;
      case cdv_copies::AppWrite::held:
        persistSetting = false;
        break;
      case cdv_copies::AppWrite::refused:
        return;
    }
  }
  if (CDVForkedChild::refuses("setAnalyticsEnabled")) return;
  // The switch's last call wins; one never gives way to events waiting. A switch kept on disk is
  // never taken over by one that is not (whose work would not write it).
  Call call{"setAnalyticsCollectionEnabled"};
  call.kept = true;
  call.toSerialQueue = true;
  call.setting = persistSetting ? "collection" : "collection for this run";
  queueCall(call, [enabled, persistSetting] {
    if (persistSetting) {
      persistedConfig()->setMeasurementEnabledState(enabled ? TLMMeasurementEnabledStateEnabled
                                                            : TLMMeasurementEnabledStateDisabled);
    }
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      if (state().deactivated && enabled) return;
      state().enabled = enabled;
    }
    if (auto e = engine()) e->setEnabled(enabled);
  });
}

bool TLMAnalytics::isEnabled() { return !CDVForkedChild::refuses(__func__) && enabledFlag(); }

void TLMAnalytics::observeNotificationsForAnalyticsConfiguration(const Value& configuration) {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(&state().observerTag);
  if (configuration.isNull()) return;
  center.addObserver(&state().observerTag, kTLMAnalyticsConfigurationSetEnabledNotification, configuration,
                     [](const platform::Notification& notification) {
                       const Value& value = notification.userInfo[kTLMAnalyticsConfigurationSetEnabledNotification];
                       if (value.isNumber()) {
                         setAnalyticsEnabled(value.boolValue().value_or(false), false);
                       } else {
                         tlm_monitor()->logWithLevel(4, 25000, "Received setEnabled notification without NSNumber", value);
                       }
                     });
}

void TLMAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
  if (!usable(__func__)) return;
  if (!platform::Queue::isMainQueue()) {
    tlm_monitor()->logWithLevel(3, 25025,
                                "setScreenName:screenClass: must be called from the main thread to ensure that "
                                "events are associated with the intended screen.");
    return;
  }
  if (auto e = engine()) e->screenReporter()->setScreenName(screenName, screenClass);
}

std::optional<std::string> TLMAnalytics::appInstanceID() {
  // Without a folder nothing is kept: an identifier made now would change with every launch.
  // Beside another copy of the SDK that works, the identity is that copy's to make.
  if (!usable(__func__) || cdv_copies::refusesBesideWorkingCopy(__func__) || !platform::sandbox::available(nullptr)) {
    return std::nullopt;
  }
  const auto identity = TLMIdentity::sharedInstance();  // none when it could not be made, as logged
  return identity ? std::optional<std::string>(identity->appInstanceID()) : std::nullopt;
}

// MARK: - Events

namespace {

// The event paths past the check of the public entry point that leads to them (usable): a log
// call checks once.

// What a log call leaves waiting counts among the events waiting in memory before it is queued:
// none when those leave no room (the engine drops the event, counts it and says so), so that the
// queues hold no more than the bound, however fast the host logs. Before the engine is made (the
// start's first moments) the call is counted and never dropped.
std::optional<TLMWaitingEventBytes> admitCall(const std::shared_ptr<TLMMeasurementEngine>& e, const std::string& origin,
                                              const std::string& name, const TLMObjectDictionary& parameters) {
  const std::int64_t bytes = TLMMeasurementEngine::queuedEventBytes(origin, name, parameters);
  if (!e) return TLMMeasurementEngine::countWaitingEvent(bytes);
  return e->admitWaitingEvent(name, bytes);
}

void logEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
              const TLMObjectDictionary& parameters) {
  const auto e = TLMMeasurementEngine::initializedSharedInstance();  // engine(): the system is checked
  auto admitted = admitCall(e, origin, name, parameters);
  if (!admitted) return;
  TLMObjectDictionary screen;
  if (e && !TLMHasScreenParameters(parameters)) screen = e->screenReporter()->screenParameters();
  // The stamp and the queuing happen together, one event at a time: operations enter the
  // operation queue in the order of their timestamps.
  timestampQueue()->sync([&] {
    const double timestamp = now();
    queueOperation([origin, isPublicEvent, name, parameters, timestamp, screen,
                    waiting = std::move(*admitted)]() mutable {
      TLMAnalytics::logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp, false, false,
                                                    screen, std::move(waiting));
    }, true);
  });
}

void logPublicEvent(const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters) {
  TLMValidationFailure failure = TLMValidationFailureNone;
  if (TLMDataTypeValidator::isValidPublicEventName(TLMObject(name), &failure)) {
    logEvent(origin, true, name, parameters);
  } else {
    TLMLogErrorEventWithParameters(failure == TLMValidationFailureReserved ? 13 : 2, TLMObject(name),
                                   kMaxEventNameLength, TLMObject(name));
  }
}

}  // namespace

void TLMAnalytics::logEventWithName(const std::string& name, const TLMObjectDictionary& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void TLMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const TLMObjectDictionary& parameters) {
  if (usable(__func__)) logPublicEvent(origin, name, parameters);
}

void TLMAnalytics::logEventWithOriginInSDKProcess(const std::string& origin, const std::string& name,
                                                  const TLMObjectDictionary& parameters) {
  if (TLMAEU::isOSSupported()) logPublicEvent(origin, name, parameters);
}

void TLMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const TLMObjectDictionary& parameters) {
  if (!usable(__func__)) return;
  const TLMObject* adEventID = origin == "vx" ? parameters.find("_aeid") : nullptr;
  if (adEventID != nullptr && adEventID->isString()) {
    tlm_monitor()->logWithLevel(5, 25023, "Converting AdEvent ID param from string to int64");
    if (TLMIsValidNumericString(*adEventID->stringPtr())) {
      TLMObjectDictionary converted = parameters;
      converted.set("_aeid", TLMObject(TLMValue(static_cast<std::int64_t>(std::strtoll(adEventID->stringPtr()->c_str(), nullptr, 10)))));
      logEvent(origin, false, name, converted);
      return;
    }
    tlm_monitor()->logWithLevel(2, 25024, "AdEvent ID string is not a number");
  }
  logEvent(origin, false, name, parameters);
}

void TLMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const TLMObjectDictionary& parameters) {
  if (usable(__func__)) logEvent(origin, isPublicEvent, name, parameters);
}

void TLMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const TLMObjectDictionary& parameters, double timestamp,
                                      bool ignoreEnabled, bool ignoreInterceptor) {
  if (!usable(__func__)) return;
  auto admitted = admitCall(engine(), origin, name, parameters);
  if (!admitted) return;
  queueOperation([=, waiting = std::move(*admitted)]() mutable {
    logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                    ignoreInterceptor, {}, std::move(waiting));
  }, true);
}

void TLMAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name, const TLMObjectDictionary& given,
                                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                                   TLMObjectDictionary addedScreenParameters,
                                                   TLMWaitingEventBytes waiting) {
  TLMObjectDictionary parameters = given;
  if (ignoreInterceptor && addedScreenParameters.empty() &&
      TLMDataTypeValidator::isValidForwardedEventOrigin(TLMObject(origin))) {
    addedScreenParameters = TLMExtractScreenParameters(parameters);
    for (const auto& key : addedScreenParameters.keys()) parameters.remove(key);
  }
  const std::int64_t eventID = TLMNumericUtil::randomInt64();
  std::vector<TLMEventPtr> events = eventsToLogWithEventID(eventID, origin, isPublicEvent, name, timestamp, parameters);
  if (events.empty()) {
    tlm_monitor()->logWithLevel(1, 25017, "No events to log. Invalid event(s). Name, origin, parameters",
                                Value(TLMFormattedEventName(TLMObject(name))), Value(origin),
                                Value(TLMFormattedParametersDescription(parameters)));
    return;
  }
  if (!addedScreenParameters.empty()) {
    for (const auto& event : events) event->addScreenParameters(addedScreenParameters);
  }
  TLMLogEventInterceptor interceptor;
  bool enabled;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    interceptor = state().interceptor;
    enabled = state().enabled;
  }
  if (!enabled && !ignoreEnabled) {
    logEventsOnWorkerQueue(events, false, std::move(waiting));
    return;
  }
  const TLMEventPtr& first = events.front();
  if (first->origin() == "vx" || first->name() == "_xa" || first->name() == "_xu") {
    logEventsOnWorkerQueue(events, false, std::move(waiting));
    return;
  }
  if (!interceptor || ignoreInterceptor || !isPublicEvent) {
    logEventsOnWorkerQueue(events, true, std::move(waiting));
    return;
  }
  TLMObjectDictionary merged = parameters;
  for (const auto& [key, value] : addedScreenParameters) merged.set(key, value);
  interceptor(origin, name, merged, timestamp);
}

std::vector<TLMEventPtr> TLMAnalytics::eventsToLogWithEventID(std::int64_t eventID, const std::string& origin,
                                                              bool isPublic, const std::string& name,
                                                              double timestamp,
                                                              const TLMObjectDictionary& parameters) {
  if (TLMHasArrayParameters(parameters)) {
    return TLMDecomposeEvent(eventID, name, origin, parameters, isPublic, timestamp).value_or(std::vector<TLMEventPtr>{});
  }
  if (auto event = TLMEvent::initWithOrigin(origin, isPublic, name, timestamp, 0, parameters)) return {event};
  tlm_monitor()->logWithLevel(1, 25022, "Attempted to log nil event. Origin, name, parameters", Value(origin),
                              Value(TLMFormattedEventName(TLMObject(name))),
                              Value(TLMFormattedParametersDescription(parameters)));
  return {};
}

void TLMAnalytics::logEventsOnWorkerQueue(const std::vector<TLMEventPtr>& events, bool notify,
                                          TLMWaitingEventBytes waiting) {
  auto e = engine();
  if (!e) return;
  for (const auto& event : events) {
    // The call's count goes to its first event; those made of its items are counted as logged.
    e->logEvent(event, std::move(waiting));
    if (notify) notifyEventListenersOnSerialQueue(event);
  }
}

// MARK: - Links

namespace {

// A link's call: straight onto the serial queue, its text counted.
Call linkCall(const char* name, const std::string& url) {
  Call call{name};
  call.bytes += static_cast<std::int64_t>(url.size());
  call.toSerialQueue = true;
  return call;
}

}  // namespace

void TLMAnalytics::handleOpenURL(const std::string& url) {
  if (!usable(__func__)) return;
  const double timestamp = now();
  queueCall(linkCall(__func__, url), [url, timestamp] {
    if (auto e = engine()) e->handleNonFirstOpenEventURL(url, timestamp);
    TLMOpenURLListener listener;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      listener = state().openURLListener;
    }
    if (listener) listener(url);
  });
}

void TLMAnalytics::handleUserActivity(const std::optional<platform::UserActivity>& activity) {
  if (!usable(__func__)) return;
  const double timestamp = now();
  queueCall(linkCall(__func__, activity ? activity->webpageURL.value_or("") : std::string()), [activity, timestamp] {
    const std::string url = TLMMeasurementEngine::deepLinkFromUserActivity(activity).value_or("");
    if (url.empty()) return;
    if (auto e = engine()) e->handleNonFirstOpenEventURL(url, timestamp);
  });
}

void TLMAnalytics::setOpenURLListener(TLMOpenURLListener listener) {
  if (!usable(__func__)) return;
  Call call{__func__};
  call.toSerialQueue = true;
  call.setting = "open URL listener";
  queueCall(call, [listener = std::move(listener)] {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().openURLListener = listener;
  });
}

// MARK: - User properties

namespace {

// A property's set or removal: a setter of that property, its texts counted. The consent to
// personalized ads ("_npa", which setUserPropertyString sets from "allow_personalized_ads") never
// gives way to events waiting.
Call propertyCall(const std::string& name, std::size_t textBytes) {
  Call call{"user property " + name};
  call.bytes += static_cast<std::int64_t>(name.size() + textBytes);
  call.kept = name == "_npa";
  call.setting = "user property " + name;
  return call;
}

}  // namespace

void TLMAnalytics::setUserPropertyString(const TLMObject& value, const std::string& name) {
  if (!usable(__func__)) return;
  if (name == "allow_personalized_ads" && TLMMeasurementEngine::sharedRemoteConfig()->personalizedAdsFeatureEnabled()) {
    const bool enabled = enabledFlag();
    if (!enabled) tlm_monitor()->logWithLevel(7, 25033, "Personalized Ads property changed while Analytics is disabled");
    std::optional<bool> allow;
    if (const std::string* text = value.stringPtr()) allow = boolOfString(*text);
    else if (const Value* object = value.object(); object != nullptr && object->isNumber()) allow = object->boolValue();
    persistedConfig()->setAllowPersonalizedAds(allow);
    if (enabled) {
      if (auto e = engine()) {
        const auto npa = e->shouldDisableAdPersonalization();
        setInternalUserProperty(npa ? TLMObject(*npa) : TLMObject(), "_npa", "auto");
      }
    }
    return;
  }
  if (value.isNil()) {
    removeUserAttributeForName(name);
    return;
  }
  TLMValidationFailure failure = TLMValidationFailureNone;
  if (!TLMDataTypeValidator::isValidPublicUserAttributeName(TLMObject(name), &failure)) {
    TLMLogErrorEventWithParameters(failure == TLMValidationFailureReserved ? 15 : 6, TLMObject(name),
                                   kMaxUserPropertyNameLength, TLMObject(name));
    return;
  }
  if (!value.isString()) {
    tlm_monitor()->logWithLevel(0, 25003, "User property must be NSString. Value", value.contextValue());
    return;
  }
  auto stringValue = TLMValue::initWithString(value);
  if (!stringValue) return;
  failure = TLMValidationFailureNone;
  if (TLMDataTypeValidator::isValidPublicUserAttributeValue(TLMObject(*stringValue), &failure)) {
    setInternalUserProperty(value, name, "app");
  } else if (failure == TLMValidationFailureTooLong) {
    TLMLogErrorEventWithParameters(7, TLMObject(name), kMaxUserPropertyNameLength, value);
  }
}

void TLMAnalytics::setUserID(const TLMObject& userID) {
  if (!usable(__func__)) return;
  if (userID.isNil()) {
    removeInternalUserAttributeForName("_id");
  } else if (userID.isString()) {
    setInternalUserProperty(userID, "_id", "app");
  } else {
    tlm_monitor()->logWithLevel(0, 25004, "User ID must be NSString. User ID", userID.contextValue());
  }
}

void TLMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (CDVForkedChild::refuses(__func__)) return;
  if (TLMDataTypeValidator::isValidPublicUserAttributeName(TLMObject(name))) removeInternalUserAttributeForName(name);
}

void TLMAnalytics::setUserAttributeNumber(const TLMObject& number, const std::string& name) {
  if (!usable(__func__)) return;
  TLMValidationFailure failure = TLMValidationFailureNone;
  if (!TLMDataTypeValidator::isValidPublicUserAttributeName(TLMObject(name), &failure)) {
    TLMLogErrorEventWithParameters(failure == TLMValidationFailureReserved ? 15 : 6, TLMObject(name),
                                   kMaxUserPropertyNameLength, TLMObject(name));
    return;
  }
  const Value* object = number.object();
  if (object == nullptr || !object->isNumber()) return;
  const TLMValue value = object->isFloatingPoint() ? TLMValue(object->doubleValue().value_or(0))
                                                   : TLMValue(object->int64Value().value_or(0));
  setInternalUserProperty(TLMObject(value), name, "auto");
}

void TLMAnalytics::setInternalUserProperty(const TLMObject& value, const std::string& name) {
  setInternalUserProperty(value, name, "auto");
}

void TLMAnalytics::setInternalUserProperty(const TLMObject& value, const std::string& name,
                                           const std::string& origin) {
  if (!usable(__func__)) return;
  if (!TLMDataTypeValidator::isValidInternalUserAttributeName(TLMObject(name))) {
    TLMLogErrorEventWithParameters(6, TLMObject(name), kMaxUserPropertyNameLength, TLMObject(name));
    return;
  }
  if (origin.empty() || tlm_UTF32Length(origin) > kMaxOriginLength) {
    tlm_monitor()->logWithLevel(1, 25005, "Unable to set user property. Origin is invalid. Origin, name", Value(origin),
                                Value(name));
    return;
  }
  if (value.isNil()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  auto measurementValue = TLMValue::valueFromObject(value);
  if (!measurementValue) return;
  TLMValidationFailure failure = TLMValidationFailureNone;
  if (TLMDataTypeValidator::isValidInternalUserAttributeValue(TLMObject(*measurementValue), name, &failure)) {
    auto attribute = TLMUserAttribute::initWithOrigin(origin, name, *measurementValue, now());
    if (!attribute) return;
    const std::string* text = attribute->value().stringPtr();
    queueCall(propertyCall(name, origin.size() + (text != nullptr ? text->size() : 0)), [attribute] {
      if (auto e = engine()) e->setUserAttribute(attribute);
    });
  } else if (failure == TLMValidationFailureTooLong) {
    TLMLogErrorEventWithParameters(7, TLMObject(name), kMaxUserPropertyNameLength, errorValueText(value));
  }
}

void TLMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  if (!usable(__func__)) return;
  auto attribute = TLMUserAttribute::initWithOrigin("", name, TLMValue(0.0), now());
  queueCall(propertyCall(name, 0), [attribute] {
    if (auto e = engine()) e->removeUserAttribute(attribute);
  });
}

// MARK: - Queries

namespace {

// A query refused in a forked child, or dropped past the bound of what waits in memory, answers
// its handler once, with the empty answer, on the queue given, or on the main queue without one.
template <typename Answer>
void answerInChild(std::shared_ptr<platform::Queue> queue, std::function<void(Answer)> callback, Answer answer) {
  if (!callback) return;
  if (!queue) queue = platform::Queue::main();
  queue->async([callback = std::move(callback), answer = std::move(answer)] { callback(answer); });
}

}  // namespace

void TLMAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<platform::Queue> queue,
                                                   std::function<void(platform::Dictionary)> callback) {
  if (CDVForkedChild::refuses(__func__)) {
    answerInChild(std::move(queue), std::move(callback), platform::Dictionary());
    return;
  }
  if (!usable(__func__)) return;
  const bool queued = queueCall({__func__}, [includeInternal, queue, callback] {
    if (!callback) {
      tlm_monitor()->logWithLevel(1, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      tlm_monitor()->logWithLevel(1, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::Queue::main()->async([callback] { callback(platform::Dictionary()); });
      return;
    }
    auto e = engine();
    if (!enabledFlag() || !e) {
      tlm_monitor()->logWithLevel(4, 25008, "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback(platform::Dictionary()); });
      return;
    }
    e->userPropertiesIncludingInternal(includeInternal, [queue, callback](platform::Dictionary properties) {
      queue->async([callback, properties = std::move(properties)] { callback(properties); });
    });
  });
  // Dropped past the bound of what waits in memory: answered at once, as in a forked child.
  if (!queued) answerInChild(std::move(queue), std::move(callback), platform::Dictionary());
}

void TLMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::Queue> queue,
                                              std::function<void(int)> callback) {
  if (CDVForkedChild::refuses(__func__)) {
    answerInChild(std::move(queue), std::move(callback), 0);
    return;
  }
  if (!usable(__func__)) return;
  if (origin.empty()) {
    tlm_monitor()->logWithLevel(1, 25009, "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    tlm_monitor()->logWithLevel(1, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
                                Value(origin));
    return;
  }
  if (!callback) {
    tlm_monitor()->logWithLevel(1, 25011,
                                "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be "
                                "nil. Origin",
                                Value(origin));
    return;
  }
  Call call{__func__};
  call.bytes += static_cast<std::int64_t>(origin.size());
  const bool queued = queueCall(call, [origin, queue, callback] {
    if (auto e = engine()) {
      e->maxUserPropertiesForOrigin(origin, [queue, callback](int count) { queue->async([callback, count] { callback(count); }); });
    }
  });
  if (!queued) answerInChild(queue, callback, 0);
}

// MARK: - Interceptor and listeners

void TLMAnalytics::setLogEventInterceptor(TLMLogEventInterceptor interceptor) {
  if (!usable(__func__)) return;
  Call call{__func__};
  call.setting = "interceptor";
  runOnSerialQueueOrQueue(call, [interceptor = std::move(interceptor)] {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().interceptor = interceptor;
  });
}

std::optional<TLMLogEventListenerToken> TLMAnalytics::addLogEventListener(TLMLogEventListener listener) {
  if (CDVForkedChild::refuses(__func__)) return std::nullopt;
  if (!listener) {
    tlm_monitor()->logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
    return std::nullopt;
  }
  TLMLogEventListenerToken token;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    token = state().nextToken++;
  }
  // Dropped past the bound of what waits in memory (said): never added.
  const bool queued = runOnSerialQueueOrQueue({__func__}, [token, listener = std::move(listener)] {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!state().listeners) state().listeners.emplace();
    (*state().listeners)[token] = listener;
  });
  if (!queued) return std::nullopt;
  return token;
}

void TLMAnalytics::removeLogEventListener(std::optional<TLMLogEventListenerToken> token) {
  if (!usable(__func__)) return;
  queueCall({__func__}, [token] {
    if (!token) {
      tlm_monitor()->logWithLevel(2, 25013, "Attempted removal of nil log event.");
      return;
    }
    bool removed;
    bool never;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      never = !state().listeners.has_value();
      removed = !never && state().listeners->erase(*token) == 1;
    }
    if (never) {
      tlm_monitor()->logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
    } else if (!removed) {
      tlm_monitor()->logWithLevel(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
  });
}

void TLMAnalytics::notifyEventListeners(const TLMEventPtr& event) {
  if (!usable(__func__)) return;
  queueCall({__func__}, [event] { notifyEventListenersOnSerialQueue(event); });
}

void TLMAnalytics::notifyEventListenersOnSerialQueue(const TLMEventPtr& event) {
  std::vector<TLMLogEventListener> listeners;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().listeners) {
      for (const auto& [token, listener] : *state().listeners) listeners.push_back(listener);
    }
  }
  for (const auto& listener : listeners) listener(event);
}

// MARK: - Test support

void TLMAnalytics::resetForTesting(TLMAnalyticsQueues newQueues) {
  platform::NotificationCenter::defaultCenter().removeObserver(&state().observerTag);
  platform::NotificationCenter::defaultCenter().removeObserver(&state().terminationObserverTag);
  TLMMeasurementEngine::setInterfaceQueueDispatcher(nullptr);
  SKPaymentQueue::defaultQueue().removeTransactionObserver(paymentQueueObserver().get());
  OBXAppDelegateSwizzler::unregisterAppDelegateInterceptor(TLMAppDelegateInterceptor::sharedInstance());
  TLMAppDelegateInterceptor::sharedInstance()->setHandlers({});
  if (newQueues.operationQueue) newQueues.operationQueue->suspend();
  State& s = state();
  {
    // Taken before the state's lock, as a call takes them.
    std::lock_guard<std::mutex> callsLock(s.callsMutex);
    s.lastSettingKey.clear();
    s.lastSetting.reset();
    s.lastSettingMark = -1;
    std::lock_guard<std::mutex> pendingLock(s.pendingMutex);
    s.droppedCallsByGeneration.clear();
    s.droppedCalls.store(0);
    s.reportedDroppedCalls.store(0);
    s.droppedCallsInRun.store(0);
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.queues = std::move(newQueues);
  s.started = false;
  s.enabled = false;
  s.deactivated = false;
  s.loadTimestamp = now();
  s.interceptor = nullptr;
  s.listeners.reset();
  s.openURLListener = nullptr;
  s.appDelegateProxyCreated = false;
  {
    std::lock_guard<std::mutex> pendingLock(s.pendingMutex);
    s.ownPendingOperations.clear();
  }
  s.hostOperationsQueued.store(0);
  s.hostOperationsDone.store(0);
  s.lostCalls.store(0);
  s.observingAppEnd.store(false);
}

std::mutex& TLMAnalytics::stateLockForTesting() { return state().mutex; }

void TLMAnalytics::setCallCountedHookForTesting(void (*hook)()) { state().callCountedHook.store(hook); }

void TLMAnalytics::setEngineInitializerForTesting(EngineInitializer initializer) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().engineInitializer = std::move(initializer);
}
