#include "obx/OBXLogger.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string_view>

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
// Made as the program loads, before any thread of the SDK's: a fork never finds it half made.
[[maybe_unused]] const LoggerState& gStateMadeAtLoad = state();

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

// "2024-05-01 12:00:00.123" in UTC, from the process clock, into `text`: worked out here, without
// the C library's time functions, which take its time-zone lock.
void timestamp(char (&text)[32]) {
  using namespace std::chrono;
  const double now = platform::Clock::current()->now();
  const double whole = std::floor(now);
  int millis = static_cast<int>((now - whole) * 1000.0);
  if (millis > 999) millis = 999;
  const sys_seconds seconds{std::chrono::seconds(static_cast<std::int64_t>(whole))};
  const sys_days day = floor<days>(seconds);
  const year_month_day date{day};
  const hh_mm_ss<std::chrono::seconds> time{seconds - day};
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), millis);
}

bool isLoggableLocked(const LoggerState& s, int level) { return s.debugForced || level <= s.maximumLevel; }

// A line that is not shown takes the lock once and nothing else. One that is shown is put together
// on the stack when it fits: the warning of a child made by fork() comes this way, and there the
// allocator's lock may have been held by a thread the child does not have (this C library's is
// made safe across fork, an instrumented one's may not be).
void writeLine(int level, std::string_view service, bool force, std::string_view messageCode,
               std::string_view message) {
  LoggerState& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (!force && !isLoggableLocked(s, level)) return;
  }
  char stamp[32];
  timestamp(stamp);  // not under the lock: the clock has its own
  OBXLogSink sink;
  {
    std::lock_guard lock(s.mutex);
    const auto width = [](std::string_view text) { return static_cast<int>(std::min<std::size_t>(text.size(), 1 << 20)); };
    char line[1024];
    const int length = std::snprintf(line, sizeof line, "%s %s%s- %.*s[%.*s] %s %.*s\n", stamp, s.version.c_str(),
                                     s.version.empty() ? "" : " ", width(service), service.data(), width(messageCode),
                                     messageCode.data(), levelName(level), width(message), message.data());
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof line) {
      std::fputs(line, stderr);
    } else {
      const std::string whole = std::string(stamp) + " " + (s.version.empty() ? "" : s.version + " ") + "- " +
                                std::string(service) + "[" + std::string(messageCode) + "] " + levelName(level) +
                                " " + std::string(message) + "\n";
      std::fputs(whole.c_str(), stderr);
    }
    if (s.sink) sink = s.sink;
  }
  if (sink) sink(OBXLogLine{level, std::string(service), std::string(messageCode), std::string(message), force});
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

void OBXLogBasic(int level, std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message) {
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
