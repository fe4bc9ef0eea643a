// The SDK's logging front: every SDK log line goes through these functions, which set up the
// vendor logger once (version, debug mode, standard-error echo) and forward to it.
//
//   CDVLogError(kCDVLoggerCore, "I-COR000004", "App with name %@ does not exist.", name);
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "foundation/Format.h"

// Levels: the system log's priorities.
enum CDVLoggerLevel : int {
  CDVLoggerLevelError = 3,
  CDVLoggerLevelWarning = 4,
  CDVLoggerLevelNotice = 5,
  CDVLoggerLevelInfo = 6,
  CDVLoggerLevelDebug = 7,
  CDVLoggerLevelMin = CDVLoggerLevelError,
  CDVLoggerLevelMax = CDVLoggerLevelDebug,
};

// Service tags.
inline constexpr const char* kCDVLoggerCore = "[Cindervale/Core]";
inline constexpr const char* kCDVLoggerABTesting = "[Cindervale/ABTesting]";
inline constexpr const char* kCDVLoggerVeltrix = "[Cindervale/Veltrix]";
inline constexpr const char* kCDVLoggerAnalytics = "[Cindervale/Analytics]";
inline constexpr const char* kCDVLoggerAuth = "[Cindervale/Auth]";
inline constexpr const char* kCDVLoggerCrash = "[Cindervale/Crash]";
inline constexpr const char* kCDVLoggerQuorrel = "[Cindervale/Quorrel]";
inline constexpr const char* kCDVLoggerPerf = "[Cindervale/Performance]";
inline constexpr const char* kCDVLoggerRemoteConfig = "[Cindervale/RemoteConfig]";

// Launch arguments and the persisted debug-mode flag.
inline constexpr const char* kCDVEnableDebugModeApplicationArgument = "-CDVDebugEnabled";
inline constexpr const char* kCDVDisableDebugModeApplicationArgument = "-CDVDebugDisabled";
inline constexpr const char* kCDVLoggerForceSDTERRApplicationArgument = "-CDVLoggerForceSTDERR";
inline constexpr const char* kCDVPersistedDebugModeKey = "/ombrix/cindervale/debug_mode";

// Version of the SDK family, handed to the vendor logger.
inline constexpr const char* CDVVersionString = "6.4.0";

// Runs the one-time set-up; every other function here calls it first. A child forked from the
// process the SDK belongs to does none: a thread it does not have may have been inside it.
void CDVLoggerInitializeASL();
void CDVSetLoggerLevel(int level);
// True when a line of `level` would be written; always true for analytics components while the
// analytics debug mode is on.
bool CDVIsLoggableLevel(int level, bool analyticsComponent);
void CDVSetAnalyticsDebugMode(bool analyticsDebugMode);

// Formats `format` with `args` (printf style with %@, see foundation/Format.h) and writes one
// line. Lines of the analytics service are forced through while the analytics debug mode is on.
void CDVLogBasic(int level, std::string_view service, std::string_view messageCode,
                 std::string_view format, std::initializer_list<platform::FormatArg> args);
// One line, its message already formatted, without the one-time set-up when it has not run (it
// reads the launch arguments and the user defaults) and, up to 1 KiB, without allocating: for a
// line that must not wait for their locks, nor for the allocator's.
void CDVLogWithoutSetup(int level, std::string_view service, std::string_view messageCode, std::string_view message);

template <typename... Args>
void CDVLogError(std::string_view service, std::string_view code, std::string_view format,
                 const Args&... args) {
  CDVLogBasic(CDVLoggerLevelError, service, code, format, {platform::FormatArg(args)...});
}
template <typename... Args>
void CDVLogWarning(std::string_view service, std::string_view code, std::string_view format,
                   const Args&... args) {
  CDVLogBasic(CDVLoggerLevelWarning, service, code, format, {platform::FormatArg(args)...});
}
template <typename... Args>
void CDVLogNotice(std::string_view service, std::string_view code, std::string_view format,
                  const Args&... args) {
  CDVLogBasic(CDVLoggerLevelNotice, service, code, format, {platform::FormatArg(args)...});
}
template <typename... Args>
void CDVLogInfo(std::string_view service, std::string_view code, std::string_view format,
                const Args&... args) {
  CDVLogBasic(CDVLoggerLevelInfo, service, code, format, {platform::FormatArg(args)...});
}
template <typename... Args>
void CDVLogDebug(std::string_view service, std::string_view code, std::string_view format,
                 const Args&... args) {
  CDVLogBasic(CDVLoggerLevelDebug, service, code, format, {platform::FormatArg(args)...});
}

// Entry for callers that hold their arguments as a list rather than as parameters.
class CDVLoggerWrapper {
 public:
  static void logWithLevel(int level, std::string_view service, std::string_view code,
                           std::string_view message,
                           std::initializer_list<platform::FormatArg> args);
};

// Test support: forgets the one-time set-up and the analytics debug mode, so the next logging
// call reads the launch arguments and user defaults again.
void CDVLoggerResetForTesting();
// Tests: a fork waits for the logger's set-up, which another thread has under way.
bool CDVLoggerForkWaitsForTesting();
