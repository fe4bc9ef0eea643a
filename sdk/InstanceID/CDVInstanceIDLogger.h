// The instance identity's logger: every line carries the service tag "[Cindervale/InstanceID]"
// and a message code "I-IID" followed by the numeric code in six digits, and goes through the
// SDK's logging front (Core/Public/CDVLogger.h).
//
//   CDVInstanceIDLoggerDebug(7005, "Test block set, will not hit the server");
#pragma once

#include <string>
#include <string_view>

#include "Core/Public/CDVLogger.h"

inline constexpr const char* kCDVInstanceIDLoggerService = "[Cindervale/InstanceID]";

class CDVInstanceIDLogger {
 public:
  // "I-IID%06ld".
  static std::string formatMessageCode(long code);

  // The calling function's name is accepted for the call sites' sake and not written out.
  template <typename... Args>
  void logFuncDebug(const char*, long code, std::string_view format, const Args&... args) {
    log(CDVLoggerLevelDebug, code, format, {platform::FormatArg(args)...});
  }
  template <typename... Args>
  void logFuncInfo(const char*, long code, std::string_view format, const Args&... args) {
    log(CDVLoggerLevelInfo, code, format, {platform::FormatArg(args)...});
  }
  template <typename... Args>
  void logFuncNotice(const char*, long code, std::string_view format, const Args&... args) {
    log(CDVLoggerLevelNotice, code, format, {platform::FormatArg(args)...});
  }
  template <typename... Args>
  void logFuncWarning(const char*, long code, std::string_view format, const Args&... args) {
    log(CDVLoggerLevelWarning, code, format, {platform::FormatArg(args)...});
  }
  template <typename... Args>
  void logFuncError(const char*, long code, std::string_view format, const Args&... args) {
    log(CDVLoggerLevelError, code, format, {platform::FormatArg(args)...});
  }

 private:
  void log(int level, long code, std::string_view format, std::initializer_list<platform::FormatArg> args);
};

// The one logger of the process.
CDVInstanceIDLogger& CDVInstanceIDSharedLogger();

#define CDVInstanceIDLoggerDebug(code, ...) CDVInstanceIDSharedLogger().logFuncDebug(__func__, code, __VA_ARGS__)
#define CDVInstanceIDLoggerInfo(code, ...) CDVInstanceIDSharedLogger().logFuncInfo(__func__, code, __VA_ARGS__)
#define CDVInstanceIDLoggerNotice(code, ...) CDVInstanceIDSharedLogger().logFuncNotice(__func__, code, __VA_ARGS__)
#define CDVInstanceIDLoggerWarning(code, ...) CDVInstanceIDSharedLogger().logFuncWarning(__func__, code, __VA_ARGS__)
#define CDVInstanceIDLoggerError(code, ...) CDVInstanceIDSharedLogger().logFuncError(__func__, code, __VA_ARGS__)
