#include "InstanceID/CDVInstanceIDTokenInfo.h"

#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "dispatch/Clock.h"
#include "foundation/PropertyList.h"

namespace {

constexpr const char* kEntityKey = "authorized_entity";
constexpr const char* kScopeKey = "scope";
constexpr const char* kTokenKey = "token";
constexpr const char* kAppVersionKey = "app_version";
constexpr const char* kAppIDKey = "cindervale_app_id";
constexpr const char* kAPNSInfoKey = "apns_info";
constexpr const char* kCacheTimeKey = "cache_time";

const char* orNull(const std::optional<std::string>& text) { return text ? text->c_str() : "(null)"; }

}  // namespace

CDVInstanceIDTokenInfo::CDVInstanceIDTokenInfo(std::string authorizedEntity, std::string scope, std::string token,
                                               std::optional<std::string> appVersion,
                                               std::optional<std::string> cindervaleAppID)
    : authorizedEntity_(std::move(authorizedEntity)),
      scope_(std::move(scope)),
      token_(std::move(token)),
      appVersion_(std::move(appVersion)),
      cindervaleAppID_(std::move(cindervaleAppID)) {}

CDVInstanceIDAPNSInfoPtr CDVInstanceIDTokenInfo::APNSInfo() const {
  std::lock_guard lock(mutex_);
  return APNSInfo_;
}

void CDVInstanceIDTokenInfo::setAPNSInfo(CDVInstanceIDAPNSInfoPtr info) {
  std::lock_guard lock(mutex_);
  APNSInfo_ = std::move(info);
}

std::optional<double> CDVInstanceIDTokenInfo::cacheTime() const {
  std::lock_guard lock(mutex_);
  return cacheTime_;
}

void CDVInstanceIDTokenInfo::setCacheTime(std::optional<double> secondsSince1970) {
  std::lock_guard lock(mutex_);
  cacheTime_ = secondsSince1970;
}

bool CDVInstanceIDTokenInfo::isFresh() const {
  const std::optional<double> cached = cacheTime();
  if (!cached) return false;
  if (!appVersion_ || *appVersion_ != CDVInstanceIDCurrentAppVersion()) {
    CDVInstanceIDLoggerDebug(14004, "Invalidating cached token for %@ (%@) due to app version change.",
                             authorizedEntity_, scope_);
    return false;
  }
  const std::optional<std::string> currentAppID = CDVInstanceIDCindervaleAppID();
  if (!cindervaleAppID_ || cindervaleAppID_ != currentAppID) {
    CDVInstanceIDLoggerDebug(22001, "Invalidating cached token due to Cindervale App IID change from %@ to %@",
                             orNull(cindervaleAppID_), orNull(currentAppID));
    return false;
  }
  if (CDVInstanceIDHasLocaleChanged()) {
    CDVInstanceIDLoggerDebug(22002, "Invalidating cached token due to locale change");
    return false;
  }
  const double age = static_cast<double>(CDVInstanceIDCurrentTimestampInSeconds()) - *cached;
  return age < static_cast<double>(kCDVInstanceIDTokenRefreshInterval);
}

platform::Dictionary CDVInstanceIDTokenInfo::encode() const {
  platform::Dictionary coded{{kEntityKey, authorizedEntity_}, {kScopeKey, scope_}, {kTokenKey, token_}};
  if (appVersion_) coded.set(kAppVersionKey, *appVersion_);
  if (cindervaleAppID_) coded.set(kAppIDKey, *cindervaleAppID_);
  if (CDVInstanceIDAPNSInfoPtr info = APNSInfo()) coded.set(kAPNSInfoKey, platform::Value(info->archive()));
  if (std::optional<double> cached = cacheTime()) coded.set(kCacheTimeKey, platform::Value::date(*cached));
  return coded;
}

platform::Bytes CDVInstanceIDTokenInfo::archive() const {
  return platform::plist::write(platform::Value(encode()), platform::plist::Format::Binary).value_or(platform::Bytes());
}

std::shared_ptr<CDVInstanceIDTokenInfo> CDVInstanceIDTokenInfo::decode(const platform::Value& coded) {
  const platform::Value& entity = coded[kEntityKey];
  const platform::Value& scope = coded[kScopeKey];
  const platform::Value& token = coded[kTokenKey];
  if (!entity.isString() || !scope.isString() || !token.isString()) return nullptr;
  const platform::Value& appVersion = coded[kAppVersionKey];
  const platform::Value& appID = coded[kAppIDKey];
  const platform::Value& apns = coded[kAPNSInfoKey];
  const platform::Value& cacheTime = coded[kCacheTimeKey];
  if ((!appVersion.isNull() && !appVersion.isString()) || (!appID.isNull() && !appID.isString()) ||
      (!apns.isNull() && !apns.isData()) || (!cacheTime.isNull() && !cacheTime.isDate())) {
    return nullptr;
  }
  auto info = std::make_shared<CDVInstanceIDTokenInfo>(*entity.stringPtr(), *scope.stringPtr(), *token.stringPtr(),
                                                       appVersion.stringValue(), appID.stringValue());
  if (apns.isData()) {
    CDVInstanceIDAPNSInfoPtr apnsInfo = CDVInstanceIDAPNSInfo::unarchive(*apns.dataPtr());
    if (!apnsInfo) {
      CDVInstanceIDLoggerInfo(22000, "Could not parse raw APNS Info while parsing archived token info.");
    }
    info->setAPNSInfo(std::move(apnsInfo));
  }
  if (cacheTime.isDate()) info->setCacheTime(cacheTime.dateValue());
  return info;
}

std::shared_ptr<CDVInstanceIDTokenInfo> CDVInstanceIDTokenInfo::unarchive(const platform::Bytes& bytes, bool* unreadable) {
  std::optional<platform::Value> coded = platform::plist::read(bytes);
  if (unreadable) *unreadable = !coded || !coded->isDictionary();
  if (!coded || !coded->isDictionary()) return nullptr;
  return decode(*coded);
}
