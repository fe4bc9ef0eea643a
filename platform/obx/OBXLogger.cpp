#include "obx/OBXLogger.h"

#include <pthread.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <mutex>

#include "dispatch/Clock.h"
#include "dispatch/ForkPreparation.h"

namespace {

constexpr int kDefaultLevel = OBXLoggerLevelNotice;

struct LoggerState {
  std::mutex mutex;
  int maximumLevel = kDefaultLevel;
  bool debugForced = false;
  bool stderrEnabled = false;
  bool initialized = false;
  std::string version;
  OBXLogSink sink;
};

// The lock is never held across a call out (the clock, the sink), so the fork handlers may take
// it: a child made by fork() never inherits it held by a thread it does not have.
LoggerState& state() {
  static LoggerState* shared = [] {
    auto* made = new LoggerState();  // never destroyed: logging may run at exit
    pthread_atfork(
        [] {
          platform::waitBeforeForkLocks();
          state().mutex.lock();
        }, [] { state().mutex.unlock(); }, [] { state().mutex.unlock(); });
    return made;
  }();
  return *shared;
}

const char* levelName(int level) {
  switch (level) {
    case OBXLoggerLevelError: return "ERROR";
    case OBXLoggerLevelWarning: return "WARNING";
    case OBXLoggerLevelNotice: return "NOTICE";
    case OBXLoggerLevelInfo: return "INFO";
    case OBXLoggerLevelDebug: return "DEBUG";
    default: return "LOG";
  }
}

// "2024-05-01 12:00:00.123" in UTC, from the process clock.
std::string timestamp() {
  double now = platform::Clock::current()->now();
  double whole = std::floor(now);
  time_t seconds = static_cast<time_t>(whole);
  int millis = static_cast<int>((now - whole) * 1000.0);
  if (millis > 999) millis = 999;
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  return text;
}

bool isLoggableLocked(const LoggerState& s, int level) { return s.debugForced || level <= s.maximumLevel; }

void writeLine(int level, const std::string& service, bool force, const std::string& messageCode,
               const std::string& message) {
  LoggerState& s = state();
  OBXLogSink sink;
  const std::string stamp = timestamp();
  {
    std::lock_guard lock(s.mutex);
    if (!force && !isLoggableLocked(s, level)) return;
    std::string line = stamp + " " + (s.version.empty() ? "" : s.version + " ") + "- " + service + "[" + messageCode + "] " +
                       levelName(level) + " " + message + "\n";
    std::fputs(line.c_str(), stderr);
    sink = s.sink;
  }
  if (sink) sink(OBXLogLine{level, service, messageCode, message, force});
}

}  // namespace

void OBXLoggerRegisterVersion(const std::string& version) {
  std::lock_guard lock(state().mutex);
  state().version = version;
}

void OBXLoggerInitializeASL() {
  std::lock_guard lock(state().mutex);
  state().initialized = true;
}

void OBXLoggerEnableSTDERR() {
  std::lock_guard lock(state().mutex);
  state().stderrEnabled = true;
}

void OBXLoggerForceDebug() {
  std::lock_guard lock(state().mutex);
  state().debugForced = true;
  state().maximumLevel = OBXLoggerLevelDebug;
}

void OBXSetLoggerLevel(int level) {
  if (level < OBXLoggerLevelError || level > OBXLoggerLevelDebug) {
    writeLine(OBXLoggerLevelError, "[OBXLogger]", false, "I-OBX000001",
              "Invalid logger level, " + std::to_string(level));
    return;
  }
  std::lock_guard lock(state().mutex);
  state().maximumLevel = level;
}

bool OBXIsLoggableLevel(int level) {
  std::lock_guard lock(state().mutex);
  return isLoggableLocked(state(), level);
}

void OBXLogBasic(int level, const std::string& service, bool force, const std::string& messageCode,
                 const std::string& message) {
  writeLine(level, service, force, messageCode, message);
}

void OBXLogError(const std::string& service, bool force, const std::string& messageCode, const std::string& message) {
  writeLine(OBXLoggerLevelError, service, force, messageCode, message);
}

void OBXLogWarning(const std::string& service, bool force, const std::string& messageCode,
                   const std::string& message) {
  writeLine(OBXLoggerLevelWarning, service, force, messageCode, message);
}

void OBXLogNotice(const std::string& service, bool force, const std::string& messageCode,
                  const std::string& message) {
  writeLine(OBXLoggerLevelNotice, service, force, messageCode, message);
}

void OBXLogInfo(const std::string& service, bool force, const std::string& messageCode, const std::string& message) {
  writeLine(OBXLoggerLevelInfo, service, force, messageCode, message);
}

void OBXLogDebug(const std::string& service, bool force, const std::string& messageCode, const std::string& message) {
  writeLine(OBXLoggerLevelDebug, service, force, messageCode, message);
}

OBXLogSink OBXLoggerSetSink(OBXLogSink sink) {
  std::lock_guard lock(state().mutex);
  OBXLogSink previous = std::move(state().sink);
  state().sink = std::move(sink);
  return previous;
}

void OBXLoggerResetForTesting() {
  std::lock_guard lock(state().mutex);
  LoggerState& s = state();
  s.maximumLevel = kDefaultLevel;
  s.debugForced = false;
  s.stderrEnabled = false;
  s.initialized = false;
  s.version.clear();
}

std::string OBXLoggerRegisteredVersion() {
  std::lock_guard lock(state().mutex);
  return state().version;
}

bool OBXLoggerIsSTDERREnabled() {
  std::lock_guard lock(state().mutex);
  return state().stderrEnabled;
}

bool OBXLoggerIsDebugForced() {
  std::lock_guard lock(state().mutex);
  return state().debugForced;
}
