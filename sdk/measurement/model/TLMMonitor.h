// The measurement library's diagnostic logger and the few library-wide services the data model
// calls: the monitor (TLMMeasurement::monitor()), the path for internal events (such as the "_err"
// event) and whether the public analytics facade is present.
//
// Levels run from 0 to 7: 0 to 2 are error levels, 3 to 5 warning levels, 6 notice, 7 debug.
// Message codes are plain integers, written in log lines as "I-ACS" and six digits.
//
// The engine installs its full monitor and its internal-event logger at start-up; until then a
// console monitor writes error-level messages to standard error and internal events are dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"

class TLMObjectDictionary;

class TLMMonitor {
 public:
  virtual ~TLMMonitor() = default;

  // Every message ends here; a nil context is passed as a null Value. Must not block the caller
  // on the outcome and must never fail.
  virtual void logWithContexts(int level, std::int64_t messageCode, const std::string& message,
                               const std::vector<platform::Value>& contexts) = 0;
  // Whether the developer switched the library's debug mode on.
  virtual bool isDebugModeEnabled() const = 0;

  // logWithLevel:messageCode:message: and its forms with one, two or three contexts.
  void logWithLevel(int level, std::int64_t messageCode, const std::string& message) {
    logWithContexts(level, messageCode, message, {});
  }
  void logWithLevel(int level, std::int64_t messageCode, const std::string& message,
                    const platform::Value& context) {
    logWithContexts(level, messageCode, message, {context});
  }
  void logWithLevel(int level, std::int64_t messageCode, const std::string& message,
                    const platform::Value& context1, const platform::Value& context2) {
    logWithContexts(level, messageCode, message, {context1, context2});
  }
  void logWithLevel(int level, std::int64_t messageCode, const std::string& message,
                    const platform::Value& context1, const platform::Value& context2,
                    const platform::Value& context3) {
    logWithContexts(level, messageCode, message, {context1, context2, context3});
  }
};

// The tag of the library's lines: the SDK's analytics tag, which the start sets too, so that the
// lines written before the start, or in a copy of the SDK that never starts, carry it as well.
inline constexpr const char* kTLMMonitorDefaultLogTag = "[Cindervale/Analytics]";

// "I-ACS" followed by the code in six digits, e.g. "I-ACS013000".
std::string TLMMessageCodeString(std::int64_t messageCode);

// The default monitor: writes messages of error levels (0 to 2) through the vendor logger as
// every line of the SDK's, at its error level, tagged kTLMMonitorDefaultLogTag, as
// "message: contexts" (held back, as the logger's other lines, when the same one comes over and
// over); debug mode off.
class TLMConsoleMonitor : public TLMMonitor {
 public:
  void logWithContexts(int level, std::int64_t messageCode, const std::string& message,
                       const std::vector<platform::Value>& contexts) override;
  bool isDebugModeEnabled() const override { return false; }
};

// Logs an internal (non-public) event through the library's normal event path.
using TLMInternalEventLogger = std::function<void(
    const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters)>;

class TLMMeasurement {
 public:
  // The one library-wide monitor; callable from any thread; never null.
  static std::shared_ptr<TLMMonitor> monitor();
  // Installs `monitor` (nullptr restores the console monitor) and returns the previous one.
  static std::shared_ptr<TLMMonitor> setMonitor(std::shared_ptr<TLMMonitor> monitor);

  // The engine's logInternalEventWithOrigin:name:parameters:. Returns the previous logger.
  static TLMInternalEventLogger setInternalEventLogger(TLMInternalEventLogger logger);
  static void logInternalEvent(const std::string& origin, const std::string& name,
                               const TLMObjectDictionary& parameters);

  // Whether the public analytics facade (the class "CDVAnalytics") is present in the process;
  // the facade sets this when it registers. Off until then.
  static void setAnalyticsFacadePresent(bool present);
  static bool isAnalyticsFacadePresent();
};

// TLMMeasurement::monitor(), as the library's sources call it, and the contexts they log most:
// a text, and an error's description.
inline std::shared_ptr<TLMMonitor> tlm_monitor() { return TLMMeasurement::monitor(); }
inline platform::Value tlm_text(const std::string& s) { return platform::Value(s); }
inline platform::Value tlm_errorText(const platform::Error& error) { return platform::Value(error.description); }
