// Sessions and engagement time. Decides when a new session begins ("_s"), measures how long the
// user is engaged with the app ("_e" with "_et" in milliseconds), logs the app-backgrounded
// event "_ab" and keeps the session id "_sid" and session number "_sno" as internal user
// properties. The start-new-session flag, the engagement banked before a session start, the last
// activity time and the session number live in the persisted configuration, so they survive the
// process.
//
// Threads: the screen reporting calls the handlers on the main queue, where both timers run; the
// engine calls isSessionExpired, extendSession, updatePropertiesForNewSessionStart, the property
// builders and cutFreerideEngagementTimeMillis on its worker queue. The engagement start times
// are guarded by one mutex, every other field is atomic; no lock is held while calling out.
//
// Time: wall time and uptime come from the injected clock (the clock in force when none is
// given), and both timers follow the clock in force. Engagement time is never negative: an
// uptime that went backwards counts as no engagement.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "measurement/engine/TLMEngineComponents.h"
#include "measurement/engine/TLMScreen.h"
#include "measurement/model/TLMMonitor.h"

class TLMAlarm;
class TLMPersistedConfig;
class TLMRemoteConfig;

namespace platform {
class NotificationCenter;
}

inline constexpr const char* kTLMSessionReporterEngagementTimerDidFire =
    "kTLMSessionReporterEngagementTimerDidFire";
inline constexpr const char* kTLMSessionStartTimerName = "Session timer";
inline constexpr const char* kTLMUserEngagementTimerName = "Engagement timer";

// Seconds as whole milliseconds, truncated after rounding to whole microseconds; 0 for a
// negative or NaN time, the int64 maximum beyond it.
std::int64_t TLMWholeMilliseconds(double seconds);

// The remote settings the reporter reads, at the moment it reads them.
struct TLMSessionSettings {
  double minimumInterval = 10;
  double timeoutInterval = 1800;
  double engagementInterval = 3600;
  bool sessionIDEnabled = true;
  bool sessionNumberEnabled = true;
  bool immediateStartEnabled = true;
  bool backgroundSessionsEnabled = true;
  bool efficientEngagementReportingEnabled = false;
  bool redundantEngagementRemovalEnabled = false;
  bool appBackgroundedEventEnabled = false;

  static TLMSessionSettings fromRemoteConfig(const TLMRemoteConfig& config);
};

// Where the reporter finds what it reads and where its events and properties go. Unset members
// use the library's own: the main queue, the clock in force, the compiled settings,
// TLMIsAppActive, TLMMeasurement::logInternalEvent, the shared engine's user properties and the
// default notification centre.
struct TLMSessionReporterServices {
  std::shared_ptr<platform::Queue> timerQueue;
  std::shared_ptr<platform::Clock> clock;
  std::function<TLMSessionSettings()> settings;
  std::function<bool()> isAppActive;
  TLMInternalEventLogger logInternalEvent;
  // (value, name, origin); an empty value removes the property.
  std::function<void(const std::optional<TLMValue>&, const std::string&, const std::string&)>
      setInternalUserProperty;
  platform::NotificationCenter* notificationCenter = nullptr;
};

class TLMSessionReporter : public TLMSessionReporting,
                           public std::enable_shared_from_this<TLMSessionReporter> {
 public:
  // initWithPersistedConfig:. Null without a persisted configuration.
  static std::shared_ptr<TLMSessionReporter> create(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                                                    TLMSessionReporterServices services = {});
  ~TLMSessionReporter() override;  // cancels both timers
  TLMSessionReporter(const TLMSessionReporter&) = delete;
  TLMSessionReporter& operator=(const TLMSessionReporter&) = delete;

  // MARK: Engine side (worker queue)

  void setReportingEnabled(bool enabled) override;
  bool isReportingEnabled() const override { return reportingEnabled_.load(); }
  bool isSessionExpired() override;
  bool extendSession() override;
  void updatePropertiesForNewSessionStart() override;
  std::optional<TLMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) override;
  std::optional<TLMUserAttribute> sessionNumberProperty() override;
  // Negative values log 33001 / 33000 and 0 is used.
  void setTimeoutSessionInterval(double interval) override;
  void setMinimumSessionInterval(double interval) override;
  double timeoutSessionInterval() const { return timeoutInterval_.load(); }
  double minimumSessionInterval() const { return minimumInterval_.load(); }
  // With efficient engagement reporting: the engagement since the last cut in whole
  // milliseconds, and the free-ride start moves to now; otherwise 0 (33007).
  std::int64_t cutFreerideEngagementTimeMillis() override;

  // MARK: Screen-reporting side (main queue)

  bool shouldStartNewSession();
  void logSessionStartEvent();
  void logUserEngagementEvent() { logUserEngagementEventWithScreen(nullptr, false); }
  void logUserEngagementEventWithScreen(const TLMScreen* screen, bool isRedundant);
  void logAppBackgroundedEvent();
  void handleAppDidBecomeActive() override;
  void handleAppWillResignActiveWithScreen(const TLMScreen* screen) override;
  void handleScreenDidChange(const TLMScreen* fromScreen, const TLMScreen* toScreen) override;
  void rescheduleSessionStartTimer();
  // A non-positive engagement interval from the server means no periodic engagement event: the
  // pending timer is cancelled and 33009 is logged instead of a timer that fires at once for ever.
  void rescheduleUserEngagementTimer();
  void setSessionID(const std::optional<std::int64_t>& sessionID,
                    const std::optional<std::int64_t>& sessionNumber);

  double currentUptime() const;
  double currentClockTime() const;
  // Seconds of engagement since the engagement start (or the free-ride start with efficient
  // engagement reporting); 0 (33004) when the uptime went backwards.
  double incurredEngagementTime();

  // Test support.
  const TLMAlarm& sessionStartTimer() const { return *sessionTimer_; }
  const TLMAlarm& userEngagementTimer() const { return *engagementTimer_; }

 private:
  TLMSessionReporter(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                     TLMSessionReporterServices services);
  void start();
  TLMSessionSettings settings() const;
  bool isAppActive() const;
  void setLastActivity(double time);
  double incurredLocked(bool efficient, double uptime);

  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  TLMSessionReporterServices services_;
  std::atomic<bool> reportingEnabled_{false};
  std::atomic<double> minimumInterval_{0};
  std::atomic<double> timeoutInterval_{0};
  // Kept in memory and written through, so that the per-event expiry check reads no preferences.
  std::atomic<double> lastActivity_{0};
  std::mutex sessionNumberMutex_;  // one increment at a time
  std::mutex engagementMutex_;
  double engagementStart_ = 0;  // guarded
  double freeRideStart_ = 0;    // guarded
  std::unique_ptr<TLMAlarm> sessionTimer_;
  std::unique_ptr<TLMAlarm> engagementTimer_;
};
