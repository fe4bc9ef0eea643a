#include "measurement/engine/TLMIdentity.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "dispatch/Clock.h"
#include "dispatch/Random.h"
#include "foundation/Bundle.h"
#include "foundation/Device.h"
#include "InstanceID/CDVInstanceID.h"
#include "measurement/engine/TLMInfoPlistFileUtil.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"

namespace {

constexpr const char* kAdSupportHelpURL = "https://tallymark.ombrix.com/docs/ios/ad-support";
constexpr const char* kAppIDHelpURL = "https://tallymark.ombrix.com/docs/ios/setup";

std::optional<std::string> nonEmptyString(const platform::Value& value) {
  const std::string* text = value.stringPtr();
  if (text == nullptr || text->empty()) return std::nullopt;
  return *text;
}

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<TLMIdentity>& sharedIdentity() {
  static std::shared_ptr<TLMIdentity>& identity = *new std::shared_ptr<TLMIdentity>();
  return identity;
}
bool& sharedIdentityMade() {
  static bool made = false;
  return made;
}

}  // namespace

// MARK: - TLMASIdentifierManager

std::shared_ptr<TLMASIdentifierManager> TLMASIdentifierManager::sharedInstance() {
  static std::mutex mutex;
  static std::shared_ptr<TLMASIdentifierManager>& shared = *new std::shared_ptr<TLMASIdentifierManager>();
  std::lock_guard<std::mutex> lock(mutex);
  if (!shared) {
    std::shared_ptr<platform::ASIdentifierManager> manager;
    if (auto cls = platform::ClassRegistry::classNamed("ASIdentifierManager")) {
      if (auto* managerClass = dynamic_cast<const platform::ASIdentifierManagerClass*>(cls.get())) {
        manager = managerClass->sharedManager();
      }
    }
    if (!manager) {
      tlm_monitor()->logWithLevel(7, 5000,
                                  std::string("The AdSupport Framework is not currently linked. Some "
                                          "features will not function properly. Learn more at ") +
                                  kAdSupportHelpURL);
    }
    shared = std::make_shared<TLMASIdentifierManager>(std::move(manager));
  }
  return shared;
}

std::optional<std::string> TLMASIdentifierManager::advertisingIdentifierString() const {
  if (!manager_) return std::nullopt;
  return manager_->advertisingIdentifier();
}

bool TLMASIdentifierManager::limitedAdTracking() const {
  return manager_ != nullptr && !manager_->isAdvertisingTrackingEnabled();
}

// MARK: - TLMIdentity, class side

std::shared_ptr<TLMIdentity> TLMIdentity::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (!sharedIdentityMade()) {
    // Marked made once made: a making cut off (its thread cancelled in the first settings write)
    // is made again by the next call.
    sharedIdentity() = initWithPersistedConfig(TLMPersistedConfig::sharedInstance());
    sharedIdentityMade() = true;
  }
  if (!sharedIdentity()) tlm_monitor()->logWithLevel(1, 20003, "Identity's shared instance is nil");
  return sharedIdentity();
}

void TLMIdentity::resetSharedInstanceForTesting() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  sharedIdentityMade() = false;
  sharedIdentity().reset();
}

std::int64_t TLMIdentity::tallymarkLibraryVersion() {
  return tallymarkLibraryVersionFromString(kTLMTallymarkLibraryVersion);
}

std::int64_t TLMIdentity::tallymarkLibraryVersionFromString(const std::string& version) {
  if (version.size() < 4) return 0;
  std::int64_t result = 0;
  for (char c : version.substr(0, version.size() - 3)) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    result = result * 10 + (c - '0');
  }
  return result;
}

std::string TLMIdentity::randomAppInstanceID() {
  unsigned char bytes[16];
  platform::Random::current()->fillBytes(bytes, sizeof bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // variant 1
  std::string text;
  char digits[3];
  for (unsigned char b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

std::vector<std::int32_t> TLMIdentity::numericFieldsFromAppVersionNumeric(const std::string& version) {
  std::vector<std::int32_t> fields;
  std::size_t start = 0;
  while (start <= version.size()) {
    std::size_t dot = version.find('.', start);
    if (dot == std::string::npos) dot = version.size();
    std::string piece = version.substr(start, dot - start);
    start = dot + 1;
    if (piece.empty()) continue;
    std::string digits;
    std::size_t parts = 0;
    bool inPart = false;
    for (char c : piece) {
      if (std::isdigit(static_cast<unsigned char>(c))) {
        if (!inPart) ++parts;
        inPart = true;
        digits += c;
      } else {
        inPart = false;
        ++parts;  // a separator always splits, even at the ends
      }
    }
    if (parts > 1) {
      tlm_monitor()->logWithLevel(5, 20002, "app version numeric has non-numeric characters",
                                  platform::Value(version));
    }
    std::int64_t number = 0;
    for (char c : digits) {
      number = number * 10 + (c - '0');
      if (number > INT32_MAX) break;
    }
    fields.push_back(static_cast<std::int32_t>(std::min<std::int64_t>(number, INT32_MAX)));
  }
  return fields;
}

// MARK: - TLMIdentity, instance side

std::shared_ptr<TLMIdentity> TLMIdentity::initWithPersistedConfig(
    std::shared_ptr<TLMPersistedConfig> persistedConfig,
    std::shared_ptr<TLMASIdentifierManager> adIdentifierManager, RemoteConfigProvider remoteConfig) {
  std::optional<std::string> qpx, veltrix;
  if (auto info = TLMInfoPlistFileUtil::dictionaryFromOmbrixServiceInfoPlist(); info && !info->empty()) {
    if (const auto* value = info->find("OMBRIX_APP_ID")) qpx = nonEmptyString(*value);
    if (const auto* value = info->find("VELTRIX_APP_ID")) veltrix = nonEmptyString(*value);
  }
  if (TLMMeasurement::isAnalyticsFacadePresent() && !qpx) {
    tlm_monitor()->logWithLevel(1, 20006,
                                std::string("Ombrix App ID from OmbrixService-Info.plist is empty. "
                                        "Please, define OMBRIX_APP_ID in OmbrixService-Info.plist "
                                        "for Analytics to work reliably. See ") +
                                kAppIDHelpURL);
  }
  if (!persistedConfig) {
    tlm_monitor()->logWithLevel(1, 20004,
                                "Unable to create measurement identity, missing a valid persisted "
                                "config instance");
    return nullptr;
  }
  if (!adIdentifierManager) adIdentifierManager = TLMASIdentifierManager::sharedInstance();
  std::shared_ptr<TLMIdentity> identity(
      new TLMIdentity(std::move(persistedConfig), std::move(adIdentifierManager), std::move(remoteConfig)));
  identity->appIDFromQPX_ = qpx;
  identity->appIDFromVeltrix_ = veltrix;
  return identity;
}

TLMIdentity::TLMIdentity(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                         std::shared_ptr<TLMASIdentifierManager> adIdentifierManager,
                         RemoteConfigProvider remoteConfig)
    : persistedConfig_(std::move(persistedConfig)),
      adIdentifierManager_(std::move(adIdentifierManager)),
      remoteConfigProvider_(std::move(remoteConfig)) {
  auto bundle = platform::Bundle::main();
  const platform::Value& vendorSwitch =
      bundle->objectForInfoDictionaryKey("OMBRIX_ANALYTICS_IDFV_COLLECTION_ENABLED");
  if (vendorSwitch.isNumber()) vendorIDSwitch_ = vendorSwitch.boolValue();
  appID_ = bundle->bundleIdentifier();
  appVersion_ = nonEmptyString(bundle->objectForInfoDictionaryKey("CFBundleShortVersionString"));
  if (auto bundleVersion = nonEmptyString(bundle->objectForInfoDictionaryKey("CFBundleVersion"))) {
    auto fields = numericFieldsFromAppVersionNumeric(*bundleVersion);
    if (fields.size() > 0) appVersionMajor_ = fields[0];
    if (fields.size() > 1) appVersionMinor_ = fields[1];
    if (fields.size() > 2) appVersionRelease_ = fields[2];
  }
  hashedIDFA_ = persistedConfig_->hashedIDFA();
  auto persistedID = persistedConfig_->appInstanceID();
  if (persistedID && !persistedID->empty()) {
    appInstanceID_ = *persistedID;
  } else {
    appInstanceID_ = randomAppInstanceID();
    persistedConfig_->setAppInstanceID(appInstanceID_);
  }
}

std::shared_ptr<TLMRemoteConfig> TLMIdentity::remoteConfig() const {
  if (remoteConfigProvider_) {
    if (auto config = remoteConfigProvider_()) return config;
  }
  return TLMMeasurementEngine::sharedRemoteConfig();
}

void TLMIdentity::updateIdentifiers() {
  const double now = platform::Clock::current()->now();
  const double cacheTime = remoteConfig()->adIDCacheTime();
  {
    // The id in memory is the persisted one: the identity is its only writer, and a reset of the
    // persisted values comes with invalidateIdentifiers. So a fresh refresh needs no read.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!appInstanceID_.empty() && lastIdentifierUpdate_ && *lastIdentifierUpdate_ <= now &&
        now - *lastIdentifierUpdate_ < cacheTime) {
      return;
    }
  }
  auto persistedID = persistedConfig_->appInstanceID();
  const bool hasPersistedID = persistedID && !persistedID->empty();
  const auto persistedHash = persistedConfig_->hashedIDFA();
  const bool limited = adIdentifierManager_->limitedAdTracking();
  const auto advertisingID = adIdentifierManager_->advertisingIdentifierString();
  const bool validAdvertisingID =
      advertisingID && !advertisingID->empty() && *advertisingID != kTLMZeroAdvertisingIdentifier;

  bool storeInstanceID = false;
  bool storeHash = false;
  std::optional<std::string> newInstanceID;
  std::optional<std::string> newHash;
  if (validAdvertisingID) {
    newHash = tlm_MD5String(*advertisingID);
    if (newHash && newHash != persistedHash) {
      if (persistedHash && !persistedHash->empty()) {
        newInstanceID = randomAppInstanceID();  // the advertising identifier was reset
        storeInstanceID = true;
      }
      storeHash = true;
    }
  }
  if (!hasPersistedID) storeInstanceID = true;

  std::lock_guard<std::mutex> lock(mutex_);
  if (storeInstanceID) {
    if (!newInstanceID) newInstanceID = hasPersistedID ? *persistedID : randomAppInstanceID();
    persistedConfig_->setAppInstanceID(*newInstanceID);
    appInstanceID_ = *newInstanceID;
  }
  if (storeHash) {
    persistedConfig_->setHashedIDFA(newHash);
    hashedIDFA_ = newHash;
  }
  lastIdentifierUpdate_ = now;
  limitedAdTracking_ = limited;
  // A limited (all-zero) or missing identifier must not travel any longer: forget the old one.
  resettableDeviceID_ = validAdvertisingID ? advertisingID : std::nullopt;
}

void TLMIdentity::invalidateIdentifiers() {
  std::lock_guard<std::mutex> lock(mutex_);
  lastIdentifierUpdate_.reset();
}

TLMIdentity::Identifiers TLMIdentity::identifiers() {
  updateIdentifiers();
  std::lock_guard<std::mutex> lock(mutex_);
  return Identifiers{appInstanceID_, resettableDeviceID_, hashedIDFA_, limitedAdTracking_,
                     adIdentifierManager_->hasLimitedAdTracking()};
}

bool TLMIdentity::hasLimitedAdTracking() { return identifiers().hasLimitedAdTracking; }
bool TLMIdentity::limitedAdTracking() { return identifiers().limitedAdTracking; }
std::optional<std::string> TLMIdentity::resettableDeviceID() { return identifiers().resettableDeviceID; }
std::string TLMIdentity::appInstanceID() { return identifiers().appInstanceID; }
std::optional<std::string> TLMIdentity::hashedIDFA() { return identifiers().hashedIDFA; }

std::optional<std::string> TLMIdentity::appIDFromQPX() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return appIDFromQPX_;
}

std::optional<std::string> TLMIdentity::appIDFromVeltrix() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return appIDFromVeltrix_;
}

void TLMIdentity::setAppIDFromQPX(const std::string& appID) {
  setAppIDOnce(appIDFromQPX_, appIDFromQPXSet_, appID, 20005, "Cannot set empty Ombrix App ID");
}

void TLMIdentity::setAppIDFromVeltrix(const std::string& appID) {
  setAppIDOnce(appIDFromVeltrix_, appIDFromVeltrixSet_, appID, 20007, "Cannot set empty Veltrix App ID");
}

void TLMIdentity::setAppIDOnce(std::optional<std::string>& field, bool& alreadySet,
                               const std::string& appID, std::int64_t code, const char* message) {
  if (appID.empty()) {
    tlm_monitor()->logWithLevel(1, code, message);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (alreadySet) return;
  alreadySet = true;
  field = appID;
}

std::optional<std::string> TLMIdentity::identifierForVendor() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (resettableDeviceID_ && !resettableDeviceID_->empty()) return std::nullopt;
  }
  const bool enabled =
      vendorIDSwitch_ ? *vendorIDSwitch_ : remoteConfig()->isIdentifierForVendorCollectionEnabled();
  if (!enabled) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!vendorIDRead_) {
    // The device stand-in is thread-safe, so no hop to the main queue is needed.
    identifierForVendor_ = platform::Device::identifierForVendor();
    vendorIDRead_ = true;
  }
  return identifierForVendor_;
}

std::optional<std::string> TLMIdentity::cindervaleInstanceID() const {
  auto library = std::dynamic_pointer_cast<CDVInstanceIDLibrary>(
      platform::ClassRegistry::classNamed("CDVInstanceID"));
  auto instanceID = library ? library->instanceID() : nullptr;
  if (!instanceID) return std::nullopt;
  platform::Error error;
  auto result = instanceID->appInstanceID(&error);
  if (!result && !error.domain.empty()) {
    tlm_monitor()->logWithLevel(4, 20001, "Failed to get InstanceID", platform::Value(error.description));
  }
  return result;
}
