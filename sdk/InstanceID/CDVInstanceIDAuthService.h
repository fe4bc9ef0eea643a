// The check-in scheduler the rest of the instance identity talks to: it answers the current
// check-in record while it is valid, runs one check-in for any number of waiting callers when it
// is not, and retries failed scheduled check-ins on a main-queue timer with a growing delay
// (2, 4, 8, 16, then every 32 seconds, for as long as they fail).
//
// One lock guards the waiting handlers, the in-progress flag, the current record and the timer;
// handlers are called after it is released, in the order they arrived. A check-in stays "in
// progress" until its outcome is saved and announced, so a caller arriving meanwhile waits for
// that outcome instead of starting a second check-in.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "InstanceID/CDVInstanceIDCheckinPreferences.h"
#include "InstanceID/CDVInstanceIDCheckinService.h"
#include "InstanceID/CDVInstanceIDCheckinStore.h"
#include "dispatch/Timer.h"

// Posted (no object) on the main queue after a check-in brought new credentials.
inline constexpr const char* kCDVInstanceIDCheckinFetchedNotification = "com.ombrix.wrq.notif-checkin-fetched";

class CDVInstanceIDAuthService : public std::enable_shared_from_this<CDVInstanceIDAuthService> {
 public:
  using CheckinHandler = std::function<void(CDVInstanceIDCheckinPreferencesPtr, std::optional<platform::Error>)>;
  using ErrorHandler = std::function<void(std::optional<platform::Error>)>;

  // The current record is the store's cached one.
  static std::shared_ptr<CDVInstanceIDAuthService> initWithCheckinService(std::shared_ptr<CDVInstanceIDCheckinService> service,
                                                                          std::shared_ptr<CDVInstanceIDCheckinStore> store);
  static std::shared_ptr<CDVInstanceIDAuthService> initWithStore(std::shared_ptr<CDVInstanceIDCheckinStore> store);
  ~CDVInstanceIDAuthService();

  void fetchCheckinInfoWithHandler(CheckinHandler handler);
  void scheduleCheckin(bool immediately);
  void performScheduledCheckin();
  std::int64_t calculateNextCheckinRetryIntervalInSeconds() const;
  bool hasValidCheckinInfo() const;
  CDVInstanceIDCheckinPreferencesPtr checkinPreferences() const;
  void resetCheckinWithHandler(ErrorHandler handler);
  void stopCheckinRequest();

  int checkinRetryCount() const { return checkinRetryCount_.load(); }
  bool isCheckinInProgress() const;
  bool hasScheduledCheckin() const;

 private:
  CDVInstanceIDAuthService(std::shared_ptr<CDVInstanceIDCheckinService> service,
                           std::shared_ptr<CDVInstanceIDCheckinStore> store);
  void checkinCompleted(const CDVInstanceIDCheckinPreferencesPtr& existing, CDVInstanceIDCheckinPreferencesPtr preferences,
                        std::optional<platform::Error> error);
  // Takes the waiting handlers (and ends the check-in in progress) under the lock, then calls them.
  void notifyCheckinHandlersWithCheckin(const CDVInstanceIDCheckinPreferencesPtr& preferences,
                                        const std::optional<platform::Error>& error);

  const std::shared_ptr<CDVInstanceIDCheckinService> checkinService_;
  const std::shared_ptr<CDVInstanceIDCheckinStore> store_;
  mutable std::mutex mutex_;
  CDVInstanceIDCheckinPreferencesPtr checkinPreferences_;
  std::vector<CheckinHandler> checkinHandlers_;
  bool isCheckinInProgress_ = false;
  std::shared_ptr<platform::Timer> scheduledCheckinTimer_;
  std::atomic<int> checkinRetryCount_{0};
};
