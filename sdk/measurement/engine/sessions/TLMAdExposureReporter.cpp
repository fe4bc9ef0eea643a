#include "measurement/engine/sessions/TLMAdExposureReporter.h"

#include <cmath>

#include "foundation/NotificationCenter.h"
#include "measurement/engine/sessions/TLMSessionReporter.h"

namespace {

// (end - start) seconds as whole milliseconds, truncated; a period that ran backwards is 0.
std::int64_t exposureMillis(double start, double end) { return TLMWholeMilliseconds(end - start); }

}  // namespace

std::shared_ptr<TLMAdExposureReporter> TLMAdExposureReporter::sharedInstance() {
  static const std::shared_ptr<TLMAdExposureReporter>& shared = *new std::shared_ptr<TLMAdExposureReporter>(create());
  return shared;
}

std::shared_ptr<TLMAdExposureReporter> TLMAdExposureReporter::create(TLMAdExposureServices services) {
  std::shared_ptr<TLMAdExposureReporter> reporter(new TLMAdExposureReporter(std::move(services)));
  std::weak_ptr<TLMAdExposureReporter> weak = reporter;
  reporter->services_.notificationCenter->addObserver(
      reporter.get(), kTLMSessionReporterEngagementTimerDidFire, platform::Value(),
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->handleEngagementTimer();
      });
  return reporter;
}

TLMAdExposureReporter::TLMAdExposureReporter(TLMAdExposureServices services) : services_(std::move(services)) {
  if (!services_.queue) services_.queue = platform::Queue::serial("TLMAdExposureReporter");
  if (!services_.isAppActive) services_.isAppActive = &TLMIsAppActive;
  if (!services_.currentScreenParameters) services_.currentScreenParameters = &TLMCurrentScreenParameters;
  if (!services_.logInternalEvent) services_.logInternalEvent = &TLMMeasurement::logInternalEvent;
  if (!services_.notificationCenter) services_.notificationCenter = &platform::NotificationCenter::defaultCenter();
  adExposureStartTime_ = now();
}

TLMAdExposureReporter::~TLMAdExposureReporter() { services_.notificationCenter->removeObserver(this); }

double TLMAdExposureReporter::now() const {
  return services_.clock ? services_.clock->uptime() : platform::Clock::current()->uptime();
}

void TLMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    tlm_monitor()->logWithLevel(4, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = now();
  services_.queue->async([self = shared_from_this(), adUnitID, time] {
    if (self->adUnitCounts_.size() >= static_cast<std::size_t>(kTLMMaxAdUnits)) {
      tlm_monitor()->logWithLevel(4, 1002, "Reached limit on ad units. Ignoring ad unit with ID",
                                  platform::Value(adUnitID));
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
    auto [it, inserted] = self->adUnitCounts_.emplace(adUnitID, 0);
    if (inserted) self->adUnitStartTimes_[adUnitID] = time;
    ++it->second;
  });
}

void TLMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    tlm_monitor()->logWithLevel(4, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = now();
  const TLMObjectDictionary screenParameters = services_.currentScreenParameters();
  services_.queue->sync([&] {
    auto it = adUnitCounts_.find(adUnitID);
    if (it == adUnitCounts_.end()) {
      tlm_monitor()->logWithLevel(4, 1004, "Unknown ad unit. Ignoring ad unit with ID", platform::Value(adUnitID));
      return;
    }
    if (it->second >= 2) {
      --it->second;
      return;
    }
    logAdUnitExposureEventOnSerialQueue(adUnitID, time, screenParameters);
    adUnitCounts_.erase(it);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueue(time, screenParameters);
      adExposureStartTime_ = time;
    }
  });
}

void TLMAdExposureReporter::handleScreenDidChange(const TLMScreen* fromScreen, const TLMScreen*) {
  if (fromScreen) logExposureEventsWithScreenParameters(TLMScreenParameters(*fromScreen));
}

void TLMAdExposureReporter::handleEngagementTimer() {
  logExposureEventsWithScreenParameters(services_.currentScreenParameters());
}

void TLMAdExposureReporter::handleAppDidBecomeActive() {
  const double time = now();
  services_.queue->sync([&] { updateStartTimesOnSerialQueue(time); });
}

void TLMAdExposureReporter::handleAppWillResignActiveWithScreen(const TLMScreen* screen) {
  TLMObjectDictionary parameters;
  if (screen) parameters = TLMScreenParameters(*screen);
  if (parameters.empty()) parameters = services_.currentScreenParameters();
  const double time = now();
  services_.queue->sync([&] { logExposureEventsOnSerialQueue(time, parameters); });
}

void TLMAdExposureReporter::logExposureEventsWithScreenParameters(const TLMObjectDictionary& screenParameters) {
  const double time = now();
  services_.queue->sync([&] { logExposureEventsOnSerialQueue(time, screenParameters); });
}

std::size_t TLMAdExposureReporter::adUnitCount() {
  std::size_t count = 0;
  services_.queue->sync([&] { count = adUnitCounts_.size(); });
  return count;
}

void TLMAdExposureReporter::logExposureEventsOnSerialQueue(double endTime,
                                                           const TLMObjectDictionary& screenParameters) {
  for (const auto& [adUnitID, count] : adUnitCounts_) {
    logAdUnitExposureEventOnSerialQueue(adUnitID, endTime, screenParameters);
  }
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueue(endTime, screenParameters);
  // Refused or not, every measuring period restarts here; the units stay counted.
  updateStartTimesOnSerialQueue(endTime);
}

void TLMAdExposureReporter::logAdExposureEventOnSerialQueue(double endTime,
                                                            const TLMObjectDictionary& screenParameters) {
  if (!reportingEnabled_.load()) {
    tlm_monitor()->logWithLevel(4, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!services_.isAppActive()) {
    tlm_monitor()->logWithLevel(7, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  const std::int64_t ms = exposureMillis(adExposureStartTime_, endTime);
  if (ms < 1000) {
    tlm_monitor()->logWithLevel(7, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  TLMObjectDictionary parameters = screenParameters;
  parameters.set("_xt", TLMValue(ms));
  services_.logInternalEvent("vx", "_xa", parameters);
}

void TLMAdExposureReporter::logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                                                const TLMObjectDictionary& screenParameters) {
  if (!reportingEnabled_.load()) {
    tlm_monitor()->logWithLevel(4, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    tlm_monitor()->logWithLevel(4, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!services_.isAppActive()) {
    tlm_monitor()->logWithLevel(7, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  auto start = adUnitStartTimes_.find(adUnitID);
  const std::int64_t ms = exposureMillis(start == adUnitStartTimes_.end() ? endTime : start->second, endTime);
  if (ms < 1000) {
    tlm_monitor()->logWithLevel(7, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  TLMObjectDictionary parameters = screenParameters;
  parameters.set("_ai", TLMValue(adUnitID));
  parameters.set("_xt", TLMValue(ms));
  services_.logInternalEvent("vx", "_xu", parameters);
}

void TLMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
  adExposureStartTime_ = time;
}
