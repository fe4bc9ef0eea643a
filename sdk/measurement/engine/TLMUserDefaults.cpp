#include "measurement/engine/TLMUserDefaults.h"

#include <cctype>
#include <cstdlib>

#include "foundation/Bundle.h"
#include "foundation/Error.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/Preferences.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "obx/OBXLogger.h"

namespace {

constexpr const char* kLogTag = kTLMMonitorDefaultLogTag;
constexpr double kSynchronizeDelay = 1.0;

bool isAcceptedValue(const platform::Value& value) {
  return value.isString() || value.isNumber() || value.isArray() || value.isDictionary() || value.isDate() ||
         value.isData();
}

// How the platform's strings read as numbers: leading blanks, a sign and digits; 0 when none.
std::int64_t integerFromText(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }
double doubleFromText(const std::string& text) { return std::strtod(text.c_str(), nullptr); }
// True at a "Y", "y", "T", "t" or a digit 1-9 after blanks, a sign and leading zeros.
bool boolFromText(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  const char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace

std::shared_ptr<TLMUserDefaults> TLMUserDefaults::initWithSuiteName(const std::string& suiteName,
                                                                    std::shared_ptr<platform::Queue> synchronizeQueue) {
  return std::shared_ptr<TLMUserDefaults>(new TLMUserDefaults(suiteName, std::move(synchronizeQueue)));
}

std::shared_ptr<TLMUserDefaults> TLMUserDefaults::standardUserDefaults() {
  // Never destroyed: background queues may still synchronise it while the process exits.
  static auto* standard = new std::shared_ptr<TLMUserDefaults>([] {
    std::shared_ptr<TLMUserDefaults> store = initWithSuiteName({});
    store->setIsPreferenceFileExcluded(true);
    return store;
  }());
  return *standard;
}

bool TLMUserDefaults::userPreferenceEnabled() {
  static const bool enabled = [] {
    const platform::Value& value = platform::Bundle::main()->objectForInfoDictionaryKey("UseCFPreferencesLibrary");
    return value.isNumber() ? value.boolValue().value_or(true) : true;
  }();
  return enabled;
}

TLMUserDefaults::TLMUserDefaults(std::string suiteName, std::shared_ptr<platform::Queue> synchronizeQueue)
    : suiteName_(std::move(suiteName)),
      useCFPreferences_(userPreferenceEnabled()),
      pendingSynchronize_(synchronizeQueue ? std::move(synchronizeQueue)
                                           : platform::Queue::global(platform::QueuePriority::Background)) {}

TLMUserDefaults::~TLMUserDefaults() = default;  // the pending synchronisation dies with its task

bool TLMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard<std::mutex> lock(exclusionMutex_);
  return preferenceFileExcluded_;
}

void TLMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard<std::mutex> lock(exclusionMutex_);
  preferenceFileExcluded_ = excluded;
}

std::string TLMUserDefaults::applicationName() const {
  return suiteName_.empty() ? platform::preferences::kCurrentApplication : suiteName_;
}

platform::Value TLMUserDefaults::objectForKey(const std::string& key) const {
  if (key.empty()) {
    OBXLogWarning(kLogTag, false, TLMMessageCodeString(41001), "Cannot get object for invalid user default key.");
    return {};
  }
  if (useCFPreferences_) return platform::preferences::copyAppValue(key, applicationName());
  return platform::UserDefaults(suiteName_).objectForKey(key);
}

void TLMUserDefaults::setObject(const platform::Value& value, const std::string& key) {
  if (key.empty()) {
    OBXLogWarning(kLogTag, false, TLMMessageCodeString(41002), "Cannot set object for invalid user default key.");
    return;
  }
  const auto refuse = [&] {
    OBXLogWarning(kLogTag, false, TLMMessageCodeString(41003),
                  "Cannot set invalid object to user defaults. Must be a string or number or an array. Value " +
                      value.description());
  };
  if (!value.isNull() && !isAcceptedValue(value)) return refuse();
  try {
    if (useCFPreferences_) {
      platform::preferences::setAppValue(key, value, applicationName());
    } else {
      platform::UserDefaults(suiteName_).setObject(value, key);
    }
  } catch (const platform::Exception&) {
    return refuse();  // a container holding something no property list can keep
  }
  scheduleSynchronize();
}

void TLMUserDefaults::removeObjectForKey(const std::string& key) {
  if (useCFPreferences_) return setObject(platform::Value(), key);
  if (key.empty()) {
    OBXLogWarning(kLogTag, false, TLMMessageCodeString(41002), "Cannot set object for invalid user default key.");
    return;
  }
  platform::UserDefaults(suiteName_).removeObjectForKey(key);
}

std::int64_t TLMUserDefaults::integerForKey(const std::string& key) const {
  const platform::Value value = objectForKey(key);
  if (const std::string* text = value.stringPtr()) return integerFromText(*text);
  return value.int64Value().value_or(0);
}

float TLMUserDefaults::floatForKey(const std::string& key) const { return static_cast<float>(doubleForKey(key)); }

double TLMUserDefaults::doubleForKey(const std::string& key) const {
  const platform::Value value = objectForKey(key);
  if (const std::string* text = value.stringPtr()) return doubleFromText(*text);
  return value.doubleValue().value_or(0.0);
}

bool TLMUserDefaults::boolForKey(const std::string& key) const {
  const platform::Value value = objectForKey(key);
  if (const std::string* text = value.stringPtr()) return boolFromText(*text);
  return value.boolValue().value_or(false);
}

std::optional<std::string> TLMUserDefaults::stringForKey(const std::string& key) const {
  return objectForKey(key).stringValue();
}

platform::Value TLMUserDefaults::arrayForKey(const std::string& key) const {
  platform::Value value = objectForKey(key);
  return value.isArray() ? value : platform::Value();
}

platform::Value TLMUserDefaults::dictionaryForKey(const std::string& key) const {
  platform::Value value = objectForKey(key);
  return value.isDictionary() ? value : platform::Value();
}

void TLMUserDefaults::setInteger(std::int64_t value, const std::string& key) { setObject(platform::Value(value), key); }
void TLMUserDefaults::setFloat(float value, const std::string& key) { setObject(platform::Value(value), key); }
void TLMUserDefaults::setDouble(double value, const std::string& key) { setObject(platform::Value(value), key); }
void TLMUserDefaults::setBool(bool value, const std::string& key) { setObject(platform::Value(value), key); }

void TLMUserDefaults::clearAllData() {
  if (useCFPreferences_) {
    const std::string application = applicationName();
    for (const std::string& key : platform::preferences::copyKeyList(application)) {
      platform::preferences::setAppValue(key, platform::Value(), application);
    }
  } else {
    platform::UserDefaults::removePersistentDomainForName(
        suiteName_.empty() ? platform::UserDefaults::standardDomainName() : suiteName_);
  }
  scheduleSynchronize();
}

void TLMUserDefaults::synchronize() {
  platform::Error error;
  const bool written = useCFPreferences_ ? platform::preferences::appSynchronize(applicationName(), &error)
                                         : platform::UserDefaults(suiteName_).synchronize(&error);
  if (!written) {
    OBXLogError(kLogTag, false, TLMMessageCodeString(41004),
                "Cannot synchronize user defaults to disk" +
                    (error.description.empty() ? std::string() : ": " + error.description));
    if (error.domain == platform::sandbox::kSandboxErrorDomain) return;  // no file to exclude either
  }
  error = platform::Error();
  {
    std::lock_guard<std::mutex> lock(exclusionMutex_);
    if (preferenceFileExcluded_) return;
    const std::string path = TLMFilePathForPreferencesName(suiteName_);
    if (path.empty() || !platform::files::exists(path)) return;
    preferenceFileExcluded_ = TLMExcludeFilePathFromBackup(path, &error);
    if (preferenceFileExcluded_) return;
  }
  OBXLogWarning(kLogTag, false, TLMMessageCodeString(41000),
                "Failed to exclude preferences file from backup. Error code " + error.fullDescription());
}

void TLMUserDefaults::scheduleSynchronize() {
  std::weak_ptr<TLMUserDefaults> weakSelf = weak_from_this();
  pendingSynchronize_.schedule(kSynchronizeDelay, [weakSelf] {
    if (std::shared_ptr<TLMUserDefaults> self = weakSelf.lock()) self->synchronize();
  });
}
