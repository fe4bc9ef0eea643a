// Small shared services of the instance identity: clock readings, facts about the app and the
// device that requests carry, the locale rule behind credential freshness, APNS token texts, the
// probe of the optional messaging component, and the library version.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dispatch/Queue.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Value.h"

// Subdirectory of Application Support that holds the instance identity's property lists.
inline constexpr const char* kCDVInstanceIDSubDirectoryName = "Ombrix/CindervaleInstanceID";
// Where the check-in validity rule keeps the locale it last saw (standard user defaults).
inline constexpr const char* kCDVInstanceIDUserDefaultsKeyLocale = "com.cindervale.instanceid.user_defaults.locale";
// The messaging scope.
inline constexpr const char* kCDVInstanceIDScopeCindervaleMessaging = "jxq";
// Host of the vendor's token service.
inline constexpr const char* kCDVInstanceIDRegisterServerBase = "https://iid.ombrixapis.com";

// A text's bytes (its UTF-8 encoding).
inline platform::Bytes CDVInstanceIDUTF8Bytes(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }
// Runs `block` later on the main queue.
inline void CDVInstanceIDOnMain(std::function<void()> block) { platform::Queue::main()->async(std::move(block)); }

// The messaging component's shared object, as far as the instance identity asks it.
class CDVMessagingObject : public platform::Object {
 public:
  // "isAutoInitEnabled"; empty when the object does not answer it.
  virtual std::optional<bool> isAutoInitEnabled() const { return std::nullopt; }
};

// The optional messaging component, looked up by the class name "CDVMessaging". Its class object
// derives from this; an empty answer means the class does not answer that class method.
class CDVMessagingClassObject : public platform::ClassObject {
 public:
  CDVMessagingClassObject() : platform::ClassObject("CDVMessaging") {}
  // "messaging": the shared object (possibly null).
  virtual std::optional<std::shared_ptr<platform::Object>> messaging() const { return std::nullopt; }
  // "CDVMessagingSDKVersion".
  virtual std::optional<std::string> CDVMessagingSDKVersion() const { return std::nullopt; }
  // "CDVMessagingSDKCurrentLocale".
  virtual std::optional<std::string> CDVMessagingSDKCurrentLocale() const { return std::nullopt; }
};

// The token endpoint: HTTPS, path "/register".
std::string CDVInstanceIDRegisterServer();
// Seconds since 1970 of the platform clock, truncated to a whole number.
std::int64_t CDVInstanceIDCurrentTimestampInSeconds();
// The whole seconds times 1000.
std::int64_t CDVInstanceIDCurrentTimestampInMilliseconds();
// "CFBundleShortVersionString" of the main bundle, or the empty text.
std::string CDVInstanceIDCurrentAppVersion();
// The main bundle's identifier; the empty text (after an error line) when it has none.
std::string CDVInstanceIDAppIdentifier();
// The app id of the default options, if any.
std::optional<std::string> CDVInstanceIDCindervaleAppID();
// The machine field of uname, read once per process; nothing when uname fails.
std::optional<std::string> CDVInstanceIDDeviceModel();
// The device's operating-system version text.
std::string CDVInstanceIDOperatingSystemVersion();
// The messaging component's locale, else the first preferred language, else (system version 10
// or later) the current locale's language code.
std::optional<std::string> CDVInstanceIDCurrentLocale();
// True unless the locale stored under kCDVInstanceIDUserDefaultsKeyLocale equals the current one.
bool CDVInstanceIDHasLocaleChanged();
// Whether `scope` is the messaging scope, ignoring case.
bool CDVInstanceIDIsValidWRQScope(const std::string& scope);
// Two lower-case hex digits per byte.
std::string CDVInstanceIDStringForAPNSDeviceToken(const platform::Bytes& deviceToken);
// "s_" (sandbox) or "p_" followed by the token's hex text; nothing for no token.
std::optional<std::string> CDVInstanceIDAPNSTupleStringForTokenAndServerType(const std::optional<platform::Bytes>& deviceToken,
                                                                              bool isSandbox);
// The messaging component's SDK version, if it is present and tells.
std::optional<std::string> CDVInstanceIDCurrentWRQVersion();

// The library version "4.2.1" and its parts (0 when not parsed).
std::string CDVInstanceIDCurrentLibraryVersion();
int CDVInstanceIDCurrentLibraryVersionMajor();
int CDVInstanceIDCurrentLibraryVersionMinor();
int CDVInstanceIDCurrentLibraryVersionPatch();
bool CDVInstanceIDCurrentLibraryVersionIsBeta();

// The version text's parts: exactly three pieces split at "."; the third may end in
// "-beta<N>". Exposed for tests; the library parses its own version once.
struct CDVInstanceIDLibraryVersion {
  std::string version;
  int major = 0;
  int minor = 0;
  int patch = 0;
  int beta = 0;
};
CDVInstanceIDLibraryVersion CDVInstanceIDParseLibraryVersion(const std::string& version);
