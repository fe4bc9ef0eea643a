#include "Core/Public/CDVApp.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "Core/Private/CDVBundleUtil.h"
#include "Core/Private/CDVCopies.h"
#include "Core/Private/CDVCorePlatform.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVAnalyticsStarter.h"
#include "Core/Public/CDVConfiguration.h"
#include "Core/Public/CDVLogger.h"
#include "dispatch/ForkPreparation.h"
#include "dispatch/StayLoaded.h"
#include "foundation/Cancellation.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/Format.h"
#include "foundation/Immortal.h"
#include "foundation/Sandbox.h"
#include "foundation/Text.h"

namespace {

// Claims the process for a configure of this copy (CDVCopies.h), or raises saying why not.
void claimProcessForThisCopy() {
  const cdv_copies::Claim claim = cdv_copies::claim();
  if (!claim.granted) throw platform::Exception(kCindervaleCoreErrorDomain, claim.refusal);
}

// ---- the registry ----
//
// One re-entrant lock guards the apps, the library versions and the configurable libraries.
// Configuration holds it from creating the app to the last configureWithApp, so observers of the
// notifications posted meanwhile may call back into the registry on the same thread.
//
// The diagnostics notification is never posted while this lock is held: its observer (the
// diagnostics client) takes a lock of its own and reads the registry under it, so posting it
// under the registry lock would invert the two locks against a library thread that reports its
// configuration at the same time. Posts made while the lock is held are queued on the thread
// and posted as soon as the outermost hold ends, still on that thread and before the
// registry call returns.

std::recursive_mutex gRegistryMutex;
thread_local int tRegistryDepth = 0;

// In a process the SDK belongs to neither by its own claim nor by a parent's, only the lookups,
// the libraries' registrations and the user agent hold the registry lock, each briefly and
// without logging under it (configuration claims the process first): a fork waits for it there,
// before the logger's set-up and the platform's locks, so that the child, which may configure,
// never finds it held. Elsewhere the child refuses every call that takes it, and a fork does not
// wait.
thread_local bool tRegistryHeldForFork = false;
std::atomic<int> gForksWaitingForRegistry{0};
void waitForRegistryBeforeFork() {
  if (tRegistryHeldForFork || CDVForkedChild::hasOwner()) return;
  if (!gRegistryMutex.try_lock()) {
    ++gForksWaitingForRegistry;
    gRegistryMutex.lock();
    --gForksWaitingForRegistry;
  }
  tRegistryHeldForFork = true;
}
void letRegistryGoAfterForkInParent() {
  if (std::exchange(tRegistryHeldForFork, false)) gRegistryMutex.unlock();
}
// A recursive lock is let go only by the thread that took it, which the child's thread is not to
// the C library (its thread id is the child's): made anew, since no other thread held it.
void letRegistryGoAfterForkInChild() {
  if (std::exchange(tRegistryHeldForFork, false)) new (&gRegistryMutex) std::recursive_mutex();
}
// Made by the first post queued, deleted once posted: a plain pointer, since the C library
// destroys a thread's thread-local objects before the static destructors and atexit handlers that
// may still configure.
thread_local std::vector<cdv_platform::UserInfo>* tPendingDiagnostics = nullptr;

constinit platform::Immortal<std::optional<CDVApp::AppMap>> gAllAppsStorage;
constinit std::optional<CDVApp::AppMap>& gAllApps = *gAllAppsStorage;
constinit platform::Immortal<std::optional<std::map<std::string, std::string>>> gLibraryVersionsStorage;
constinit std::optional<std::map<std::string, std::string>>& gLibraryVersions = *gLibraryVersionsStorage;
constinit platform::Immortal<std::vector<std::shared_ptr<const CDVLibrary>>> gConfigurableLibrariesStorage;
constinit std::vector<std::shared_ptr<const CDVLibrary>>& gConfigurableLibraries = *gConfigurableLibrariesStorage;

// The default app is read without the registry lock. Its lock guards the pointer alone (nothing
// else is done while it is held), so a fork takes it, after the waits that come before the
// platform's locks: a child made by fork() reads the default app too. Its fork handlers are
// registered as the program loads, or at the lock's first use when a host's static initialiser
// comes to the SDK before this file's initialiser has run.
std::mutex gDefaultAppMutex;
std::atomic<bool> gDefaultAppForkSafe{false};
void lockDefaultAppBeforeFork() {
  platform::waitBeforeForkLocks();
  gDefaultAppMutex.lock();
}
void unlockDefaultAppAfterFork() { gDefaultAppMutex.unlock(); }
std::mutex& defaultAppMutex() {
  if (!gDefaultAppForkSafe.load(std::memory_order_relaxed) && !gDefaultAppForkSafe.exchange(true) &&
      pthread_atfork(&lockDefaultAppBeforeFork, &unlockDefaultAppAfterFork, &unlockDefaultAppAfterFork) == 0 &&
      pthread_atfork(&platform::waitBeforeForkLocks, &letRegistryGoAfterForkInParent,
                     &letRegistryGoAfterForkInChild) == 0) {
    platform::setWaitBeforeForkLocks(&waitForRegistryBeforeFork, true);
  }
  return gDefaultAppMutex;
}
[[maybe_unused]] const std::mutex& gDefaultAppForkHandlersAtLoad = defaultAppMutex();
constinit platform::Immortal<std::shared_ptr<CDVApp>> gDefaultAppStorage;
constinit std::shared_ptr<CDVApp>& gDefaultApp = *gDefaultAppStorage;

std::mutex gPlistSwitchMutex;
bool gPlistSwitchRead = false;
std::optional<bool> gPlistSwitch;

std::mutex& diagnosticsLoaderMutex() {
  static std::mutex mutex;
  return mutex;
}
// Function-local: the diagnostics library installs its loader during static initialisation.
std::function<void()>& diagnosticsLoader() {
  static std::function<void()>& loader = *new std::function<void()>();
  return loader;
}

// The link anchors of the libraries that register with the core (the build keeps each one in
// every program that links its library). An anchor registers its library once, whoever calls it
// first: the library's own static initialiser, or configuration here, which a host may reach from
// a static initialiser of its own before the library's has run (C++ orders none across files).
// Weak: a library that is not linked leaves its anchor null.
extern "C" void CDVAnalyticsLinkAnchor() __attribute__((weak));
extern "C" void CDVDiagnosticsLinkAnchor() __attribute__((weak));

// Before configuration reads the libraries registered: every linked one is, then the diagnostics
// reporter is loaded.
void registerLinkedLibraries() {
  if (CDVAnalyticsLinkAnchor != nullptr) CDVAnalyticsLinkAnchor();
  if (CDVDiagnosticsLinkAnchor != nullptr) CDVDiagnosticsLinkAnchor();
  std::function<void()> loader;
  {
    std::lock_guard lock(diagnosticsLoaderMutex());
    loader = diagnosticsLoader();
  }
  if (loader) loader();
}

class RegistryHold {
 public:
  RegistryHold() : lock_(gRegistryMutex) { ++tRegistryDepth; }
  ~RegistryHold() { --tRegistryDepth; }
  RegistryHold(const RegistryHold&) = delete;
  RegistryHold& operator=(const RegistryHold&) = delete;

 private:
  std::unique_lock<std::recursive_mutex> lock_;
};

void postDiagnosticsNow(cdv_platform::UserInfo userInfo) {
  cdv_platform::postNotification(kCDVAppDiagnosticsNotification, platform::Value(), userInfo);
}

void postDiagnostics(cdv_platform::UserInfo userInfo) {
  if (tRegistryDepth > 0) {
    if (tPendingDiagnostics == nullptr) tPendingDiagnostics = new std::vector<cdv_platform::UserInfo>();
    tPendingDiagnostics->push_back(std::move(userInfo));
  } else {
    postDiagnosticsNow(std::move(userInfo));
  }
}

// A thread cancelled under the registry lock: what it queued reports a configuration (or a
// deletion) that was not made, and is dropped with it once the outermost hold has ended.
void dropPendingDiagnostics() {
  if (tRegistryDepth == 0) delete std::exchange(tPendingDiagnostics, nullptr);
}

void flushPendingDiagnostics() {
  if (tRegistryDepth > 0) return;
  while (tPendingDiagnostics != nullptr) {
    if (tPendingDiagnostics->empty()) {
      delete std::exchange(tPendingDiagnostics, nullptr);
      return;
    }
    cdv_platform::UserInfo next = std::move(tPendingDiagnostics->front());
    tPendingDiagnostics->erase(tPendingDiagnostics->begin());
    postDiagnosticsNow(std::move(next));
  }
}

// Runs `body` holding the registry lock; afterwards (also when it raised) posts the diagnostics
// it queued, then passes on its exception. The cancellation of the thread goes on at once, the
// lock let go and the queued diagnostics dropped.
template <typename Body>
void withRegistryLock(Body&& body) {
  std::exception_ptr failure;
  try {
    RegistryHold hold;
    body();
  } catch (...) {
    if (platform::handlingCancellation()) {
      dropPendingDiagnostics();
      throw;
    }
    failure = std::current_exception();
  }
  flushPendingDiagnostics();
  if (failure) std::rethrow_exception(failure);
}

void setDefaultApp(std::shared_ptr<CDVApp> app) {
  {
    std::lock_guard lock(defaultAppMutex());
    gDefaultApp.swap(app);
  }
  // The app replaced, if this was its last reference, goes here, without the lock.
}

std::shared_ptr<CDVApp> currentDefaultApp() {
  std::lock_guard lock(defaultAppMutex());
  return gDefaultApp;
}

// Takes `app` out of the default app's place when it is there; the caller still holds it, so
// nothing is destroyed under the lock.
void unsetDefaultApp(const CDVApp& app) {
  std::lock_guard lock(defaultAppMutex());
  if (gDefaultApp.get() == &app) gDefaultApp.reset();
}

// Under the registry lock: a configure whose thread was cancelled leaves no trace of its app in
// the registry.
void forgetCancelledApp(const std::shared_ptr<CDVApp>& app) {
  if (gAllApps) {
    const auto registered = gAllApps->find(app->name());
    if (registered != gAllApps->end() && registered->second == app) gAllApps->erase(registered);
  }
  unsetDefaultApp(*app);
  if (auto container = app->container()) container->removeAllCachedInstances();
}

[[noreturn]] void raiseCore(const std::string& reason) {
  throw platform::Exception(kCindervaleCoreErrorDomain, reason);
}

// ---- characters ----

// Letters, marks and digits of every script (the platform's alphanumeric set).
bool isAlphanumeric(UChar32 c) {
  return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

// True when every character of `text` is alphanumeric or one of `extra`.
bool consistsOf(const std::string& text, std::string_view extra) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
    if (c < 0x80 && extra.find(static_cast<char>(c)) != std::string_view::npos) continue;
    if (!isAlphanumeric(c)) return false;
  }
  return true;
}

// ---- a small scanner for app ids (no characters are skipped) ----

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}
  bool atEnd() const { return pos_ >= text_.size(); }

  bool scanString(std::string_view s) {
    if (s.empty() || text_.substr(pos_, s.size()) != s) return false;
    pos_ += s.size();
    return true;
  }

  // A run of decimal digits (of any script).
  std::optional<std::string> scanDecimalDigits() {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text_.data());
    const int32_t length = static_cast<int32_t>(text_.size());
    int32_t i = static_cast<int32_t>(pos_);
    int32_t end = i;
    while (i < length) {
      UChar32 c;
      U8_NEXT(bytes, i, length, c);
      if (c < 0 || u_charType(c) != U_DECIMAL_DIGIT_NUMBER) break;
      end = i;
    }
    if (end == static_cast<int32_t>(pos_)) return std::nullopt;
    std::string digits(text_.substr(pos_, end - pos_));
    pos_ = end;
    return digits;
  }

  // An optionally signed decimal integer.
  bool scanInteger() {
    std::size_t p = pos_;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
    const std::size_t digitsStart = p;
    while (p < text_.size() && text_[p] >= '0' && text_[p] <= '9') ++p;
    if (p == digitsStart) return false;
    pos_ = p;
    return true;
  }

  // Characters up to (not including) `stop` or the end; fails when that is nothing.
  std::optional<std::string> scanUpTo(char stop) {
    std::size_t end = text_.find(stop, pos_);
    if (end == std::string_view::npos) end = text_.size();
    if (end == pos_) return std::nullopt;
    std::string result(text_.substr(pos_, end - pos_));
    pos_ = end;
    return result;
  }

  // A hexadecimal number with an optional "0x"/"0X" prefix.
  bool scanHex() {
    std::size_t p = pos_;
    if (p + 2 < text_.size() && text_[p] == '0' && (text_[p + 1] == 'x' || text_[p + 1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(text_[p + 2]))) {
      p += 2;
    }
    const std::size_t digitsStart = p;
    while (p < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[p]))) ++p;
    if (p == digitsStart) return false;
    pos_ = p;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

const char* const kSupportedAppIDVersion = "1";

cdv_platform::UserInfo diagnosticsInfo(std::int64_t configType) {
  cdv_platform::UserInfo info;
  info.set(kCDVAppDiagnosticsConfigurationTypeKey, platform::Value(configType));
  return info;
}

}  // namespace

// ---- class object ----

platform::ClassRef CDVApp::classObject() {
  static const platform::ClassRef& cls = *new platform::ClassRef(std::make_shared<platform::ClassObject>("CDVApp"));
  return cls;
}

// ---- configuration ----

std::function<void()> CDVApp::setDiagnosticsLoader(std::function<void()> loader) {
  std::lock_guard lock(diagnosticsLoaderMutex());
  std::swap(diagnosticsLoader(), loader);
  return loader;
}

void CDVApp::configure() {
  if (CDVForkedChild::refuses("configure")) return;
  registerLinkedLibraries();
  std::shared_ptr<CDVOptions> options = CDVOptions::defaultOptions();
  if (!options) {
    const std::optional<bool> plistSwitch = readDataCollectionSwitchFromPlist();
    if (!(plistSwitch.has_value() && !*plistSwitch)) {
      cdv_platform::UserInfo info = diagnosticsInfo(kCDVConfigTypeCore);
      info.setObject(kCDVAppDiagnosticsErrorKey, std::make_shared<platform::Error>(errorForMissingOptions()));
      postDiagnostics(std::move(info));
    }
    if (const std::optional<platform::Error> unread = CDVOptions::defaultOptionsReadError()) {
      if (std::optional<std::string> shortage =
              platform::files::outOfDescriptors(*unread, "to read the app's configuration")) {
        raiseCore(*shortage);
      }
    }
    raiseCore(platform::format(
        "`[CDVApp configure];` (`CindervaleApp.configure()` in Swift) could not find a valid "
        "OmbrixService-Info.plist in your project. Please download one from %@.",
        kCDVConsoleURL));
  }
  configureWithOptions(options);
}

void CDVApp::configureWithOptions(const std::shared_ptr<CDVOptions>& options) {
  if (!options) raiseCore("Options is nil. Please pass a valid options.");
  configureWithName(std::string(kCDVDefaultAppName), options);
}

void CDVApp::configureWithName(const std::optional<std::string>& name,
                               const std::shared_ptr<CDVOptions>& options) {
  if (CDVForkedChild::refuses("configureWithName")) return;
  // A copy in a link-map namespace of its own works nowhere (CDVCopies.h): refused at once.
  if (cdv_copies::isApart()) throw platform::Exception(kCindervaleCoreErrorDomain, cdv_copies::apartRefusal());
  registerLinkedLibraries();
  if (!name || !options) raiseCore("Neither name nor options can be nil.");
  if (name->empty()) raiseCore("Name cannot be empty.");

  // An app keeps its settings, databases and keys in its folders: without them (no bundle
  // identifier to name them, no root chosen) nothing is configured, and the reason says what to set.
  if (platform::Error noFolder; !platform::sandbox::available(&noFolder)) raiseCore(noFolder.description);
  claimProcessForThisCopy();
  // The claim is this copy's for good once a configure succeeds; one that fails gives it back.
  bool configured = false;
  struct Settle {
    const bool& configured;
    ~Settle() { cdv_copies::settle(configured); }
  } settle{configured};

  const bool isDefault = *name == kCDVDefaultAppName;
  if (isDefault) {
    {
      // A configure under way on another thread holds the registry lock from before it stores
      // the app to its end: its outcome is waited for, so that one cut off (its thread
      // cancelled) refuses no one. The same thread's (a callback inside its configure) holds the
      // lock already, and finds the app it stores.
      RegistryHold hold;
      if (isDefaultAppConfigured()) raiseCore("Default app has already been configured.");
    }
    CDVLogDebug(kCDVLoggerCore, "I-COR000001", "Configuring the default app.");
  } else {
    if (!isValidAppName(*name)) {
      raiseCore("App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
    }
    {
      RegistryHold hold;
      if (gAllApps && gAllApps->count(*name) != 0) {
        raiseCore(platform::format("App named %@ has already been configured.", *name));
      }
    }
    CDVLogDebug(kCDVLoggerCore, "I-COR000002", "Configuring app named %@", *name);
  }

  withRegistryLock([&] {
    // Checked again under the lock: another thread may have configured the name meanwhile.
    if (isDefault && isDefaultAppConfigured()) raiseCore("Default app has already been configured.");
    if (!isDefault && gAllApps && gAllApps->count(*name) != 0) {
      raiseCore(platform::format("App named %@ has already been configured.", *name));
    }

    std::shared_ptr<CDVApp> app = initInstanceWithName(*name, *options);
    try {
      // Stored before its core configuration runs: starting the measurement library reads the
      // default app's data-collection switch.
      if (app->isDefaultApp()) setDefaultApp(app);

      addAppToAppDictionary(app);
      sendNotificationsToSDKs(app);

      const std::vector<std::shared_ptr<const CDVLibrary>> libraries = gConfigurableLibraries;
      for (const auto& library : libraries) library->configureWithApp(app);
    } catch (...) {
      // The thread is cancelled: the app is not left registered, so that the host may configure
      // it again on another thread (the claim goes back as the configure unwinds).
      if (platform::handlingCancellation()) forgetCancelledApp(app);
      throw;
    }
  });
  configured = true;
}

void CDVApp::addAppToAppDictionary(const std::shared_ptr<CDVApp>& app) {
  if (!gAllApps) gAllApps.emplace();
  if (app->configureCore()) {
    (*gAllApps)[app->name()] = app;
    return;
  }
  // A default app that failed its configuration is not left behind as configured, so the host
  // can correct its options and configure again.
  unsetDefaultApp(*app);
  raiseCore(
      "Configuration fails. It may be caused by an invalid OMBRIX_APP_ID in "
      "OmbrixService-Info.plist or set in the customized options.");
}

void CDVApp::sendNotificationsToSDKs(const std::shared_ptr<CDVApp>& app) {
  cdv_platform::UserInfo info;
  info.set(kCDVAppNameKey, platform::Value(app->name()));
  info.set(kCDVAppIsDefaultAppKey, platform::Value(app->isDefaultApp()));
  if (std::optional<std::string> appID = app->options_->ombrixAppID()) {
    info.set(kCDVOmbrixAppIDKey, platform::Value(*appID));
  }
  cdv_platform::postNotification(kCDVAppReadyToConfigureSDKNotification,
                                 platform::Value::object(classObject()), info);
}

std::shared_ptr<CDVApp> CDVApp::initInstanceWithName(const std::string& name,
                                                     const CDVOptions& options) {
  auto locked = options.copy();
  locked->setEditingLocked(true);
  auto app = std::make_shared<CDVApp>(PrivateTag{}, name, std::move(locked));
  // Building the container makes the eager components, before the app is validated.
  app->setContainer(std::make_shared<CDVComponentContainer>(app));
  return app;
}

CDVApp::CDVApp(PrivateTag, std::string name, std::shared_ptr<CDVOptions> options)
    : name_(std::move(name)), isDefaultApp_(name_ == kCDVDefaultAppName), options_(std::move(options)) {}

bool CDVApp::configureCore() {
  checkExpectedBundleID();
  if (!isAppIDValid()) {
    if (options_->usingOptionsFromDefaultPlist() && isDataCollectionDefaultEnabled()) {
      cdv_platform::UserInfo info = diagnosticsInfo(kCDVConfigTypeCore);
      info.setObject(kCDVAppDiagnosticsErrorKey, std::make_shared<platform::Error>(errorForInvalidAppID()));
      postDiagnostics(std::move(info));
    }
    return false;
  }
  // What this copy's calls wrote of the app's before it held the process, beside other copies.
  cdv_copies::runHeldWrites();

  if (isDataCollectionDefaultEnabled()) {
    cdv_platform::UserInfo info = diagnosticsInfo(kCDVConfigTypeCore);
    info.setObject(kCDVAppDiagnosticsCDVAppKey, shared_from_this());
    postDiagnostics(std::move(info));
  }
  if (isDefaultApp_) {
    auto analytics = std::dynamic_pointer_cast<CDVAnalyticsStarter>(
        platform::ClassRegistry::classNamed(kCDVAnalyticsClassName));
    if (analytics) {
      analytics->startWithConfiguration(CDVConfiguration::sharedInstance()->analyticsConfiguration(),
                                        options_);
    }
  }
  return true;
}

namespace {

// Measurement files every bundle it uploads under the app's bundle identifier and keeps its
// events until there is one, so an app without one records but never uploads: say so at
// configuration, naming what is missing and where it was looked for. False when it has none.
bool checkAppHasBundleIdentifier(const std::optional<std::string>& expected) {
  const std::optional<std::string> actual = CDVApp::actualBundleID();
  if (actual && !actual->empty()) return true;
  std::optional<std::string> where = CDVBundleUtil::missingMainBundleReason();
  if (!where) {
    const auto bundle = platform::Bundle::main();
    where = "'" + platform::files::join(bundle->bundlePath(), "Info.plist") + "' is missing or has no CFBundleIdentifier";
    if (const platform::Error* unread = bundle->infoError()) {
      where = platform::files::outOfDescriptors(*unread, "to read the main bundle")
                  .value_or("its Info.plist could not be read: " + unread->description + ".");
      where->pop_back();  // the sentence goes on
    }
  }
  const std::string should = expected && !expected->empty()
                                 ? "; it must be '" + *expected + "', the BUNDLE_ID of " + kServiceInfoFileName + "." +
                                       kServiceInfoFileType
                                 : std::string();
  CDVLogError(kCDVLoggerCore, "I-COR000023",
              "The app has no bundle identifier: %@. Analytics keeps the events it records but cannot "
              "upload them until the app has one%@.",
              *where, should);
  return false;
}

}  // namespace

void CDVApp::checkExpectedBundleID() const {
  const std::optional<std::string> expected = expectedBundleID();
  // Without a bundle identifier there is none to be inconsistent: the missing one was named.
  if (!checkAppHasBundleIdentifier(expected)) return;
  if (expected && !CDVBundleUtil::hasBundleIdentifierPrefix(*expected, CDVBundleUtil::relevantBundles())) {
    CDVLogError(kCDVLoggerCore, "I-COR000008",
                "The project's Bundle ID is inconsistent with either the Bundle ID in '%@.%@', or "
                "the Bundle ID in the options if you are using a customized options. To ensure "
                "that everything can be configured correctly, you may need to make the Bundle IDs "
                "consistent. To continue with this plist file, you may change your app's bundle "
                "identifier to '%@'. Or you can download a new configuration file that matches "
                "your bundle identifier from %@ and replace the current one.",
                kServiceInfoFileName, kServiceInfoFileType, *expected, kCDVConsoleURL);
  }
}

bool CDVApp::isAppIDValid() const {
  if (validateAppID(options_->ombrixAppID())) return true;
  const std::optional<std::string> expected = expectedBundleID();
  CDVLogError(kCDVLoggerCore, "I-COR000009",
              "The OMBRIX_APP_ID either in the plist file '%@.%@' or the one set in the customized "
              "options is invalid. If you are using the plist file, use the iOS version of bundle "
              "identifier to download the file, and do not manually edit the OMBRIX_APP_ID. You "
              "may change your app's bundle identifier to '%@'. Or you can download a new "
              "configuration file that matches your bundle identifier from %@ and replace the "
              "current one.",
              kServiceInfoFileName, kServiceInfoFileType,
              expected ? platform::FormatArg(*expected) : platform::FormatArg(nullptr),
              kCDVConsoleURL);
  const std::optional<std::string> appID = options_->ombrixAppID();
  CDVLogError(kCDVLoggerCore, "I-COR000024",
              "%@; an app id has the form 1:<project number>:ios:<hexadecimal fingerprint>, for "
              "example 1:123456789:ios:abc123.",
              appID ? "The OMBRIX_APP_ID '" + *appID + "' is refused" : std::string("There is no OMBRIX_APP_ID"));
  return false;
}

// ---- lookup ----

// A child forked from the process that configured it reads the default app; where there is none it
// is refused before the error line, whose logger set-up reads the defaults under locks a parent's
// thread may have held at the fork.
std::shared_ptr<CDVApp> CDVApp::defaultApp() {
  std::shared_ptr<CDVApp> app = currentDefaultApp();
  if (!app && !CDVForkedChild::refusesWithoutClaim(__func__)) {
    CDVLogError(kCDVLoggerCore, "I-COR000003",
                "The default Cindervale app has not yet been configured. Add `[CDVApp configure];` "
                "(`CindervaleApp.configure()` in Swift) to your application initialization. Read "
                "more: %@.",
                kCDVSetupDocumentationURL);
  }
  return app;
}

bool CDVApp::isDefaultAppConfigured() { return currentDefaultApp() != nullptr; }

// In a child forked from the process that configured them, the apps are not looked up by name:
// the registry's lock may have been held by one of that process's threads at the fork.
std::shared_ptr<CDVApp> CDVApp::appNamed(const std::string& name) {
  if (CDVForkedChild::refusesWithoutClaim(__func__)) return nullptr;
  {
    RegistryHold hold;
    if (gAllApps) {
      auto found = gAllApps->find(name);
      if (found != gAllApps->end()) return found->second;
    }
  }
  CDVLogError(kCDVLoggerCore, "I-COR000004", "App with name %@ does not exist.", name);
  return nullptr;
}

std::optional<CDVApp::AppMap> CDVApp::allApps() {
  if (CDVForkedChild::refusesWithoutClaim(__func__)) return std::nullopt;
  std::optional<AppMap> apps;
  {
    RegistryHold hold;
    apps = gAllApps;
  }
  if (!apps) CDVLogError(kCDVLoggerCore, "I-COR000005", "No app has been configured yet.");
  return apps;
}

void CDVApp::resetApps() {
  if (CDVForkedChild::refuses(__func__)) return;
  RegistryHold hold;
  setDefaultApp(nullptr);
  gAllApps.reset();
  gLibraryVersions.reset();
}

void CDVApp::deleteApp(const std::function<void(bool success)>& completion) {
  if (CDVForkedChild::refuses(__func__)) {
    if (completion) completion(false);
    return;
  }
  withRegistryLock([&] {
    // Only this very app is removed: a handle of an app deleted earlier must not remove a
    // newer app configured under the same name.
    const bool registered =
        gAllApps && gAllApps->count(name_) != 0 && gAllApps->at(name_).get() == this;
    if (!registered) {
      CDVLogError(kCDVLoggerCore, "I-COR000007", "App does not exist.");
      if (completion) completion(false);
      return;
    }
    CDVLogDebug(kCDVLoggerCore, "I-COR000006", "Deleting app named %@", name_);
    if (auto currentContainer = container()) currentContainer->removeAllCachedInstances();
    gAllApps->erase(name_);
    clearDataCollectionSwitchFromUserDefaults();
    if (name_ == kCDVDefaultAppName) setDefaultApp(nullptr);
    cdv_platform::UserInfo info;
    info.set(kCDVAppNameKey, platform::Value(name_));
    cdv_platform::postNotification(kCDVAppDeleteNotification, platform::Value::object(classObject()), info);
    if (completion) completion(true);
  });
}

std::shared_ptr<CDVComponentContainer> CDVApp::container() const {
  std::lock_guard lock(containerMutex_);
  return container_;
}

void CDVApp::setContainer(std::shared_ptr<CDVComponentContainer> container) {
  std::lock_guard lock(containerMutex_);
  container_ = std::move(container);
}

std::string CDVApp::description() const {
  return platform::format("<CDVApp %@ default:%d>", name_, isDefaultApp_);
}

// ---- libraries ----

void CDVApp::registerLibrary(const std::optional<std::string>& name,
                             const std::optional<std::string>& version) {
  const bool valid = name && version && consistsOf(*name, "-_.") && consistsOf(*version, "-_.");
  if (!valid) {
    CDVLogError(kCDVLoggerCore, "I-COR000027",
                "The library name (%@) or version number (%@) contain invalid characters. Only "
                "alphanumeric, dash, underscore and period characters are allowed.",
                name ? platform::FormatArg(*name) : platform::FormatArg(nullptr),
                version ? platform::FormatArg(*version) : platform::FormatArg(nullptr));
    return;
  }
  RegistryHold hold;
  if (!gLibraryVersions) gLibraryVersions.emplace();
  (*gLibraryVersions)[*name] = *version;
}

void CDVApp::registerInternalLibrary(const platform::ClassRef& library, const std::string& name,
                                     const std::string& version) {
  auto libraryClass = std::dynamic_pointer_cast<const CDVLibrary>(library);
  if (!libraryClass) {
    throw platform::Exception(
        platform::kInvalidArgumentException,
        platform::format("Class %@ attempted to register components, but it does not conform to "
                         "`CDVLibrary or provide a `componentsToRegister:` method.",
                         library ? platform::FormatArg(library->className())
                                 : platform::FormatArg(nullptr)));
  }
  CDVComponentContainer::registerAsComponentRegistrant(libraryClass);
  if (libraryClass->respondsToConfigureWithApp()) {
    RegistryHold hold;
    if (std::find(gConfigurableLibraries.begin(), gConfigurableLibraries.end(), libraryClass) ==
        gConfigurableLibraries.end()) {
      gConfigurableLibraries.push_back(libraryClass);
    }
  }
  registerLibrary(name, version);
}

std::string CDVApp::cindervaleUserAgent() {
  std::vector<std::string> entries;
  {
    RegistryHold hold;
    if (gLibraryVersions) {
      for (const auto& [name, version] : *gLibraryVersions) entries.push_back(name + "/" + version);
    }
  }
  std::sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return platform::text::localizedCaseInsensitiveCompare(a, b) == platform::text::Ordering::Ascending;
  });
  std::string agent;
  for (const auto& entry : entries) {
    if (!agent.empty()) agent += ' ';
    agent += entry;
  }
  return agent;
}

// ---- validation ----

bool CDVApp::isValidAppName(const std::string& name) { return consistsOf(name, "-_"); }

bool CDVApp::validateAppID(const std::optional<std::string>& appID) {
  if (!appID || appID->empty()) return false;
  Scanner scanner(*appID);
  std::optional<std::string> version = scanner.scanDecimalDigits();
  if (!version) return false;
  if (!scanner.scanString(":")) return false;
  if (*version != kSupportedAppIDVersion) {
    CDVLogInfo(kCDVLoggerCore, "I-COR000010", "Unknown OMBRIX_APP_ID version: %@", *version);
    return true;
  }
  return validateAppIDFormat(*appID, *version) && validateAppIDFingerprint(*appID, *version);
}

bool CDVApp::validateAppIDFormat(const std::string& appID, const std::string& version) {
  if (appID.empty() || version.empty()) return false;
  Scanner scanner(appID);
  if (!scanner.scanString(version)) return false;
  if (!scanner.scanString(":")) return false;
  if (!scanner.scanInteger()) return false;  // project number
  if (!scanner.scanString(":")) return false;
  std::optional<std::string> platformName = scanner.scanUpTo(':');
  if (!platformName || *platformName != "ios") return false;
  if (!scanner.scanString(":")) return false;
  if (!scanner.scanHex()) return false;  // fingerprint
  return scanner.atEnd();
}

bool CDVApp::validateAppIDFingerprint(const std::string& appID, const std::string& version) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t colon = appID.find(':', start);
    parts.push_back(appID.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() != 4) return false;
  if (parts[3].empty()) return false;
  Scanner fingerprint(parts[3]);
  if (!fingerprint.scanHex()) return false;
  return version == kSupportedAppIDVersion;
}

std::optional<std::string> CDVApp::actualBundleID() { return cdv_platform::mainBundleIdentifier(); }

// ---- errors ----

platform::Error CDVApp::errorForMissingOptions() {
  const std::string description =
      "Unable to parse OmbrixService-Info.plist in order to configure services.";
  return platform::Error(
      kCindervaleCoreErrorDomain, -100, description,
      platform::Value::dictionary(
          {{"NSLocalizedDescription", description},
           {"NSLocalizedRecoverySuggestion",
            "Check formatting and location of OmbrixService-Info.plist."}}));
}

platform::Error CDVApp::errorForInvalidAppID() {
  const std::string description = "Unable to validate Ombrix App ID";
  return platform::Error(
      kCindervaleCoreErrorDomain, -101, description,
      platform::Value::dictionary(
          {{"NSLocalizedDescription", description},
           {"NSLocalizedRecoverySuggestion",
            "Check formatting and location of OmbrixService-Info.plist or OmbrixAppID set in the "
            "customized options."}}));
}

platform::Error CDVApp::errorForSubspecConfigurationFailureWithDomain(const std::string& domain,
                                                                      std::int64_t code,
                                                                      const std::string& service,
                                                                      const std::string& reason) {
  const std::string description = platform::format("Configuration failed for service %@.", service);
  return platform::Error(domain, code, description,
                         platform::Value::dictionary({{"NSLocalizedDescription", description},
                                                      {"NSLocalizedFailureReason", reason}}));
}

// ---- data collection ----

std::string CDVApp::dataCollectionDefaultsKey() const {
  return platform::format(kCDVGlobalAppDataCollectionEnabledDefaultsKeyFormat, name_);
}

std::optional<bool> CDVApp::readDataCollectionSwitchFromUserDefaultsForApp(const CDVApp& app) {
  const platform::Value value = cdv_platform::defaultsObject(app.dataCollectionDefaultsKey());
  if (!value.isNumber()) return std::nullopt;
  return value.boolValue();
}

std::optional<bool> CDVApp::readDataCollectionSwitchFromPlist() {
  std::lock_guard lock(gPlistSwitchMutex);
  if (!gPlistSwitchRead) {
    const auto bundle = platform::Bundle::main();
    const platform::Value value = bundle->objectForInfoDictionaryKey(kCDVGlobalAppDataCollectionEnabledPlistKey);
    gPlistSwitch = value.isNumber() ? value.boolValue() : std::nullopt;
    // An Info.plist that could not be read now (no descriptor free, say) is read again next time.
    gPlistSwitchRead = bundle->infoError() == nullptr;
  }
  return gPlistSwitch;
}

bool CDVApp::isDataCollectionDefaultEnabled() const {
  if (CDVForkedChild::refusesWithoutClaim(__func__)) return false;  // nothing is collected there
  if (std::optional<bool> fromDefaults = readDataCollectionSwitchFromUserDefaultsForApp(*this)) {
    return *fromDefaults;
  }
  return readDataCollectionSwitchFromPlist().value_or(true);
}

void CDVApp::setDataCollectionDefaultEnabled(bool dataCollectionDefaultEnabled) {
  if (CDVForkedChild::refuses(__func__)) return;
  cdv_platform::defaultsSet(dataCollectionDefaultsKey(), platform::Value(dataCollectionDefaultEnabled));
  if (isDefaultApp_ && !options_->isAnalyticsCollectionExpicitlySet()) {
    CDVAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(
        dataCollectionDefaultEnabled, false);
  }
}

void CDVApp::clearDataCollectionSwitchFromUserDefaults() {
  cdv_platform::defaultsRemove(dataCollectionDefaultsKey());
}

void CDVApp::sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                                     const std::optional<platform::Error>& error) {
  if (!isDataCollectionDefaultEnabled()) return;
  cdv_platform::UserInfo info = diagnosticsInfo(kCDVConfigTypeSDK);
  info.set(kCDVAppDiagnosticsSDKNameKey, platform::Value(serviceName));
  info.set(kCDVAppDiagnosticsSDKVersionKey, platform::Value(version));
  info.setObject(kCDVAppDiagnosticsCDVAppKey, shared_from_this());
  if (error) info.setObject(kCDVAppDiagnosticsErrorKey, std::make_shared<platform::Error>(*error));
  postDiagnostics(std::move(info));
}

// ---- tests ----

std::mutex& CDVApp::defaultAppLockForTesting() { return gDefaultAppMutex; }

std::recursive_mutex& CDVApp::registryLockForTesting() { return gRegistryMutex; }

bool CDVApp::forkWaitsForRegistryForTesting() { return gForksWaitingForRegistry.load() > 0; }

void CDVApp::resetForTesting() {
  {
    RegistryHold hold;
    setDefaultApp(nullptr);
    gAllApps.reset();
    gLibraryVersions.reset();
    gConfigurableLibraries.clear();
  }
  {
    std::lock_guard lock(gPlistSwitchMutex);
    gPlistSwitchRead = false;
    gPlistSwitch.reset();
  }
  CDVComponentContainer::resetRegistrantsForTesting();
  CDVOptions::resetDefaultOptions();
  CDVOptions::resetClassInitializationForTesting();
  CDVConfiguration::resetSharedInstancesForTesting();
}
