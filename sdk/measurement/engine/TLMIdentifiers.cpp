#include "measurement/engine/TLMIdentifiers.h"

#include <cerrno>
#include <cstring>

#include "dispatch/Clock.h"
#include "foundation/Date.h"
#include "foundation/Locale.h"
#include "foundation/Text.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMEnvironmentInfo.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {
void logIdentifierError(std::int64_t code, const char* message) {
  TLMMeasurement::monitor()->logWithLevel(1, code, message);
}
}  // namespace

// MARK: - TLMIdentifiers

std::shared_ptr<TLMIdentifiers> TLMIdentifiers::sharedInstance() {
  static const auto& shared = *new auto(std::make_shared<TLMIdentifiers>());
  return shared;
}

std::pair<std::shared_ptr<TLMIdentity>, bool> TLMIdentifiers::identity() {
  if (TLMMeasurementEngine::hasSharedInstance()) {
    if (auto engine = TLMMeasurementEngine::sharedInstance()) {
      if (auto identity = engine->identity()) return {identity, true};
    }
  }
  return {TLMIdentity::sharedInstance(), false};
}

std::optional<std::string> TLMIdentifiers::ombrixAppID() const {
  auto [identity, fromEngine] = TLMIdentifiers::identity();
  std::optional<std::string> appID = identity ? identity->appIDFromQPX() : std::nullopt;
  if (!appID) {
    if (fromEngine) {
      logIdentifierError(37000, "Unable to fetch Ombrix App ID from identity");
    } else {
      logIdentifierError(37001, "Unable to fetch Ombrix App ID from default options");
    }
  }
  return appID;
}

std::optional<std::string> TLMIdentifiers::analyticsAppID() const {
  auto identity = TLMIdentifiers::identity().first;
  if (identity) {
    auto qpx = identity->appIDFromQPX();
    if (qpx && !qpx->empty()) return qpx;
    auto veltrix = identity->appIDFromVeltrix();
    if (veltrix && !veltrix->empty()) return veltrix;
  }
  logIdentifierError(37005, "Unable to fetch effective App ID from identity");
  return std::nullopt;
}

std::optional<std::string> TLMIdentifiers::appInstanceID() const {
  auto [identity, fromEngine] = TLMIdentifiers::identity();
  if (identity) return identity->appInstanceID();
  if (fromEngine) {
    logIdentifierError(37002, "Unable to fetch App Instance ID from identity");
  } else {
    logIdentifierError(37003, "Unable to fetch App Instance ID from identity shared instance");
  }
  return std::nullopt;
}

std::string TLMIdentifiers::adEventID() {
  std::call_once(adEventIDOnce_, [this] { adEventID_.store(TLMNumericUtil::randomInt64()); });
  // Wraps around like the unsigned counter it is.
  const auto next = static_cast<std::int64_t>(
      static_cast<std::uint64_t>(adEventID_.fetch_add(1)) + 1u);
  return std::to_string(next);
}

std::string TLMIdentifiers::libraryVersion() {
  return std::to_string(TLMIdentity::tallymarkLibraryVersion());
}

void TLMIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    logIdentifierError(37004, "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  origin_ = origin;
}

std::string TLMIdentifiers::origin() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return origin_;
}

// MARK: - TLMEnvironmentInfo

std::shared_ptr<TLMEnvironmentInfo> TLMEnvironmentInfo::sharedInstance() {
  static const auto& shared = *new auto(std::make_shared<TLMEnvironmentInfo>());
  return shared;
}

std::optional<std::string> TLMEnvironmentInfo::deviceModel() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!deviceModelRead_) {
    const int savedErrno = errno;
    deviceModel_ = TLMAEU::deviceModel();
    if (!deviceModel_ || deviceModel_->empty()) {
      deviceModel_.reset();
      TLMMeasurement::monitor()->logWithLevel(1, 14000, "Failed to get device model",
                                              platform::Value(std::strerror(savedErrno)));
    }
    deviceModelRead_ = true;  // once read: a read cut off is read again
  }
  return deviceModel_;
}

std::string TLMEnvironmentInfo::deviceOSVersion() const { return TLMAEU::systemVersion(); }

std::optional<std::string> TLMEnvironmentInfo::userDefaultLanguage() const {
  auto languages = platform::locale::preferredLanguages();
  if (languages.empty()) {
    logIdentifierError(14001, "Failed to get preferred language");
    return std::nullopt;
  }
  return platform::text::lowercase(languages.front());
}

std::int32_t TLMEnvironmentInfo::timeZoneOffsetMinutes() const {
  const double now = platform::Clock::current()->now();
  return static_cast<std::int32_t>(platform::TimeZone::current().secondsFromGMT(now) / 60);
}
