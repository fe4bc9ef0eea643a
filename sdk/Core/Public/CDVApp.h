// The SDK's configured apps and the process-wide registries of the core: apps by name (one of
// them the default app), libraries (for the user agent and for configuring each new app), and
// the per-app data-collection switch.
//
// The host calls CDVApp::configure() once at start-up. Libraries register before that with
// CDVApp::registerInternalLibrary(...): the SDK's own from their link anchors, which run when the
// program loads and which configuration calls first as well, so a host may configure from a
// static initialiser of its own. Every operation here may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Core/Public/CDVComponentContainer.h"
#include "Core/Public/CDVOptions.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Error.h"

inline constexpr const char* kCDVDefaultAppName = "__CDVAPP_DEFAULT";
inline constexpr const char* kCDVAppReadyToConfigureSDKNotification = "CDVAppReadyToConfigureSDKNotification";
inline constexpr const char* kCDVAppDeleteNotification = "CDVAppDeleteNotification";
inline constexpr const char* kCDVAppIsDefaultAppKey = "CDVAppIsDefaultAppKey";
inline constexpr const char* kCDVAppNameKey = "CDVAppNameKey";
inline constexpr const char* kCDVOmbrixAppIDKey = "CDVOmbrixAppIDKey";
inline constexpr const char* kCDVGlobalAppDataCollectionEnabledDefaultsKeyFormat =
    "/ombrix/cindervale/global_data_collection_enabled:%@";
inline constexpr const char* kCDVGlobalAppDataCollectionEnabledPlistKey =
    "CindervaleDataCollectionDefaultEnabled";

// Diagnostics: posted with no object; user info keys below. "ConfigType" is 1 for the core's
// own configuration, 2 for a library's report. "CDVApp" holds the app
// (userInfo["CDVApp"].objectAs<CDVApp>()), "Error" the error
// (userInfo["Error"].objectAs<platform::Error>()). Never posted while the app registry's lock is
// held, so an observer may take locks of its own and then read the registry.
inline constexpr const char* kCDVAppDiagnosticsNotification = "CDVAppDiagnosticsNotification";
inline constexpr const char* kCDVAppDiagnosticsConfigurationTypeKey = "ConfigType";
inline constexpr const char* kCDVAppDiagnosticsErrorKey = "Error";
inline constexpr const char* kCDVAppDiagnosticsCDVAppKey = "CDVApp";
inline constexpr const char* kCDVAppDiagnosticsSDKNameKey = "SDKName";
inline constexpr const char* kCDVAppDiagnosticsSDKVersionKey = "SDKVersion";
inline constexpr std::int64_t kCDVConfigTypeCore = 1;
inline constexpr std::int64_t kCDVConfigTypeSDK = 2;

inline constexpr const char* CDVAuthStateDidChangeInternalNotification =
    "CDVAuthStateDidChangeInternalNotification";
inline constexpr const char* CDVAuthStateDidChangeInternalNotificationAppKey =
    "CDVAuthStateDidChangeInternalNotificationAppKey";
inline constexpr const char* CDVAuthStateDidChangeInternalNotificationTokenKey =
    "CDVAuthStateDidChangeInternalNotificationTokenKey";
inline constexpr const char* CDVAuthStateDidChangeInternalNotificationUIDKey =
    "CDVAuthStateDidChangeInternalNotificationUIDKey";

inline constexpr const char* kCindervaleErrorDomain = "com.cindervale";
inline constexpr const char* kCindervaleConfigErrorDomain = "com.cindervale.config";
inline constexpr const char* kCindervaleCoreErrorDomain = "com.cindervale.core";
inline constexpr const char* kCindervalePerfErrorDomain = "com.cindervale.perf";
inline constexpr const char* kCindervaleStorageErrorDomain = "com.cindervale.storage";

// Service names of the SDK family's libraries, as they report themselves in diagnostics.
inline constexpr const char* kCDVServiceABTesting = "ABTesting";
inline constexpr const char* kCDVServiceAnalytics = "Analytics";
inline constexpr const char* kCDVServiceAuth = "Auth";
inline constexpr const char* kCDVServiceCore = "Core";
inline constexpr const char* kCDVServiceCrash = "Crash";
inline constexpr const char* kCDVServiceDatabase = "Database";
inline constexpr const char* kCDVServiceInstanceID = "InstanceID";
inline constexpr const char* kCDVServicePerformance = "Performance";
inline constexpr const char* kCDVServiceQuorrel = "Quorrel";
inline constexpr const char* kCDVServiceRemoteConfig = "RemoteConfig";
inline constexpr const char* kCDVServiceStorage = "Storage";
inline constexpr const char* kCDVServiceVeltrix = "Veltrix";

// Web addresses named in the configuration messages.
inline constexpr const char* kCDVConsoleURL = "https://console.cindervale.ombrix.com/";
inline constexpr const char* kCDVSetupDocumentationURL =
    "https://cindervale.ombrix.com/docs/ios/setup#initialize_cindervale_in_your_app";

class CDVApp : public platform::Object, public std::enable_shared_from_this<CDVApp> {
 public:
  using AppMap = std::map<std::string, std::shared_ptr<CDVApp>>;

  // The class object, named "CDVApp": the object of the registry's notifications
  // (platform::Value::object(CDVApp::classObject()) as the observed sender).
  static platform::ClassRef classObject();

  // Configures the default app from the default options file. Raises platform::Exception
  // (named "com.cindervale.core") when there is none, or when configuring fails.
  static void configure();
  // Configures the default app with `options` (null raises).
  static void configureWithOptions(const std::shared_ptr<CDVOptions>& options);
  // Configures an app under `name` (none or null raises; see the messages in CDVApp.cpp). Raises
  // too, with the sandbox's reason, when the app has no folder for its data.
  static void configureWithName(const std::optional<std::string>& name,
                                const std::shared_ptr<CDVOptions>& options);

  // The default app; null (after logging I-COR000003) when none is configured.
  static std::shared_ptr<CDVApp> defaultApp();
  // The app of that name; null (after logging I-COR000004) when there is none.
  static std::shared_ptr<CDVApp> appNamed(const std::string& name);
  // A copy of all registered apps by name; none (after logging I-COR000005) before the first.
  static std::optional<AppMap> allApps();
  static bool isDefaultAppConfigured();
  // Forgets the default app, all apps and all library versions.
  static void resetApps();

  // Records a library for the user agent. Names and versions may hold only alphanumerics,
  // "-", "_" and "."; others are logged (I-COR000027) and ignored.
  static void registerLibrary(const std::optional<std::string>& name,
                              const std::optional<std::string>& version);
  // Registers a library class: its components join every app created afterwards, its
  // configureWithApp (when it responds to it) is called for every configured app, and its name
  // and version join the user agent. A class that is no CDVLibrary raises
  // platform::Exception (invalid argument).
  static void registerInternalLibrary(const platform::ClassRef& library, const std::string& name,
                                      const std::string& version);
  // Every registered library as "name/version", sorted ignoring case, joined by blanks.
  static std::string cindervaleUserAgent();
  // Run at the start of every configuration, before anything is reported. The diagnostics
  // library installs its reporter's loader here when it is linked in, so that an app's
  // configuration is reported without the host having to load it. Answers the loader replaced
  // (tests take it out and put it back).
  static std::function<void()> setDiagnosticsLoader(std::function<void()> loader);

  static bool validateAppID(const std::optional<std::string>& appID);
  static bool validateAppIDFormat(const std::string& appID, const std::string& version);
  static bool validateAppIDFingerprint(const std::string& appID, const std::string& version);
  static std::optional<std::string> actualBundleID();
  // True when the app name may hold the text (letters, marks and digits of every script,
  // "-" and "_").
  static bool isValidAppName(const std::string& name);

  static platform::Error errorForMissingOptions();
  static platform::Error errorForInvalidAppID();
  static platform::Error errorForSubspecConfigurationFailureWithDomain(const std::string& domain,
                                                                       std::int64_t code,
                                                                       const std::string& service,
                                                                       const std::string& reason);

  static std::optional<bool> readDataCollectionSwitchFromUserDefaultsForApp(const CDVApp& app);
  static std::optional<bool> readDataCollectionSwitchFromPlist();

  // A new, unregistered app: a locked copy of `options` and a container built from the
  // registered libraries.
  static std::shared_ptr<CDVApp> initInstanceWithName(const std::string& name,
                                                      const CDVOptions& options);

  // Checks bundle id and app id, posts the core diagnostics and, for the default app, starts
  // the measurement library. False when the app id is invalid.
  bool configureCore();

  const std::string& name() const { return name_; }
  // A copy of the app's options (locked, like the app's own).
  std::shared_ptr<CDVOptions> options() const { return options_->copy(); }
  bool isDefaultApp() const { return isDefaultApp_; }
  std::shared_ptr<CDVComponentContainer> container() const;
  void setContainer(std::shared_ptr<CDVComponentContainer> container);

  // Removes the app from the registry; calls `completion` with true, or false when the app was
  // not registered.
  void deleteApp(const std::function<void(bool success)>& completion);

  void setDataCollectionDefaultEnabled(bool dataCollectionDefaultEnabled);
  bool isDataCollectionDefaultEnabled() const;
  void clearDataCollectionSwitchFromUserDefaults();

  void checkExpectedBundleID() const;
  bool isAppIDValid() const;
  std::optional<std::string> expectedBundleID() const { return options_->bundleID(); }

  // Lets a library report its configuration result: posts the diagnostics notification
  // ("ConfigType" 2) when the app's data collection is enabled.
  void sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                               const std::optional<platform::Error>& error);

  std::string description() const override;

  // Test support: forgets every process-wide state of the core (apps, libraries, component
  // registrants, default options, cached Info.plist values, the one-time class set-up and the
  // shared configurations).
  static void resetForTesting();
  // Test support: the locks of the default app and of the registry of apps and libraries.
  static std::mutex& defaultAppLockForTesting();
  static std::recursive_mutex& registryLockForTesting();
  // Test support: whether a fork waits for the registry's lock, as it does where the SDK has no
  // owner yet.
  static bool forkWaitsForRegistryForTesting();

  // Use initInstanceWithName.
  struct PrivateTag {};
  CDVApp(PrivateTag, std::string name, std::shared_ptr<CDVOptions> options);

 private:
  static void addAppToAppDictionary(const std::shared_ptr<CDVApp>& app);
  static void sendNotificationsToSDKs(const std::shared_ptr<CDVApp>& app);
  std::string dataCollectionDefaultsKey() const;

  const std::string name_;
  const bool isDefaultApp_;
  const std::shared_ptr<CDVOptions> options_;  // locked; never handed out but to CDVAnalytics
  mutable std::mutex containerMutex_;
  std::shared_ptr<CDVComponentContainer> container_;
};
