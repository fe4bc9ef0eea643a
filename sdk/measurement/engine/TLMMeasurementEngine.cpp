// Creation, the shared instance, enablement, component start, wipe and the automatic life
// events of the measurement engine.
#include "measurement/engine/TLMMeasurementEngine.h"

#include <cmath>
#include <limits>

#include "dispatch/Queue.h"
#include "foundation/Bundle.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Sandbox.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMDiagnosticMonitor.h"
#include "measurement/engine/TLMEnvironmentInfo.h"
#include "measurement/engine/TLMIdentifiers.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMKeychainWrapper.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/audiences/TLMAudience.h"
#include "measurement/engine/components/TLMConditionalUserPropertyController.h"
#include "measurement/engine/components/TLMInAppPurchaseReporter.h"
#include "measurement/engine/components/TLMLifetimeValueRecorder.h"
#include "measurement/engine/components/TLMReceiptReader.h"
#include "measurement/engine/components/TLMScreenViewReporter.h"
#include "measurement/engine/sessions/TLMSearchAdReporter.h"
#include "measurement/engine/sessions/TLMSessionReporter.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "obx/OBXLogger.h"

namespace {

constexpr const char* kDebugHelpURL = "https://tallymark.ombrix.com/docs/ios/debug-view";
constexpr const char* kAllowAdPersonalizationKey =
    "OMBRIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";

bool isSet(const std::optional<std::string>& s) { return s && !s->empty(); }

// The store's view of the settings, persisted values and clock, read through the engine.
class EngineStoreSettings : public TLMStoreSettings {
 public:
  EngineStoreSettings(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                      std::shared_ptr<platform::Clock> clock)
      : persistedConfig_(std::move(persistedConfig)), clock_(std::move(clock)) {}
  void setEngine(std::weak_ptr<TLMMeasurementEngine> engine) { engine_ = std::move(engine); }
  std::int64_t maxEventsStored() const override { return config()->maxEventsStored(); }
  double maxQueueTime() const override { return config()->maxQueueTime(); }
  double databaseDeleteStaleBundlesInterval() const override {
    return config()->databaseDeleteStaleBundlesInterval();
  }
  double lastDeleteStaleBundlesTimestamp() const override {
    return persistedConfig_->lastDeleteStaleBundlesTimestamp();
  }
  void setLastDeleteStaleBundlesTimestamp(double timestamp) override {
    persistedConfig_->setLastDeleteStaleBundlesTimestamp(timestamp);
  }
  // Read once: it changes only when the engine clears the persisted values.
  double midnightOffset() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!midnightOffset_) midnightOffset_ = persistedConfig_->midnightOffset();
    return *midnightOffset_;
  }
  void forgetMidnightOffset() {
    std::lock_guard<std::mutex> lock(mutex_);
    midnightOffset_.reset();
  }
  double now() const override {
    return clock_ ? clock_->now() : platform::Clock::current()->now();
  }

 private:
  std::shared_ptr<TLMRemoteConfig> config() const {
    if (auto engine = engine_.lock()) {
      if (auto config = engine->remoteConfig()) return config;
    }
    return TLMRemoteConfig::defaultInstance();
  }
  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  const std::shared_ptr<platform::Clock> clock_;
  std::weak_ptr<TLMMeasurementEngine> engine_;
  mutable std::mutex mutex_;
  mutable std::optional<double> midnightOffset_;
};

// Library-wide state of the shared engine.
struct SharedState {
  std::mutex mutex;
  bool initialized = false;
  std::shared_ptr<TLMMeasurementEngine> engine;
};
SharedState& shared() {
  static SharedState& state = *new SharedState();
  return state;
}

}  // namespace

// MARK: - Shared instance

void TLMMeasurementEngine::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents) {
  std::lock_guard<std::mutex> lock(shared().mutex);
  if (shared().initialized) return;
  if (platform::Error noFolder; !platform::sandbox::available(&noFolder)) {
    // Nowhere to keep the database: no engine, and a call once the app has its folders makes one.
    TLMMeasurement::monitor()->logWithLevel(1, 23149, noFolder.description);
    return;
  }
  if (appID.empty()) {
    shared().initialized = true;
    return;
  }
  installLibraryMonitor();
  // Marked initialised once made: a making cut off by an exception is made again by the next call.
  shared().engine = initWithAppID(appID, isAnalyticsCollectionEnabled,
                                  isAnalyticsCollectionDeactivated, safelistedEvents);
  shared().initialized = true;
  if (shared().engine) {
    TLMMeasurement::setInternalEventLogger(
        [](const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters) {
          if (auto engine = TLMMeasurementEngine::sharedInstance()) {
            engine->logInternalEvent(origin, name, parameters);
          }
        });
  }
}

void TLMMeasurementEngine::installLibraryMonitor() {
  // The library's real monitor replaces the console monitor once, before anything is logged.
  static std::once_flag monitorOnce;
  std::call_once(monitorOnce, [] {
    if (dynamic_cast<TLMConsoleMonitor*>(TLMMeasurement::monitor().get()) != nullptr) {
      TLMMeasurement::setMonitor(
          TLMDiagnosticMonitor::initWithLibraryVersion(TLMIdentity::tallymarkLibraryVersion()));
    }
  });
}

bool TLMMeasurementEngine::hasSharedInstance() {
  std::lock_guard<std::mutex> lock(shared().mutex);
  return shared().initialized && shared().engine != nullptr;
}

std::shared_ptr<TLMMeasurementEngine> TLMMeasurementEngine::initializedSharedInstance() {
  std::lock_guard<std::mutex> lock(shared().mutex);
  return shared().initialized ? shared().engine : nullptr;
}

std::shared_ptr<TLMMeasurementEngine> TLMMeasurementEngine::sharedInstance() {
  if (!TLMAEU::isOSSupported()) return nullptr;
  std::lock_guard<std::mutex> lock(shared().mutex);
  if (!shared().initialized && TLMMeasurement::isAnalyticsFacadePresent()) {
    OBXLogWarning(kTLMMonitorDefaultLogTag, false, TLMMessageCodeString(23147),
                  "Ombrix Analytics for Cindervale has not been created. Please, configure "
                  "Cindervale by calling [CDVApp configure]");
  }
  return shared().engine;
}

std::shared_ptr<TLMRemoteConfig> TLMMeasurementEngine::sharedRemoteConfig() {
  std::shared_ptr<TLMMeasurementEngine> engine;
  {
    std::lock_guard<std::mutex> lock(shared().mutex);
    engine = shared().engine;
  }
  if (engine) {
    if (auto config = engine->remoteConfig()) return config;
  }
  return TLMRemoteConfig::defaultInstance();
}

double TLMMeasurementEngine::loadTimestamp() {
  static const double timestamp = platform::Clock::current()->now();
  return timestamp;
}

void TLMMeasurementEngine::setSharedInstanceForTesting(std::shared_ptr<TLMMeasurementEngine> engine) {
  {
    std::lock_guard<std::mutex> lock(shared().mutex);
    shared().initialized = true;
    shared().engine = engine;
  }
  TLMMeasurement::setInternalEventLogger(
      [weak = std::weak_ptr<TLMMeasurementEngine>(engine)](const std::string& origin, const std::string& name,
                                                           const TLMObjectDictionary& parameters) {
        if (auto engine = weak.lock()) engine->logInternalEvent(origin, name, parameters);
      });
}

void TLMMeasurementEngine::resetSharedInstanceForTesting() {
  std::shared_ptr<TLMMeasurementEngine> engine;
  {
    std::lock_guard<std::mutex> lock(shared().mutex);
    shared().initialized = false;
    engine = std::move(shared().engine);
  }
  if (engine) TLMMeasurement::setInternalEventLogger(nullptr);
}

// MARK: - Creation

std::shared_ptr<TLMMeasurementEngine> TLMMeasurementEngine::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated, const std::vector<std::string>& safelistedEvents) {
  if (appID.empty()) {
    tlm_monitor()->logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  tlm_monitor()->logWithLevel(6, 23007, std::string("Analytics v.") + kTLMTallymarkLibraryVersion + " started");
  const bool facade = TLMMeasurement::isAnalyticsFacadePresent();
  const std::string enableArgument =
      facade ? "-CDVAnalyticsDebugEnabled" : "-TLMAnalyticsDebugEnabled";
  const std::string disableArgument =
      facade ? "-noCDVAnalyticsDebugEnabled" : "-noTLMAnalyticsDebugEnabled";
  const bool debug = tlm_monitor()->isDebugModeEnabled();
  tlm_monitor()->logWithLevel(
      6, 23008,
      (debug ? "To disable debug logging set the following application argument: " + disableArgument
             : "To enable debug logging set the following application argument: " + enableArgument) +
          " (see " + kDebugHelpURL + ")");
  tlm_monitor()->logWithLevel(7, 23009, "Debug logging enabled");

  TLMEngineCollaborators collaborators;
  collaborators.network = std::make_shared<OBXNetwork>(kTLMMeasurementReachabilityHost);
  collaborators.network->setIsDebugModeEnabled(debug);
  collaborators.scheduler = std::make_shared<TLMScheduler>(kTLMSchedulerWorkerQueueLabel);
  collaborators.alarm =
      std::make_shared<TLMAlarm>(collaborators.scheduler->workerQueue(), kTLMMeasurementTimerName);
  collaborators.persistedConfig = TLMPersistedConfig::sharedInstance();
  collaborators.uploadURL = collectionServerURL() + "/a";
  collaborators.components.makeAudience = [](TLMDatabase& database,
                                             std::shared_ptr<TLMRemoteConfig> remoteConfig) {
    return std::make_shared<TLMAudience>(
        database, std::make_shared<TLMAudienceRemoteConfigSettings>(std::move(remoteConfig)));
  };
  // The screen reporter follows the app from here: it must see the first activation.
  auto screenReporter = TLMScreenViewReporter::sharedInstance();
  TLMScreenViewReporter::installAppearanceWrappers();
  collaborators.components.screenReporter = screenReporter;
  collaborators.components.conditionalProperties = TLMConditionalUserPropertyController::sharedInstance();
  collaborators.components.lifetimeValue = std::make_shared<TLMLifetimeValueRecorder>(
      [] { return std::int64_t{TLMMeasurementEngine::sharedRemoteConfig()->maxTrackedCurrencies()}; },
      [] { return platform::Clock::current()->now(); });
  collaborators.components.receipts = std::make_shared<TLMStoreReceiptReader>();
  collaborators.components.purchaseFingerprint = [](const TLMPaymentTransaction& transaction) {
    return TLMInAppPurchaseTransactionReporter::transactionFingerprint(&transaction).value_or(std::string());
  };
  collaborators.components.makeSessionReporter = [screenReporter](std::shared_ptr<TLMPersistedConfig> persisted,
                                                                  std::shared_ptr<TLMRemoteConfig> remote) {
    if (!remote) remote = TLMRemoteConfig::defaultInstance();
    TLMSessionReporterServices services;
    services.settings = [remote] { return TLMSessionSettings::fromRemoteConfig(*remote); };
    services.isAppActive = [screenReporter] { return screenReporter->isAppActive(); };
    return TLMSessionReporter::create(std::move(persisted), std::move(services));
  };
  collaborators.components.makeSearchAdReporter = [](std::shared_ptr<platform::Queue> workerQueue,
                                                     std::shared_ptr<TLMPersistedConfig> persisted,
                                                     TLMInternalEventLogger logCampaign) {
    TLMSearchAdServices services;
    services.logInternalEvent = std::move(logCampaign);
    return TLMSearchAdReporter::create(std::move(workerQueue), std::move(persisted), std::move(services));
  };
  auto engine = create(std::move(collaborators), appID, isAnalyticsCollectionEnabled,
                       isAnalyticsCollectionDeactivated, safelistedEvents);
  if (engine && engine->network_) engine->network_->setLoggerDelegate(engine);
  if (engine) engine->registerForAppLifecycleNotifications(platform::NotificationCenter::defaultCenter());
  return engine;
}

std::shared_ptr<TLMMeasurementEngine> TLMMeasurementEngine::create(
    TLMEngineCollaborators collaborators, const std::string& appID,
    bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    const std::vector<std::string>& safelistedEvents) {
  if (appID.empty()) {
    tlm_monitor()->logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  if (!collaborators.persistedConfig || !collaborators.scheduler) return nullptr;
  std::shared_ptr<TLMMeasurementEngine> engine(
      new TLMMeasurementEngine(std::move(collaborators), appID, isAnalyticsCollectionEnabled,
                               isAnalyticsCollectionDeactivated, safelistedEvents));
  static_cast<EngineStoreSettings*>(engine->storeSettings_.get())->setEngine(engine);
  engine->components_.conditionalProperties->attachEngine(engine);
  const bool enable = engine->shouldEnableMeasurement();
  engine->setEnabled(enable);
  engine->wasEnabledDuringInitialization_.store(enable);
  return engine;
}

TLMMeasurementEngine::TLMMeasurementEngine(TLMEngineCollaborators collaborators,
                                           const std::string& appID,
                                           bool isAnalyticsCollectionEnabled,
                                           bool isAnalyticsCollectionDeactivated,
                                           const std::vector<std::string>& safelistedEvents)
    : appID_(appID),
      analyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      analyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated),
      safelistedEvents_(safelistedEvents),
      databaseName_(collaborators.databaseName),
      persistedConfig_(std::move(collaborators.persistedConfig)),
      network_(std::move(collaborators.network)),
      scheduler_(std::move(collaborators.scheduler)),
      alarm_(std::move(collaborators.alarm)),
      clock_(std::move(collaborators.clock)),
      services_(std::move(collaborators.services)),
      components_(std::move(collaborators.components)),
      storeSettings_(std::make_shared<EngineStoreSettings>(persistedConfig_, clock_)),
      uploadURL_(std::move(collaborators.uploadURL)),
      random_(std::move(collaborators.random)),
      backgroundTasks_(collaborators.backgroundTasks
                           ? std::move(collaborators.backgroundTasks)
                           : std::make_shared<TLMNoBackgroundTaskService>()) {
  if (!services_.identity) services_.identity = [] { return TLMIdentity::sharedInstance(); };
  if (!services_.identifiers) services_.identifiers = TLMIdentifiers::sharedInstance();
  if (!services_.environmentInfo) services_.environmentInfo = TLMEnvironmentInfo::sharedInstance();
  if (!services_.isOSSupported) services_.isOSSupported = [] { return TLMAEU::isOSSupported(); };
  if (!services_.loadTimestamp) services_.loadTimestamp = [] { return loadTimestamp(); };
  if (!components_.conditionalProperties) {
    components_.conditionalProperties = std::make_shared<TLMNullConditionalPropertyProcessor>();
  }
  if (!components_.screenReporter) components_.screenReporter = std::make_shared<TLMNullScreenReporter>();
  if (!components_.lifetimeValue) components_.lifetimeValue = std::make_shared<TLMNullLifetimeValueRecorder>();
  if (!components_.receipts) components_.receipts = std::make_shared<TLMNullReceiptReader>();

  if (auto persisted = persistedConfig_->loadTimestampValue()) {
    initTimestamp_.store(*persisted);
  } else {
    const double load = services_.loadTimestamp();
    initTimestamp_.store(load);
    persistedConfig_->setLoadTimestampValue(load);
  }
}

TLMMeasurementEngine::~TLMMeasurementEngine() {
  if (lifecycleCenter_ != nullptr) {
    for (auto token : lifecycleObservers_) lifecycleCenter_->removeObserver(token);
  }
}

std::shared_ptr<TLMIdentity> TLMMeasurementEngine::identity() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return identity_;
}

std::shared_ptr<TLMRemoteConfig> TLMMeasurementEngine::remoteConfig() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return remoteConfig_;
}

std::shared_ptr<TLMAudienceEvaluator> TLMMeasurementEngine::audience() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return audience_;
}

std::shared_ptr<TLMSessionReporting> TLMMeasurementEngine::sessionReporter() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return sessionReporter_;
}

TLMRemoteConfig& TLMMeasurementEngine::config() const {
  // Worker queue: the configuration only changes there, so the reference stays valid.
  std::lock_guard<std::mutex> lock(componentsMutex_);
  if (remoteConfig_) return *remoteConfig_;
  return *TLMRemoteConfig::defaultInstance();
}

std::string TLMMeasurementEngine::keychainAppID() const {
  if (services_.keychainAppID) return *services_.keychainAppID;
  return platform::Bundle::main()->bundleIdentifier().value_or(std::string());
}

std::shared_ptr<TLMSessionReporting> TLMMeasurementEngine::makeMinimalSessionReporter(
    const std::shared_ptr<TLMRemoteConfig>& config) const {
  return std::make_shared<TLMMinimalSessionReporter>(
      persistedConfig_, clock_, config->sessionDefaultTimeoutInterval(),
      config->sessionDefaultMinimumInterval(), [config] { return config->sessionNumberEnabled(); },
      [config] { return config->sessionBackgroundEnabled(); });
}

namespace {
std::mutex& notifierMutex() {
  static std::mutex mutex;
  return mutex;
}
TLMMeasurementEngine::TLMEventListenerNotifier& eventListenerNotifier() {
  static TLMMeasurementEngine::TLMEventListenerNotifier& notifier = *new TLMMeasurementEngine::TLMEventListenerNotifier();
  return notifier;
}
TLMMeasurementEngine::TLMInterfaceQueueDispatcher& interfaceQueueDispatcher() {
  static auto& dispatcher = *new TLMMeasurementEngine::TLMInterfaceQueueDispatcher();
  return dispatcher;
}
std::string& collectionServer() {
  static std::string& server = *new std::string();
  return server;
}
}  // namespace

TLMMeasurementEngine::TLMEventListenerNotifier TLMMeasurementEngine::setEventListenerNotifier(
    TLMEventListenerNotifier notifier) {
  std::lock_guard<std::mutex> lock(notifierMutex());
  std::swap(eventListenerNotifier(), notifier);
  return notifier;
}

void TLMMeasurementEngine::notifyEventListeners(const TLMEventPtr& event) {
  TLMEventListenerNotifier notifier;
  {
    std::lock_guard<std::mutex> lock(notifierMutex());
    notifier = eventListenerNotifier();
  }
  if (notifier && event) notifier(event);
}

TLMMeasurementEngine::TLMInterfaceQueueDispatcher TLMMeasurementEngine::setInterfaceQueueDispatcher(
    TLMInterfaceQueueDispatcher dispatcher) {
  std::lock_guard<std::mutex> lock(notifierMutex());
  std::swap(interfaceQueueDispatcher(), dispatcher);
  return dispatcher;
}

void TLMMeasurementEngine::dispatchThroughInterfaceQueue(platform::Block block) {
  TLMInterfaceQueueDispatcher dispatcher;
  {
    std::lock_guard<std::mutex> lock(notifierMutex());
    dispatcher = interfaceQueueDispatcher();
  }
  if (dispatcher) {
    dispatcher(std::move(block));
  } else {
    block();
  }
}

void TLMMeasurementEngine::setCollectionServerURL(const std::string& serverURL) {
  {
    std::lock_guard<std::mutex> lock(notifierMutex());
    collectionServer() = serverURL;
  }
  TLMRemoteConfig::setCollectionServerURLForTesting(serverURL);
}

std::string TLMMeasurementEngine::collectionServerURL() {
  std::lock_guard<std::mutex> lock(notifierMutex());
  return collectionServer().empty() ? std::string(kTLMCollectionServerURL) : collectionServer();
}

// MARK: - Enablement

bool TLMMeasurementEngine::shouldEnableMeasurement() const {
  if (analyticsCollectionDeactivated_.load()) return false;
  switch (persistedConfig_->measurementEnabledState()) {
    case TLMMeasurementEnabledStateEnabled:
      return true;
    case TLMMeasurementEnabledStateDisabled:
      return false;
    default:
      return analyticsCollectionEnabled_.load();
  }
}

void TLMMeasurementEngine::scheduleSetting(const std::string& blockID, const std::string& key, bool keepsItsPlace,
                                           platform::Block block) {
  bool replaced = false;
  scheduler_->atLastPost([&](std::uint64_t last) {
    std::lock_guard<std::mutex> lock(settingMutex_);
    const auto found = settings_.find(key);
    if (found == settings_.end() || (keepsItsPlace && found->second.first != last)) return;
    const std::shared_ptr<SettingBlock> waiting = found->second.second.lock();
    if (!waiting) return;
    std::lock_guard<std::mutex> blockLock(waiting->mutex);
    if (waiting->begun) return;
    waiting->block = std::move(block);
    replaced = true;
  });
  if (replaced) return;
  auto posted = std::make_shared<SettingBlock>();
  posted->block = std::move(block);
  scheduler_->scheduleNumberedOnWorkerQueueBlockID(blockID, [&](std::uint64_t number) -> platform::Block {
    {
      std::lock_guard<std::mutex> lock(settingMutex_);
      settings_[key] = {number, posted};
    }
    return [posted] {
      platform::Block run;
      {
        std::lock_guard<std::mutex> lock(posted->mutex);
        posted->begun = true;
        run = std::move(posted->block);
      }
      run();
    };
  });
}

void TLMMeasurementEngine::setEnabled(bool enabled) {
  scheduleSetting("TLMMeasurement:687", "enabled", true, [self = shared_from_this(), enabled] {
    // Switched off by the app: what is dropped from now on is no loss, even after a start that
    // failed.
    if (!enabled) self->startFailed_.store(false);
    self->setEnabledOnWorkerQueue(enabled);
  });
}

void TLMMeasurementEngine::setEnabledOnWorkerQueue(bool enabled) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
  const bool deactivated = analyticsCollectionDeactivated_.load();
  if (deactivated && enabled) return;
  if (!deactivated && !persistedConfig_->deferredAnalyticsCollection()) {
    persistedConfig_->setDeferredAnalyticsCollection(!enabled);
  }
  enabled_.store(enabled);
  if (enabled) {
    startFailed_.store(!startMeasurementOnWorkerQueue());
    if (startFailed_.load()) {
      tlm_monitor()->logWithLevel(7, 23011, "Failed to start Analytics. Analytics is disabled");
      // Switched off as setEnabled(false) does, but by the engine: what it drops stays lost.
      scheduler_->scheduleOnWorkerQueueBlockID(
          "TLMMeasurement:687", [self = shared_from_this()] { self->setEnabledOnWorkerQueue(false); });
      return;
    }
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
    tlm_monitor()->logWithLevel(7, 23012, "Analytics enabled");
  } else {
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
    tlm_monitor()->logWithLevel(7, 23013, "Analytics disabled");
  }
}

bool TLMMeasurementEngine::startMeasurementOnWorkerQueue() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  if (!services_.isOSSupported()) return false;
  bool started = true;
  if (!componentsStarted_) {
    componentsStarted_ = true;
    started = startComponentsOnWorkerQueue();
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (!started) {
    componentsStarted_ = false;  // the next enable tries the whole start again
    return false;
  }
  if (needFirstOpenAfterReset_.load()) {
    reportFirstOpenOnWorkerQueue();
    needFirstOpenAfterReset_.store(false);
  }
  updateSchedule();
  return true;
}

bool TLMMeasurementEngine::startComponentsOnWorkerQueue() {
  auto identity = services_.identity();
  if (!identity) return false;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    identity_ = identity;
  }
  const auto qpx = identity->appIDFromQPX();
  const auto veltrix = identity->appIDFromVeltrix();
  if (shouldWipeDataWithAppID(appID_, qpx, veltrix, persistedConfig_->appIDFromQPX(),
                              persistedConfig_->appIDFromVeltrix())) {
    wipeoutAnalyticsDataAndResetComponents();
  }
  if (qpx != persistedConfig_->appIDFromQPX()) persistedConfig_->setAppIDFromQPX(qpx);
  if (veltrix != persistedConfig_->appIDFromVeltrix()) persistedConfig_->setAppIDFromVeltrix(veltrix);
  const std::string origin = services_.identifiers->origin();
  if (origin == "xq") persistedConfig_->setAppIDFromQPX(appID_);
  if (origin == kTLMAdNetworkOrigin) persistedConfig_->setAppIDFromVeltrix(appID_);

  auto database = TLMDatabase::initWithDatabaseName(databaseName_, storeSettings_, nullptr);
  if (!database) database = TLMDatabase::initWithDatabaseName(databaseName_, storeSettings_, nullptr);
  if (!database) return false;
  database_ = std::move(database);

  std::weak_ptr<TLMIdentifiers> identifiers = services_.identifiers;
  auto remoteConfig = TLMRemoteConfig::initWithAppID(appID_, database_.get(), [identifiers] {
    auto shared = identifiers.lock();
    return shared ? shared->origin() : std::string();
  });
  std::shared_ptr<TLMAudienceEvaluator> audience;
  if (remoteConfig) {
    audience = components_.makeAudience ? components_.makeAudience(*database_, remoteConfig)
                                        : std::make_shared<TLMNullAudienceEvaluator>();
  }
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    remoteConfig_ = remoteConfig;
    audience_ = audience;
  }
  if (!remoteConfig || !audience) return false;

  const std::string databasePath = TLMFilePathForDatabaseName(databaseName_);
  platform::Error error;
  if (!TLMExcludeFilePathFromBackup(databasePath.substr(0, databasePath.rfind('/')), &error)) {
    tlm_monitor()->logWithLevel(4, 23015, "Failed to exclude directory from backup. Error",
                           platform::Value(error.description));
  }
  tlm_monitor()->logWithLevel(7, 23016, "Analytics is ready to receive events");
  platform::Error staleError;
  if (!database_->maybeDeleteStaleData(&staleError) && !staleError.domain.empty()) {
    tlm_monitor()->logWithLevel(4, 23018, "Unable to delete stale data. Error",
                           platform::Value(staleError.description));
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  {
    auto reporter = components_.makeSessionReporter
                        ? components_.makeSessionReporter(persistedConfig_, remoteConfig)
                        : nullptr;
    if (!reporter) {
      auto config = remoteConfig;
      reporter = makeMinimalSessionReporter(config);
    }
    std::lock_guard<std::mutex> lock(componentsMutex_);
    sessionReporter_ = reporter;
  }
  reportFirstOpenOnWorkerQueue();
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();
  reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  if (remoteConfig->isSearchAdReporterEnabled() && components_.makeSearchAdReporter) {
    // Its campaign event is the install's: stored once, whichever process of the app gets the
    // answer first (the settings' flag each process reads is kept for older builds too).
    std::weak_ptr<TLMMeasurementEngine> weak = weak_from_this();
    auto reporter = components_.makeSearchAdReporter(
        scheduler_->workerQueue(), persistedConfig_,
        [weak](const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters) {
          if (auto engine = weak.lock()) {
            engine->logInternalEventOncePerApp(origin, name, parameters, kTLMSearchAdCampaignReportedColumn);
          }
        });
    if (reporter) {
      reporter->setSearchAdReporterEnabled(remoteConfig->isSearchAdReporterEnabled());
      reporter->start();
      std::lock_guard<std::mutex> lock(componentsMutex_);
      searchAdReporter_ = reporter;
    }
  }
  return true;
}

// MARK: - Wipe

bool TLMMeasurementEngine::shouldWipeDataWithAppID(
    const std::string& appID, const std::optional<std::string>& appIDFromQPX,
    const std::optional<std::string>& appIDFromVeltrix,
    const std::optional<std::string>& persistedAppIDFromQPX,
    const std::optional<std::string>& persistedAppIDFromVeltrix) const {
  const bool g = isSet(appIDFromQPX), pg = isSet(persistedAppIDFromQPX);
  const bool v = isSet(appIDFromVeltrix), pv = isSet(persistedAppIDFromVeltrix);
  const bool a = !appID.empty();
  if (pg && g) return *persistedAppIDFromQPX != *appIDFromQPX;
  if (g && !pg && !v && pv) return true;
  if (g && !pg && v && pv && *persistedAppIDFromVeltrix != *appIDFromVeltrix) return true;
  if (!g && pg && v && !pv && a) return true;
  if (!g && pv && a && appID != *persistedAppIDFromVeltrix) return true;
  return false;
}

void TLMMeasurementEngine::wipeoutAnalyticsDataAndResetComponents() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
  tlm_monitor()->logWithLevel(3, 23171, "App ID has been changed. Resetting Tally Mark data");
  previousQPXAppID_ = persistedConfig_->appIDFromQPX();
  persistedConfig_->clearValues();
  static_cast<EngineStoreSettings*>(storeSettings_.get())->forgetMidnightOffset();
  if (auto identity = this->identity()) identity->invalidateIdentifiers();
  if (auto* diagnostic = dynamic_cast<TLMDiagnosticMonitor*>(TLMMeasurement::monitor().get())) {
    diagnostic->clearMonitoringData();
  }
  if (database_) {
    database_->reset();
    if (auto config = remoteConfig()) config->reset();
    std::shared_ptr<TLMSessionReporting> reporter;
    if (components_.makeSessionReporter) {
      reporter = components_.makeSessionReporter(persistedConfig_, remoteConfig());
    }
    if (!reporter) {
      auto config = remoteConfig();
      reporter = makeMinimalSessionReporter(config);
    }
    std::lock_guard<std::mutex> lock(componentsMutex_);
    sessionReporter_ = reporter;
  } else {
    // Not open yet: delete the file with its journal companions, so that no stale journal is
    // replayed into the fresh database.
    platform::Error error;
    auto store = TLMSqliteStore::closedStoreWithPath(TLMFilePathForDatabaseName(databaseName_), nullptr);
    if (!store || !store->closeAndDeleteDatabase(&error)) {
      tlm_monitor()->logWithLevel(4, 23014, "Failed to delete old database file. Error",
                             platform::Value(error.description));
    }
  }
}

void TLMMeasurementEngine::resetAnalyticsData() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData");
  auto config = remoteConfig();
  if (!config) config = TLMRemoteConfig::defaultInstance();
  if (!config->isResetAnalyticsDataEnabled()) {
    tlm_monitor()->logWithLevel(5, 23169, "resetAnalyticsData API is disabled");
    return;
  }
  const double load = services_.loadTimestamp();
  scheduler_->dispatchSyncOnWorkerQueueBlockID("TLMMeasurement:3002", [this, load] {
    wipeoutAnalyticsDataAndResetComponents();
    auto identity = this->identity();
    if (!identity || identity->appInstanceID().empty()) {
      tlm_monitor()->logWithLevel(4, 23167, "Failed to create an app instance ID after reset");
    }
    tlm_monitor()->logWithLevel(7, 23168, "Analytics data has been reset");
    if (!analyticsCollectionDeactivated_.load() && !persistedConfig_->deferredAnalyticsCollection()) {
      persistedConfig_->setDeferredAnalyticsCollection(!enabled_.load());
    }
    initTimestamp_.store(load);
    persistedConfig_->setLoadTimestampValue(load);
    if (enabled_.load()) {
      reportFirstOpenOnWorkerQueue();
    } else {
      needFirstOpenAfterReset_.store(true);
    }
  });
}

// MARK: - First open and updates

std::int64_t TLMMeasurementEngine::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  constexpr std::int64_t kHour = 3600000;
  const std::int64_t hours = milliseconds / kHour;  // truncates toward zero
  // hours * kHour never overflows (it is at most |milliseconds|); only the added hour may.
  const std::int64_t floor = hours * kHour;
  if (floor > std::numeric_limits<std::int64_t>::max() - kHour) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return floor + kHour;
}

bool TLMMeasurementEngine::isVersionSameAsOriginalVersion() {
  return components_.receipts->isVersionSameAsOriginalVersion();
}

TLMMeasurementEngine::OnceWrite TLMMeasurementEngine::writeOnceOnWorkerQueue(
    const std::function<std::optional<bool>()>& stored, const std::function<void()>& write) {
  if (database_->isTransactionGroupIntact()) {
    // The caller's group holds the write lock already: what it finds is what it commits.
    auto found = stored();
    if (!found) return OnceWrite::Unreadable;
    if (*found) return OnceWrite::AlreadyStored;
    write();
    return OnceWrite::Written;
  }
  // Asked first without the write lock (every start after the first finds the mark), then again
  // in the group that would write it: processes of the app that start at once on a new folder
  // take that group in turn, and only the first one finds the mark missing.
  auto found = stored();
  if (!found) return OnceWrite::Unreadable;
  if (*found) return OnceWrite::AlreadyStored;
  if (!database_->beginTransactionGroup()) return OnceWrite::Failed;
  found = stored();
  if (!found || *found) {
    // Another process of the app wrote it meanwhile (or the file cannot be read): nothing was
    // written in the group.
    database_->endTransactionGroup();
    return found ? OnceWrite::AlreadyStored : OnceWrite::Unreadable;
  }
  try {
    write();
  } catch (...) {
    database_->abandonTransactionGroup();
    throw;
  }
  return database_->endTransactionGroup() ? OnceWrite::Written : OnceWrite::Failed;
}

void TLMMeasurementEngine::reportFirstOpenOnWorkerQueue() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  if (!database_) return;
  const std::string keychainApp = keychainAppID();
  std::int64_t previousFirstOpens = 0;
  if (auto counter = TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", keychainApp)) {
    previousFirstOpens = std::strtoll(counter->c_str(), nullptr, 10);
  }
  const bool earlierFirstOpen = previousFirstOpens >= 1;
  TLMRemoteConfig& config = this->config();
  const double initTimestamp = initTimestamp_.load();

  // Whether the first open was reported: the first-open property "_fot", written in the same
  // transaction as the first open's rows ("_fi", "_fot", the session start, "_f", "_e"), which
  // are committed together: a launch cut short keeps all of them or none, and with none the next
  // start reports the first open again. What lives outside the store (persisted values,
  // listeners, the schedule) follows the commit.
  std::vector<TLMEventPtr> written;
  bool reported = false;
  const OnceWrite outcome = writeOnceOnWorkerQueue(
      [this]() -> std::optional<bool> {
        platform::Error error;
        auto stored = database_->containsUserAttributeWithName("_fot", &error);
        if (!stored) {
          tlm_monitor()->logWithLevel(1, 23019, "Failed to query first open property. Error",
                                      platform::Value(error.description));
        }
        return stored;
      },
      [&] { reported = writeFirstOpenOnWorkerQueue(earlierFirstOpen, previousFirstOpens, written); });
  switch (outcome) {
    case OnceWrite::Unreadable:
      return;
    case OnceWrite::Failed:
      tlm_monitor()->logWithLevel(1, 23021, "Failed to set first open property");
      return;
    case OnceWrite::AlreadyStored:
      if (!earlierFirstOpen) TLMKeychainWrapper::upsertKeychainValue("1", "_pfo", keychainApp);
      persistedConfig_->setDeferredAnalyticsCollection(std::nullopt);
      persistedConfig_->setLoadTimestampValue(std::nullopt);
      if (config.sessionImmediateStartEnabled()) {
        reportSessionStartOnWorkerQueueWithTimestamp(now(), false);
      }
      return;
    case OnceWrite::Written:
      break;
  }
  if (!reported) return;
  updateSchedule();
  persistedConfig_->setDeferredAnalyticsCollection(std::nullopt);
  persistedConfig_->setLoadTimestampValue(std::nullopt);
  for (const auto& event : written) notifyEventListeners(event);
  const std::int64_t ms = TLMMillisecondsFromSeconds(initTimestamp);
  persistedConfig_->setFirstOpenTimestampMilliseconds(ms);
  // A link the app was first opened with: its click is dated just before the first open.
  reportStoredCampaignEventOnWorkerQueue(ms - 1);
}

bool TLMMeasurementEngine::writeFirstOpenOnWorkerQueue(bool earlierFirstOpen, std::int64_t previousFirstOpens,
                                                       std::vector<TLMEventPtr>& written) {
  TLMRemoteConfig& config = this->config();
  const double initTimestamp = initTimestamp_.load();
  const std::int64_t fi = earlierFirstOpen ? 1 : (isVersionSameAsOriginalVersion() ? 1 : 0);
  const std::int64_t persistedFirstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  const double propertyTime =
      persistedFirstOpen != 0 ? static_cast<double>(persistedFirstOpen) / 1000.0 : initTimestamp;
  if (auto fiAttribute = TLMUserAttribute::initWithOrigin("auto", "_fi", TLMValue(fi), propertyTime)) {
    setUserAttributeOnWorkerQueue(*fiAttribute);
  }
  platform::Error checkError;
  auto hasFi = database_->containsUserAttributeWithName("_fi", &checkError);
  if (!hasFi) {
    tlm_monitor()->logWithLevel(1, 23161,
                           "Failed to query first open after install property after setting it. Error",
                           platform::Value(checkError.description));
    return false;
  }
  if (!*hasFi) {
    tlm_monitor()->logWithLevel(1, 23162, "Failed to set first open after install property");
    return false;
  }

  const std::int64_t ms = TLMMillisecondsFromSeconds(initTimestamp);
  if (auto fot = TLMUserAttribute::initWithOrigin(
          "auto", "_fot", TLMValue(timestampMillisRoundedUpToNextHour(ms)), initTimestamp)) {
    setUserAttributeOnWorkerQueue(*fot);
  }
  platform::Error fotError;
  auto hasFot = database_->containsUserAttributeWithName("_fot", &fotError);
  if (!hasFot) {
    tlm_monitor()->logWithLevel(1, 23020, "Failed to query first open property after setting it. Error",
                           platform::Value(fotError.description));
    return false;
  }
  if (config.sessionImmediateStartEnabled()) {
    reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
  }
  if (!*hasFot) {
    tlm_monitor()->logWithLevel(1, 23021, "Failed to set first open property");
    return false;
  }

  TLMObjectDictionary parameters;
  if (isSet(previousQPXAppID_)) parameters.set("_pqpx", TLMValue(*previousQPXAppID_));
  parameters.set("_pfo", TLMValue(earlierFirstOpen ? previousFirstOpens : std::int64_t{0}));
  parameters.set("_uwa", TLMValue(std::int64_t{1} - fi));
  if (persistedConfig_->deferredAnalyticsCollection().value_or(false)) {
    parameters.set("_dac", TLMValue(std::int64_t{1}));
  }
  if (config.efficientEngagementReportingEnabled()) parameters.set("_et", TLMValue(std::int64_t{1}));
  const auto screen = components_.screenReporter->screenParameters();
  if (auto firstOpen = TLMEvent::initWithOrigin("auto", false, "_f", initTimestamp, 0, parameters)) {
    firstOpen->addScreenParameters(screen);
    handleEventWithoutSchedulingOnWorkerQueue(firstOpen);
    written.push_back(firstOpen);
  }
  if (!config.redundantEngagementRemovalEnabled()) {
    TLMObjectDictionary engagement;
    engagement.set("_et", TLMValue(std::int64_t{1}));
    if (config.efficientEngagementReportingEnabled()) engagement.set("_fr", TLMValue(std::int64_t{1}));
    if (auto event = TLMEvent::initWithOrigin("auto", false, "_e", initTimestamp, 0, engagement)) {
      event->addScreenParameters(screen);
      handleEventWithoutSchedulingOnWorkerQueue(event);
      written.push_back(event);
    }
  }
  return true;
}

void TLMMeasurementEngine::reportAppUpdateOnWorkerQueue() {
  auto identity = this->identity();
  if (!identity) return;
  const auto current = identity->appVersion();
  const auto previous = persistedConfig_->appVersion();
  if (current.value_or("") == previous.value_or("")) return;
  persistedConfig_->setAppVersion(current);
  if (isSet(previous)) {
    // Counted after the version: a process that reads the settings between the two writes finds
    // no update.
    const std::int64_t changes = persistedConfig_->appVersionChangeCount();
    persistedConfig_->setAppVersionChangeCount(changes + 1);
    TLMObjectDictionary parameters;
    parameters.set("_pv", TLMValue(*previous));
    // Processes of the app started at once after the update all read the older version here:
    // the store's write transaction decides again, and the first stores the update with the
    // version it was reported for and the change count read with it.
    logInternalEventOncePerApp("auto", "_au", parameters,
                               {kTLMAppUpdateVersionColumn, TLMUpdateMarkValue(current.value_or(""), changes)});
  }
}

void TLMMeasurementEngine::reportOSUpdateOnWorkerQueue() {
  const std::string current = services_.environmentInfo->deviceOSVersion();
  const auto previous = persistedConfig_->osVersion();
  if (current == previous.value_or("")) return;
  persistedConfig_->setOSVersion(current);
  if (isSet(previous)) {
    const std::int64_t changes = persistedConfig_->osVersionChangeCount();
    persistedConfig_->setOSVersionChangeCount(changes + 1);
    TLMObjectDictionary parameters;
    parameters.set("_po", TLMValue(*previous));
    // As the app's update.
    logInternalEventOncePerApp("auto", "_ou", parameters,
                               {kTLMOSUpdateVersionColumn, TLMUpdateMarkValue(current, changes)});
  }
}

// MARK: - Personalized ads, sessions

std::optional<std::int64_t> TLMMeasurementEngine::shouldDisableAdPersonalization() const {
  if (auto allow = persistedConfig_->allowPersonalizedAds()) return *allow ? 0 : 1;
  const platform::Value& plist =
      platform::Bundle::main()->objectForInfoDictionaryKey(kAllowAdPersonalizationKey);
  if (plist.isNull()) return std::nullopt;
  if (plist.isNumber()) return plist.boolValue().value_or(false) ? 0 : 1;
  return 0;
}

void TLMMeasurementEngine::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  if (!database_ || !config().personalizedAdsFeatureEnabled()) return;
  TLMScheduler::checkOnBackgroundThreadWithMethodName("setPersonalizedAdsUserPropertyOnWorkerQueue");
  platform::Error error;
  auto stored = database_->userAttributeWithName("_npa", &error);
  if (!stored && !error.domain.empty()) {
    tlm_monitor()->logWithLevel(1, 23172, "Unable to read personalized ads user property. Error",
                           platform::Value(error.description));
    return;
  }
  const auto desired = shouldDisableAdPersonalization();
  if (!desired) {
    if (!stored) return;
    platform::Error deleteError;
    if (database_->deleteUserAttributeWithName("_npa", &deleteError)) {
      tlm_monitor()->logWithLevel(4, 23180, "No value set for personalized ads. Removing user property.");
    } else {
      tlm_monitor()->logWithLevel(1, 23173,
                             "Unable to remove personalized ads user property in the database. Error",
                             platform::Value(deleteError.description));
    }
    return;
  }
  if (stored && stored->value().int64Value() == *desired) return;
  if (auto npa = TLMUserAttribute::initWithOrigin("auto", "_npa", TLMValue(*desired), now())) {
    setUserAttributeOnWorkerQueue(*npa);
  }
}

void TLMMeasurementEngine::backfillSessionNumber() {
  if (!database_ || !config().sessionNumberEnabled() || persistedConfig_->sessionNumber() != 0) return;
  platform::Error error;
  auto aggregates = database_->eventAggregatesWithName("_s", &error);
  if (!aggregates && !error.domain.empty()) {
    tlm_monitor()->logWithLevel(1, 23063, "Unable to query event aggregates. Name, error",
                           platform::Value("_s"), platform::Value(error.description));
    return;
  }
  persistedConfig_->setSessionNumber(aggregates ? aggregates->lifetimeCount() : 0);
}

bool TLMMeasurementEngine::deleteUserAttributeInTransaction(const std::string& name,
                                                            std::int64_t code, const char* message) {
  return database_->performTransaction([&] {
    platform::Error error;
    if (database_->deleteUserAttributeWithName(name, &error)) return true;
    tlm_monitor()->logWithLevel(1, code, message, platform::Value(error.description));
    return false;
  });
}

void TLMMeasurementEngine::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                       bool appInBackground) {
  auto reporter = sessionReporter();
  if (!reporter || !database_ || !reporter->isSessionExpired()) return;
  TLMRemoteConfig& config = this->config();
  reporter->updatePropertiesForNewSessionStart();
  if (config.sessionIDEnabled()) {
    if (auto sid = reporter->sessionIDPropertyWithTimestamp(timestamp)) setUserAttributeOnWorkerQueue(*sid);
  } else {
    deleteUserAttributeInTransaction("_sid", 23175, "Failed to delete session ID user property. Error");
  }
  if (config.sessionNumberEnabled()) {
    if (auto sno = reporter->sessionNumberProperty()) setUserAttributeOnWorkerQueue(*sno);
  } else {
    deleteUserAttributeInTransaction("_sno", 23176,
                                     "Failed to delete session number user property. Error");
  }
  std::optional<std::int64_t> sessionNumber;
  if (config.sessionNumberEnabled()) sessionNumber = persistedConfig_->sessionNumber();
  auto event = TLMCreateSessionStartEvent(sessionNumber,
                                          appInBackground && config.appInBackgroundParameterEnabled(),
                                          timestamp, config.sessionIDEnabled());
  if (event) {
    handleEventOnWorkerQueue(event);
    notifyEventListeners(event);
  }
}

void TLMMeasurementEngine::setSessionTimeoutInterval(double interval) {
  scheduleSetting("TLMMeasurement:1432", "session timeout", false, [self = shared_from_this(), interval] {
    if (auto reporter = self->sessionReporter()) reporter->setTimeoutSessionInterval(interval);
  });
}

void TLMMeasurementEngine::setMinimumSessionInterval(double interval) {
  scheduleSetting("TLMMeasurement:1442", "minimum session", false, [self = shared_from_this(), interval] {
    if (auto reporter = self->sessionReporter()) reporter->setMinimumSessionInterval(interval);
  });
}

// MARK: - Network logger

void TLMMeasurementEngine::OBXNetwork_logWithLevel(OBXNetworkLogLevel level,
                                                   OBXNetworkMessageCode messageCode,
                                                   const std::string& message) {
  tlm_monitor()->logWithContexts(static_cast<int>(level), static_cast<std::int64_t>(messageCode), message, {});
}

void TLMMeasurementEngine::OBXNetwork_logWithLevel(OBXNetworkLogLevel level,
                                                   OBXNetworkMessageCode messageCode,
                                                   const std::string& message,
                                                   const platform::Value& context) {
  std::vector<platform::Value> contexts;
  if (!context.isNull()) contexts.push_back(context);
  tlm_monitor()->logWithContexts(static_cast<int>(level), static_cast<std::int64_t>(messageCode), message, contexts);
}

void TLMMeasurementEngine::OBXNetwork_logWithLevel(OBXNetworkLogLevel level,
                                                   OBXNetworkMessageCode messageCode,
                                                   const std::string& message,
                                                   const std::vector<platform::Value>& contexts) {
  tlm_monitor()->logWithContexts(static_cast<int>(level), static_cast<std::int64_t>(messageCode), message, contexts);
}
