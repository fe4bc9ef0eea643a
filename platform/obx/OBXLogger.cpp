#include "obx/OBXLogger.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/ForkPreparation.h"

namespace {

constexpr int kDefaultLevel = OBXLoggerLevelNotice;

// Lines of the levels shown by default (notice and above) are said a few times a second, each
// kind (service and message code) on its own: a host that logs flat out sets off the same line at
// every call. A kind has credit for kBurstLines lines, spent one a line written and earned back at
// one a second: its lines are written at once while it has credit (a line of a kind quiet for a
// second always has), and held back when it has none, until it has earned a line's; then they are
// said in one line, the last of them with the count of the others (" (and N more like it in the
// last second)"): the next line of the kind carries it, or the timer set for that moment, or
// OBXLoggerWriteHeldLines (the app's end, the process's exit). A kind logged flat out shows its
// first kBurstLines lines, then one a second. Info and debug lines are shown only when a developer
// asked for them (a level raised, debug mode on, where every event is logged): never held.
constexpr double kBurstLines = 5;
constexpr double kSecondsPerLine = 1.0;
// A timer that fires this close to its moment takes it as come: the clocks' sums round.
constexpr double kCreditSlack = 1e-3;
constexpr std::size_t kHeldKinds = 64;

bool isHeldLevel(int level) { return level <= OBXLoggerLevelNotice; }

// A kind's credit and the lines it holds back. Fixed storage: holding a line neither allocates
// nor frees (a child made by fork() may find the allocator's lock held).
struct HeldKind {
  bool used = false;
  int level = 0;
  bool forced = false;
  std::size_t serviceLength = 0;
  std::size_t codeLength = 0;
  std::size_t messageLength = 0;
  double credit = 0;       // lines it may write at once, as of creditAt
  double creditAt = 0;     // the clock's uptime
  std::uint64_t held = 0;  // lines held back
  char service[64];
  char code[32];
  char message[1024];  // the last one held back (cut with "..." beyond)

  bool is(std::string_view s, std::string_view c) const {
    return used && std::string_view(service, serviceLength) == s && std::string_view(code, codeLength) == c;
  }
  // The credit at `uptime` (full when the clock went back: another clock was installed).
  double creditAtUptime(double uptime) const {
    if (uptime < creditAt) return kBurstLines;
    return std::min(kBurstLines, credit + (uptime - creditAt) / kSecondsPerLine);
  }
  bool canWrite(double uptime) const { return creditAtUptime(uptime) + kCreditSlack >= 1; }
  // Takes a written line's credit.
  void spend(double uptime) {
    credit = std::max(creditAtUptime(uptime) - 1, 0.0);
    creditAt = uptime;
  }
  // When it has earned a line's credit.
  double writableAt() const { return creditAt + std::max(1 - credit, 0.0) * kSecondsPerLine; }
  // Nothing held and all its credit earned back: its place may go to another kind.
  bool isIdle(double uptime) const { return held == 0 && creditAtUptime(uptime) >= kBurstLines; }
  void hold(int lineLevel, bool lineForced, std::string_view text) {
    ++held;
    level = lineLevel;
    forced = lineForced;
    constexpr std::string_view kCut = "...";
    if (text.size() <= sizeof message) {
      messageLength = text.copy(message, sizeof message);
    } else {
      messageLength = text.copy(message, sizeof message - kCut.size());
      messageLength += kCut.copy(message + messageLength, kCut.size());
    }
  }
};

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
  HeldKind held[kHeldKinds];
  // The timer that writes the held lines at their second's end: set on `timerClock` for
  // `timerDue` (its uptime); a newer setting makes an older one's firing no longer its own.
  bool timerSet = false;
  double timerDue = 0;
  std::uint64_t timerSetting = 0;
  std::weak_ptr<platform::Clock> timerClock;

  // Forgets what is held (a child made by fork(): what its parent held is the parent's to say).
  void forgetHeld() {
    for (HeldKind& kind : held) {
      kind.used = false;
      kind.held = 0;
    }
    timerSet = false;
  }
};

void forgetHeldInChild();

// The lock is never held across a call out (the clock, the sink), so the fork handlers may take
// it: a child made by fork() never inherits it held by a thread it does not have.
LoggerState& state() {
  static LoggerState* shared = [] {
    auto* made = new LoggerState();  // never destroyed: logging may run at exit
    pthread_atfork(
        [] {
          platform::waitBeforeForkLocks();
          state().mutex.lock();
        }, [] { state().mutex.unlock(); }, &forgetHeldInChild);
    return made;
  }();
  return *shared;
}
// Made as the program loads, before any thread of the SDK's: a fork never finds it half made.
[[maybe_unused]] const LoggerState& gStateMadeAtLoad = state();

void forgetHeldInChild() {
  state().forgetHeld();
  state().mutex.unlock();
}

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

// "2024-05-01 12:00:00.123" in UTC, of `now` (the process clock's), into `text`; its length. The digits are
// those of gmtime_r (its proleptic Gregorian calendar, a year of 4 digits or more, a minus sign
// counted among 4), worked out here without the C library's time functions, which take its
// time-zone lock.
std::size_t timestamp(char (&text)[32], double now) {
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

// " (and N more like it in the last second)" into `text` for N held lines; empty for none.
std::string_view heldSuffix(std::uint64_t others, char (&text)[64]) {
  if (others == 0) return {};
  constexpr std::string_view kBefore = " (and ";
  constexpr std::string_view kAfter = " more like it in the last second)";
  char* out = std::copy(kBefore.begin(), kBefore.end(), text);
  out = putDigits(out, others, 1);
  out = std::copy(kAfter.begin(), kAfter.end(), out);
  return {text, static_cast<std::size_t>(out - text)};
}

// Writes one line to standard error, under the lock; put together on the stack when it fits.
void putLine(const LoggerState& s, std::string_view stampText, int level, std::string_view service,
             std::string_view messageCode, std::string_view message, std::string_view suffix) {
  const std::string_view version = s.version;
  const std::string_view pieces[] = {stampText,   " ",  version,          version.empty() ? "" : " ", "- ", service,
                                     "[",         messageCode, "] ",      levelName(level), " ",      message,
                                     suffix,      "\n"};
  const std::span<const std::string_view> written(pieces);
  std::size_t length = 0;
  for (const std::string_view piece : written) length += piece.size();
  char line[1024];
  std::string whole;
  char* out = line;
  if (length > sizeof line) {
    whole.resize(length);
    out = whole.data();
  }
  char* end = out;
  for (const std::string_view piece : written) end = std::copy(piece.begin(), piece.end(), end);
  std::fwrite(out, 1, length, stderr);
}

// A timer to set, outside the lock, for the held lines.
struct TimerToSet {
  std::shared_ptr<platform::Clock> clock;
  double delay = 0;
  std::uint64_t setting = 0;
};

// Under the lock: the timer the held lines need, when the one set (if any) does not serve: set
// later than the first moment one of their kinds may write a line (`due`, when only that kind's
// line was held since it was set), or on a clock no longer in force, or gone.
std::optional<TimerToSet> timerForHeld(LoggerState& s, const std::shared_ptr<platform::Clock>& clock, double uptime,
                                       std::optional<double> due = std::nullopt) {
  const bool serves = s.timerSet && s.timerClock.lock() == clock;
  if (serves && due && s.timerDue <= *due + kCreditSlack) return std::nullopt;
  if (!serves || !due) {
    // The first moment any kind holding lines may write one (none: no timer is needed).
    bool any = false;
    double first = 0;
    for (const HeldKind& kind : s.held) {
      if (!kind.used || kind.held == 0) continue;
      const double end = kind.writableAt();
      if (!any || end < first) first = end;
      any = true;
    }
    if (!any) return std::nullopt;
    if (serves && s.timerDue <= first + kCreditSlack) return std::nullopt;
    due = first;
  }
  s.timerSet = true;
  s.timerDue = *due;
  s.timerClock = clock;
  return TimerToSet{clock, std::max(*due - uptime, 0.0), ++s.timerSetting};
}

void writeHeldLines(bool all, std::uint64_t setting);

void setTimer(const std::optional<TimerToSet>& timer) {
  if (!timer) return;
  try {
    timer->clock->scheduleTimer(timer->delay, [setting = timer->setting] { writeHeldLines(false, setting); });
  } catch (...) {
    // No memory for it: the next line held, the next written of the kind or the exit says them.
    LoggerState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.timerSetting == timer->setting) s.timerSet = false;
  }
}

// Writes the held lines of the kinds that may write a line again (`all`: of every kind), each
// kind's in one line. `setting`: the timer's that calls it (0: none).
void writeHeldLines(bool all, std::uint64_t setting) {
  LoggerState& s = state();
  const std::shared_ptr<platform::Clock> clock = platform::Clock::current();
  const double uptime = clock->uptime();
  char stamp[32];
  const std::string_view stampText(stamp, timestamp(stamp, clock->now()));
  std::vector<OBXLogLine> forSink;
  OBXLogSink sink;
  std::optional<TimerToSet> timer;
  {
    std::lock_guard lock(s.mutex);
    if (setting != 0 && setting == s.timerSetting) s.timerSet = false;
    for (HeldKind& kind : s.held) {
      if (!kind.used || kind.held == 0 || (!all && !kind.canWrite(uptime))) continue;
      char suffixText[64];
      const std::string_view suffix = heldSuffix(kind.held - 1, suffixText);
      const std::string_view service(kind.service, kind.serviceLength);
      const std::string_view code(kind.code, kind.codeLength);
      const std::string_view message(kind.message, kind.messageLength);
      putLine(s, stampText, kind.level, service, code, message, suffix);
      if (s.sink) {
        forSink.push_back(OBXLogLine{kind.level, std::string(service), std::string(code),
                                     std::string(message) + std::string(suffix), kind.forced});
      }
      kind.held = 0;
      kind.spend(uptime);
    }
    if (!forSink.empty()) sink = s.sink;
    timer = timerForHeld(s, clock, uptime);
  }
  if (sink) {
    for (const OBXLogLine& line : forSink) sink(line);
  }
  setTimer(timer);
}

// Under the lock: the kind of a line, claimed when new (none when all are taken, or its service or
// code does not fit: such a line is written, never held).
HeldKind* kindOf(LoggerState& s, std::string_view service, std::string_view messageCode, double uptime) {
  HeldKind* free = nullptr;
  for (HeldKind& kind : s.held) {
    if (kind.is(service, messageCode)) return &kind;
    if (free == nullptr && (!kind.used || kind.isIdle(uptime))) free = &kind;
  }
  if (free == nullptr || service.size() > sizeof free->service || messageCode.size() > sizeof free->code) {
    return nullptr;
  }
  free->used = true;
  free->held = 0;
  free->credit = kBurstLines;
  free->creditAt = uptime;
  free->serviceLength = service.copy(free->service, sizeof free->service);
  free->codeLength = messageCode.copy(free->code, sizeof free->code);
  return free;
}

// A line that is not shown takes no lock and reads no clock. One that is shown takes the lock once,
// after the clock (which has its own), and is put together on the stack when it fits: the warning
// of a child made by fork() comes this way, and there the allocator's lock may have been held by a
// thread the child does not have (this C library's is made safe across fork, an instrumented one's
// may not be). A line held back allocates nothing either, but sets a timer when none is set.
void writeLine(int level, std::string_view service, bool force, std::string_view messageCode,
               std::string_view message) {
  LoggerState& s = state();
  if (!force && !isLoggable(s, level)) return;
  const std::shared_ptr<platform::Clock> clock = platform::Clock::current();
  const double uptime = clock->uptime();
  char stamp[32];
  const std::string_view stampText(stamp, timestamp(stamp, clock->now()));
  char suffixText[64];
  std::string_view suffix;
  OBXLogSink sink;
  std::optional<TimerToSet> timer;
  {
    std::lock_guard lock(s.mutex);
    HeldKind* kind = isHeldLevel(level) ? kindOf(s, service, messageCode, uptime) : nullptr;
    if (kind != nullptr && !kind->canWrite(uptime)) {
      kind->hold(level, force, message);
      timer = timerForHeld(s, clock, uptime, kind->writableAt());
    } else {
      if (kind != nullptr) {
        suffix = heldSuffix(kind->held, suffixText);
        kind->held = 0;
        kind->spend(uptime);
      }
      putLine(s, stampText, level, service, messageCode, message, suffix);
      if (s.sink) sink = s.sink;
    }
  }
  if (timer) return setTimer(timer);
  if (sink) {
    sink(OBXLogLine{level, std::string(service), std::string(messageCode),
                    std::string(message) + std::string(suffix), force});
  }
}

// The process's exit says what is still held (the log's last lines).
void writeHeldLinesAtExit() { writeHeldLines(true, 0); }
[[maybe_unused]] const int gHeldLinesSaidAtExit = std::atexit(&writeHeldLinesAtExit);

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

void OBXLoggerWriteHeldLines() { writeHeldLines(true, 0); }

void OBXLoggerForgetHeldLinesForTesting() {
  std::lock_guard lock(state().mutex);
  state().forgetHeld();
}

void OBXLoggerResetForTesting() {
  std::lock_guard lock(state().mutex);
  LoggerState& s = state();
  s.forgetHeld();
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
