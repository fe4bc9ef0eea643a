// The cached record of one registration token: who it is for (authorized entity and scope), the
// token, the app version and app id it was fetched under, the APNS information it was bound to,
// and when it was cached. Kept in the keychain as an archive (a binary property list of the
// coding keys below).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "InstanceID/CDVInstanceIDAPNSInfo.h"
#include "foundation/Value.h"

// A cached token counts as fresh for this many seconds.
inline constexpr std::int64_t kCDVInstanceIDTokenRefreshInterval = 7 * 24 * 60 * 60;

class CDVInstanceIDTokenInfo {
 public:
  CDVInstanceIDTokenInfo(std::string authorizedEntity, std::string scope, std::string token,
                         std::optional<std::string> appVersion, std::optional<std::string> cindervaleAppID);

  const std::string& authorizedEntity() const { return authorizedEntity_; }
  const std::string& scope() const { return scope_; }
  const std::string& token() const { return token_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  const std::optional<std::string>& cindervaleAppID() const { return cindervaleAppID_; }

  // The settable fields may be read and set on different threads.
  CDVInstanceIDAPNSInfoPtr APNSInfo() const;
  void setAPNSInfo(CDVInstanceIDAPNSInfoPtr info);
  std::optional<double> cacheTime() const;
  void setCacheTime(std::optional<double> secondsSince1970);

  // Cached recently enough, under the current app version, app id and locale (see the .cpp).
  bool isFresh() const;

  // The coded form and its archive bytes.
  platform::Dictionary encode() const;
  platform::Bytes archive() const;
  // Nothing unless entity, scope and token are texts and the optional keys have their types.
  static std::shared_ptr<CDVInstanceIDTokenInfo> decode(const platform::Value& coded);
  // Nothing (and `unreadable` set, when given) for bytes that are no archive.
  static std::shared_ptr<CDVInstanceIDTokenInfo> unarchive(const platform::Bytes& bytes, bool* unreadable = nullptr);

 private:
  const std::string authorizedEntity_;
  const std::string scope_;
  const std::string token_;
  const std::optional<std::string> appVersion_;
  const std::optional<std::string> cindervaleAppID_;
  mutable std::mutex mutex_;
  CDVInstanceIDAPNSInfoPtr APNSInfo_;
  std::optional<double> cacheTime_;
};

using CDVInstanceIDTokenInfoPtr = std::shared_ptr<CDVInstanceIDTokenInfo>;
