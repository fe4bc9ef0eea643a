#include "measurement/engine/TLMEngineComponents.h"

#include <cmath>

#include "dispatch/Clock.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/model/TLMMonitor.h"

TLMMinimalSessionReporter::TLMMinimalSessionReporter(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                                                     std::shared_ptr<platform::Clock> clock,
                                                     double timeoutInterval, double minimumInterval,
                                                     std::function<bool()> sessionNumberEnabled,
                                                     std::function<bool()> sessionBackgroundEnabled)
    : persistedConfig_(std::move(persistedConfig)),
      clock_(std::move(clock)),
      timeoutInterval_(timeoutInterval),
      minimumInterval_(minimumInterval),
      sessionNumberEnabled_(std::move(sessionNumberEnabled)),
      sessionBackgroundEnabled_(std::move(sessionBackgroundEnabled)),
      lastActivity_(persistedConfig_->lastSessionActivityClockTime()) {}

void TLMMinimalSessionReporter::setLastActivity(double time) {
  lastActivity_.store(time);
  persistedConfig_->setLastSessionActivityClockTime(time);
}

double TLMMinimalSessionReporter::now() const {
  return clock_ ? clock_->now() : platform::Clock::current()->now();
}

bool TLMMinimalSessionReporter::isSessionExpired() {
  return std::fabs(now() - lastActivity_.load()) > timeoutInterval_.load();
}

bool TLMMinimalSessionReporter::extendSession() {
  if (!sessionBackgroundEnabled_() || isSessionExpired()) return false;
  setLastActivity(now());
  return true;
}

void TLMMinimalSessionReporter::updatePropertiesForNewSessionStart() {
  if (sessionNumberEnabled_()) persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  persistedConfig_->setStartNewSession(false);
  setLastActivity(now());
}

std::optional<TLMUserAttribute> TLMMinimalSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return TLMUserAttribute::initWithOrigin("auto", "_sid",
                                          TLMValue(static_cast<std::int64_t>(std::trunc(timestamp))), timestamp);
}

std::optional<TLMUserAttribute> TLMMinimalSessionReporter::sessionNumberProperty() {
  return TLMUserAttribute::initWithOrigin("auto", "_sno", TLMValue(persistedConfig_->sessionNumber()),
                                          now());
}

void TLMMinimalSessionReporter::setTimeoutSessionInterval(double interval) {
  if (interval < 0) {
    TLMMeasurement::monitor()->logWithLevel(3, 33001, "Session timeout interval is negative");
    interval = 0;
  }
  timeoutInterval_.store(interval);
}

void TLMMinimalSessionReporter::setMinimumSessionInterval(double interval) {
  if (interval < 0) {
    TLMMeasurement::monitor()->logWithLevel(3, 33000, "Minimum session interval is negative");
    interval = 0;
  }
  minimumInterval_.store(interval);
}

TLMEventPtr TLMCreateSessionStartEvent(std::optional<std::int64_t> sessionNumber, bool appInBackground,
                                       double timestamp, bool sessionIDEnabled) {
  TLMObjectDictionary parameters;
  if (sessionIDEnabled) parameters.set("_sid", TLMValue(static_cast<std::int64_t>(std::trunc(timestamp))));
  if (sessionNumber) parameters.set("_sno", TLMValue(*sessionNumber));
  if (appInBackground) parameters.set("_aib", TLMValue(std::int64_t{1}));
  return TLMEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
}
