// The measurement engine: starts the library's components on the worker queue, switches
// measurement on and off, writes the automatic life events (first open, app and OS updates),
// takes every event through the pipeline into the store (limits, aggregates, metadata, real-time
// marking), keeps user properties and engagement totals, and wipes the data when the app id
// changes.
//
// Every collaborator comes through the designated initialiser (create); the process-wide shared
// instance is a thin layer that builds the production set once. Work runs on the scheduler's
// worker queue; the fields that other threads read are atomics or guarded by one small mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "dispatch/Random.h"
#include "foundation/NotificationCenter.h"
#include "foundation/UserActivity.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMBackgroundTasks.h"
#include "measurement/engine/TLMEngineComponents.h"
#include "measurement/store/TLMDatabaseSchema.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUserAttribute.h"
#include "obx/OBXNetwork.h"

class TLMAlarm;
class TLMDatabase;
class TLMEnvironmentInfo;
class TLMIdentifiers;
class TLMIdentity;
class TLMPBEvent;
class TLMPBMeasurementBundle;
class TLMPersistedConfig;
class TLMRemoteConfig;
class TLMScheduler;
class TLMStoreSettings;

inline constexpr const char* kTLMMeasurementTimerName = "Measurement timer";
// The most events, and the most seconds, one group of queued events takes before it commits.
inline constexpr std::int64_t kTLMEventGroupMaxEvents = 1000;
inline constexpr double kTLMEventGroupMaxSeconds = 0.1;
// The most memory the events waiting to be stored may hold when the host sets no other bound
// (TLMMeasurementEngine::setMaxQueuedEventBytes): 64 MiB, about 70,000 events of two small parameters.
inline constexpr std::int64_t kTLMDefaultMaxQueuedEventBytes = std::int64_t{64} * 1024 * 1024;
// What a call other than a log call holds in memory while it waits on the SDK's queues, about,
// besides its texts (TLMMeasurementEngine::admitWaitingCall): its blocks on the queues and what
// they carry.
inline constexpr std::int64_t kTLMQueuedCallBytes = 576;
inline constexpr const char* kTLMMeasurementReachabilityHost = "tallymark.ombrix.com";
// Where batches of bundles are posted.
inline constexpr const char* kTLMMeasurementUploadURL = "https://tallymark.ombrix.com/a";
// Uploads stop for this long (device uptime) after sent bundles could not be deleted.
inline constexpr double kTLMMeasurementSuspensionTimeInterval = 3600.0;
// Names of the app life-cycle notifications the engine observes.
inline constexpr const char* kTLMAppDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kTLMAppDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kTLMAppWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kTLMAppWillEnterForegroundNotification = "UIApplicationWillEnterForegroundNotification";
// Launch options in the launch notification's user info: the URL the app was opened with, and a
// dictionary holding the user activity it was launched to continue (a Value made from
// std::shared_ptr<platform::UserActivity>).
inline constexpr const char* kTLMLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* kTLMLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* kTLMLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";
// Where the deep link the app was launched with is kept (standard preferences).
inline constexpr const char* kTLMDeepLinkKey = "/ombrix/measurement/deep_link";
inline constexpr const char* kTLMDeepLinkTimestampKey = "/ombrix/measurement/deep_link_timestamp_seconds";

// Bytes counted among the events waiting in memory to be stored, process-wide (the bound of
// TLMMeasurementEngine::setMaxQueuedEventBytes), until they are let go: by release(), by the
// destruction, or by a move to another holder. Made by TLMMeasurementEngine (admitWaitingEvent,
// countWaitingEvent). A copy holds nothing (a block that must be copyable may carry one; the
// original still holds the bytes), so that bytes are never let go twice.
class TLMWaitingEventBytes {
 public:
  TLMWaitingEventBytes() = default;
  TLMWaitingEventBytes(const TLMWaitingEventBytes&) noexcept {}
  TLMWaitingEventBytes(TLMWaitingEventBytes&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
  TLMWaitingEventBytes& operator=(TLMWaitingEventBytes&& other) noexcept {
    if (this != &other) {
      release();
      bytes_ = other.bytes_;
      other.bytes_ = 0;
    }
    return *this;
  }
  TLMWaitingEventBytes& operator=(const TLMWaitingEventBytes&) = delete;
  ~TLMWaitingEventBytes() { release(); }
  void release() noexcept {
    if (bytes_ != 0) letGo();
  }
  std::int64_t bytes() const { return bytes_; }
  explicit operator bool() const { return bytes_ != 0; }

 private:
  friend class TLMMeasurementEngine;
  explicit TLMWaitingEventBytes(std::int64_t bytes) : bytes_(bytes) {}
  void letGo() noexcept;
  std::int64_t bytes_ = 0;
};

// The platform facts and shared objects the engine reads.
struct TLMEnginePlatformServices {
  // The identity (default: TLMIdentity::sharedInstance()).
  std::function<std::shared_ptr<TLMIdentity>()> identity;
  std::shared_ptr<TLMIdentifiers> identifiers;          // default: shared
  std::shared_ptr<TLMEnvironmentInfo> environmentInfo;  // default: shared
  std::function<bool()> isOSSupported;                  // default: TLMAEU::isOSSupported
  // The library's load time (default: loadTimestamp()).
  std::function<double()> loadTimestamp;
  // The app's bundle identifier for keychain items (default: the main bundle's).
  std::optional<std::string> keychainAppID;
};

struct TLMEngineCollaborators {
  std::string databaseName = kTLMDatabaseFileName;
  std::shared_ptr<TLMPersistedConfig> persistedConfig;
  std::shared_ptr<OBXNetwork> network;  // may be null
  std::shared_ptr<TLMScheduler> scheduler;
  // The upload alarm, on the scheduler's worker queue: its firing joins the queue when the
  // upload is due and runs the upload there.
  std::shared_ptr<TLMAlarm> alarm;
  std::shared_ptr<platform::Clock> clock;  // null: the clock in force
  TLMEnginePlatformServices services;
  TLMEngineComponents components;
  // Where batches are posted (an http or https URL).
  std::string uploadURL = kTLMMeasurementUploadURL;
  // The dice of event sampling; null: the random source in force.
  std::shared_ptr<platform::Random> random;
  // Background execution; null: none (this platform has no background tasks).
  std::shared_ptr<TLMBackgroundTaskService> backgroundTasks;
};

// A queued bundle and the row id of its queue row.
using TLMUploadBundle = std::pair<std::shared_ptr<TLMPBMeasurementBundle>, std::int64_t>;

// Whether a conversion event counts against the daily real-time limit: not in debug mode, never
// for "_iap" and "_f".
bool TLMIsSubjectToMaxRealtimeCountPerDay(const TLMEvent& event);

class TLMMeasurementEngine : public OBXNetworkLoggerDelegate,
                             public OBXNetworkReachabilityDelegate,
                             public std::enable_shared_from_this<TLMMeasurementEngine> {
 public:
  // MARK: Shared instance

  // Only the first call does anything: it creates the engine (production collaborators) when
  // the app id is non-empty, after installing the library's diagnostic monitor. Later calls are
  // ignored, also after a first call with an empty app id. A call while the sandbox has no
  // folder for the app only logs why (23149) and does not count as the first.
  static void initializeSharedInstanceWithAppID(const std::string& appID,
                                                bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                const std::vector<std::string>& safelistedEvents);
  // Installs the library's diagnostic monitor in place of the console monitor, once per process
  // (a monitor a test installed stays).
  static void installLibraryMonitor();
  static bool hasSharedInstance();
  // The shared engine once initialised (hasSharedInstance), else null: one look, without the
  // warning or the system's check of sharedInstance().
  static std::shared_ptr<TLMMeasurementEngine> initializedSharedInstance();
  // Null on an unsupported system; warns (23147) when asked before initialisation while the
  // analytics facade is present.
  static std::shared_ptr<TLMMeasurementEngine> sharedInstance();
  // The shared engine's remote configuration, else the default instance.
  static std::shared_ptr<TLMRemoteConfig> sharedRemoteConfig();
  // The library's load time: the first time this is asked in the process.
  static double loadTimestamp();
  // Test support: forgets the shared engine and the initialised flag.
  static void resetSharedInstanceForTesting();
  // Test support: makes `engine` the shared instance (marked initialised), as the first
  // initializeSharedInstanceWithAppID would.
  static void setSharedInstanceForTesting(std::shared_ptr<TLMMeasurementEngine> engine);
  // Where the production engine fetches its configuration and posts its batches: "<server>/a"
  // and "<server>/config/app/...". Empty restores the collection server. Set it before the
  // library starts.
  static void setCollectionServerURL(const std::string& serverURL);
  static std::string collectionServerURL();
  // The bound, in bytes, of the events that wait in memory to be stored, process-wide (from the
  // public interface's log call, which counts its event before it queues it, until the worker
  // takes the event: while the store waits for another connection, or while the host logs
  // faster than it stores). An event logged while those waiting hold that much is dropped (a
  // report made once per app's data, logInternalEventOncePerApp, never is, but counts; an event
  // logged while none waits is let in, however small the bound): counted as failed (the app's
  // end whose work it was reports it) and said (23200, at the first of a run of drops and at
  // every 1,000th). Each event counts queuedEventBytes(). Any thread, at any time: the events
  // logged from then on meet it. Below 1 restores the default, kTLMDefaultMaxQueuedEventBytes.
  static void setMaxQueuedEventBytes(std::int64_t bytes);
  static std::int64_t maxQueuedEventBytes();
  // What an event waiting to be stored holds in memory, about: the event, its name and
  // parameters, and its places in the queues. The second, of a log call's origin, name and
  // parameters, before the event is made.
  static std::int64_t queuedEventBytes(const TLMEvent& event);
  static std::int64_t queuedEventBytes(const std::string& origin, const std::string& name,
                                       const TLMObjectDictionary& parameters);
  // The bytes of the events waiting in memory, process-wide (setMaxQueuedEventBytes).
  static std::int64_t waitingEventBytes();
  // Counts `bytes` of an event named `name` among those waiting in memory, or, when those leave
  // no room for it (setMaxQueuedEventBytes), drops it: none, counted as failed for the work of
  // the calling thread's generation (TLMScheduler::currentWorkGeneration) and said. Any thread.
  std::optional<TLMWaitingEventBytes> admitWaitingEvent(const std::string& name, std::int64_t bytes);
  // Counts `bytes` among those waiting in memory whatever the bound (never dropped).
  static TLMWaitingEventBytes countWaitingEvent(std::int64_t bytes);
  // Counts `bytes` of a call other than a log call among what waits in memory (the same bound as
  // the events'), or none when that leaves no room: bytes past the bound, or, for a `kept` call
  // (one that must not give way to the events waiting, such as the collection switch), past
  // twice the bound. One is let in when nothing waits. The caller counts and says a drop. Any
  // thread.
  static std::optional<TLMWaitingEventBytes> admitWaitingCall(std::int64_t bytes, bool kept);

  // Events the engine made itself are handed here for the public interface's listeners (any
  // thread). The interface installs it; returns the previous one.
  using TLMEventListenerNotifier = std::function<void(const TLMEventPtr&)>;
  static TLMEventListenerNotifier setEventListenerNotifier(TLMEventListenerNotifier notifier);
  // Posts a block through the public interface's queues, behind the work the app's calls left
  // there (events logged but not yet handed to the engine). The interface installs it; returns
  // the previous one. Without one, such blocks run at once.
  using TLMInterfaceQueueDispatcher = std::function<void(platform::Block)>;
  static TLMInterfaceQueueDispatcher setInterfaceQueueDispatcher(TLMInterfaceQueueDispatcher dispatcher);

  // initWithAppID: the production collaborators; null (23170) for an empty app id.
  static std::shared_ptr<TLMMeasurementEngine> initWithAppID(
      const std::string& appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents);
  // The designated initialiser. Posts the enablement decided by shouldEnableMeasurement to the
  // worker queue; the components start there.
  static std::shared_ptr<TLMMeasurementEngine> create(
      TLMEngineCollaborators collaborators, const std::string& appID,
      bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
      const std::vector<std::string>& safelistedEvents);

  ~TLMMeasurementEngine() override;
  TLMMeasurementEngine(const TLMMeasurementEngine&) = delete;
  TLMMeasurementEngine& operator=(const TLMMeasurementEngine&) = delete;

  // MARK: Enablement and start

  bool shouldEnableMeasurement() const;
  // Posted to the worker queue; a call that finds its previous call's post, not yet begun, the
  // last on the worker queue replaces it (the newest wins).
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool startMeasurementOnWorkerQueue();
  bool shouldWipeDataWithAppID(const std::string& appID,
                               const std::optional<std::string>& appIDFromQPX,
                               const std::optional<std::string>& appIDFromVeltrix,
                               const std::optional<std::string>& persistedAppIDFromQPX,
                               const std::optional<std::string>& persistedAppIDFromVeltrix) const;
  void wipeoutAnalyticsDataAndResetComponents();
  // Wipes and starts afresh with a new app instance id; waits for the worker queue (call it off
  // the main queue).
  void resetAnalyticsData();

  // MARK: Life events

  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  std::optional<std::int64_t> shouldDisableAdPersonalization() const;
  // (t / 1 h) x 1 h + 1 h in milliseconds, truncating toward zero; saturates at the int64
  // maximum instead of overflowing.
  static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);
  bool isVersionSameAsOriginalVersion();
  void backfillSessionNumber();
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  // Posted to the worker queue; a call whose previous call's post has not begun replaces it.
  void setSessionTimeoutInterval(double interval);
  void setMinimumSessionInterval(double interval);

  // MARK: Event pipeline

  void handleEventOnWorkerQueue(TLMEventPtr event);
  // Posts the event. The worker writes the events logEvent queued, and the other store writes
  // queued between them (user properties, conditional user properties, links' campaigns), in
  // groups: the write its block takes and those queued right after
  // it by then (no other block of the worker queue between them) are written in one store
  // transaction group, each write's transactions savepoints in it, committed after
  // kTLMEventGroupMaxEvents writes or kTLMEventGroupMaxSeconds of device uptime; a lone write is
  // a group of one, written at once (switched off or without a store, writes run alone). Each
  // write goes through the same steps, checks and order as alone; what follows an event's commit
  // (its "Event logged" line, the first-open counter) follows the group's. A group that cannot
  // commit loses its writes (23191). Any thread.
  void logEvent(const TLMEventPtr& event);
  // The same for an event counted among those waiting when it was logged (admitWaitingEvent):
  // not counted again; when `admitted` holds nothing, as logEvent(event).
  void logEvent(const TLMEventPtr& event, TLMWaitingEventBytes admitted);
  // Posts a store write other than an event (a conditional user property set or cleared, a link
  // to turn into a campaign): written in its place among the events, in the group that takes it.
  // Any thread.
  // Counted among what waits in memory (kTLMQueuedCallBytes) until the worker takes it.
  void queueStoreWriteBlock(const std::string& blockID, platform::Block write);
  // The events handed to logEvent whose write has not ended (stored, dropped or failed). Any
  // thread.
  std::int64_t unfinishedEventCount() const { return unfinishedEvents_.load(); }
  // The events dropped because those waiting held the bound (setMaxQueuedEventBytes), counted
  // from the engine's creation. Any thread.
  std::int64_t droppedWaitingEventCount() const { return droppedWaitingEvents_.load(); }
  // Whether an event logEvent posted from work of `generation` or before
  // (TLMScheduler::currentWorkGeneration) waits for the worker to take it. Any thread.
  bool hasQueuedEventsUpToGeneration(std::uint64_t generation) const;
  // Whether a store write (an event or another) posted from work of `generation` or before has
  // not ended: queued, or taken by the running block of queued writes. What other work queued is
  // not looked at, however much of it waits. Any thread.
  bool hasUnfinishedWritesUpToGeneration(std::uint64_t generation) const;
  // Events whose write failed in the store (an error, or their group not committed), or that
  // were dropped after the start of measurement failed (no store) or past the bound of the events
  // waiting in memory (setMaxQueuedEventBytes), counted from the engine's creation; a limit or a
  // switch that drops an event is no failure. Any thread.
  std::int64_t failedEventCount() const { return failedEvents_.load(); }
  // failedEventCount() less the drops of events of work after `generation` (past the bound of
  // those waiting), and, read together, the unfinished events of work of `generation` or before
  // that have not failed (queued, or taken by the running block of queued writes): what other
  // work logged is not among them. Any thread.
  std::pair<std::int64_t, std::int64_t> failedAndUnfinishedEventCounts(std::uint64_t generation) const;
  // The failed events the app's end has reported lost (a failedEventCount() it read): the next
  // end reports only those after them. Never moves back. Any thread.
  std::int64_t reportedFailedEventCount() const { return reportedFailedEvents_.load(); }
  void markFailedEventsReported(std::int64_t failedEventCount);
  void writeEventOnWorkerQueue(const TLMEventPtr& event);
  void maybeAddDebugAndRealtimeParameters(TLMEvent& event) const;
  // As logInternalEvent, for a report made once per app's data: the event is stored with the
  // store's report mark `mark` (such as kTLMSearchAdCampaignReportedColumn, or the version an
  // update is reported for), and not at all when the store holds that mark already (another
  // process of the app, started at the same time, stored it).
  void logInternalEventOncePerApp(const std::string& origin, const std::string& name,
                                  const TLMObjectDictionary& parameters, const TLMReportMark& mark);
  // Logs an internal event (origin, name, parameters) through logEvent.
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const TLMObjectDictionary& parameters);
  // The metadata shared by raw events written while these user attributes hold.
  std::shared_ptr<TLMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<TLMUserAttribute>& userAttributes);

  // MARK: Campaign links and deep links

  // A link opened while the app runs: refused on the worker queue itself (23163).
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  void handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                     double eventTimestampInSeconds);
  void handleDebugModeWithURL(const std::string& url);
  void handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                      double eventTimestampInSeconds);
  // Records "_cmp" from the link's campaign parameters. Worker queue.
  void handleOpenURLOnWorkerQueue(const std::string& url,
                                  std::optional<std::int64_t> clickTimestampInMs,
                                  double eventTimestampInSeconds);
  // At least one of "utm_campaign", "oclid", "utm_medium", "utm_source" with a non-empty value.
  static bool isValidCampaignURLParamDictionary(const platform::Dictionary& parameters);
  // The web page URL of a browsing activity; empty (after a debug message) for anything else.
  static std::optional<std::string> deepLinkFromUserActivity(
      const std::optional<platform::UserActivity>& activity);
  // Handles the stored launch link once: the keys are removed before it is handled. Worker queue.
  void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMs);

  // MARK: User properties

  // Queued store writes, counted among what waits in memory until the worker takes them. A set
  // or removal whose post would follow the not yet taken write of the same property, posted last
  // (nothing between them), takes that write's place: the newest wins, and a flood of them waits
  // as one write.
  void setUserAttribute(const std::optional<TLMUserAttribute>& attribute);
  void removeUserAttribute(const std::optional<TLMUserAttribute>& attribute);
  void setUserAttributeOnWorkerQueue(const TLMUserAttribute& attribute);
  bool setUserPropertyInDatabaseOnWorkerQueue(const TLMUserAttribute& attribute);
  void removeUserAttributeOnWorkerQueue(const TLMUserAttribute& attribute);
  // Callbacks run on the global background queue.
  void userAttributeWithName(const std::string& name,
                             std::function<void(std::optional<TLMUserAttribute>)> callback);
  void userPropertiesIncludingInternal(bool includeInternal,
                                       std::function<void(platform::Dictionary)> callback);
  void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int)> callback);

  // MARK: Engagement, first open, purchases

  bool updateUserEngagement(std::int64_t engagementMillis, TLMPBMeasurementBundle& bundle,
                            bool sessionScoped);
  double firstOpenTimestamp();
  // The callback gets the purchases to report, on the default global queue.
  void filterPurchaseTransactions(std::vector<TLMPaymentTransaction> transactions,
                                  std::function<void(std::vector<TLMPaymentTransaction>)> callback);

  // MARK: The app's end and the upload in flight (any thread)

  // What a posted batch carries.
  struct UploadCounts {
    std::int64_t bundles = 0;
    std::int64_t events = 0;
  };
  // How the upload an app's end waited for ended.
  struct UploadSettlement {
    // The collector accepted the batch and its bundles could not be deleted: they go again.
    bool acceptedNotDeleted = false;
    UploadCounts counts;
  };
  // The app is ending: from now on no upload starts (what is stored goes at a later launch, or
  // once the app becomes active again: resumeUploadsAfterAppEnd), while the one in flight goes on.
  // When one is in flight, `settled` is called once, on the worker queue, when its reply's work is
  // done (the bundles the collector accepted deleted, or a failed batch's let go), and what it
  // carries is returned; else nothing is called and none is returned.
  std::optional<UploadCounts> holdUploadsForAppEnd(std::function<void(const UploadSettlement&)> settled);
  // Lets uploads start again after an app's end (the app became active), and schedules the next.
  void resumeUploadsAfterAppEnd();
  bool areUploadsHeldForAppEnd() const;

  // MARK: Upload scheduling and upload (worker queue)

  // When the next upload is due, seconds since 1970; 0 when none is due.
  double nextUploadingTime();
  // Arms the upload alarm for the next upload time, or cancels it when nothing is due.
  void updateSchedule();
  // Bundles the raw events and posts the oldest queued bundles that no other process of the app
  // holds, held for this one (its process id and PID namespace) in the store until the reply:
  // released when the upload fails, deleted when it succeeds. A hold ends by itself when its
  // process no longer runs (judged only from its own PID namespace), or after the request's
  // timeout and ten minutes more.
  void uploadData();
  void uploadDataOrRegisterAlarm();
  bool isNetworkReadyForRequest();
  // The leading run of bundles that share the first bundle's app id and the chosen device id.
  static std::vector<TLMUploadBundle> filteredBundlesWithCompatibleAppID(
      const std::string& appID, const std::string& resettableDeviceID,
      const std::string& vendorDeviceID, const std::vector<TLMUploadBundle>& bundlesToUpload);
  // False ("Cancelling upload") for an empty list or while another batch is in flight.
  bool setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs);
  void networkUploadCompletionHandlerWithResponse(const std::shared_ptr<const OBXHTTPResponse>& response,
                                                  const std::optional<platform::Error>& error);
  // Lets go of the batch in flight's hold on its queued bundles (see uploadData), counting a retry
  // of each first when `countRetry`.
  void releaseUploadingBundles(bool countRetry);
  // The leading run of `bundles` that one batch may carry (filteredBundlesWithCompatibleAppID
  // with the first bundle's app and the first device identifier found).
  std::vector<TLMUploadBundle> bundlesOfOneAppAndDevice(const std::vector<TLMUploadBundle>& bundles);
  // Any thread: posts updateSchedule to the worker queue.
  void reachabilityDidChange() override;
  // Row ids of the batch in flight; empty when none.
  std::optional<std::vector<std::int64_t>> uploadingBundleIDs() const { return uploadingBundleIDs_; }
  // Device uptime when uploads were suspended; 0 when they are not.
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_.load(); }

  // MARK: Bundling and sampling (worker queue)

  // Makes at most one bundle from the oldest group of raw events; true when a bundle was made or
  // a group was consumed. With `andThen`, a pass that leaves no raw event behind, or the
  // `lastPass`, runs it in its own transaction before the commit (its false rolls the pass back
  // too) and sets `*andThenCommitted` to whether that transaction committed (left empty when it
  // did not run): an upload's claim then costs no transaction of its own.
  bool bundleRawEvents(const std::function<bool()>& andThen = {}, bool lastPass = false,
                       std::optional<bool>* andThenCommitted = nullptr);
  bool hasDataToUpload();
  bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs);
  // The events to keep, in order; empty on a store failure (the error is set).
  std::optional<std::vector<std::shared_ptr<TLMPBEvent>>> sampleEvents(
      const std::vector<std::shared_ptr<TLMPBEvent>>& events, platform::Error* error);
  bool canEventBeSampled(const TLMPBEvent& event);
  // True with probability 1 / rate.
  bool isEventBundledAfterRoll(std::uint32_t rate);

  // MARK: Configuration fetch (worker queue)

  void fetchRemoteConfig();
  void networkRemoteConfigFetchCompletionHandler(const std::shared_ptr<const OBXHTTPResponse>& response,
                                                 const platform::Bytes& data,
                                                 const std::optional<platform::Error>& error);

  // MARK: App life cycle

  // Observes the app's life-cycle notifications on `center` until the engine is gone; the launch
  // is observed on the default centre from the time the library loads, engine or not.
  void registerForAppLifecycleNotifications(platform::NotificationCenter& center);
  // Starts observing the launch, once: when the library loads, and when the analytics library
  // registers (a host may configure from a static initialiser that runs before the library's).
  static void observeAppLaunch();
  static void handleAppDidFinishLaunching(const platform::Notification& notification);
  void handleAppDidBecomeActiveEvent(const platform::Notification& notification);
  void handleAppWillResignActiveEvent(const platform::Notification& notification);
  void handleAppWillEnterForegroundNotification(const platform::Notification& notification);
  // Writes the persisted state to disk and gives up the background task.
  void terminateBackgroundTask();
  void swapBackgroundTaskWithNewTaskID(std::uint64_t taskID);
  std::uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }

  // MARK: Network logger

  void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode messageCode,
                               const std::string& message) override;
  void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode messageCode,
                               const std::string& message, const platform::Value& context) override;
  void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode messageCode,
                               const std::string& message,
                               const std::vector<platform::Value>& contexts) override;

  // MARK: Accessors

  const std::string& appID() const { return appID_; }
  bool isEnabled() const { return enabled_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_.load(); }
  bool isAnalyticsCollectionEnabled() const { return analyticsCollectionEnabled_.load(); }
  void setIsAnalyticsCollectionEnabled(bool v) { analyticsCollectionEnabled_.store(v); }
  bool isAnalyticsCollectionDeactivated() const { return analyticsCollectionDeactivated_.load(); }
  void setIsAnalyticsCollectionDeactivated(bool v) { analyticsCollectionDeactivated_.store(v); }
  bool isNetworkRequestPending() const { return networkRequestPending_.load(); }
  double initTimestamp() const { return initTimestamp_.load(); }
  bool needFirstOpenAfterReset() const { return needFirstOpenAfterReset_.load(); }
  std::shared_ptr<TLMIdentity> identity() const;
  std::shared_ptr<TLMRemoteConfig> remoteConfig() const;
  std::shared_ptr<TLMAudienceEvaluator> audience() const;
  std::shared_ptr<TLMSessionReporting> sessionReporter() const;
  // Set at construction, never replaced.
  const std::shared_ptr<TLMScreenReporting>& screenReporter() const { return components_.screenReporter; }
  const std::shared_ptr<TLMConditionalPropertyProcessor>& conditionalProperties() const {
    return components_.conditionalProperties;
  }
  // Worker queue only.
  TLMDatabase* database() const { return database_.get(); }
  const std::shared_ptr<TLMScheduler>& scheduler() const { return scheduler_; }
  const std::shared_ptr<TLMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<OBXNetwork>& network() const { return network_; }
  const std::shared_ptr<TLMAlarm>& alarm() const { return alarm_; }

 private:
  TLMMeasurementEngine(TLMEngineCollaborators collaborators, const std::string& appID,
                       bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                       const std::vector<std::string>& safelistedEvents);
  bool startComponentsOnWorkerQueue();
  // The store's share of the first open, inside the transaction group reportFirstOpenOnWorkerQueue
  // opens: the properties, the session start and the events (added to `written`, whether stored
  // or not). False when a property check stopped it before the events.
  bool writeFirstOpenOnWorkerQueue(bool earlierFirstOpen, std::int64_t previousFirstOpens,
                                   std::vector<TLMEventPtr>& written);
  // What is logged once per app's data, whichever of its processes gets there first. `stored`
  // tells whether the mark that `write` writes with it is in the store (empty when it cannot be
  // read, said by `stored` itself). In the caller's transaction group when one is open (it holds
  // the write lock), else in a group of its own that asks `stored` again before `write`.
  enum class OnceWrite { Written, AlreadyStored, Unreadable, Failed };
  OnceWrite writeOnceOnWorkerQueue(const std::function<std::optional<bool>()>& stored,
                                   const std::function<void()>& write);
  // A queued event logged once per app's data, with the report mark `mark` (see
  // logInternalEventOncePerApp); as handleEventWithoutSchedulingOnWorkerQueue.
  bool handleOncePerAppEventOnWorkerQueue(TLMEventPtr event, const TLMReportMark& mark);
  double now() const { return clock_ ? clock_->now() : platform::Clock::current()->now(); }
  std::shared_ptr<TLMSessionReporting> makeMinimalSessionReporter(
      const std::shared_ptr<TLMRemoteConfig>& config) const;
  std::string keychainAppID() const;
  TLMRemoteConfig& config() const;
  // handleEventOnWorkerQueue up to the schedule update; false when it stopped before the
  // pipeline (disabled, not safelisted).
  bool handleEventWithoutSchedulingOnWorkerQueue(TLMEventPtr event);
  // A store write a group may take in its turn: a queued event, or another write (a user
  // property set or removed).
  struct QueuedWrite {
    TLMEventPtr event;
    platform::Block write;
    TLMReportMark onceMark = {};   // the event's report mark, when it is logged once per app's data
    std::uint64_t generation = 0;  // of the work that queued it (TLMScheduler::currentWorkGeneration)
    TLMWaitingEventBytes waiting = {};  // an event's bytes among those waiting, until taken
    explicit operator bool() const { return event || write; }
  };
  // logEvent, with the report mark of an event logged once per app's data (none when its column
  // is empty) and the bytes counted when it was logged (none: counted here).
  void queueEvent(const TLMEventPtr& event, TLMReportMark onceMark, TLMWaitingEventBytes admitted = {});
  // Posts `write` as a queued store write (see logEvent).
  // The number of its post.
  std::uint64_t queueStoreWrite(const std::string& blockID, QueuedWrite write);
  // queueStoreWrite of a set or removal of `property`, or, when the last post of the worker queue
  // is the queued write of the same property, not yet taken, that write replaced.
  void queuePropertyWrite(const std::string& blockID, const std::string& property, QueuedWrite write);
  // The post of the last property write queued and its property; guarded by queuedWritesMutex_.
  std::pair<std::uint64_t, std::string> lastPropertyWrite_;
  // Posts `block` as the worker's setting `key`, or puts it in place of the same setting's post
  // that has not begun: when that post is the last of the worker queue, or, for a setting that
  // does not keep its place (its order among other work does not matter), wherever it is.
  void scheduleSetting(const std::string& blockID, const std::string& key, bool keepsItsPlace,
                       platform::Block block);
  struct SettingBlock {
    std::mutex mutex;
    platform::Block block;  // empty once begun
    bool begun = false;
  };
  std::mutex settingMutex_;
  // The last post of each setting, by its number (held by the worker queue until it has run);
  // guarded by settingMutex_.
  std::map<std::string, std::pair<std::uint64_t, std::weak_ptr<SettingBlock>>> settings_;
  // The block posted as the `number`th post of the scheduler for a queued write: runs it
  // (nothing when a group took it) as the first of a group.
  void runQueuedWritesOnWorkerQueue(std::uint64_t number);
  // The worker's take of the write of the post `number` (none when a group took it).
  QueuedWrite takeQueuedWrite(std::uint64_t number);
  // Forgets the write of a post that failed.
  void dropQueuedWrite(std::uint64_t number);
  // Counts events failed (worker queue): up to as many of the running block's events, the last
  // taken first, no longer count as not failed. Ends the running block's share of the unfinished
  // events.
  void countFailedEvents(std::int64_t count);
  void finishBlockEvents();
  // The daily-counts transaction of writeEventOnWorkerQueue.
  bool countEventOnWorkerQueue(TLMEvent& event, bool isPublic, bool& dropped, bool& realtime);
  // The storing transaction of writeEventOnWorkerQueue.
  // `refused`: false returned for a limit, not a failure of the store.
  bool storeEventOnWorkerQueue(const TLMEventPtr& event, bool isPublic, bool realtime, bool& refused);
  // Device uptime from the monotonic clock.
  double uptime() const { return clock_ ? clock_->uptime() : platform::Clock::current()->uptime(); }
  bool isUploadSuspended() const;
  void suspendUploads();
  // Cancels the alarm, stops listening to reachability and ends the background task.
  void stopScheduling();
  bool bundleRawEventsInTransaction(bool& made);
  bool applyRemoteConfigData(const platform::Bytes& data);
  // The failed-request time, and the back-off time when the collector answered 503 or 429.
  void recordNetworkFailureWithStatus(long status, double now);
  bool deleteUserAttributeInTransaction(const std::string& name, std::int64_t code,
                                        const char* message);
  void raiseFirstOpenCounter();
  void notifyEventListeners(const TLMEventPtr& event);
  static void dispatchThroughInterfaceQueue(platform::Block block);

  const std::string appID_;
  std::atomic<bool> analyticsCollectionEnabled_;
  std::atomic<bool> analyticsCollectionDeactivated_;
  const std::vector<std::string> safelistedEvents_;
  std::atomic<double> initTimestamp_{0};
  const std::string databaseName_;
  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  const std::shared_ptr<OBXNetwork> network_;
  const std::shared_ptr<TLMScheduler> scheduler_;
  const std::shared_ptr<TLMAlarm> alarm_;
  const std::shared_ptr<platform::Clock> clock_;
  TLMEnginePlatformServices services_;
  TLMEngineComponents components_;
  const std::shared_ptr<TLMStoreSettings> storeSettings_;

  std::atomic<bool> enabled_{false};
  std::atomic<bool> wasEnabledDuringInitialization_{false};
  std::atomic<bool> needFirstOpenAfterReset_{false};
  std::atomic<bool> networkRequestPending_{false};
  std::atomic<double> suspendedUploadTimestamp_{0};
  // The suspension whose warning (23023) was said: once per suspension, not at every schedule
  // update while it lasts. Worker queue only.
  double suspensionTold_ = 0;
  // The time of the last event of each name this process stored (worker queue only).
  std::map<std::string, double> storedEventTimestamps_;
  std::atomic<std::uint64_t> backgroundUpdateTask_{kTLMBackgroundTaskInvalid};
  const std::string uploadURL_;
  const std::shared_ptr<platform::Random> random_;
  const std::shared_ptr<TLMBackgroundTaskService> backgroundTasks_;
  // Worker queue: the batch in flight, and the number of the request whose completion still
  // counts (a completion of any other request is ignored).
  std::optional<std::vector<std::int64_t>> uploadingBundleIDs_;
  std::uint64_t networkRequestNumber_ = 0;
  // The upload in flight as the app's end sees it, under uploadFlightMutex_: whether uploads are
  // held, the batch posted and not yet settled (its number and counts), and the ends waiting for it.
  mutable std::mutex uploadFlightMutex_;
  bool uploadsHeld_ = false;
  std::uint64_t uploadFlightNumber_ = 0;
  std::optional<UploadCounts> uploadInFlight_;
  std::vector<std::function<void(const UploadSettlement&)>> uploadSettledWaiters_;
  // Marks a batch carrying `counts` in flight and answers its number, unless uploads are held (0):
  // checked and set at once, so that an end either waits for the batch or keeps it from leaving.
  std::uint64_t beginUploadFlight(const UploadCounts& counts);
  // The reply's work of the batch `number` is done: the ends waiting for it are told. Nothing when
  // that batch was settled already (a later one's flight is not touched).
  void settleUploadFlight(std::uint64_t number, bool acceptedNotDeleted);
  std::uint64_t postedUploadFlight_ = 0;  // worker queue: the batch in flight's number (0: none)
  // The process id that holds the queued bundles this process sends, and its PID namespace
  // (worker queue; read at the first upload of each process, a forked child's included).
  std::int64_t uploadClaimant_ = 0;
  std::int64_t uploadPidNamespace_ = 0;
  // Worker queue: when the bundle being made carries the monitor's health sample, the time it
  // was taken; stored only once that bundle is committed.
  std::optional<double> bundledMonitorSampleTimestamp_;
  std::vector<platform::NotificationCenter::ObserverToken> lifecycleObservers_;
  platform::NotificationCenter* lifecycleCenter_ = nullptr;
  std::optional<std::string> previousQPXAppID_;  // worker queue
  bool componentsStarted_ = false;               // worker queue: the once-flag of the start

  mutable std::mutex componentsMutex_;  // guards the shared components below
  std::shared_ptr<TLMIdentity> identity_;
  std::shared_ptr<TLMRemoteConfig> remoteConfig_;
  std::shared_ptr<TLMAudienceEvaluator> audience_;
  std::shared_ptr<TLMSessionReporting> sessionReporter_;
  std::shared_ptr<TLMSearchAdReporting> searchAdReporter_;
  std::unique_ptr<TLMDatabase> database_;  // worker queue

  // The events logEvent posted and the other store writes queued, not yet taken by the worker,
  // each by the number of its post, in the order of the posts (the worker takes them in that
  // order: each list is taken from its front).
  mutable std::mutex queuedWritesMutex_;
  std::deque<std::pair<std::uint64_t, QueuedWrite>> queuedEvents_;
  std::deque<std::pair<std::uint64_t, QueuedWrite>> queuedOtherWrites_;
  // Under the same lock, so that an event is counted once as it passes from the queue to the
  // running block of queued writes and fails: the events that block took and that have not
  // failed, by generation (one entry per run of one generation, in the order taken), and the
  // failures.
  std::vector<std::pair<std::uint64_t, std::int64_t>> blockEventsByGeneration_;
  // The queued writes by generation (events, other writes), an entry while one is queued: read
  // without walking the queues, which may hold a great many of later work.
  struct QueuedCounts {
    std::int64_t events = 0;
    std::int64_t others = 0;
  };
  std::map<std::uint64_t, QueuedCounts> queuedByGeneration_;
  // Counts `write` in (1) or out of (-1) queuedByGeneration_; queuedWritesMutex_ held.
  void countQueuedWrite(const QueuedWrite& write, std::int64_t change);
  // The events dropped past the bound of those waiting, by the generation of the work that
  // logged them (under the same lock, with the failures they count in); the drops since an
  // event was last admitted.
  std::map<std::uint64_t, std::int64_t> droppedByGeneration_;
  std::atomic<std::int64_t> droppedWaitingEventsInRun_{0};
  std::atomic<std::int64_t> droppedWaitingEvents_{0};
  // The oldest generation of the writes the running block took (0: none).
  std::uint64_t blockOldestGeneration_ = 0;
  std::atomic<std::int64_t> unfinishedEvents_{0};
  std::atomic<std::int64_t> failedEvents_{0};
  std::atomic<std::int64_t> reportedFailedEvents_{0};
  std::int64_t blockEvents_ = 0;  // worker queue: the events of the running block
  // The last start of measurement failed (no store, as when its tables could not be made): the
  // events then dropped are lost, and fail, until a start succeeds or the app switches
  // collection off.
  std::atomic<bool> startFailed_{false};
  std::int64_t writtenEvents_ = 0;  // worker queue: events whose store write ended well
};
