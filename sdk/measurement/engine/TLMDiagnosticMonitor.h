// The measurement library's diagnostic monitor: the real implementation behind the model's
// TLMMonitor interface (TLMMeasurement::monitor()).
//
// Every message carries a level 0..7 and a numeric code. A message goes to the console (through
// a TLMLogging object, by default the vendor logger) when its level is loggable, and, when its
// level is monitorable, takes part in a privacy-preserving health sample: one message chosen
// uniformly at random among all monitorable messages of a period, its contexts reduced to coarse
// encodings (strings to "-", integers to their decade). The sample is kept in the preferences
// suite "com.ombrix.qpx.measurement.monitor" and handed out once per period for the next upload.
//
// | level | text      | printed | monitored | vendor level |
// | 0     | "ERROR"   | yes     | no        | 3            |
// | 1     | "ERROR"   | yes     | yes       | 3            |
// | 2     | "ERROR"   | no      | yes       | 3            |
// | 3     | "WARNING" | yes     | no        | 4            |
// | 4     | "WARNING" | yes     | yes       | 4            |
// | 5     | "WARNING" | no      | yes       | 4            |
// | 6     | "NOTICE"  | yes     | no        | 5            |
// | 7     | "DEBUG"   | yes     | no        | 7            |
// | other | none      | no      | yes       | 4            |
//
// Callers log from any thread. Console output, sample updates and saving run on the serial
// monitor queue in the order logged; loading, dispatch and clearing run synchronously on it.
// Level, debug-mode, encoding and tag fields may be read and written from any thread.
//
// At most kTLMMonitorMaxWaitingMessages messages wait on the monitor queue: one logged while that
// many wait (a flood, faster than lines are written) is dropped, line and sample update, and
// counted; a message let in after drops is preceded by a line that says how many were dropped
// (24002), at most once a second of device uptime (the clock in force).
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/Queue.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/model/TLMMonitor.h"

inline constexpr const char* kTLMMonitorSuiteName = "com.ombrix.qpx.measurement.monitor";
inline constexpr const char* kTLMMonitorQueueLabel = "TLMMonitorQueue";
inline constexpr const char* kTLMMonitorHealthMonitorKey = "/ombrix/measurement/health_monitor";
inline constexpr const char* kTLMMonitorDebugModeKey = "/ombrix/measurement/debug_mode";
inline constexpr const char* kTLMMonitorMigrationStateKey = "/ombrix/measurement/monitor_migration_state";
inline constexpr std::int64_t kTLMMonitorMaxWaitingMessages = 1000;

// Where console lines go.
class TLMLogging {
 public:
  virtual ~TLMLogging() = default;
  virtual void logMessage(const std::string& message, const std::string& logTag,
                          std::int64_t messageCode, int logLevel) = 0;
};

// The default: the vendor logger, with the code written "I-ACS" and six digits, the mapped
// vendor level, the log tag as service, forced for debug-level (7) lines.
class TLMASLLogger : public TLMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                  int logLevel) override;
};

// The health sample: at most one entry, [encoded context (string), population (number), key
// (string), time of the period's first message (date)]. Not thread-safe: the monitor uses it
// only on its queue.
class TLMMonitoringSampledData {
 public:
  // Starts from a stored entry when it is valid, else empty.
  explicit TLMMonitoringSampledData(const platform::Value& storedEntry = platform::Value());

  // Reservoir of size one: the first message of a period creates the entry; each further one
  // raises the population and replaces key and context with probability 1/population.
  void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
  // "population:key:context" ("population:key" for an empty context) once the entry is older than
  // the period, emptying the sample; "0:" when there is no entry and more than a period passed
  // since the last dispatch (a period without monitorable messages); else nothing.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // The entry as stored (a four-item array), or a null Value when empty.
  platform::Value entry() const;
  bool isEmpty() const { return !hasEntry_; }

  // An array of exactly four items: string, number, string, date.
  static bool isValidUserDefaultsArrayEntry(const platform::Value& entry);

 private:
  bool hasEntry_ = false;
  std::string encodedContext_;
  std::int64_t population_ = 0;
  std::string key_;
  double timestamp_ = 0;
};

class TLMDiagnosticMonitor : public TLMMonitor,
                             public std::enable_shared_from_this<TLMDiagnosticMonitor> {
 public:
  // Level 6 and the vendor logger.
  static std::shared_ptr<TLMDiagnosticMonitor> initWithLibraryVersion(std::int64_t libraryVersion);
  // Migrates and loads the stored sample (synchronously on the monitor queue), then switches
  // debug mode from the launch arguments and the stored flag. `monitorQueue` null: a new serial
  // queue "TLMMonitorQueue" (tests pass a manual queue).
  static std::shared_ptr<TLMDiagnosticMonitor> initWithLogLevel(
      int logLevel, std::shared_ptr<TLMLogging> logger, std::int64_t libraryVersion,
      std::shared_ptr<platform::Queue> monitorQueue = nullptr);

  TLMDiagnosticMonitor(const TLMDiagnosticMonitor&) = delete;
  TLMDiagnosticMonitor& operator=(const TLMDiagnosticMonitor&) = delete;

  void logWithContexts(int level, std::int64_t messageCode, const std::string& message,
                       const std::vector<platform::Value>& contexts) override;
  bool isDebugModeEnabled() const override { return debugModeEnabled_.load(); }

  // YES: level 7, vendor level 7, the flag stored in the standard defaults, message 24000.
  // NO: level 6, vendor level 5, the flag removed, message 24001.
  void setDebugModeEnabled(bool enabled);
  int logLevel() const { return logLevel_.load(); }
  void setLogLevel(int level) { logLevel_.store(level); }
  std::string logTag() const;
  void setLogTag(const std::string& tag);
  bool encodeContexts() const { return encodeContexts_.load(); }
  void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
  std::int64_t libraryVersion() const { return libraryVersion_; }

  // The sample's dispatch text for the period (seconds) and the last dispatch time (seconds
  // since 1970); saves the emptied sample when there is one.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Removes the stored debug flag and sample and starts an empty sample.
  void clearMonitoringData();

  // Test support: a monitor that sees every message, (level, code) included, before filtering.
  void setRecordingSink(std::shared_ptr<TLMMonitor> sink);

  // Levels.
  static bool isSilentLevel(int level);
  static bool isMonitorableLevel(int level);
  static bool isLoggableLevel(int level);
  // "ERROR", "WARNING", "NOTICE", "DEBUG"; empty for other levels.
  static std::string logLevelDescriptionFromLogLevel(int level);
  static int OBXLoggerLevelFromLogLevel(int level);

  // The console line: the message ("(Message was empty)" for none) and, with contexts, ": " and
  // the contexts (encoded when asked) separated by ", ".
  static std::string stringWithLogMessage(const std::string& message, int level,
                                          const std::vector<platform::Value>& contexts,
                                          bool encodeContexts);
  // Encodings joined with "," (", " with spaces); empty for no contexts.
  static std::string encodedStringWithContextArray(const std::vector<platform::Value>& contexts,
                                                   bool insertSpaces);
  // Null: ""; string: "-"; integer n: n when |n| <= 99, else its decade "p...(10p-1)" or
  // "(1-10p)...-p"; error: its domain ("-" without); exception: its library symbol; else "?".
  static std::string encodedStringWithContextObject(const platform::Value& context);
  // The first frame from the third on whose fourth and fifth fields name a library ("TLM")
  // symbol; the exception's name when none does.
  static std::string lastTLMSymbolFromException(const std::vector<std::string>& callStackSymbols,
                                                const std::string& exceptionName);
  // "1" + level letter ('E' 0..2, 'W' 3..5, '?' otherwise) + "_" + version + ":" + message.
  static std::string monitoringDataKeyWithMessage(const std::string& message, int level,
                                                  std::int64_t libraryVersion);

 private:
  TLMDiagnosticMonitor(int logLevel, std::shared_ptr<TLMLogging> logger,
                       std::int64_t libraryVersion, std::shared_ptr<platform::Queue> monitorQueue);
  void migrateMonitorDataOnMonitorQueue();
  void loadMonitoringDataOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();
  void decideDebugModeAtStart();

  std::atomic<int> logLevel_;
  const std::shared_ptr<TLMLogging> logger_;
  const std::int64_t libraryVersion_;
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  const std::shared_ptr<platform::Queue> monitorQueue_;
  const TLMUserDefaultsPtr monitorUserDefaults_;
  const TLMUserDefaultsPtr standardUserDefaults_;

  mutable std::mutex mutex_;  // guards logTag_ and sink_
  std::string logTag_ = kTLMMonitorDefaultLogTag;
  std::shared_ptr<TLMMonitor> sink_;

  // The messages waiting on the monitor queue, and those dropped since the last said.
  std::atomic<std::int64_t> waitingMessages_{0};
  std::atomic<std::int64_t> droppedMessages_{0};
  std::atomic<double> droppedSaidAt_{-std::numeric_limits<double>::infinity()};  // uptime

  // Only on the monitor queue: the sample, and whether a write of it is queued.
  TLMMonitoringSampledData monitoringSampledData_;
  bool sampleSaveQueued_ = false;
};
