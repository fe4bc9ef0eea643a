// The app's life-cycle notifications: the deep link of the launch is kept (observed on the default
// centre from the time the library loads, before any engine exists); becoming active lets uploads
// held by the app's end go on and may refresh a week-old configuration; resigning active saves
// the persisted state and uploads in a background task; entering the foreground gives the task
// up. The task identifier is swapped atomically, so whichever of the upload, the expiration and
// the foreground handler ends it, it is ended once.
#include <cmath>

#include "Core/Private/CDVForkedChild.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/model/TLMMonitor.h"

namespace {

// The launch is observed from the time the library loads, as on the phone: a host posts it right
// after configuring, and the engine, made later on the interface's queue, would miss it.
[[maybe_unused]] const bool kObservesAppLaunch = (TLMMeasurementEngine::observeAppLaunch(), true);

}  // namespace

void TLMMeasurementEngine::observeAppLaunch() {
  [[maybe_unused]] static const auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      kTLMAppDidFinishLaunchingNotification, platform::Value(), [](const platform::Notification& n) {
        if (!CDVForkedChild::refuses("app launch")) handleAppDidFinishLaunching(n);
      });
}

void TLMMeasurementEngine::registerForAppLifecycleNotifications(platform::NotificationCenter& center) {
  std::weak_ptr<TLMMeasurementEngine> weak = shared_from_this();
  auto observe = [&](const char* name, void (TLMMeasurementEngine::*handler)(const platform::Notification&)) {
    lifecycleObservers_.push_back(
        center.addObserver(name, platform::Value(), [weak, handler](const platform::Notification& n) {
          if (CDVForkedChild::refuses("app lifecycle")) return;
          if (auto self = weak.lock()) ((*self).*handler)(n);
        }));
  };
  lifecycleCenter_ = &center;
  observe(kTLMAppDidBecomeActiveNotification, &TLMMeasurementEngine::handleAppDidBecomeActiveEvent);
  observe(kTLMAppWillResignActiveNotification, &TLMMeasurementEngine::handleAppWillResignActiveEvent);
  observe(kTLMAppWillEnterForegroundNotification,
          &TLMMeasurementEngine::handleAppWillEnterForegroundNotification);
}

void TLMMeasurementEngine::handleAppDidFinishLaunching(const platform::Notification& notification) {
  if (!notification.userInfo.isDictionary()) return;
  // The link the app was opened with: a web link carried by the user activity the app was
  // launched to continue, else the launch URL. The campaign code reads it at the next start.
  std::string link;
  const platform::Value& activityOptions = notification.userInfo[kTLMLaunchOptionsUserActivityDictionaryKey];
  if (activityOptions.isDictionary()) {
    if (auto activity = activityOptions[kTLMLaunchOptionsUserActivityKey].objectAs<platform::UserActivity>()) {
      link = deepLinkFromUserActivity(*activity).value_or("");
    }
  }
  if (link.empty()) link = notification.userInfo[kTLMLaunchOptionsURLKey].stringValue().value_or("");
  if (link.empty()) return;
  auto defaults = TLMUserDefaults::standardUserDefaults();
  defaults->setObject(platform::Value(link), kTLMDeepLinkKey);
  defaults->setObject(platform::Value(platform::Clock::current()->now()), kTLMDeepLinkTimestampKey);
}

void TLMMeasurementEngine::handleAppDidBecomeActiveEvent(const platform::Notification&) {
  // An app active again after its end was told goes on: what it stored meanwhile is sent.
  resumeUploadsAfterAppEnd();
  if (!config().blacklistInternal()) return;
  std::weak_ptr<TLMMeasurementEngine> weak = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:4304", [weak] {
    auto self = weak.lock();
    if (!self || !self->database_) return;
    const double age = std::fabs(self->now() - self->config().lastRemoteConfigUpdateTimestamp());
    if (age < kTLMRemoteConfigRefreshAge) return;
    if (self->isNetworkReadyForRequest()) {
      self->fetchRemoteConfig();
    } else {
      tlm_monitor()->logWithLevel(7, 23143,
                                  "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void TLMMeasurementEngine::handleAppWillResignActiveEvent(const platform::Notification&) {
  persistedConfig_->synchronizeToDisk();
  if (!config().uploadWhenAppInBackgroundEnabled()) return;
  tlm_monitor()->logWithLevel(7, 23144, "App will resign active state. Scheduling data upload");
  std::weak_ptr<TLMMeasurementEngine> weak = shared_from_this();
  const std::uint64_t task = backgroundTasks_->beginBackgroundTask(kTLMBackgroundTaskName, [weak] {
    if (auto self = weak.lock()) self->terminateBackgroundTask();
  });
  swapBackgroundTaskWithNewTaskID(task);
  tlm_monitor()->logWithLevel(7, 23145, "Background task started. Task ID",
                              platform::Value(static_cast<std::int64_t>(task)));
  // Through the interface's queues: the events the app logged before resigning reach the worker
  // queue ahead of the upload, so they travel with it.
  dispatchThroughInterfaceQueue([weak, scheduler = scheduler_] {
    scheduler->scheduleOnWorkerQueueBlockID("TLMMeasurement:4344", [weak] {
      if (auto self = weak.lock()) self->uploadData();
    });
  });
}

void TLMMeasurementEngine::handleAppWillEnterForegroundNotification(const platform::Notification&) {
  terminateBackgroundTask();
}

void TLMMeasurementEngine::terminateBackgroundTask() {
  persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(kTLMBackgroundTaskInvalid);
}

void TLMMeasurementEngine::swapBackgroundTaskWithNewTaskID(std::uint64_t taskID) {
  const std::uint64_t previous = backgroundUpdateTask_.exchange(taskID);
  if (previous == kTLMBackgroundTaskInvalid) return;
  tlm_monitor()->logWithLevel(7, 23142, "Cancelling background upload task. Task ID ",
                              platform::Value(static_cast<std::int64_t>(previous)));
  backgroundTasks_->endBackgroundTask(previous);
}
