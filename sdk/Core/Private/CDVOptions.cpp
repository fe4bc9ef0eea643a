#include "Core/Public/CDVOptions.h"

#include "Core/Private/CDVBundleUtil.h"
#include "Core/Private/CDVCorePlatform.h"
#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "foundation/Cancellation.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Immortal.h"
#include "foundation/Text.h"

namespace {

std::mutex gDefaultsMutex;
constinit platform::Immortal<std::shared_ptr<CDVOptions>> gDefaultOptionsStorage;
constinit std::shared_ptr<CDVOptions>& gDefaultOptions = *gDefaultOptionsStorage;
constinit platform::Immortal<std::optional<platform::Dictionary>> gDefaultOptionsDictionaryStorage;
constinit std::optional<platform::Dictionary>& gDefaultOptionsDictionary = *gDefaultOptionsDictionaryStorage;
// Why the default options file, found, could not be read at the last try.
constinit platform::Immortal<std::optional<platform::Error>> gDefaultOptionsReadErrorStorage;
constinit std::optional<platform::Error>& gDefaultOptionsReadError = *gDefaultOptionsReadErrorStorage;

std::mutex gClassInitMutex;
bool gClassInitialized = false;

// The boolean a switch value stands for: numbers by their value, texts as the platform's
// boolValue reads them; none for anything else.
std::optional<bool> switchValue(const platform::Value* value) {
  if (value == nullptr) return std::nullopt;
  if (value->isNumber()) return value->boolValue();
  if (const std::string* text = value->stringPtr()) return platform::text::leadingBool(*text);
  return std::nullopt;
}

}  // namespace

// ---- class-wide ----

void CDVOptions::initializeClass() {
  {
    std::lock_guard lock(gClassInitMutex);
    if (gClassInitialized) return;
    gClassInitialized = true;
  }
  // Cut off (the thread cancelled as it reads the bundle), the class is initialised again next time.
  platform::UndoneOnUnwind unmade([] {
    std::lock_guard lock(gClassInitMutex);
    gClassInitialized = false;
  });
  CDVApp::registerLibrary("cind-ios", CDVCoreVersionString);
  const platform::Dictionary info = cdv_platform::mainBundleInfoDictionary();
  if (const std::string* xcode = info.get("DTXcodeBuild").stringPtr()) {
    CDVApp::registerLibrary("xcode", *xcode);
  }
  if (const std::string* sdk = info.get("DTSDKBuild").stringPtr()) {
    CDVApp::registerLibrary("apple-sdk", *sdk);
  }
  unmade.done();
}

void CDVOptions::resetClassInitializationForTesting() {
  std::lock_guard lock(gClassInitMutex);
  gClassInitialized = false;
}

std::shared_ptr<CDVOptions> CDVOptions::defaultOptions() {
  initializeClass();
  {
    std::lock_guard lock(gDefaultsMutex);
    if (gDefaultOptions) return gDefaultOptions;
  }
  std::optional<platform::Dictionary> dictionary = defaultOptionsDictionary();
  if (!dictionary) return nullptr;
  std::lock_guard lock(gDefaultsMutex);
  if (!gDefaultOptions) gDefaultOptions = initInternalWithOptionsDictionary(*dictionary);
  return gDefaultOptions;
}

std::optional<platform::Dictionary> CDVOptions::defaultOptionsDictionary() {
  initializeClass();
  {
    std::lock_guard lock(gDefaultsMutex);
    if (gDefaultOptionsDictionary) return gDefaultOptionsDictionary;
  }
  std::optional<std::string> path = plistFilePathWithName(kServiceInfoFileName);
  if (!path) return std::nullopt;
  platform::Error unread;
  std::optional<platform::Value> contents = cdv_platform::readPropertyListFile(*path, &unread);
  if (!contents) {
    CDVLogError(kCDVLoggerCore, "I-COR000011", "The configuration file could not be read: %@.", unread.description);
    std::lock_guard lock(gDefaultsMutex);
    gDefaultOptionsReadError = std::move(unread);
    return std::nullopt;
  }
  if (!contents->isDictionary()) {
    CDVLogError(kCDVLoggerCore, "I-COR000011", "The configuration file is not a dictionary: '%@.%@'.",
                kServiceInfoFileName, kServiceInfoFileType);
    return std::nullopt;
  }
  std::lock_guard lock(gDefaultsMutex);
  gDefaultOptionsReadError.reset();
  if (!gDefaultOptionsDictionary) gDefaultOptionsDictionary = *contents->dictionaryPtr();
  return gDefaultOptionsDictionary;
}

std::optional<platform::Error> CDVOptions::defaultOptionsReadError() {
  std::lock_guard lock(gDefaultsMutex);
  return gDefaultOptionsReadError;
}

std::optional<std::string> CDVOptions::plistFilePathWithName(const std::string& resourceName) {
  const CDVBundleUtil::Bundles bundles = CDVBundleUtil::relevantBundles();
  std::optional<std::string> path =
      CDVBundleUtil::optionsDictionaryPathWithResourceName(resourceName, kServiceInfoFileType, bundles);
  if (!path) {
    CDVLogError(kCDVLoggerCore, "I-COR000012", "Could not locate configuration file: '%@.%@'.",
                resourceName, kServiceInfoFileType);
    CDVLogError(kCDVLoggerCore, "I-COR000012", "%@",
                CDVBundleUtil::searchedFolders(resourceName + "." + kServiceInfoFileType, bundles));
  }
  return path;
}

void CDVOptions::resetDefaultOptions() {
  std::lock_guard lock(gDefaultsMutex);
  gDefaultOptions.reset();
  gDefaultOptionsDictionary.reset();
  gDefaultOptionsReadError.reset();
}

// ---- construction ----

CDVOptions::CDVOptions(Internal) { initializeClass(); }

std::shared_ptr<CDVOptions> CDVOptions::initInternalWithOptionsDictionary(
    const platform::Dictionary& optionsDictionary) {
  auto options = std::make_shared<CDVOptions>(Internal{});
  options->optionsDictionary_ = optionsDictionary;
  options->usingOptionsFromDefaultPlist_ = true;
  return options;
}

std::shared_ptr<CDVOptions> CDVOptions::initWithContentsOfFile(const std::optional<std::string>& path) {
  initializeClass();
  if (!path) {
    CDVLogError(kCDVLoggerCore, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  std::optional<platform::Value> contents = cdv_platform::readPropertyListFile(*path);
  if (!contents || !contents->isDictionary()) {
    CDVLogError(kCDVLoggerCore, "I-COR000014",
                "The configuration file at %@ does not exist or is not a well-formed plist file.",
                *path);
    return nullptr;
  }
  auto options = std::make_shared<CDVOptions>(Internal{});
  options->optionsDictionary_ = *contents->dictionaryPtr();
  return options;
}

CDVOptions::CDVOptions(const std::optional<std::string>& ombrixAppID,
                       const std::optional<std::string>& WRQSenderID)
    : CDVOptions(Internal{}) {
  if (ombrixAppID) optionsDictionary_.set(kCDVOmbrixAppID, *ombrixAppID);
  if (WRQSenderID) optionsDictionary_.set(kCDVWRQSenderID, *WRQSenderID);
  if (std::optional<std::string> bundleID = cdv_platform::mainBundleIdentifier()) {
    optionsDictionary_.set(kCDVBundleID, *bundleID);
  }
}

CDVOptions::CDVOptions(const CDVOptions& other) : platform::Object() {
  std::lock_guard lock(other.mutex_);
  optionsDictionary_ = other.optionsDictionary_;
  deepLinkURLScheme_ = other.deepLinkURLScheme_;
  editingLocked_ = other.editingLocked_;
  usingOptionsFromDefaultPlist_ = other.usingOptionsFromDefaultPlist_;
  libraryVersionIDOverride_ = other.libraryVersionIDOverride_;
}

// ---- accessors ----

void CDVOptions::checkEditingLocked() const {
  if (isEditingLocked()) {
    throw platform::Exception(kCindervaleCoreErrorDomain, kCDVExceptionBadModification);
  }
}

std::optional<std::string> CDVOptions::stringForKey(const char* key) const {
  std::lock_guard lock(mutex_);
  return optionsDictionary_.get(key).stringValue();
}

void CDVOptions::setStringForKey(const char* key, const std::optional<std::string>& value) {
  checkEditingLocked();
  std::lock_guard lock(mutex_);
  if (value) {
    optionsDictionary_.set(key, *value);
  } else {
    optionsDictionary_.remove(key);
  }
}

std::optional<std::string> CDVOptions::deepLinkURLScheme() const {
  std::lock_guard lock(mutex_);
  return deepLinkURLScheme_;
}

void CDVOptions::setDeepLinkURLScheme(const std::optional<std::string>& scheme) {
  checkEditingLocked();
  std::lock_guard lock(mutex_);
  deepLinkURLScheme_ = scheme;
}

std::string CDVOptions::libraryVersionID() const {
  static const std::string& versionID = *new std::string([] {
    std::vector<std::string> parts;
    std::string version = CDVCoreVersionString;
    std::size_t start = 0;
    while (true) {
      std::size_t dot = version.find('.', start);
      parts.push_back(version.substr(start, dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    while (parts.size() < 3) parts.push_back("0");
    return platform::format("%@%02d%02d000", parts[0], platform::text::leadingInt64(parts[1]),
                            platform::text::leadingInt64(parts[2]));
  }());
  return versionID;
}

void CDVOptions::setLibraryVersionID(const std::string& libraryVersionID) {
  std::lock_guard lock(mutex_);
  libraryVersionIDOverride_ = libraryVersionID;
}

platform::Dictionary CDVOptions::optionsDictionary() const {
  std::lock_guard lock(mutex_);
  return optionsDictionary_;
}

void CDVOptions::setOptionsDictionary(platform::Dictionary optionsDictionary) {
  std::lock_guard lock(mutex_);
  optionsDictionary_ = std::move(optionsDictionary);
}

bool CDVOptions::usingOptionsFromDefaultPlist() const {
  std::lock_guard lock(mutex_);
  return usingOptionsFromDefaultPlist_;
}

void CDVOptions::setUsingOptionsFromDefaultPlist(bool usingOptionsFromDefaultPlist) {
  std::lock_guard lock(mutex_);
  usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist;
}

bool CDVOptions::isEditingLocked() const {
  std::lock_guard lock(mutex_);
  return editingLocked_;
}

void CDVOptions::setEditingLocked(bool editingLocked) {
  std::lock_guard lock(mutex_);
  editingLocked_ = editingLocked;
}

std::string CDVOptions::description() const {
  std::lock_guard lock(mutex_);
  return "<CDVOptions " + platform::Value(optionsDictionary_).description() + ">";
}

// ---- analytics switches ----

platform::Dictionary CDVOptions::analyticsOptionsDictionaryWithInfoDictionary(
    const platform::Dictionary& infoDictionary) const {
  std::lock_guard lock(mutex_);
  if (analyticsOptionsDictionary_) return *analyticsOptionsDictionary_;
  platform::Dictionary result;
  for (const char* key : {kCDVIsMeasurementEnabled, kCDVIsAnalyticsCollectionEnabled,
                          kCDVIsAnalyticsCollectionDeactivated}) {
    if (const platform::Value* fromInfo = infoDictionary.find(key)) {
      result.set(key, *fromInfo);
    } else if (const platform::Value* fromOptions = optionsDictionary_.find(key)) {
      result.set(key, *fromOptions);
    }
  }
  analyticsOptionsDictionary_ = result;
  return result;
}

platform::Dictionary CDVOptions::analyticsOptionsDictionary() const {
  {
    std::lock_guard lock(mutex_);
    if (analyticsOptionsDictionary_) return *analyticsOptionsDictionary_;
  }
  return analyticsOptionsDictionaryWithInfoDictionary(cdv_platform::mainBundleInfoDictionary());
}

bool CDVOptions::isAnalyticsCollectionDeactivated() const {
  const platform::Dictionary analytics = analyticsOptionsDictionary();
  return switchValue(analytics.find(kCDVIsAnalyticsCollectionDeactivated)).value_or(false);
}

bool CDVOptions::isMeasurementEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  const platform::Dictionary analytics = analyticsOptionsDictionary();
  if (std::optional<bool> value = switchValue(analytics.find(kCDVIsMeasurementEnabled))) {
    return *value;
  }
  if (!CDVApp::isDefaultAppConfigured()) return false;
  std::shared_ptr<CDVApp> app = CDVApp::defaultApp();
  return app && app->isDataCollectionDefaultEnabled();
}

bool CDVOptions::isAnalyticsCollectionEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  const platform::Dictionary analytics = analyticsOptionsDictionary();
  if (std::optional<bool> value = switchValue(analytics.find(kCDVIsAnalyticsCollectionEnabled))) {
    return *value;
  }
  return isMeasurementEnabled();
}

bool CDVOptions::isAnalyticsCollectionExpicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  const platform::Dictionary analytics = analyticsOptionsDictionary();
  return analytics.get(kCDVIsAnalyticsCollectionEnabled).isNumber() ||
         analytics.get(kCDVIsMeasurementEnabled).isNumber();
}

bool CDVOptions::isAnalyticsEnabled() const {
  std::lock_guard lock(mutex_);
  return switchValue(optionsDictionary_.find(kCDVIsAnalyticsEnabled)).value_or(false);
}

bool CDVOptions::isSignInEnabled() const {
  std::lock_guard lock(mutex_);
  return switchValue(optionsDictionary_.find(kCDVIsSignInEnabled)).value_or(false);
}
