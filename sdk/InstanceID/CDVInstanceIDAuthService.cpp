#include "InstanceID/CDVInstanceIDAuthService.h"

#include "InstanceID/CDVInstanceIDLogger.h"
#include "foundation/NotificationCenter.h"

std::shared_ptr<CDVInstanceIDAuthService> CDVInstanceIDAuthService::initWithCheckinService(
    std::shared_ptr<CDVInstanceIDCheckinService> service, std::shared_ptr<CDVInstanceIDCheckinStore> store) {
  return std::shared_ptr<CDVInstanceIDAuthService>(new CDVInstanceIDAuthService(std::move(service), std::move(store)));
}

std::shared_ptr<CDVInstanceIDAuthService> CDVInstanceIDAuthService::initWithStore(
    std::shared_ptr<CDVInstanceIDCheckinStore> store) {
  return initWithCheckinService(std::make_shared<CDVInstanceIDCheckinService>(), std::move(store));
}

CDVInstanceIDAuthService::CDVInstanceIDAuthService(std::shared_ptr<CDVInstanceIDCheckinService> service,
                                                   std::shared_ptr<CDVInstanceIDCheckinStore> store)
    : checkinService_(std::move(service)), store_(std::move(store)) {
  checkinPreferences_ = store_->cachedCheckinPreferences();
}

CDVInstanceIDAuthService::~CDVInstanceIDAuthService() {
  if (scheduledCheckinTimer_) scheduledCheckinTimer_->cancel();
}

CDVInstanceIDCheckinPreferencesPtr CDVInstanceIDAuthService::checkinPreferences() const {
  std::lock_guard lock(mutex_);
  return checkinPreferences_;
}

bool CDVInstanceIDAuthService::hasValidCheckinInfo() const {
  CDVInstanceIDCheckinPreferencesPtr current = checkinPreferences();
  return current && current->hasValidCheckinInfo();
}

bool CDVInstanceIDAuthService::isCheckinInProgress() const {
  std::lock_guard lock(mutex_);
  return isCheckinInProgress_;
}

bool CDVInstanceIDAuthService::hasScheduledCheckin() const {
  std::lock_guard lock(mutex_);
  return scheduledCheckinTimer_ && scheduledCheckinTimer_->isActive();
}

void CDVInstanceIDAuthService::fetchCheckinInfoWithHandler(CheckinHandler handler) {
  CDVInstanceIDCheckinPreferencesPtr current;
  bool valid = false;
  {
    std::lock_guard lock(mutex_);
    if (handler) checkinHandlers_.push_back(std::move(handler));
    if (isCheckinInProgress_) {
      CDVInstanceIDLoggerDebug(5004, "Checkin is in progress\n");
      return;
    }
    current = checkinPreferences_;
    valid = current && current->hasValidCheckinInfo();
    if (!valid) isCheckinInProgress_ = true;
  }
  if (valid) {
    notifyCheckinHandlersWithCheckin(current, std::nullopt);
    return;
  }
  std::shared_ptr<CDVInstanceIDAuthService> self = shared_from_this();
  checkinService_->checkinWithExistingCheckin(
      current, [self, current](CDVInstanceIDCheckinPreferencesPtr preferences, std::optional<platform::Error> error) {
        self->checkinCompleted(current, std::move(preferences), std::move(error));
      });
}

void CDVInstanceIDAuthService::checkinCompleted(const CDVInstanceIDCheckinPreferencesPtr& existing,
                                                CDVInstanceIDCheckinPreferencesPtr preferences,
                                                std::optional<platform::Error> error) {
  if (error || !preferences) {
    CDVInstanceIDLoggerDebug(5003, "Failed to checkin device %@", error ? error->fullDescription() : std::string());
    notifyCheckinHandlersWithCheckin(nullptr, error);
    return;
  }
  CDVInstanceIDLoggerDebug(5004, "Successfully got checkin credentials");
  const bool preCached = existing && existing->deviceID() == preferences->deviceID() &&
                         existing->secretToken() == preferences->secretToken();
  preferences->setHasPreCachedAuthCredentials(preCached);
  {
    std::lock_guard lock(mutex_);
    checkinPreferences_ = preferences;
  }
  std::shared_ptr<CDVInstanceIDAuthService> self = shared_from_this();
  store_->saveCheckinPreferences(preferences, [self, preferences, preCached](std::optional<platform::Error> saveError) {
    if (saveError && !preCached) {
      CDVInstanceIDLoggerError(7004, "Unable to save checkin info, resetting checkin preferences in memory.");
      preferences->reset();
      self->notifyCheckinHandlersWithCheckin(nullptr, saveError);
      return;
    }
    self->notifyCheckinHandlersWithCheckin(preferences, std::nullopt);
    if (!preCached) {
      platform::Queue::main()->async(
          [] { platform::NotificationCenter::defaultCenter().post(kCDVInstanceIDCheckinFetchedNotification); });
    }
  });
}

void CDVInstanceIDAuthService::notifyCheckinHandlersWithCheckin(const CDVInstanceIDCheckinPreferencesPtr& preferences,
                                                                const std::optional<platform::Error>& error) {
  std::vector<CheckinHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers.swap(checkinHandlers_);
    isCheckinInProgress_ = false;
  }
  for (const CheckinHandler& handler : handlers) handler(preferences, error);
}

void CDVInstanceIDAuthService::scheduleCheckin(bool immediately) {
  if (hasValidCheckinInfo()) return;
  if (immediately) {
    performScheduledCheckin();
    return;
  }
  std::lock_guard lock(mutex_);
  if (scheduledCheckinTimer_ && scheduledCheckinTimer_->isActive()) {
    CDVInstanceIDLoggerDebug(5000, "Checkin sync already scheduled. Will not schedule.");
    return;
  }
  std::weak_ptr<CDVInstanceIDAuthService> weak = weak_from_this();
  scheduledCheckinTimer_ = platform::Timer::once(
      platform::Queue::main(), static_cast<double>(calculateNextCheckinRetryIntervalInSeconds()), [weak] {
        if (auto self = weak.lock()) self->performScheduledCheckin();
      });
}

void CDVInstanceIDAuthService::performScheduledCheckin() {
  {
    std::lock_guard lock(mutex_);
    if (scheduledCheckinTimer_) scheduledCheckinTimer_->cancel();
    scheduledCheckinTimer_.reset();
  }
  if (hasValidCheckinInfo()) return;
  std::weak_ptr<CDVInstanceIDAuthService> weak = weak_from_this();
  fetchCheckinInfoWithHandler([weak](CDVInstanceIDCheckinPreferencesPtr, std::optional<platform::Error> error) {
    auto self = weak.lock();
    if (!self) return;
    ++self->checkinRetryCount_;
    if (error) {
      CDVInstanceIDLoggerDebug(5001, "Checkin error %@.", error->fullDescription());
      platform::Queue::main()->async([weak] {
        if (auto retry = weak.lock()) retry->scheduleCheckin(false);
      });
    } else {
      CDVInstanceIDLoggerDebug(5002, "Checkin success.");
    }
  });
}

std::int64_t CDVInstanceIDAuthService::calculateNextCheckinRetryIntervalInSeconds() const {
  const int count = checkinRetryCount_.load();
  if (count > 9) return 32;
  const std::int64_t interval = std::int64_t{1} << (count < 0 ? 0 : count);
  return interval > 31 ? 32 : interval;
}

void CDVInstanceIDAuthService::resetCheckinWithHandler(ErrorHandler handler) {
  std::weak_ptr<CDVInstanceIDAuthService> weak = weak_from_this();
  store_->removeCheckinPreferencesWithHandler([weak, handler](std::optional<platform::Error> error) {
    if (!error) {
      if (auto self = weak.lock()) {
        std::lock_guard lock(self->mutex_);
        self->checkinPreferences_.reset();
      }
    }
    if (handler) handler(error);
  });
}

void CDVInstanceIDAuthService::stopCheckinRequest() { checkinService_->stopFetching(); }
