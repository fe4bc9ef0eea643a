// How long ads are on screen. The mobile-ads component tells the reporter when an ad unit begins
// and ends being shown; begin/end calls nest per unit. The reporter logs, with origin "vx", "_xu"
// per ad unit ("_ai" the unit id, "_xt" milliseconds) and "_xa" for the overall exposure, each
// with the screen parameters of the screen it happened on; exposures under a second are not
// logged. Pending exposure is also cut at a screen change, when the app resigns active and each
// time the session reporter's engagement timer fires. At most 100 ad units are counted.
//
// Every count and time lives on one serial queue. Times are read on the caller's thread before
// the hop (uptime of the injected clock), so queued work measures up to the moment of the call.
// beginAdUnitExposure hops asynchronously, every other entry point synchronously.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "measurement/engine/TLMScreen.h"
#include "measurement/model/TLMMonitor.h"

namespace platform {
class NotificationCenter;
}

inline constexpr int kTLMMaxAdUnits = 100;

// Unset members use the library's own: a serial queue "TLMAdExposureReporter", the clock in
// force, TLMIsAppActive, TLMCurrentScreenParameters, TLMMeasurement::logInternalEvent and the
// default notification centre.
struct TLMAdExposureServices {
  std::shared_ptr<platform::Queue> queue;
  std::shared_ptr<platform::Clock> clock;
  std::function<bool()> isAppActive;
  std::function<TLMObjectDictionary()> currentScreenParameters;
  TLMInternalEventLogger logInternalEvent;
  platform::NotificationCenter* notificationCenter = nullptr;
};

class TLMAdExposureReporter : public std::enable_shared_from_this<TLMAdExposureReporter> {
 public:
  static std::shared_ptr<TLMAdExposureReporter> sharedInstance();
  // init: reporting on, the exposure start now, observing the engagement timer.
  static std::shared_ptr<TLMAdExposureReporter> create(TLMAdExposureServices services = {});
  ~TLMAdExposureReporter();  // stops observing
  TLMAdExposureReporter(const TLMAdExposureReporter&) = delete;
  TLMAdExposureReporter& operator=(const TLMAdExposureReporter&) = delete;

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);
  void handleScreenDidChange(const TLMScreen* fromScreen, const TLMScreen* toScreen);
  void handleEngagementTimer();
  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const TLMScreen* screen);
  void logExposureEventsWithScreenParameters(const TLMObjectDictionary& screenParameters);
  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }

  // Test support: the number of ad units counted (a synchronous hop).
  std::size_t adUnitCount();

 private:
  explicit TLMAdExposureReporter(TLMAdExposureServices services);
  double now() const;
  // Queue only.
  void logExposureEventsOnSerialQueue(double endTime, const TLMObjectDictionary& screenParameters);
  void logAdExposureEventOnSerialQueue(double endTime, const TLMObjectDictionary& screenParameters);
  void logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                           const TLMObjectDictionary& screenParameters);
  void updateStartTimesOnSerialQueue(double time);

  TLMAdExposureServices services_;
  std::atomic<bool> reportingEnabled_{true};
  // Queue only.
  std::map<std::string, int> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = 0;
};
