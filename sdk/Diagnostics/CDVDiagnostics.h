// The diagnostics reporter: turns every diagnostics notification of the app registry
// (kCDVAppDiagnosticsNotification) into one ICoreConfiguration report, wrapped in a LogEvent of
// log source 137 and account "tolvamere" and handed to the shared log-upload client with an
// immediate send pass. As the client's delegate it adds a heartbeat report with the first send
// pass of every local calendar day.
//
// State files live in "<Application Support>/Ombrix/CDVApp": "CINDERVALE_UNIQUE_INSTALL" (the
// install identifier, an uppercase UUID) and "CINDERVALE_HEARTBEAT_DATE" (the last heartbeat
// as "%f" seconds since 2001-01-01 UTC).
//
// Linking the library is enough: configuring an app calls CDVDiagnostics::load() first (see
// CDVApp::setDiagnosticsLoader). Everything here may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Core/Public/CDVApp.h"
#include "Diagnostics/CDVLumtraceLogger.h"
#include "foundation/Error.h"
#include "foundation/NotificationCenter.h"
#include "proto/CDVPBMessages.h"

inline constexpr int32_t kCDVDiagnosticsLogSource = 137;
inline constexpr const char* kCDVDiagnosticsAccount = "tolvamere";
inline constexpr const char* kCDVDiagnosticsInstallFileName = "CINDERVALE_UNIQUE_INSTALL";
inline constexpr const char* kCDVDiagnosticsHeartbeatFileName = "CINDERVALE_HEARTBEAT_DATE";

// The date of the last heartbeat in a file. Dates are seconds since 1970.
class CDVDiagnosticsDateFileStorage {
 public:
  // None without a file path.
  static std::shared_ptr<CDVDiagnosticsDateFileStorage> initWithFileURL(const std::optional<std::string>& fileURL);
  explicit CDVDiagnosticsDateFileStorage(std::string fileURL) : fileURL_(std::move(fileURL)) {}

  const std::string& fileURL() const { return fileURL_; }
  // None for a missing, unreadable or empty file; text that is no number reads as 2001-01-01.
  std::optional<double> date() const;
  // Writes the date (none: an empty file) atomically; false with the error when that fails.
  bool setDate(std::optional<double> date, platform::Error* error);

 private:
  std::string fileURL_;
};

class CDVDiagnostics : public CDVLumtraceLoggerDelegate {
 public:
  // Starts observing the diagnostics notification (once per process; later calls do nothing).
  static void load();

  static void logDiagnostics(const platform::Notification& notification);
  static void logDiagnostics(const platform::Notification& notification,
                             const std::shared_ptr<CDVLumtraceLogger>& logger);

  static void populateLogProtoWithCommonInfo(CDVPBICoreConfiguration& config, const std::shared_ptr<CDVApp>& app);
  static void populateLogProtoWithInstalledServices(CDVPBICoreConfiguration& config);
  static void populateLogProtoWithNumberOfLinkedFrameworks(CDVPBICoreConfiguration& config);
  static void populateLogProtoWithInfoPlistValues(CDVPBICoreConfiguration& config);

  // The service number of an SDK library's service name; 0 for any other name.
  static int32_t mapFromServiceStringToTypeEnum(const std::optional<std::string>& service);
  static std::string deviceModel();
  static std::optional<std::string> installString();
  static std::optional<std::string> filePathURLWithName(const std::string& name);
  static std::optional<std::string> stringAtURL(const std::string& fileURL);
  static bool writeString(const std::string& text, const std::string& fileURL);

  static void sendLogsToLumtrace(const CDVPBICoreConfiguration& config, CDVLumtraceLogger& logger,
                                 CDVLumtraceLogger::CompletionHandler completion);

  // Heartbeat.
  void lumtraceLoggerWillSendLogs(CDVLumtraceLogger& logger) override;
  static void logHeartbeatIfNeededWithLogger(CDVLumtraceLogger& logger, const std::shared_ptr<CDVApp>& app,
                                             CDVDiagnosticsDateFileStorage& storage);
  static void logHeartbeatWithLogger(CDVLumtraceLogger& logger, const std::shared_ptr<CDVApp>& app);
  // True when `a` falls on the same day as `b` in the device's time zone, or before `b`.
  static bool isDateInSameDayOrBeforeThan(double a, double b);
  static std::shared_ptr<CDVDiagnosticsDateFileStorage> heartbeatDateStorage();

  // The one delegate object handed to the log-upload client.
  static std::shared_ptr<CDVDiagnostics> delegateInstance();

  // Test support: stops observing and forgets the caches (device model excepted), the heartbeat
  // storage and the wiring to the shared client.
  static void resetForTesting();
};
