#include "Diagnostics/CDVDiagnostics.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sys/utsname.h>
#include <utility>
#include <vector>

#include "Core/Private/CDVCopies.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVLogger.h"
#include "dispatch/Clock.h"
#include "dispatch/Random.h"
#include "foundation/Bundle.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Date.h"
#include "foundation/Files.h"
#include "foundation/Format.h"
#include "foundation/Immortal.h"
#include "foundation/Sandbox.h"
#include "foundation/Text.h"
#include "obx/OBXAppEnvironmentUtil.h"
#include "proto/LMTPBMessages.h"
#include "proto/NANOAccessors.h"

namespace {

// The class-wide lock: the same thread takes it again inside (installString reaches
// filePathURLWithName and writeString), so it is re-entrant.
std::recursive_mutex& classLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Process-wide state, under gStateLock.
std::mutex gStateLock;
platform::NotificationCenter::ObserverToken gObserver = 0;
constinit platform::Immortal<std::weak_ptr<CDVLumtraceLogger>> gWiredLoggerStorage;
constinit std::weak_ptr<CDVLumtraceLogger>& gWiredLogger = *gWiredLoggerStorage;
constinit platform::Immortal<std::shared_ptr<CDVDiagnosticsDateFileStorage>> gHeartbeatStorageStorage;
constinit std::shared_ptr<CDVDiagnosticsDateFileStorage>& gHeartbeatStorage = *gHeartbeatStorageStorage;
bool gHeartbeatStorageMade = false;
constinit platform::Immortal<std::optional<std::string>> gDeviceModelStorage;
constinit std::optional<std::string>& gDeviceModel = *gDeviceModelStorage;

// Service names of the SDK family and their numbers in the reports.
const std::map<std::string, int32_t>& serviceTable() {
  static const std::map<std::string, int32_t>& table = *new std::map<std::string, int32_t>{
      {"Core", 1},          {"Analytics", 2},         {"Auth", 3},
      {"Crash", 4},         {"Database", 5},          {"RemoteConfig", 6},
      {"Storage", 7},       {"Performance", 8},       {"ABTesting", 9},
      {"Quorrel", 10},      {"Veltrix", 11},          {"Messaging", 12},
      {"Functions", 13},    {"Links", 14},            {"Invites", 15},
      {"AppIndexing", 16},  {"Ads", 17},              {"Predictions", 18},
      {"MLVision", 19},     {"MLModelInterpreter", 20}, {"InAppMessaging", 21},
      {"AppDistribution", 22},
  };
  return table;
}

// The classes whose presence reveals an installed service, in report order.
struct ServiceProbe {
  const char* service;
  std::vector<const char*> classNames;
};
const std::vector<ServiceProbe>& serviceProbes() {
  static const std::vector<ServiceProbe>& probes = *new std::vector<ServiceProbe>{
      {"Core", {"CDVApp"}},
      {"Analytics", {"CDVAnalytics"}},
      {"Auth", {"CDVAuth"}},
      {"Crash", {"CDVCrash"}},
      {"Database", {"CDVDatabase"}},
      {"RemoteConfig", {"CDVRemoteConfig"}},
      {"Storage", {"CDVStorage"}},
      {"Performance", {"CDVPerformance"}},
      {"ABTesting", {"CDVExperimentController"}},
      {"Quorrel", {"CDVQuorrel"}},
      {"Veltrix", {"CDVVeltrix"}},
      {"Messaging", {"CDVMessaging"}},
      {"Functions", {"CDVFunctions"}},
      {"Links", {"CDVLinks"}},
      {"Invites", {"CDVInvites", "CDVLinks"}},
      {"AppIndexing", {"CDVAppIndexing"}},
      {"Ads", {"CDVAdsLoader"}},
      {"Predictions", {"CDVPredictions"}},
      {"MLVision", {"CDVVision"}},
      {"MLModelInterpreter", {"CDVModelInterpreter"}},
      {"InAppMessaging", {"CDVInAppMessaging"}},
      {"AppDistribution", {"CDVAppDistribution"}},
  };
  return probes;
}

// Images in system locations: the three locations of the device's operating system, and the
// shared-library directories and kernel-provided images of this one.
bool isSystemImage(const std::string& path) {
  for (const char* part : {"System/Library", "Developer/Library", "usr/lib"}) {
    if (path.find(part) != std::string::npos) return true;
  }
  if (path.rfind("/lib/", 0) == 0 || path.rfind("/lib64/", 0) == 0 || path.rfind("/lib32/", 0) == 0) return true;
  return path.find('/') == std::string::npos && !path.empty();  // linux-vdso.so.1 and the like
}

std::string newUUIDString() {
  uint8_t bytes[16];
  platform::Random::current()->fillBytes(bytes, sizeof bytes);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  static const char* kHex = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}

std::shared_ptr<LMTPBLogEvent> eventWithConfiguration(const CDVPBICoreConfiguration& config) {
  auto event = LMTPBLogEvent::initWithMessageInfo(nullptr);
  std::optional<std::vector<uint8_t>> payload = config.protoBuffer();
  if (event && payload) NANOSetBytes(*event, LMTPBLogEventSlot::payload, std::span<const uint8_t>(*payload));
  return event;
}

}  // namespace

// ---- Observation -------------------------------------------------------------------------------

// Linked in with the library whether or not the host names anything here (the build asks the
// linker for this symbol): configuring an app then loads the reporter. Installs the loader once:
// when the program loads (below), or earlier, when the core asks for it as it configures an app
// from a host's static initialiser that ran before this file's.
extern "C" void CDVDiagnosticsLinkAnchor() {
  [[maybe_unused]] static const bool installed = (CDVApp::setDiagnosticsLoader(&CDVDiagnostics::load), true);
}

namespace {
[[maybe_unused]] const bool gLoaderInstalled = (CDVDiagnosticsLinkAnchor(), true);
}  // namespace

void CDVDiagnostics::load() {
  std::lock_guard lock(gStateLock);
  if (gObserver != 0) return;
  gObserver = platform::NotificationCenter::defaultCenter().addObserver(
      kCDVAppDiagnosticsNotification, platform::Value(),
      [](const platform::Notification& notification) { CDVDiagnostics::logDiagnostics(notification); });
}

std::shared_ptr<CDVDiagnostics> CDVDiagnostics::delegateInstance() {
  static const std::shared_ptr<CDVDiagnostics>& instance = *new std::shared_ptr<CDVDiagnostics>(std::make_shared<CDVDiagnostics>());
  return instance;
}

void CDVDiagnostics::resetForTesting() {
  std::lock_guard lock(gStateLock);
  if (gObserver != 0) platform::NotificationCenter::defaultCenter().removeObserver(gObserver);
  gObserver = 0;
  gWiredLogger.reset();
  gHeartbeatStorage.reset();
  gHeartbeatStorageMade = false;
}

void CDVDiagnostics::logDiagnostics(const platform::Notification& notification) {
  if (CDVForkedChild::refuses("diagnostics")) return;
  std::shared_ptr<CDVLumtraceLogger> logger = CDVLumtraceLogger::sharedInstance();
  {
    // Once per shared client: this reporter becomes its delegate and it posts to the endpoint.
    std::lock_guard lock(gStateLock);
    if (gWiredLogger.lock() != logger) {
      logger->setDelegate(delegateInstance());
      logger->setServerURL(CDVLumtraceLogger::logUploadEndpoint());
      gWiredLogger = logger;
    }
  }
  logDiagnostics(notification, logger);
}

void CDVDiagnostics::logDiagnostics(const platform::Notification& notification,
                                    const std::shared_ptr<CDVLumtraceLogger>& logger) {
  std::lock_guard lock(classLock());
  auto config = CDVPBICoreConfiguration::initWithMessageInfo(nullptr);
  if (!config || !logger) return;
  const platform::Value& userInfo = notification.userInfo;
  std::shared_ptr<CDVApp> app = userInfo[kCDVAppDiagnosticsCDVAppKey].objectAs<CDVApp>();
  if (app && !app->isDataCollectionDefaultEnabled()) return;

  const std::optional<int64_t> configType = userInfo[kCDVAppDiagnosticsConfigurationTypeKey].int64Value();
  if (configType && (*configType == 1 || *configType == 2)) {
    NANOSetInt32(*config, CDVPBICoreConfigurationSlot::configuration_type, static_cast<int32_t>(*configType));
  }
  const platform::Value& sdkName = userInfo[kCDVAppDiagnosticsSDKNameKey];
  if (!sdkName.isNull()) {
    NANOSetInt32(*config, CDVPBICoreConfigurationSlot::service_type,
                 mapFromServiceStringToTypeEnum(sdkName.stringValue()));
  }
  if (std::optional<std::string> version = userInfo[kCDVAppDiagnosticsSDKVersionKey].stringValue()) {
    NANOSetString(*config, CDVPBICoreConfigurationSlot::reporting_sdk_version, *version);
  }
  if (std::shared_ptr<platform::Error> error = userInfo[kCDVAppDiagnosticsErrorKey].objectAs<platform::Error>()) {
    auto errorInfo = CDVPBErrorInfo::initWithMessageInfo(nullptr);
    NANOSetBool(*errorInfo, CDVPBErrorInfoSlot::error_reported, true);
    NANOSetInt32(*errorInfo, CDVPBErrorInfoSlot::error_code, static_cast<int32_t>(error->code));
    NANOSetString(*errorInfo, CDVPBErrorInfoSlot::error_domain, error->domain);
    NANOSetMessage(*config, CDVPBICoreConfigurationSlot::error_info, errorInfo.get());
  }
  populateLogProtoWithCommonInfo(*config, app);
  populateLogProtoWithInstalledServices(*config);
  populateLogProtoWithNumberOfLinkedFrameworks(*config);
  populateLogProtoWithInfoPlistValues(*config);
  sendLogsToLumtrace(*config, *logger, nullptr);
}

void CDVDiagnostics::sendLogsToLumtrace(const CDVPBICoreConfiguration& config, CDVLumtraceLogger& logger,
                                        CDVLumtraceLogger::CompletionHandler completion) {
  std::shared_ptr<LMTPBLogEvent> event = eventWithConfiguration(config);
  if (!event) return;
  std::lock_guard lock(classLock());
  logger.logEvent(*event, kCDVDiagnosticsLogSource, kCDVDiagnosticsAccount);
  logger.flushWithCompletionHandler(std::move(completion));
}

// ---- Report contents ---------------------------------------------------------------------------

void CDVDiagnostics::populateLogProtoWithCommonInfo(CDVPBICoreConfiguration& config,
                                                    const std::shared_ptr<CDVApp>& app) {
  using Slot = CDVPBICoreConfigurationSlot;
  NANOSetInt32(config, Slot::report_kind, 2);
  std::optional<CDVApp::AppMap> apps = CDVApp::allApps();
  NANOSetInt32(config, Slot::configured_app_count, apps ? static_cast<int32_t>(apps->size()) : 0);
  std::shared_ptr<CDVOptions> options = app ? app->options() : nullptr;
  if (options) {
    std::optional<std::string> appID = options->ombrixAppID();
    if (appID && !appID->empty()) NANOSetString(config, Slot::app_id, *appID);
    std::optional<std::string> bundleID = options->bundleID();
    if (bundleID && !bundleID->empty()) NANOSetString(config, Slot::bundle_id, *bundleID);
    NANOSetBool(config, Slot::using_options_from_default_file, options->usingOptionsFromDefaultPlist());
    NANOSetString(config, Slot::sdk_version, options->libraryVersionID());
  }
  std::optional<std::string> install = installString();
  if (install && !install->empty()) NANOSetString(config, Slot::install_identifier, *install);
  const std::string model = deviceModel();
  if (!model.empty()) NANOSetString(config, Slot::device_model, model);
  const std::string osVersion = OBXAppEnvironmentUtil::systemVersion();
  if (!osVersion.empty()) NANOSetString(config, Slot::os_version, osVersion);
  NANOSetBool(config, Slot::constant_flag, false);
  NANOSetInt32(config, Slot::constant_kind, 1);
  NANOSetBool(config, Slot::installed_from_app_store, OBXAppEnvironmentUtil::isFromAppStore());
  if (app) {
    const std::string userAgent = CDVApp::cindervaleUserAgent();
    if (!userAgent.empty()) NANOSetString(config, Slot::user_agent, userAgent);
  }
}

void CDVDiagnostics::populateLogProtoWithInstalledServices(CDVPBICoreConfiguration& config) {
  platform::Array installed;
  for (const ServiceProbe& probe : serviceProbes()) {
    bool present = true;
    for (const char* className : probe.classNames) present = present && platform::ClassRegistry::hasClassNamed(className);
    if (present) installed.push_back(platform::Value(static_cast<int64_t>(mapFromServiceStringToTypeEnum(probe.service))));
  }
  NANOSetArray(config, CDVPBICoreConfigurationSlot::sdk_service_installed, installed);
}

void CDVDiagnostics::populateLogProtoWithNumberOfLinkedFrameworks(CDVPBICoreConfiguration& config) {
  int32_t count = -1;
  cdv_copies::forEachLoadedObject([&count](const char* name) {
    std::string path = name;
    if (path.empty()) {
      // The main executable.
      char buffer[4096];
      const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
      path = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string("/main");
    }
    if (!isSystemImage(path)) ++count;
  });
  NANOSetInt32(config, CDVPBICoreConfigurationSlot::dynamic_framework_count, count);
}

void CDVDiagnostics::populateLogProtoWithInfoPlistValues(CDVPBICoreConfiguration& config) {
  using Slot = CDVPBICoreConfigurationSlot;
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  const std::string xcodeBuild = bundle->objectForInfoDictionaryKey("DTXcodeBuild").stringValue().value_or("");
  const std::string sdkBuild = bundle->objectForInfoDictionaryKey("DTSDKBuild").stringValue().value_or("");
  NANOSetString(config, Slot::toolchain_build, platform::format("%@-%@", xcodeBuild, sdkBuild));
  if (std::optional<std::string> minimum = bundle->objectForInfoDictionaryKey("MinimumOSVersion").stringValue()) {
    NANOSetString(config, Slot::min_supported_os_version, *minimum);
  }
  const platform::Value& proxy = bundle->objectForInfoDictionaryKey("CindervaleAppDelegateProxyEnabled");
  bool proxyEnabled = true;
  if (proxy.isNumber()) proxyEnabled = proxy.boolValue().value_or(true);
  NANOSetBool(config, Slot::app_delegate_proxy_enabled, proxyEnabled);
}

int32_t CDVDiagnostics::mapFromServiceStringToTypeEnum(const std::optional<std::string>& service) {
  if (!service) return 0;
  auto found = serviceTable().find(*service);
  return found == serviceTable().end() ? 0 : found->second;
}

std::string CDVDiagnostics::deviceModel() {
  std::lock_guard lock(gStateLock);
  if (!gDeviceModel) {
    struct utsname info {};
    if (::uname(&info) != 0) return "";
    gDeviceModel = std::string(info.machine);
  }
  return *gDeviceModel;
}

// ---- State files -------------------------------------------------------------------------------

std::optional<std::string> CDVDiagnostics::installString() {
  std::lock_guard lock(classLock());
  std::optional<std::string> url = filePathURLWithName(kCDVDiagnosticsInstallFileName);
  if (!url) return std::nullopt;
  std::optional<std::string> stored = stringAtURL(*url);
  if (stored && !stored->empty()) return stored;
  const std::string identifier = newUUIDString();
  if (!writeString(identifier, *url)) return std::nullopt;
  return identifier;
}

std::optional<std::string> CDVDiagnostics::filePathURLWithName(const std::string& name) {
  std::lock_guard lock(classLock());
  platform::Error error;
  const std::string support = platform::sandbox::folder(&platform::sandbox::applicationSupportDirectory, &error);
  if (support.empty()) {
    CDVLogWarning(kCDVLoggerCore, "I-COR100001", "Unable to create internal state storage: %@", error.description);
    return std::nullopt;
  }
  // Made when missing, checked and closed to others when found (both levels are the SDK's own).
  const std::string relative = "Ombrix/CDVApp";
  if (!platform::files::createOwnDirectories(support, relative, &error)) {
    CDVLogWarning(kCDVLoggerCore, "I-COR100001", "Unable to create internal state storage: %@", error.fullDescription());
    return std::nullopt;
  }
  return platform::files::join(platform::files::join(support, relative), name);
}

std::optional<std::string> CDVDiagnostics::stringAtURL(const std::string& fileURL) {
  std::optional<platform::Bytes> contents = platform::files::readFile(fileURL);
  if (!contents) return std::nullopt;
  std::string text(contents->begin(), contents->end());
  if (!platform::text::isValidUTF8(text)) return std::nullopt;
  return text;
}

bool CDVDiagnostics::writeString(const std::string& text, const std::string& fileURL) {
  std::lock_guard lock(classLock());
  platform::Error error;
  if (!platform::files::writeFileAtomically(fileURL, text, &error)) {
    CDVLogWarning(kCDVLoggerCore, "I-COR100004", "Unable to persist internal state: %@", error.fullDescription());
    return false;
  }
  if (!platform::files::setExcludedFromBackup(fileURL, true, &error)) {
    CDVLogWarning(kCDVLoggerCore, "I-COR100003", "Unable to update internal resource: %@", error.fullDescription());
  }
  return true;
}

std::shared_ptr<CDVDiagnosticsDateFileStorage> CDVDiagnosticsDateFileStorage::initWithFileURL(
    const std::optional<std::string>& fileURL) {
  if (!fileURL || fileURL->empty()) return nullptr;
  return std::make_shared<CDVDiagnosticsDateFileStorage>(*fileURL);
}

std::optional<double> CDVDiagnosticsDateFileStorage::date() const {
  std::optional<std::string> text = CDVDiagnostics::stringAtURL(fileURL_);
  if (!text || text->empty()) return std::nullopt;
  // Read as the platform reads a decimal number: the leading number, 0 when there is none.
  const double sinceReference = platform::text::leadingDouble(*text);
  return sinceReference + platform::kTimeIntervalSince1970ToReferenceDate;
}

bool CDVDiagnosticsDateFileStorage::setDate(std::optional<double> date, platform::Error* error) {
  const std::string text =
      date ? platform::format("%f", *date - platform::kTimeIntervalSince1970ToReferenceDate) : std::string();
  return platform::files::writeFileAtomically(fileURL_, text, error);
}

// ---- Heartbeat ---------------------------------------------------------------------------------

void CDVDiagnostics::lumtraceLoggerWillSendLogs(CDVLumtraceLogger& logger) {
  std::shared_ptr<CDVApp> app;
  if (CDVApp::isDefaultAppConfigured()) app = CDVApp::defaultApp();
  if (!app) {
    std::optional<CDVApp::AppMap> apps = CDVApp::allApps();
    if (apps && !apps->empty()) app = apps->begin()->second;
  }
  if (!app) return;
  if (std::shared_ptr<CDVDiagnosticsDateFileStorage> storage = heartbeatDateStorage()) {
    logHeartbeatIfNeededWithLogger(logger, app, *storage);
  }
}

void CDVDiagnostics::logHeartbeatIfNeededWithLogger(CDVLumtraceLogger& logger, const std::shared_ptr<CDVApp>& app,
                                                    CDVDiagnosticsDateFileStorage& storage) {
  if (!app) return;
  const double now = platform::Clock::current()->now();
  const std::optional<double> last = storage.date();
  if (last && isDateInSameDayOrBeforeThan(now, *last)) return;
  platform::Error error;
  if (!storage.setDate(now, &error)) {
    CDVLogWarning(kCDVLoggerCore, "I-COR100004", "Unable to persist internal state: %@", error.fullDescription());
  }
  logHeartbeatWithLogger(logger, app);
}

bool CDVDiagnostics::isDateInSameDayOrBeforeThan(double a, double b) {
  if (a < b) return true;
  // A date file may hold any number: dates more than about 3,000 years from 1970 (or not
  // finite) are only compared, never split into calendar days.
  constexpr double kCalendarLimit = 1e11;
  if (!(std::fabs(a) < kCalendarLimit) || !(std::fabs(b) < kCalendarLimit)) return false;
  const platform::TimeZone zone = platform::TimeZone::current();
  const platform::DateComponents dayA = platform::componentsOfDate(a, zone);
  const platform::DateComponents dayB = platform::componentsOfDate(b, zone);
  const bool sameDay = dayA.year == dayB.year && dayA.month == dayB.month && dayA.day == dayB.day;
  return sameDay;
}

void CDVDiagnostics::logHeartbeatWithLogger(CDVLumtraceLogger& logger, const std::shared_ptr<CDVApp>& app) {
  auto config = CDVPBICoreConfiguration::initWithMessageInfo(nullptr);
  if (!config) return;
  populateLogProtoWithCommonInfo(*config, app);
  populateLogProtoWithInstalledServices(*config);
  populateLogProtoWithInfoPlistValues(*config);
  NANOSetInt32(*config, CDVPBICoreConfigurationSlot::service_type, 1);
  NANOSetInt32(*config, CDVPBICoreConfigurationSlot::configuration_type, 1);
  std::shared_ptr<LMTPBLogEvent> event = eventWithConfiguration(*config);
  if (!event) return;
  std::lock_guard lock(classLock());
  logger.logEvent(*event, kCDVDiagnosticsLogSource, kCDVDiagnosticsAccount);
}

std::shared_ptr<CDVDiagnosticsDateFileStorage> CDVDiagnostics::heartbeatDateStorage() {
  {
    std::lock_guard lock(gStateLock);
    if (gHeartbeatStorageMade) return gHeartbeatStorage;
  }
  auto storage = CDVDiagnosticsDateFileStorage::initWithFileURL(filePathURLWithName(kCDVDiagnosticsHeartbeatFileName));
  std::lock_guard lock(gStateLock);
  if (!gHeartbeatStorageMade) {
    gHeartbeatStorage = storage;
    gHeartbeatStorageMade = true;
  }
  return gHeartbeatStorage;
}
