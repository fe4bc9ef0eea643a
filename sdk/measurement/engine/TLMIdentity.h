// The identifiers and app facts that go into every upload: the app ids of the service
// information file, the app instance id (made here, persisted, and replaced when the advertising
// identifier is reset), the advertising and vendor identifiers and the app's version fields.
//
// Thread-safe: refreshing writes every field under the identity's lock, and every getter reads
// under the same lock and returns a copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/AdSupport.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Error.h"

class TLMPersistedConfig;
class TLMRemoteConfig;

// The library version; its first five digits are the version sent with uploads.
inline constexpr const char* kTLMTallymarkLibraryVersion = "60003000";

// The system's advertising identifier while tracking is limited (or before it is known).
inline constexpr const char* kTLMZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

// The advertising identifier, through the optional ad-support framework.
class TLMASIdentifierManager {
 public:
  // Made once: holds the shared manager of the class "ASIdentifierManager" when it is
  // registered, else nothing (monitor 5000).
  static std::shared_ptr<TLMASIdentifierManager> sharedInstance();
  explicit TLMASIdentifierManager(std::shared_ptr<platform::ASIdentifierManager> manager)
      : manager_(std::move(manager)) {}

  // The advertising identifier text; none without a manager.
  std::optional<std::string> advertisingIdentifierString() const;
  // Whether a manager is held (so the limited-tracking state can be known at all).
  bool hasLimitedAdTracking() const { return manager_ != nullptr; }
  bool limitedAdTracking() const;

 private:
  const std::shared_ptr<platform::ASIdentifierManager> manager_;
};

class TLMIdentity {
 public:
  // Where the identity reads the settings it needs (the cache time of the advertising
  // identifier, the vendor-identifier switch): the engine's remote configuration.
  using RemoteConfigProvider = std::function<std::shared_ptr<TLMRemoteConfig>()>;

  // Made once with the shared persisted configuration; nullptr (monitor 20003 on every call)
  // when that could not be made.
  static std::shared_ptr<TLMIdentity> sharedInstance();
  // 60003 for the library version "60003000"; 0 for a version shorter than four characters.
  static std::int64_t tallymarkLibraryVersion();
  static std::int64_t tallymarkLibraryVersionFromString(const std::string& version);

  // nullptr (monitor 20004) without persisted configuration. `adIdentifierManager` null: the
  // shared manager; `remoteConfig` null: the library's remote configuration.
  static std::shared_ptr<TLMIdentity> initWithPersistedConfig(
      std::shared_ptr<TLMPersistedConfig> persistedConfig,
      std::shared_ptr<TLMASIdentifierManager> adIdentifierManager = nullptr,
      RemoteConfigProvider remoteConfig = {});

  TLMIdentity(const TLMIdentity&) = delete;
  TLMIdentity& operator=(const TLMIdentity&) = delete;

  // The refreshed identifiers in one read (one refresh instead of one per getter).
  struct Identifiers {
    std::string appInstanceID;
    std::optional<std::string> resettableDeviceID;
    std::optional<std::string> hashedIDFA;
    bool limitedAdTracking = false;
    bool hasLimitedAdTracking = false;
  };
  Identifiers identifiers();

  // Each refreshes the identifiers first.
  bool hasLimitedAdTracking();
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();
  std::string appInstanceID();
  std::optional<std::string> hashedIDFA();

  std::optional<std::string> appIDFromQPX() const;
  std::optional<std::string> appIDFromVeltrix() const;
  // Empty (monitor 20005 / 20007) is refused; the first accepted call wins.
  void setAppIDFromQPX(const std::string& appID);
  void setAppIDFromVeltrix(const std::string& appID);
  const std::optional<std::string>& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  const std::optional<std::int32_t>& appVersionMajor() const { return appVersionMajor_; }
  const std::optional<std::int32_t>& appVersionMinor() const { return appVersionMinor_; }
  const std::optional<std::int32_t>& appVersionRelease() const { return appVersionRelease_; }

  // None while a resettable device id is known, or when collection is switched off (Info.plist
  // "OMBRIX_ANALYTICS_IDFV_COLLECTION_ENABLED", else the remote setting); read once.
  std::optional<std::string> identifierForVendor();
  // Re-reads the advertising identifier unless the last read is younger than the cache time.
  void updateIdentifiers();
  // The persisted values were cleared behind the identity's back (a data reset): the next
  // refresh reads everything again and stores a new app instance id.
  void invalidateIdentifiers();

  // 32 upper-case hexadecimal digits from a new random UUID.
  static std::string randomAppInstanceID();
  // The instance identity's app instance id, when that component is registered (class
  // "CDVInstanceID") and has an instance for the default app.
  std::optional<std::string> cindervaleInstanceID() const;
  // "1.2b3" gives {1, 23} (monitor 20002); "1..2" gives {1, 2}.
  static std::vector<std::int32_t> numericFieldsFromAppVersionNumeric(const std::string& version);

  // Test support: forget the shared instance.
  static void resetSharedInstanceForTesting();

 private:
  TLMIdentity(std::shared_ptr<TLMPersistedConfig> persistedConfig,
              std::shared_ptr<TLMASIdentifierManager> adIdentifierManager,
              RemoteConfigProvider remoteConfig);
  std::shared_ptr<TLMRemoteConfig> remoteConfig() const;
  // The first non-empty value wins (under the lock); empty logs `code`.
  void setAppIDOnce(std::optional<std::string>& field, bool& alreadySet, const std::string& appID,
                    std::int64_t code, const char* message);

  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  const std::shared_ptr<TLMASIdentifierManager> adIdentifierManager_;
  const RemoteConfigProvider remoteConfigProvider_;
  std::optional<bool> vendorIDSwitch_;
  std::optional<std::string> appID_;
  std::optional<std::string> appVersion_;
  std::optional<std::int32_t> appVersionMajor_, appVersionMinor_, appVersionRelease_;

  mutable std::mutex mutex_;  // guards everything below
  std::optional<std::string> appIDFromQPX_;
  std::optional<std::string> appIDFromVeltrix_;
  bool appIDFromQPXSet_ = false;
  bool appIDFromVeltrixSet_ = false;
  std::optional<std::string> hashedIDFA_;
  std::string appInstanceID_;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<double> lastIdentifierUpdate_;
  bool vendorIDRead_ = false;
  std::optional<std::string> identifierForVendor_;
};
