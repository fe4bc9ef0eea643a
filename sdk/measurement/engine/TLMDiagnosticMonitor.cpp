#include "measurement/engine/TLMDiagnosticMonitor.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <utility>

#include "dispatch/Clock.h"
#include "dispatch/Random.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/ProcessInfo.h"
#include "foundation/Text.h"
#include "measurement/model/TLMUtil.h"
#include "obx/OBXLogger.h"

using platform::Value;

namespace {

// Decimal text of an integer given as sign and magnitude; small numbers exactly, larger ones as
// the range of numbers with as many digits. Digits are counted on the unsigned magnitude, so
// the extremes of the 64-bit range (and 10^18 - 1, where a floating-point logarithm rounds up)
// encode exactly.
std::string encodeInteger(bool negative, std::uint64_t magnitude) {
  if (magnitude <= 99) {
    return (negative && magnitude != 0 ? "-" : "") + std::to_string(magnitude);
  }
  const std::size_t digits = std::to_string(magnitude).size();
  const std::string power = "1" + std::string(digits - 1, '0');  // p
  const std::string nines(digits, '9');                          // 10p - 1
  return negative ? "-" + nines + "...-" + power : power + "..." + nines;
}

std::string encodeNumber(const Value& number) {
  if (number.isFloatingPoint()) {
    // Only a whole number that a 64-bit integer holds is an integer here; a fraction, NaN, an
    // infinity or a magnitude beyond the 64-bit range is not one.
    const double d = *number.doubleValue();
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!std::isfinite(d) || d != std::trunc(d) || d < -kTwoTo63 || d >= kTwoTo63) return "?";
    return encodeInteger(d < 0, static_cast<std::uint64_t>(std::fabs(d)));
  }
  if (number.numberKind() == Value::NumberKind::UInt) return encodeInteger(false, *number.uint64Value());
  const std::int64_t n = *number.int64Value();
  // The magnitude in unsigned arithmetic: -INT64_MIN does not fit a signed 64-bit integer.
  const std::uint64_t magnitude = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  return encodeInteger(n < 0, magnitude);
}

std::string describeContext(const Value& context) {
  if (std::shared_ptr<platform::Error> error = context.objectAs<platform::Error>()) {
    return error->fullDescription();
  }
  if (std::shared_ptr<platform::Exception> exception = context.objectAs<platform::Exception>()) {
    return exception->reason();
  }
  return context.description();
}

bool containsIgnoringCase(const std::string& text, const std::string& part) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(part) != std::string::npos;
}

double now() { return platform::Clock::current()->now(); }

}  // namespace

// MARK: - Logger

void TLMASLLogger::logMessage(const std::string& message, const std::string& logTag,
                              std::int64_t messageCode, int logLevel) {
  // The vendor logger writes the message as it is, so "%" needs no doubling here.
  OBXLogBasic(TLMDiagnosticMonitor::OBXLoggerLevelFromLogLevel(logLevel), logTag, logLevel == 7,
              TLMMessageCodeString(messageCode), message);
}

// MARK: - Sample

TLMMonitoringSampledData::TLMMonitoringSampledData(const Value& storedEntry) {
  if (!isValidUserDefaultsArrayEntry(storedEntry)) return;
  hasEntry_ = true;
  encodedContext_ = *storedEntry.at(0).stringValue();
  population_ = storedEntry.at(1).int64Value().value_or(1);
  key_ = *storedEntry.at(2).stringValue();
  timestamp_ = *storedEntry.at(3).dateValue();
}

bool TLMMonitoringSampledData::isValidUserDefaultsArrayEntry(const Value& entry) {
  return entry.isArray() && entry.size() == 4 && entry.at(0).isString() && entry.at(1).isNumber() &&
         entry.at(2).isString() && entry.at(3).isDate();
}

void TLMMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                const std::string& encodedContext) {
  if (!hasEntry_) {
    hasEntry_ = true;
    encodedContext_ = encodedContext;
    population_ = 1;
    key_ = key;
    timestamp_ = now();
    return;
  }
  if (population_ < std::numeric_limits<std::int64_t>::max()) ++population_;
  const std::uint32_t bound = population_ > std::numeric_limits<std::uint32_t>::max()
                                  ? std::numeric_limits<std::uint32_t>::max()
                                  : static_cast<std::uint32_t>(population_);
  if (platform::Random::current()->uniform(bound) == 0) {
    key_ = key;
    encodedContext_ = encodedContext;
  }
}

std::optional<std::string> TLMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  const double current = now();
  if (!hasEntry_) {
    if (lastSampledTimestamp > 0 && current - lastSampledTimestamp > samplePeriod) return "0:";
    return std::nullopt;
  }
  if (timestamp_ >= current - samplePeriod) return std::nullopt;
  std::string text = platform::format("%lld:%@", static_cast<long long>(population_), key_);
  if (!encodedContext_.empty()) text += ":" + encodedContext_;
  *this = TLMMonitoringSampledData();
  return text;
}

Value TLMMonitoringSampledData::entry() const {
  if (!hasEntry_) return Value();
  return Value::array({Value(encodedContext_), Value(population_), Value(key_), Value::date(timestamp_)});
}

// MARK: - Monitor

TLMDiagnosticMonitor::TLMDiagnosticMonitor(int logLevel, std::shared_ptr<TLMLogging> logger,
                                           std::int64_t libraryVersion,
                                           std::shared_ptr<platform::Queue> monitorQueue)
    : logLevel_(logLevel),
      logger_(std::move(logger)),
      libraryVersion_(libraryVersion),
      monitorQueue_(monitorQueue ? std::move(monitorQueue)
                                 : platform::Queue::serial(kTLMMonitorQueueLabel)),
      monitorUserDefaults_(TLMUserDefaults::initWithSuiteName(kTLMMonitorSuiteName)),
      standardUserDefaults_(TLMUserDefaults::standardUserDefaults()) {}

std::shared_ptr<TLMDiagnosticMonitor> TLMDiagnosticMonitor::initWithLibraryVersion(
    std::int64_t libraryVersion) {
  return initWithLogLevel(6, std::make_shared<TLMASLLogger>(), libraryVersion);
}

std::shared_ptr<TLMDiagnosticMonitor> TLMDiagnosticMonitor::initWithLogLevel(
    int logLevel, std::shared_ptr<TLMLogging> logger, std::int64_t libraryVersion,
    std::shared_ptr<platform::Queue> monitorQueue) {
  std::shared_ptr<TLMDiagnosticMonitor> monitor(new TLMDiagnosticMonitor(
      logLevel, std::move(logger), libraryVersion, std::move(monitorQueue)));
  TLMDiagnosticMonitor* self = monitor.get();
  monitor->monitorQueue_->sync([self] {
    self->migrateMonitorDataOnMonitorQueue();
    self->loadMonitoringDataOnMonitorQueue();
  });
  monitor->decideDebugModeAtStart();
  return monitor;
}

void TLMDiagnosticMonitor::decideDebugModeAtStart() {
  using platform::ProcessInfo;
  const bool disabled = ProcessInfo::hasArgument("-noTLMAnalyticsDebugEnabled") ||
                        ProcessInfo::hasArgument("-noCDVAnalyticsDebugEnabled") ||
                        ProcessInfo::hasArgument("-CDVDebugDisabled");
  if (disabled) {
    setDebugModeEnabled(false);
    return;
  }
  if (standardUserDefaults_->boolForKey(kTLMMonitorDebugModeKey) ||
      ProcessInfo::hasArgument("-TLMAnalyticsDebugEnabled") ||
      ProcessInfo::hasArgument("-CDVAnalyticsDebugEnabled") ||
      ProcessInfo::hasArgument("-CDVDebugEnabled")) {
    setDebugModeEnabled(true);
  }
}

void TLMDiagnosticMonitor::setDebugModeEnabled(bool enabled) {
  TLMUserDefaults& standard = *standardUserDefaults_;
  if (enabled) {
    logLevel_.store(7);
    OBXSetLoggerLevel(OBXLoggerLevelDebug);
    standard.setBool(true, kTLMMonitorDebugModeKey);
    debugModeEnabled_.store(true);
    logWithLevel(7, 24000, "Debug mode is on");
  } else {
    logLevel_.store(6);
    OBXSetLoggerLevel(OBXLoggerLevelNotice);
    standard.removeObjectForKey(kTLMMonitorDebugModeKey);
    debugModeEnabled_.store(false);
    logWithLevel(7, 24001, "Debug mode is off");
  }
}

std::string TLMDiagnosticMonitor::logTag() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logTag_;
}

void TLMDiagnosticMonitor::setLogTag(const std::string& tag) {
  std::lock_guard<std::mutex> lock(mutex_);
  logTag_ = tag;
}

void TLMDiagnosticMonitor::setRecordingSink(std::shared_ptr<TLMMonitor> sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

void TLMDiagnosticMonitor::logWithContexts(int level, std::int64_t messageCode,
                                           const std::string& message,
                                           const std::vector<Value>& contexts) {
  std::shared_ptr<TLMMonitor> sink;
  std::string tag;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
    tag = logTag_;
  }
  if (sink) sink->logWithContexts(level, messageCode, message, contexts);

  const bool loggable = isLoggableLevel(level);
  const bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (waitingMessages_.load(std::memory_order_relaxed) >= kTLMMonitorMaxWaitingMessages) {
    droppedMessages_.fetch_add(1);
    return;
  }
  std::shared_ptr<TLMDiagnosticMonitor> self = shared_from_this();
  // Counted while it waits on the monitor queue.
  struct Waiting {
    std::shared_ptr<TLMDiagnosticMonitor> monitor;
    explicit Waiting(std::shared_ptr<TLMDiagnosticMonitor> m) : monitor(std::move(m)) {
      monitor->waitingMessages_.fetch_add(1);
    }
    ~Waiting() { monitor->waitingMessages_.fetch_sub(1); }
  };
  auto waiting = std::make_shared<Waiting>(self);
  if (droppedMessages_.load(std::memory_order_relaxed) != 0 && logger_) {
    const double at = platform::Clock::current()->uptime();
    double said = droppedSaidAt_.load();
    const bool sayNow = at - said >= 1.0 && droppedSaidAt_.compare_exchange_strong(said, at);
    if (const std::int64_t dropped = sayNow ? droppedMessages_.exchange(0) : 0; dropped > 0) {
      std::string line = stringWithLogMessage(
          "Too many diagnostic messages wait to be written. Messages dropped", 3, {Value(dropped)}, false);
      monitorQueue_->async([waiting, line = std::move(line), tag] { waiting->monitor->logger_->logMessage(line, tag, 24002, 3); });
    }
  }
  if (loggable && logger_) {
    std::string line = stringWithLogMessage(message, level, contexts, encodeContexts());
    monitorQueue_->async([waiting, line = std::move(line), tag = std::move(tag), messageCode, level] {
      waiting->monitor->logger_->logMessage(line, tag, messageCode, level);
    });
  }
  if (monitorable) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    std::vector<platform::Error> errors;
    for (const Value& context : contexts) {
      if (std::shared_ptr<platform::Error> error = context.objectAs<platform::Error>()) {
        errors.push_back(*error);
      }
    }
    const std::string errorContexts = TLMMonitorContextString(errors);
    if (!errorContexts.empty()) encoded += "," + errorContexts;
    std::string key = monitoringDataKeyWithMessage(message, level, libraryVersion_);
    monitorQueue_->async([self, waiting, key = std::move(key), encoded = std::move(encoded)] {
      self->monitoringSampledData_.insertOrUpdateSampledDataWithKey(key, encoded);
      // One write of the sample for the lines taken before it runs: a flood of lines (a run of
      // drops said at every 1,000th) does not queue a write each, faster than they are written.
      if (self->sampleSaveQueued_) return;
      self->sampleSaveQueued_ = true;
      self->monitorQueue_->async([self] {
        self->sampleSaveQueued_ = false;
        self->saveMonitoringDataToUserDefaultsOnMonitorQueue();
      });
    });
  }
}

std::optional<std::string> TLMDiagnosticMonitor::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  std::optional<std::string> result;
  monitorQueue_->sync([&] {
    result = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod,
                                                                             lastSampledTimestamp);
    if (result) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
  return result;
}

void TLMDiagnosticMonitor::clearMonitoringData() {
  monitorQueue_->sync([this] {
    TLMUserDefaults& standard = *standardUserDefaults_;
    standard.removeObjectForKey(kTLMMonitorDebugModeKey);
    standard.removeObjectForKey(kTLMMonitorHealthMonitorKey);
    monitorUserDefaults_->removeObjectForKey(kTLMMonitorHealthMonitorKey);
    loadMonitoringDataOnMonitorQueue();
  });
}

void TLMDiagnosticMonitor::migrateMonitorDataOnMonitorQueue() {
  TLMUserDefaults& standard = *standardUserDefaults_;
  std::int64_t state = monitorUserDefaults_->integerForKey(kTLMMonitorMigrationStateKey);
  if (state == 0) {
    Value old = standard.objectForKey(kTLMMonitorHealthMonitorKey);
    if (old.isArray() && monitorUserDefaults_->objectForKey(kTLMMonitorHealthMonitorKey).isNull()) {
      monitorUserDefaults_->setObject(old, kTLMMonitorHealthMonitorKey);
    }
    monitorUserDefaults_->setInteger(1, kTLMMonitorMigrationStateKey);
    monitorUserDefaults_->synchronize();
    state = 1;
  }
  if (state == 1) {
    standard.removeObjectForKey(kTLMMonitorHealthMonitorKey);
    standard.synchronize();
    monitorUserDefaults_->setInteger(2, kTLMMonitorMigrationStateKey);
    monitorUserDefaults_->synchronize();
  }
}

void TLMDiagnosticMonitor::loadMonitoringDataOnMonitorQueue() {
  monitoringSampledData_ =
      TLMMonitoringSampledData(monitorUserDefaults_->objectForKey(kTLMMonitorHealthMonitorKey));
}

void TLMDiagnosticMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  monitorUserDefaults_->setObject(monitoringSampledData_.entry(), kTLMMonitorHealthMonitorKey);
  monitorUserDefaults_->synchronize();
}

// MARK: - Levels

bool TLMDiagnosticMonitor::isSilentLevel(int level) {
  return level == 2 || level == 5 || level < 0 || level > 7;
}

bool TLMDiagnosticMonitor::isMonitorableLevel(int level) {
  return level == 1 || level == 2 || level == 4 || level == 5 || level < 0 || level > 7;
}

bool TLMDiagnosticMonitor::isLoggableLevel(int level) {
  return !isSilentLevel(level) && OBXIsLoggableLevel(OBXLoggerLevelFromLogLevel(level));
}

std::string TLMDiagnosticMonitor::logLevelDescriptionFromLogLevel(int level) {
  static const char* const kTexts[] = {"ERROR",   "ERROR",   "ERROR",  "WARNING",
                                       "WARNING", "WARNING", "NOTICE", "DEBUG"};
  return level >= 0 && level <= 7 ? kTexts[level] : "";
}

int TLMDiagnosticMonitor::OBXLoggerLevelFromLogLevel(int level) {
  if (level >= 0 && level <= 2) return OBXLoggerLevelError;
  if (level >= 3 && level <= 5) return OBXLoggerLevelWarning;
  if (level == 6) return OBXLoggerLevelNotice;
  if (level == 7) return OBXLoggerLevelDebug;
  return OBXLoggerLevelWarning;
}

// MARK: - Texts

std::string TLMDiagnosticMonitor::stringWithLogMessage(const std::string& message, int /*level*/,
                                                       const std::vector<Value>& contexts,
                                                       bool encodeContexts) {
  std::string line = message.empty() ? "(Message was empty)" : message;
  if (contexts.empty()) return line;
  line += ": ";
  if (encodeContexts) return line + encodedStringWithContextArray(contexts, true);
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) line += ", ";
    line += describeContext(contexts[i]);
  }
  return line;
}

std::string TLMDiagnosticMonitor::encodedStringWithContextArray(const std::vector<Value>& contexts,
                                                                bool insertSpaces) {
  std::string out;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) out += insertSpaces ? ", " : ",";
    out += encodedStringWithContextObject(contexts[i]);
  }
  return out;
}

std::string TLMDiagnosticMonitor::encodedStringWithContextObject(const Value& context) {
  switch (context.type()) {
    case Value::Type::Null:
      return "";
    case Value::Type::String:
      return "-";
    case Value::Type::Bool:
    case Value::Type::Number:
      return encodeNumber(context);
    case Value::Type::Object:
      if (std::shared_ptr<platform::Error> error = context.objectAs<platform::Error>()) {
        return error->domain.empty() ? "-" : error->domain;
      }
      if (std::shared_ptr<platform::Exception> exception = context.objectAs<platform::Exception>()) {
        // Exceptions here carry no call stack: the symbol search falls back to the name.
        return lastTLMSymbolFromException({}, exception->name());
      }
      return "?";
    default:
      return "?";
  }
}

std::string TLMDiagnosticMonitor::lastTLMSymbolFromException(
    const std::vector<std::string>& callStackSymbols, const std::string& exceptionName) {
  for (std::size_t i = 2; i < callStackSymbols.size(); ++i) {
    std::istringstream frame(callStackSymbols[i]);
    std::vector<std::string> parts;
    for (std::string part; frame >> part;) parts.push_back(part);
    if (parts.size() <= 4) continue;
    const std::string symbol = parts[4] == "+" ? parts[3] : parts[3] + " " + parts[4];
    if (containsIgnoringCase(symbol, "tlm")) return symbol;
  }
  return exceptionName;
}

std::string TLMDiagnosticMonitor::monitoringDataKeyWithMessage(const std::string& message, int level,
                                                               std::int64_t libraryVersion) {
  const char letter = level >= 0 && level <= 2 ? 'E' : (level >= 3 && level <= 5 ? 'W' : '?');
  return "1" + std::string(1, letter) + "_" + std::to_string(libraryVersion) + ":" + message;
}
