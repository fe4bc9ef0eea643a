#include "InstanceID/CDVInstanceIDUtilities.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <mutex>

#include "Core/Public/CDVOptions.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "dispatch/Clock.h"
#include "foundation/Bundle.h"
#include "foundation/Locale.h"
#include "obx/OBXAppEnvironmentUtil.h"
#include "obx/OBXUserDefaults.h"

namespace {

constexpr const char* kLibraryVersion = "4.2.1";

// The leading integer of a text, as the platform's integerValue reads it: optional blanks, an
// optional sign, digits; 0 when there are none; saturated at the int range.
int leadingInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) {
      value = static_cast<long long>(INT_MAX) + 1;
      break;
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::shared_ptr<CDVMessagingClassObject> messagingClass() {
  return std::dynamic_pointer_cast<CDVMessagingClassObject>(platform::ClassRegistry::classNamed("CDVMessaging"));
}

const CDVInstanceIDLibraryVersion& libraryVersion() {
  static const CDVInstanceIDLibraryVersion* version =
      new CDVInstanceIDLibraryVersion(CDVInstanceIDParseLibraryVersion(kLibraryVersion));
  return *version;
}

}  // namespace

std::string CDVInstanceIDRegisterServer() { return std::string(kCDVInstanceIDRegisterServerBase) + "/register"; }

std::int64_t CDVInstanceIDCurrentTimestampInSeconds() {
  double now = platform::Clock::current()->now();
  if (!std::isfinite(now)) return 0;
  // Whole seconds, well inside the range where the cast is defined.
  return static_cast<std::int64_t>(std::trunc(std::clamp(now, -9.0e15, 9.0e15)));
}

std::int64_t CDVInstanceIDCurrentTimestampInMilliseconds() { return CDVInstanceIDCurrentTimestampInSeconds() * 1000; }

std::string CDVInstanceIDCurrentAppVersion() {
  auto bundle = platform::Bundle::main();
  if (!bundle) return std::string();
  const std::string* version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").stringPtr();
  return version ? *version : std::string();
}

std::string CDVInstanceIDAppIdentifier() {
  auto bundle = platform::Bundle::main();
  std::string identifier = bundle ? bundle->bundleIdentifier().value_or(std::string()) : std::string();
  if (identifier.empty()) {
    CDVInstanceIDLoggerError(18000,
                             "The mainBundle's bundleIdentifier returned '%@'. Bundle identifier expected to be non-empty.",
                             identifier);
  }
  return identifier;
}

std::optional<std::string> CDVInstanceIDCindervaleAppID() {
  std::shared_ptr<CDVOptions> options = CDVOptions::defaultOptions();
  if (!options) return std::nullopt;
  return options->ombrixAppID();
}

std::optional<std::string> CDVInstanceIDDeviceModel() {
  static const std::optional<std::string>* model = [] {
    utsname name{};
    if (uname(&name) != 0) return new std::optional<std::string>();
    return new std::optional<std::string>(std::string(name.machine));
  }();
  return *model;
}

std::string CDVInstanceIDOperatingSystemVersion() { return OBXAppEnvironmentUtil::systemVersion(); }

std::optional<std::string> CDVInstanceIDCurrentLocale() {
  if (auto messaging = messagingClass()) {
    std::optional<std::string> locale = messaging->CDVMessagingSDKCurrentLocale();
    if (locale) return locale;
  }
  std::vector<std::string> languages = platform::locale::preferredLanguages();
  if (!languages.empty()) return languages.front();
  if (leadingInteger(CDVInstanceIDOperatingSystemVersion()) >= 10) {
    return platform::locale::languageCode(platform::locale::currentLocaleIdentifier());
  }
  return std::nullopt;
}

bool CDVInstanceIDHasLocaleChanged() {
  std::optional<std::string> stored = OBXUserDefaults::standardUserDefaults().stringForKey(kCDVInstanceIDUserDefaultsKeyLocale);
  if (!stored) return true;
  return *stored != CDVInstanceIDCurrentLocale().value_or(std::string());
}

bool CDVInstanceIDIsValidWRQScope(const std::string& scope) {
  const std::string messaging = kCDVInstanceIDScopeCindervaleMessaging;
  if (scope.size() != messaging.size()) return false;
  for (std::size_t i = 0; i < scope.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(scope[i])) != messaging[i]) return false;
  }
  return true;
}

std::string CDVInstanceIDStringForAPNSDeviceToken(const platform::Bytes& deviceToken) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  text.reserve(deviceToken.size() * 2);
  for (std::uint8_t byte : deviceToken) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

std::optional<std::string> CDVInstanceIDAPNSTupleStringForTokenAndServerType(const std::optional<platform::Bytes>& deviceToken,
                                                                              bool isSandbox) {
  if (!deviceToken) return std::nullopt;
  return (isSandbox ? "s_" : "p_") + CDVInstanceIDStringForAPNSDeviceToken(*deviceToken);
}

std::optional<std::string> CDVInstanceIDCurrentWRQVersion() {
  auto messaging = messagingClass();
  return messaging ? messaging->CDVMessagingSDKVersion() : std::nullopt;
}

CDVInstanceIDLibraryVersion CDVInstanceIDParseLibraryVersion(const std::string& version) {
  CDVInstanceIDLibraryVersion parsed;
  parsed.version = version;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 3) return parsed;
  parsed.major = leadingInteger(parts[0]);
  parsed.minor = leadingInteger(parts[1]);
  std::size_t beta = parts[2].find("-beta");
  if (beta == std::string::npos) {
    parsed.patch = leadingInteger(parts[2]);
  } else if (parts[2].find("-beta", beta + 1) == std::string::npos) {
    parsed.patch = leadingInteger(parts[2].substr(0, beta));
    parsed.beta = leadingInteger(parts[2].substr(beta + 5));
  }
  return parsed;
}

std::string CDVInstanceIDCurrentLibraryVersion() { return libraryVersion().version; }
int CDVInstanceIDCurrentLibraryVersionMajor() { return libraryVersion().major; }
int CDVInstanceIDCurrentLibraryVersionMinor() { return libraryVersion().minor; }
int CDVInstanceIDCurrentLibraryVersionPatch() { return libraryVersion().patch; }
bool CDVInstanceIDCurrentLibraryVersionIsBeta() { return libraryVersion().beta > 0; }
