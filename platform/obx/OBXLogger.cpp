#include "obx/OBXLogger.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>

#include "dispatch/Clock.h"
#include "dispatch/ForkPreparation.h"

namespace {

constexpr int kDefaultLevel = OBXLoggerLevelNotice;

// The level and the debug switch are read without the lock, so a line that is not shown takes no
// lock, and one that is shown takes it once.
struct LoggerState {
  std::mutex mutex;
  std::atomic<int> maximumLevel{kDefaultLevel};
  std::atomic<bool> debugForced{false};
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

std::string_view levelName(int level) {
  switch (level) {
    case OBXLoggerLevelError: return "ERROR";
    case OBXLoggerLevelWarning: return "WARNING";
    case OBXLoggerLevelNotice: return "NOTICE";
    case OBXLoggerLevelInfo: return "INFO";
    case OBXLoggerLevelDebug: return "DEBUG";
    default: return "LOG";
  }
}

// Writes `value` in decimal, at least `width` digits (zeros in front), at `out`; the end.
char* putDigits(char* out, std::uint64_t value, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < width) digits[count++] = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

// The stamp of a time the C library's gmtime_r cannot show either (its year is an int), or that
// is not a number: no day of any year is numbered 0.
constexpr std::string_view kTimeOutOfRange = "0000-00-00 00:00:00.000";

// "2024-05-01 12:00:00.123" in UTC, from the process clock, into `text`; its length. The digits are
// those of gmtime_r (its proleptic Gregorian calendar, a year of 4 digits or more, a minus sign
// counted among 4), worked out here without the C library's time functions, which take its
// time-zone lock.
std::size_t timestamp(char (&text)[32]) {
  const double now = platform::Clock::current()->now();
  // Beyond every year an int holds, and inside what an int64_t holds: no conversion out of range.
  constexpr double kFarthest = 1e17;
  if (!(now > -kFarthest && now < kFarthest)) {
    kTimeOutOfRange.copy(text, kTimeOutOfRange.size());
    return kTimeOutOfRange.size();
  }
  const double whole = std::floor(now);
  const int millis = std::min(static_cast<int>((now - whole) * 1000.0), 999);
  const auto seconds = static_cast<std::int64_t>(whole);
  std::int64_t days = seconds / 86400;
  std::int64_t second = seconds % 86400;
  if (second < 0) {
    second += 86400;
    --days;
  }
  // The civil date of a count of days since 1970-01-01, by eras of 400 years (146,097 days),
  // each starting on the 1st of March.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  const auto day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  if (year - 1900 < std::numeric_limits<int>::min() || year - 1900 > std::numeric_limits<int>::max()) {
    kTimeOutOfRange.copy(text, kTimeOutOfRange.size());
    return kTimeOutOfRange.size();
  }
  char* out = text;
  if (year < 0) {
    *out++ = '-';
    out = putDigits(out, static_cast<std::uint64_t>(-year), 3);
  } else {
    out = putDigits(out, static_cast<std::uint64_t>(year), 4);
  }
  *out++ = '-';
  out = putDigits(out, month, 2);
  *out++ = '-';
  out = putDigits(out, day, 2);
  *out++ = ' ';
  out = putDigits(out, static_cast<std::uint64_t>(second / 3600), 2);
  *out++ = ':';
  out = putDigits(out, static_cast<std::uint64_t>(second / 60 % 60), 2);
  *out++ = ':';
  out = putDigits(out, static_cast<std::uint64_t>(second % 60), 2);
  *out++ = '.';
  out = putDigits(out, static_cast<std::uint64_t>(millis), 3);
  return static_cast<std::size_t>(out - text);
}

bool isLoggable(const LoggerState& s, int level) {
  return s.debugForced.load() || level <= s.maximumLevel.load();
}

// A line that is not shown takes no lock and reads no clock. One that is shown takes the lock once,
// after the clock (which has its own), and is put together on the stack when it fits: the warning
// of a child made by fork() comes this way, and there the allocator's lock may have been held by a
// thread the child does not have (this C library's is made safe across fork, an instrumented one's
// may not be).
void writeLine(int level, std::string_view service, bool force, std::string_view messageCode,
               std::string_view message) {
  LoggerState& s = state();
  if (!force && !isLoggable(s, level)) return;
  char stamp[32];
  const std::string_view stampText(stamp, timestamp(stamp));
  const std::string_view levelText = levelName(level);
  OBXLogSink sink;
  {
    std::lock_guard lock(s.mutex);
    const std::string_view version = s.version;
    const std::string_view pieces[] = {stampText, " ",  version,   version.empty() ? "" : " ", "- ", service, "[",
                                       messageCode, "] ", levelText, " ",                      message, "\n"};
    std::size_t length = 0;
    for (const std::string_view piece : pieces) length += piece.size();
    char line[1024];
    std::string whole;
    char* out = line;
    if (length > sizeof line) {
      whole.resize(length);
      out = whole.data();
    }
    char* end = out;
    for (const std::string_view piece : pieces) end = std::copy(piece.begin(), piece.end(), end);
    std::fwrite(out, 1, length, stderr);
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

bool OBXIsLoggableLevel(int level) { return isLoggable(state(), level); }

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
