#include "measurement/engine/sessions/TLMSessionReporter.h"

#include <cmath>
#include <limits>

#include "foundation/NotificationCenter.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"

namespace {

std::int64_t millis(double seconds) { return TLMWholeMilliseconds(seconds); }

std::int64_t wholeSeconds(double seconds) {
  const double s = std::trunc(seconds);
  if (!(std::fabs(s) < 9.2e18)) return 0;
  return static_cast<std::int64_t>(s);
}

}  // namespace

std::int64_t TLMWholeMilliseconds(double seconds) {
  // Whole microseconds first: a second measured between two readings of a binary clock must not
  // come out as 999 ms.
  const double micros = std::round(seconds * 1e6);
  if (!(micros > 0)) return 0;
  const double ms = std::trunc(micros / 1000.0);
  if (!(ms < 9.2e18)) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(ms);
}

TLMSessionSettings TLMSessionSettings::fromRemoteConfig(const TLMRemoteConfig& config) {
  TLMSessionSettings s;
  s.minimumInterval = config.sessionDefaultMinimumInterval();
  s.timeoutInterval = config.sessionDefaultTimeoutInterval();
  s.engagementInterval = config.sessionEventUserEngagementInterval();
  s.sessionIDEnabled = config.sessionIDEnabled();
  s.sessionNumberEnabled = config.sessionNumberEnabled();
  s.immediateStartEnabled = config.sessionImmediateStartEnabled();
  s.backgroundSessionsEnabled = config.sessionBackgroundEnabled();
  s.efficientEngagementReportingEnabled = config.efficientEngagementReportingEnabled();
  s.redundantEngagementRemovalEnabled = config.redundantEngagementRemovalEnabled();
  s.appBackgroundedEventEnabled = config.appBackgroundedEventEnabled();
  return s;
}

std::shared_ptr<TLMSessionReporter> TLMSessionReporter::create(
    std::shared_ptr<TLMPersistedConfig> persistedConfig, TLMSessionReporterServices services) {
  if (!persistedConfig) return nullptr;
  std::shared_ptr<TLMSessionReporter> reporter(
      new TLMSessionReporter(std::move(persistedConfig), std::move(services)));
  reporter->start();
  return reporter;
}

TLMSessionReporter::TLMSessionReporter(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                                       TLMSessionReporterServices services)
    : persistedConfig_(std::move(persistedConfig)), services_(std::move(services)) {
  if (!services_.timerQueue) services_.timerQueue = platform::Queue::main();
  if (!services_.settings) services_.settings = [] { return TLMSessionSettings(); };
  if (!services_.isAppActive) services_.isAppActive = &TLMIsAppActive;
  if (!services_.logInternalEvent) services_.logInternalEvent = &TLMMeasurement::logInternalEvent;
  if (!services_.setInternalUserProperty) {
    services_.setInternalUserProperty = [](const std::optional<TLMValue>& value, const std::string& name,
                                           const std::string& origin) {
      auto engine = TLMMeasurementEngine::sharedInstance();
      if (!engine) return;
      const double now = platform::Clock::current()->now();
      if (value) {
        engine->setUserAttribute(TLMUserAttribute::initWithOrigin(origin, name, *value, now));
      } else {
        engine->removeUserAttribute(TLMUserAttribute::initWithOrigin(origin, name, TLMValue(std::int64_t{0}), now));
      }
    };
  }
  if (!services_.notificationCenter) services_.notificationCenter = &platform::NotificationCenter::defaultCenter();
  sessionTimer_ = std::make_unique<TLMAlarm>(services_.timerQueue, kTLMSessionStartTimerName);
  engagementTimer_ = std::make_unique<TLMAlarm>(services_.timerQueue, kTLMUserEngagementTimerName);
}

void TLMSessionReporter::start() {
  const TLMSessionSettings s = settings();
  minimumInterval_.store(s.minimumInterval);
  timeoutInterval_.store(s.timeoutInterval);
  lastActivity_.store(persistedConfig_->lastSessionActivityClockTime());
  const double uptime = currentUptime();
  {
    std::lock_guard<std::mutex> lock(engagementMutex_);
    engagementStart_ = uptime;
    freeRideStart_ = uptime;
  }
  persistedConfig_->setStartNewSession(shouldStartNewSession());
  persistedConfig_->setEngagementTimeBeforeSessionStart(0);
}

TLMSessionReporter::~TLMSessionReporter() {
  sessionTimer_->cancel();
  engagementTimer_->cancel();
}

TLMSessionSettings TLMSessionReporter::settings() const { return services_.settings(); }
bool TLMSessionReporter::isAppActive() const { return services_.isAppActive(); }

double TLMSessionReporter::currentUptime() const {
  return services_.clock ? services_.clock->uptime() : platform::Clock::current()->uptime();
}

double TLMSessionReporter::currentClockTime() const {
  return services_.clock ? services_.clock->now() : platform::Clock::current()->now();
}

void TLMSessionReporter::setLastActivity(double time) {
  lastActivity_.store(time);
  persistedConfig_->setLastSessionActivityClockTime(time);
}

// MARK: - Engine side

void TLMSessionReporter::setReportingEnabled(bool enabled) {
  reportingEnabled_.store(enabled);
  if (!enabled) {
    sessionTimer_->cancel();
    engagementTimer_->cancel();
    return;
  }
  if (persistedConfig_->startNewSession() && !sessionTimer_->scheduledTimestamp()) {
    rescheduleSessionStartTimer();
  }
  if (isAppActive() && !engagementTimer_->scheduledTimestamp()) rescheduleUserEngagementTimer();
}

bool TLMSessionReporter::isSessionExpired() {
  // Absolute: a clock set back by more than the timeout also ends the session.
  return std::fabs(currentClockTime() - lastActivity_.load()) > timeoutInterval_.load();
}

bool TLMSessionReporter::extendSession() {
  if (!settings().backgroundSessionsEnabled || isSessionExpired()) return false;
  setLastActivity(currentClockTime());
  return true;
}

void TLMSessionReporter::updatePropertiesForNewSessionStart() {
  if (settings().sessionNumberEnabled) {
    // The main queue (a timer) and the worker (a start in the background) may both start one.
    std::lock_guard<std::mutex> lock(sessionNumberMutex_);
    persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  }
  persistedConfig_->setStartNewSession(false);
  setLastActivity(currentClockTime());
}

std::optional<TLMUserAttribute> TLMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return TLMUserAttribute::initWithOrigin("auto", "_sid", TLMValue(wholeSeconds(timestamp)), timestamp);
}

std::optional<TLMUserAttribute> TLMSessionReporter::sessionNumberProperty() {
  return TLMUserAttribute::initWithOrigin("auto", "_sno", TLMValue(persistedConfig_->sessionNumber()),
                                          currentClockTime());
}

void TLMSessionReporter::setTimeoutSessionInterval(double interval) {
  if (interval < 0) {
    tlm_monitor()->logWithLevel(4, 33001, "Received negative timeout session duration. Setting to 0.0 instead.");
    interval = 0;
  }
  timeoutInterval_.store(interval);
}

void TLMSessionReporter::setMinimumSessionInterval(double interval) {
  if (interval < 0) {
    tlm_monitor()->logWithLevel(4, 33000, "Received negative minimum session duration. Setting to 0.0 instead.");
    interval = 0;
  }
  minimumInterval_.store(interval);
  if (persistedConfig_->startNewSession() && sessionTimer_->scheduledTimestamp()) rescheduleSessionStartTimer();
}

double TLMSessionReporter::incurredLocked(bool efficient, double uptime) {
  const double incurred = uptime - (efficient ? freeRideStart_ : engagementStart_);
  if (incurred < 0) {
    tlm_monitor()->logWithLevel(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0.0;
  }
  return incurred;
}

double TLMSessionReporter::incurredEngagementTime() {
  const bool efficient = settings().efficientEngagementReportingEnabled;
  const double uptime = currentUptime();
  std::lock_guard<std::mutex> lock(engagementMutex_);
  return incurredLocked(efficient, uptime);
}

std::int64_t TLMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!settings().efficientEngagementReportingEnabled) {
    tlm_monitor()->logWithLevel(5, 33007, "Returning zero engagement time. Efficient engagement reporting is disabled.");
    return 0;
  }
  const double uptime = currentUptime();
  std::lock_guard<std::mutex> lock(engagementMutex_);
  const double incurred = incurredLocked(true, uptime);
  freeRideStart_ = uptime;
  return millis(incurred);
}

// MARK: - Screen-reporting side

bool TLMSessionReporter::shouldStartNewSession() { return isAppActive() && isSessionExpired(); }

void TLMSessionReporter::logSessionStartEvent() {
  if (!isAppActive()) {
    tlm_monitor()->logWithLevel(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  if (!reportingEnabled_.load()) return;
  updatePropertiesForNewSessionStart();
  const TLMSessionSettings s = settings();
  std::optional<std::int64_t> sessionID;
  std::optional<std::int64_t> sessionNumber;
  if (s.sessionIDEnabled) sessionID = wholeSeconds(currentClockTime());
  if (s.sessionNumberEnabled) sessionNumber = persistedConfig_->sessionNumber();
  TLMObjectDictionary parameters;
  if (sessionID) parameters.set("_sid", TLMValue(*sessionID));
  if (sessionNumber) parameters.set("_sno", TLMValue(*sessionNumber));
  setSessionID(sessionID, sessionNumber);
  services_.logInternalEvent("auto", "_s", parameters);
}

void TLMSessionReporter::setSessionID(const std::optional<std::int64_t>& sessionID,
                                      const std::optional<std::int64_t>& sessionNumber) {
  auto value = [](const std::optional<std::int64_t>& v) {
    return v ? std::optional<TLMValue>(TLMValue(*v)) : std::nullopt;
  };
  services_.setInternalUserProperty(value(sessionID), "_sid", "auto");
  services_.setInternalUserProperty(value(sessionNumber), "_sno", "auto");
}

void TLMSessionReporter::logUserEngagementEventWithScreen(const TLMScreen* screen, bool isRedundant) {
  if (!isAppActive()) {
    tlm_monitor()->logWithLevel(7, 33006, "User engagement event not logged. Application is not active");
    return;
  }
  const TLMSessionSettings s = settings();
  const double uptime = currentUptime();
  double incurred;
  {
    // Read and restart the engagement clock in one step, so a cut on the worker queue cannot
    // fall between them.
    std::lock_guard<std::mutex> lock(engagementMutex_);
    incurred = incurredLocked(s.efficientEngagementReportingEnabled, uptime);
    engagementStart_ = uptime;
    if (s.efficientEngagementReportingEnabled && !isRedundant) freeRideStart_ = uptime;
  }
  if (reportingEnabled_.load()) {
    TLMObjectDictionary parameters;
    parameters.set("_et", TLMValue(millis(incurred)));
    if (screen) {
      for (const auto& [key, value] : TLMScreenParameters(*screen)) parameters.set(key, value);
    }
    if (s.efficientEngagementReportingEnabled && isRedundant) parameters.set("_fr", TLMValue(std::int64_t{1}));
    services_.logInternalEvent("auto", "_e", parameters);
  }
  setLastActivity(currentClockTime());
  rescheduleUserEngagementTimer();
}

void TLMSessionReporter::logAppBackgroundedEvent() {
  if (!reportingEnabled_.load() || !settings().appBackgroundedEventEnabled) return;
  if (!isAppActive()) {
    tlm_monitor()->logWithLevel(7, 33008, "App backgrounded event not logged. Application is not active");
    return;
  }
  services_.logInternalEvent("auto", "_ab", TLMObjectDictionary());
}

void TLMSessionReporter::handleAppDidBecomeActive() {
  const double uptime = currentUptime();
  {
    std::lock_guard<std::mutex> lock(engagementMutex_);
    engagementStart_ = uptime;
    freeRideStart_ = uptime;
  }
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession()) {
    persistedConfig_->setStartNewSession(true);
    persistedConfig_->setEngagementTimeBeforeSessionStart(0);
  }
  if (persistedConfig_->startNewSession() && reportingEnabled_.load()) {
    setSessionID(std::nullopt, std::nullopt);
    if (settings().immediateStartEnabled) {
      logSessionStartEvent();
    } else {
      rescheduleSessionStartTimer();
    }
  }
}

void TLMSessionReporter::handleAppWillResignActiveWithScreen(const TLMScreen* screen) {
  // The engagement event restarts the engagement clock, so what counts toward the minimum
  // session time is measured before it.
  const double incurred = incurredEngagementTime();
  logUserEngagementEventWithScreen(screen, false);
  logAppBackgroundedEvent();
  engagementTimer_->cancel();
  if (persistedConfig_->startNewSession()) {
    sessionTimer_->cancel();
    persistedConfig_->setEngagementTimeBeforeSessionStart(persistedConfig_->engagementTimeBeforeSessionStart() +
                                                          incurred);
  }
}

void TLMSessionReporter::handleScreenDidChange(const TLMScreen* fromScreen, const TLMScreen*) {
  if (!fromScreen || incurredEngagementTime() < 1.0) return;
  const TLMSessionSettings s = settings();
  if (!s.efficientEngagementReportingEnabled) {
    logUserEngagementEventWithScreen(fromScreen, false);
  } else if (!s.redundantEngagementRemovalEnabled) {
    logUserEngagementEventWithScreen(fromScreen, true);
  }
}

void TLMSessionReporter::rescheduleSessionStartTimer() {
  tlm_monitor()->logWithLevel(7, 33002, "Scheduling session start timer");
  // Engagement banked in earlier foreground periods counts toward the minimum; a bank above the
  // minimum gives a negative delay, which starts the session at once.
  const double delay = minimumInterval_.load() - persistedConfig_->engagementTimeBeforeSessionStart();
  std::weak_ptr<TLMSessionReporter> weak = weak_from_this();
  sessionTimer_->runAfterDelay(delay, [weak] {
    auto self = weak.lock();
    // A session started meanwhile (at once on becoming active, or by the engine) has cleared the
    // flag: the countdown is moot and must not start a second session.
    if (self && self->persistedConfig_->startNewSession()) self->logSessionStartEvent();
  });
}

void TLMSessionReporter::rescheduleUserEngagementTimer() {
  const double interval = settings().engagementInterval;
  if (!(interval > 0)) {
    tlm_monitor()->logWithLevel(4, 33009, "User engagement timer interval is not positive. Timer not scheduled",
                                platform::Value(interval));
    engagementTimer_->cancel();
    return;
  }
  tlm_monitor()->logWithLevel(7, 33003, "Scheduling user engagement timer");
  std::weak_ptr<TLMSessionReporter> weak = weak_from_this();
  engagementTimer_->runAfterDelay(interval, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->services_.notificationCenter->post(kTLMSessionReporterEngagementTimerDidFire);
    self->logUserEngagementEvent();
  });
}
