// The measurement library's class-method interface: what the host app, the SDK facade and the
// library's own parts call. Names and values are checked on the caller's thread and events are
// stamped and counted among the events waiting in memory there (dropped past their bound:
// TLMMeasurementEngine::setMaxQueuedEventBytes); everything else moves, in call order, onto the
// serial queue "TLMAnalyticsQueue", which builds events, applies the log-event interceptor,
// notifies the listeners and hands work to the engine. That queue runs on a thread of its own
// (platform::Queue::serialOnOwnThread), so that the events waiting in memory come from one arena
// of the C library's allocator whatever threads log them.
//
// Every other call that leaves work waiting counts it (kTLMQueuedCallBytes and its texts) among
// what waits in memory, under the same bound, from the call until its work has run (on the
// engine's worker queue, for what it hands on there); one that finds no room is dropped, counted
// among the calls not handled of the app's end it came before, and said (25040, at the first of a
// run of drops and at every 1,000th). The collection switch, resetAnalyticsData, the
// personalized-ads consent ("_npa"), the purchases the payment queue reports and the engine's own
// calls (its events' notices to the listeners, the upload on resigning active) never give way to
// events: they find room up to twice the bound. A setter's call (a user property's set or removal,
// the user id, the collection switch, the interceptor, the open-URL listener, resetAnalyticsData)
// that comes right after the same setter's previous call, while that call waits and no other call
// or event was queued since, takes its place: the newest wins, and a flood of it waits as one
// call, never dropped. Work asked for before start waits on the
// suspended operation queue "TLMAnalyticsOperationQueue" and reaches the serial queue after the
// engine's initialisation.
//
// All state is process-wide; every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/Queue.h"
#include "foundation/ClassRegistry.h"
#include "foundation/UserActivity.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMObject.h"

inline constexpr const char* kTLMAnalyticsOperationQueueLabel = "TLMAnalyticsOperationQueue";
inline constexpr const char* kTLMAnalyticsQueueLabel = "TLMAnalyticsQueue";
inline constexpr const char* kTLMAnalyticsTimestampQueueLabel = "TLMAnalyticsTimestampQueue";
inline constexpr const char* kTLMAnalyticsWillStartNotification = "kCDVAnalyticsWillStartNotification";
inline constexpr const char* kTLMAnalyticsConfigurationSetEnabledNotification =
    "CDVAnalyticsConfigurationSetEnabledNotification";
// Posted by the host when the app is about to end (UIApplication::terminate).
inline constexpr const char* kTLMAppWillTerminateNotification = "UIApplicationWillTerminateNotification";
// How long the app's end waits for the work queued before it and the upload in flight: about the
// time the phone grants an app that is terminating.
inline constexpr double kTLMAppTerminationWaitSeconds = 5.0;

// Start options.
inline constexpr const char* kTLMStartOptionCollectionEnabled = "CINDERVALE_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kTLMStartOptionCollectionDeactivated = "CINDERVALE_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kTLMStartOptionConfiguration = "CINDERVALE_ANALYTICS_CONFIGURATION";
inline constexpr const char* kTLMStartOptionSafelistedEvents = "safelisted_events";
inline constexpr const char* kTLMStartOptionLogTag = "tally_mark_log_tag";

// Decides on a public event instead of logging it (origin, name, parameters with the screen
// parameters merged in, timestamp). To let it through it calls logEventWithOrigin(..., timestamp,
// ignoreEnabled, ignoreInterceptor = true), usually with the origin suffixed "+zep".
using TLMLogEventInterceptor = std::function<void(const std::string& origin, const std::string& name,
                                                  const TLMObjectDictionary& parameters, double timestamp)>;
// Called on the serial queue with every event passed to listeners.
using TLMLogEventListener = std::function<void(const TLMEventPtr& event)>;
// Identifies an added listener.
using TLMLogEventListenerToken = std::uint64_t;
using TLMOpenURLListener = std::function<void(const std::string& url)>;

// The queues, injectable for tests (manual queues); unset ones are made as in production.
struct TLMAnalyticsQueues {
  std::shared_ptr<platform::Queue> operationQueue;
  std::shared_ptr<platform::Queue> serialQueue;
  std::shared_ptr<platform::Queue> timestampQueue;
};

// The class object a tag-manager library registers under the name "ZEPManager". Start asks it
// for its class operation initializeSharedInstance and runs it; an empty function means the class
// offers the operation without an implementation.
inline constexpr const char* kTLMTagManagerClassName = "ZEPManager";
class TLMTagManagerClass : public platform::ClassObject {
 public:
  TLMTagManagerClass() : platform::ClassObject(kTLMTagManagerClassName) {}
  virtual std::function<void()> initializeSharedInstance() const = 0;
};

class TLMAnalytics {
 public:
  // Starting. Only the first start per process starts the engine, observes the app's payment
  // queue and (unless collection is deactivated) registers the app-delegate interceptor; later
  // ones only repeat the checks and the log tag.
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const platform::Dictionary& options);
  static void resetAnalyticsData();
  static void handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                  std::function<void()> completionHandler);
  static double loadTimestamp();

  // Queues. Each block counts among what waits in memory (kTLMQueuedCallBytes); dropped past the
  // bound (see above).
  static void dispatchAsyncOnSerialQueue(platform::Block block);
  // Held until start, then dispatched on the serial queue in the order queued.
  static void queueOperationWithBlock(platform::Block block);
  static void unsuspendOperationQueue();
  // Whether the calling thread is on the serial queue (the queue object, not its label).
  static bool isCurrentQueueSerialQueue();
  // Waits until the work queued before the call (on the operation and serial queues, then on the
  // engine's worker queue: events and user properties stored), and what the SDK queued of its
  // own for that work meanwhile (error events), is done and the persisted state is on disk (what
  // other threads queue after the call is not waited for), for at most
  // `timeoutSeconds` of the clock in force (NaN, -0 or below 0 is taken as 0: no wait, and the
  // warning says 0 seconds; +infinity waits until the work is done); true when it was done and no
  // event failed in the store meanwhile (the engine stores waiting events in groups, one commit
  // for many). Returns false at once
  // before the first start (held work waits for it; nothing was stored) and when called from one
  // of those queues (the work could not go on while its caller waits). When it answers false
  // with work held, dropped or failed, a warning (I-ACS025036, written at once) says how many
  // events failed while it waited, how many are not yet stored and how many calls made before it
  // are not handled (held, dropped because measurement did not start, or dropped past the bound of
  // what waits in memory; a setter's call taken over by a later one is handled by it): lost if the
  // process ends now. A call dropped past the bound counts for the first end it came before.
  static bool waitForQueuedWork(double timeoutSeconds);
  // From this call on (made by the facade's load, the start and every use of the queues),
  // UIApplicationWillTerminateNotification is the app's end: after a start, no upload starts from
  // then on (what is stored goes at a later launch, or once the app becomes active again); it runs
  // waitForQueuedWork and then waits for the upload in flight, if any, until the collector's
  // answer was handled (the bundles it accepted deleted), kTLMAppTerminationWaitSeconds in all.
  // When the wait answers false, or the time runs out before that answer (or the accepted bundles
  // could not be deleted: a warning, I-ACS025038, counts the bundles and events that go again at a
  // later launch), it marks the notification's UIApplicationTerminationReport incomplete
  // (UIApplication::terminate answers false).
  static void observeAppEnd();
  // A call the facade refused because the app was not configured: the app's end reports it lost.
  static void countCallRefusedBeforeStart();

  // Switches.
  static void setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  static bool isEnabled();
  static void observeNotificationsForAnalyticsConfiguration(const platform::Value& configuration);

  static void setScreenName(const std::optional<std::string>& screenName,
                            const std::optional<std::string>& screenClass);
  static std::optional<std::string> appInstanceID();

  // Events.
  static void logEventWithName(const std::string& name, const TLMObjectDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const TLMObjectDictionary& parameters);
  // The same for a caller that refused a forked child itself (CDVForkedChild): the facade. Not
  // checked again, so that a log call checks once.
  static void logEventWithOriginInSDKProcess(const std::string& origin, const std::string& name,
                                             const TLMObjectDictionary& parameters);
  // For origin "vx" an ad event id "_aeid" given as numeric text becomes an integer.
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const TLMObjectDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const TLMObjectDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const TLMObjectDictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                              const std::string& name, const TLMObjectDictionary& parameters,
                                              double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                              TLMObjectDictionary addedScreenParameters,
                                              TLMWaitingEventBytes waiting = {});
  static std::vector<TLMEventPtr> eventsToLogWithEventID(std::int64_t eventID, const std::string& origin,
                                                         bool isPublic, const std::string& name,
                                                         double timestamp, const TLMObjectDictionary& parameters);
  // Serial queue: to the engine (dropped when there is none), then optionally to the listeners.
  // `waiting`: what the call counted among the events waiting in memory (the first event's).
  static void logEventsOnWorkerQueue(const std::vector<TLMEventPtr>& events, bool notifyEventListeners,
                                     TLMWaitingEventBytes waiting = {});

  // Links.
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const std::optional<platform::UserActivity>& activity);
  static void setOpenURLListener(TLMOpenURLListener listener);

  // User properties and the user id. Values and ids are objects: a non-string is refused.
  static void setUserPropertyString(const TLMObject& value, const std::string& name);
  static void setUserID(const TLMObject& userID);
  static void removeUserAttributeForName(const std::string& name);
  static void setUserAttributeNumber(const TLMObject& number, const std::string& name);
  static void setInternalUserProperty(const TLMObject& value, const std::string& name);
  static void setInternalUserProperty(const TLMObject& value, const std::string& name, const std::string& origin);
  static void removeInternalUserAttributeForName(const std::string& name);

  // Queries; the answers arrive on `queue`. A query dropped past the bound of what waits in
  // memory is answered at once (on `queue`, else the main queue) with the empty answer.
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<platform::Queue> queue,
                                              std::function<void(platform::Dictionary)> callback);
  static void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::Queue> queue,
                                         std::function<void(int)> callback);

  // Interceptor and listeners.
  static void setLogEventInterceptor(TLMLogEventInterceptor interceptor);
  // Empty (25012) for an empty listener, and when dropped past the bound of what waits in memory.
  static std::optional<TLMLogEventListenerToken> addLogEventListener(TLMLogEventListener listener);
  static void removeLogEventListener(std::optional<TLMLogEventListenerToken> token);
  static void notifyEventListeners(const TLMEventPtr& event);
  static void notifyEventListenersOnSerialQueue(const TLMEventPtr& event);

  // Test support: forgets all state (queues, flags, listeners, interceptor, the once-only start,
  // the payment-queue and termination observers, the engine's dispatcher through the queues, the
  // app-delegate registration) and takes the queues given. The engine is the shared engine; tests install theirs with
  // TLMMeasurementEngine::setSharedInstanceForTesting from the engine initialiser below.
  static void resetForTesting(TLMAnalyticsQueues queues = {});
  // Replaces the creation of the shared engine at start (nullptr restores it).
  using EngineInitializer = std::function<void(const std::string& appID, bool collectionEnabled,
                                               bool collectionDeactivated,
                                               const std::vector<std::string>& safelistedEvents)>;
  static void setEngineInitializerForTesting(EngineInitializer initializer);
  // The lock of the interface's process-wide state.
  static std::mutex& stateLockForTesting();
  // Runs `hook` in every call queued through the operation queue once the call counted itself
  // and before it reads its work's generation (nullptr: none), where a wait for queued work may
  // begin in between.
  static void setCallCountedHookForTesting(void (*hook)());
};

// A list of valid internal event names; 25034 / 25035 otherwise.
bool TLMValidateSafelistedEvents(const platform::Value& value);
